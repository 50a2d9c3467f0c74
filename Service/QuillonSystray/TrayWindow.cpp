#include "Service/QuillonSystray/TrayWindow.h"

#include "Service/QuillonSystray/TrayMenu.h"
#include "Service/QuillonSystray/TrayProcess.h"

namespace {

// Whether an icon event (the low word of the callback's lParam) opens the menu. Under version 4 a left
// click arrives as WM_LBUTTONDOWN, WM_LBUTTONUP and then NIN_SELECT: the selection alone opens the menu,
// so one click shows it once. A right click ends with WM_CONTEXTMENU, and Shift+F10 or the menu key on
// the focused icon sends it alone: the menu opens on it (not on the button-down, or a right click would
// open it twice). Enter or Space on the icon send NIN_KEYSELECT.
bool OpensMenu(UINT event) { return event == WM_CONTEXTMENU || event == NIN_SELECT || event == NIN_KEYSELECT; }

}  // namespace

HWND CreateTrayWindow(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.lpszClassName = kTrayWindowClass;
    RegisterClassExW(&windowClass);  // a failure shows as the window failing to be created
    return CreateWindowExW(0, kTrayWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

LRESULT CALLBACK TrayWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kPollTimerId) {
        ProcessGlobal<CTrayProcess>().Poll();
    } else if (message == CTrayNotifyIcon::kCallbackMessage && OpensMenu(LOWORD(lParam))) {
        // Version-4 callbacks carry the anchor point in wParam, each coordinate a signed 16-bit value.
        const int x = static_cast<short>(LOWORD(wParam));
        const int y = static_cast<short>(HIWORD(wParam));
        ShowTrayMenu(ProcessGlobal<CTrayProcess>(), x, y);
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK TrayOwnerWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CTrayProcess& tray = ProcessGlobal<CTrayProcess>();
    if (message == WM_DPICHANGED) {
        tray.LoadIcons();
        return 0;
    }
    if (tray.m_TaskbarCreated != 0 && message == tray.m_TaskbarCreated) tray.OnTaskbarCreated();
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
