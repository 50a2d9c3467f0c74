// QuillonSystray: the per-user notification-area companion of the Quillon service. One hidden window,
// one icon, balloon notices when the service or the console comes or goes, and a context menu.
#include "Service/QuillonSystray/TrayEntry.h"
#include "Service/QuillonSystray/TrayProcess.h"
#include "Service/QuillonSystray/TrayWindow.h"
#include "Service/QuillonSystray/res/resource.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    CTrayProcess& tray = ProcessGlobal<CTrayProcess>();
    tray.m_hInstance = instance;

    tray.m_hWnd = CreateTrayWindow(instance);
    if (!tray.m_hWnd) return 0;

    HICON icon = nullptr;
    if (FAILED(LoadIconMetric(instance, MAKEINTRESOURCEW(IDI_QUILLON_TRAY), LIM_SMALL, &icon))) icon = nullptr;
    tray.m_Icon.Fill(tray.m_hWnd, icon);
    tray.m_Icon.Add(ServiceNotice(tray.ReadStatus()));
    tray.m_Icon.UseVersion4();

    SetTimer(tray.m_hWnd, kPollTimerId, kPollPeriodMs, nullptr);

    // All of the thread's messages, not only the window's: a loop filtered to one window would leave
    // messages for any helper window the system creates on this thread unanswered.
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    tray.m_Icon.Remove();
    tray.m_MenuOwner.Reset();
    return 0;
}
