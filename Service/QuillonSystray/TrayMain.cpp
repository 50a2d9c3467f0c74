// QuillonSystray: the per-user notification-area companion of the Quillon service. One hidden window,
// one icon, balloon notices when the service or the console comes or goes, and a context menu.
#include "Service/QuillonSystray/TrayEntry.h"
#include "Service/QuillonSystray/TrayProcess.h"
#include "Service/QuillonSystray/TrayWindow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    // A second tray in the session (the Run entry and the Start menu both start one) ends at once. A
    // mutex that cannot be opened for being someone else's (access denied) counts as taken too.
    SetLastError(ERROR_SUCCESS);
    HANDLE sessionMutex = CreateMutexW(nullptr, FALSE, kTraySessionMutex);
    const DWORD mutexError = GetLastError();
    if (mutexError == ERROR_ALREADY_EXISTS || (!sessionMutex && mutexError == ERROR_ACCESS_DENIED)) {
        if (sessionMutex) CloseHandle(sessionMutex);
        return 0;
    }

    CTrayProcess& tray = ProcessGlobal<CTrayProcess>();
    tray.m_hInstance = instance;
    tray.m_TaskbarCreated = RegisterWindowMessageW(WSTR("TaskbarCreated"));

    tray.m_hWnd = CreateTrayWindow(instance);
    if (!tray.m_hWnd) {
        if (sessionMutex) CloseHandle(sessionMutex);
        return 0;
    }
    // The top-level window exists from the start: it is the one that hears the taskbar come back.
    tray.m_MenuOwner.Get(instance, tray.m_hWnd);

    tray.LoadIcons();
    tray.m_Icon.Fill(tray.m_hWnd, tray.m_SmallIcon, tray.m_LargeIcon);
    tray.ShowIcon(ServiceNotice(tray.ReadStatus()));

    SetTimer(tray.m_hWnd, kPollTimerId, kPollPeriodMs, nullptr);

    // All of the thread's messages, not only the window's: a loop filtered to one window would leave
    // messages for any helper window the system creates on this thread unanswered.
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }

    if (tray.m_IconAdded) tray.m_Icon.Remove();
    tray.m_MenuOwner.Reset();
    if (sessionMutex) CloseHandle(sessionMutex);
    return 0;
}
