// tray_probe: looks at a running QuillonSystray from inside the same Wine prefix, for tray_smoke.sh, and
// at what the installer leaves behind, for installer.sh.
//
//   tray_probe [--desktop NAME] STEP SECONDS, with STEP one of:
//   tray_probe wait SECONDS   waits until the tray's window exists and its notification icon is there
//   tray_probe balloon SECONDS waits until a balloon is on screen; prints its text
//   tray_probe menu SECONDS   opens the tray's menu as a right click (WM_CONTEXTMENU) does, and waits until the
//                             menu is on screen
//   tray_probe pick SECONDS   with the menu open, picks its last item ("Quit") with the keyboard and
//                             waits for the tray's process to end
//   tray_probe quit SECONDS   ends the tray's message loop (as "Quit" does) and waits for its process
//   tray_probe shown SECONDS  waits until a menu opened by real input is on screen; prints where
//   tray_probe gone SECONDS   waits until no menu is on screen, and checks that none opens again
//   tray_probe exit SECONDS   waits for the tray's process to end (after real input chose "Quit")
//   tray_probe count SECONDS  prints how many tray windows there are (one per running tray)
//   tray_probe restart SECONDS  plays what a restart of Explorer does to the tray: its icon goes, then
//                             "TaskbarCreated" is broadcast to the top-level windows; waits for the icon
//   tray_probe focus SECONDS  gives the keyboard focus to the tray's icon (NIM_SETFOCUS, as the tray does)
//   tray_probe setup SECONDS  walks the running setup's wizard: presses Next until its last page, prints
//                             that page's texts and presses Finish (each press printed with its time)
//   tray_probe qfailure SECONDS NAME  prints a service's recovery settings as Windows' "sc qfailure" and
//                             "sc qfailureflag" do (for a Wine whose sc knows neither)
//
// Windows (message-only ones too) and the notification area belong to a desktop: with --desktop the probe
// works in the named one, the Wine virtual desktop the tray was started in. Prints what it finds; exits 0
// when the step succeeded.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const wchar_t kTrayClass[] = L"{7BD2BA46-01A5-4bd8-9214-2667AA7AC860}_QUILLON";
constexpr UINT kIconId = 1;
constexpr UINT kIconCallback = WM_USER + 0x65;

HWND FindTray() { return FindWindowExW(HWND_MESSAGE, nullptr, kTrayClass, nullptr); }

// The shell answers a modification of an icon it does not have with failure; a modification that
// changes nothing (no flags) tells whether the icon is there without touching it.
bool IconPresent(HWND owner, UINT id) {
    NOTIFYICONDATAW nid{};
    nid.cbSize = sizeof nid;
    nid.hWnd = owner;
    nid.uID = id;
    nid.uFlags = 0;
    return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

template <class Condition>
bool WaitFor(double seconds, Condition condition) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(100);
    }
}

// The shell shows a notice as a balloon tooltip; its window text is the notice.
struct Balloon {
    HWND window = nullptr;
    wchar_t text[512] = {};
};

BOOL CALLBACK FindBalloon(HWND window, LPARAM param) {
    auto* balloon = reinterpret_cast<Balloon*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (lstrcmpiW(cls, L"tooltips_class32") != 0 || !IsWindowVisible(window)) return TRUE;
    if (!(GetWindowLongW(window, GWL_STYLE) & TTS_BALLOON)) return TRUE;
    balloon->window = window;
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(balloon->text), SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    return FALSE;
}

HWND VisibleMenu() {
    HWND menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu) ? menu : nullptr;
}

// Waits for the tray's process to end; prints its exit code.
int WaitForExit(HWND tray, double seconds) {
    DWORD pid = 0;
    GetWindowThreadProcessId(tray, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        std::printf("cannot open the tray's process %lu\n", static_cast<unsigned long>(pid));
        return 1;
    }
    const DWORD wait = WaitForSingleObject(process, static_cast<DWORD>(seconds * 1000));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (wait != WAIT_OBJECT_0) {
        std::printf("the tray is still running\n");
        return 1;
    }
    std::printf("tray exited with code %lu; icon %s\n", static_cast<unsigned long>(code),
                IconPresent(tray, kIconId) ? "still there" : "removed");
    return code == 0 && !IconPresent(tray, kIconId) ? 0 : 1;
}

// The texts of a window's descendants, one a line (a wizard page is a dialog inside the main one).
BOOL CALLBACK CollectText(HWND window, LPARAM param) {
    auto* texts = reinterpret_cast<std::wstring*>(param);
    wchar_t cls[64] = {}, text[1024] = {};
    GetClassNameW(window, cls, 64);
    if (IsWindowVisible(window) && lstrcmpiW(cls, L"Static") == 0 && GetWindowTextW(window, text, 1024) > 0) {
        *texts += text;
        *texts += L"\n";
    }
    return TRUE;
}

// The setup wizard's window, or null. Its caption changes from page to page ("... Setup", "... Setup ",
// "... Setup: Installing").
HWND FindWizard() {
    for (HWND w = FindWindowW(L"#32770", nullptr); w; w = FindWindowExW(nullptr, w, L"#32770", nullptr)) {
        wchar_t title[128] = {};
        GetWindowTextW(w, title, 128);
        if (wcsncmp(title, L"Quillon Virtual Device Driver Setup", 35) == 0) return w;
    }
    return nullptr;
}

// Prints `prefix` and then `text` in UTF-8.
void PrintUtf8(const char* prefix, const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<std::size_t>(bytes) : 1, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    std::printf("%s%s", prefix, out.c_str());
}

// Every top-level window of the probe's desktop, one a line ("class: caption"), and the desktops of its
// window station: where to look when the wizard was never found.
BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    auto* texts = reinterpret_cast<std::wstring*>(param);
    wchar_t cls[64] = {}, text[128] = {};
    GetClassNameW(window, cls, 64);
    GetWindowTextW(window, text, 128);
    *texts += std::wstring(L"  window ") + cls + L": \"" + text +
              (IsWindowVisible(window) ? L"\"\n" : L"\" (hidden)\n");
    return TRUE;
}
BOOL CALLBACK CollectDesktop(LPWSTR name, LPARAM param) {
    *reinterpret_cast<std::wstring*>(param) += std::wstring(L"  desktop ") + name + L"\n";
    return TRUE;
}
std::wstring DesktopView() {
    wchar_t name[128] = L"?";
    GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof name, nullptr);
    std::wstring view =
        std::wstring(L"the probe's desktop is \"") + name + L"\"; its windows and its station's desktops:\n";
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&view));
    EnumDesktopsW(GetProcessWindowStation(), CollectDesktop, reinterpret_cast<LPARAM>(&view));
    return view;
}

// Walks the setup wizard: Next until the finish page (whose Next button is the one that reads "Finish"),
// then prints the page's texts and presses it. Each press is printed with its time from the start.
int WalkSetup(double seconds) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG end = start + static_cast<ULONGLONG>(seconds * 1000);
    auto pressed = [start](const wchar_t* caption) {
        PrintUtf8("", L"pressed \"" + std::wstring(caption) + L"\" at " + std::to_wstring(GetTickCount64() - start) +
                          L" ms\n");
    };
    while (GetTickCount64() < end) {
        const HWND wizard = FindWizard();
        HWND next = wizard ? GetDlgItem(wizard, IDOK) : nullptr;
        wchar_t caption[64] = {};
        if (next) GetWindowTextW(next, caption, 64);
        if (next && IsWindowEnabled(next) && IsWindowVisible(next)) {
            if (wcsstr(caption, L"Finish")) {
                std::wstring texts;
                EnumChildWindows(wizard, CollectText, reinterpret_cast<LPARAM>(&texts));
                // The button reads "Finish" a moment before the finish page replaces the progress page.
                if (texts.find(L"Click Finish") == std::wstring::npos) {
                    Sleep(200);
                    continue;
                }
                PrintUtf8("finish page:\n", texts);
                PostMessageW(next, BM_CLICK, 0, 0);
                pressed(caption);
                return 0;
            }
            // Only the steps forward: when the progress page ends, its button reads "Close" for a moment
            // while the wizard moves on to the finish page by itself, and a press then ends the wizard
            // without that page.
            if (wcsstr(caption, L"Next") || wcsstr(caption, L"Install")) {
                PostMessageW(next, BM_CLICK, 0, 0);
                pressed(caption);
                Sleep(500);
            }
        }
        Sleep(200);
    }
    // What the wizard showed last, so that a run that timed out says where it stopped.
    std::wstring seen;
    if (const HWND wizard = FindWizard()) {
        wchar_t title[128] = {}, caption[64] = {};
        GetWindowTextW(wizard, title, 128);
        const HWND next = GetDlgItem(wizard, IDOK);
        if (next) GetWindowTextW(next, caption, 64);
        seen = std::wstring(L"wizard \"") + title + L"\", button \"" + caption + L"\"" +
               (next && IsWindowEnabled(next) ? L" enabled" : L" disabled") +
               (next && IsWindowVisible(next) ? L" visible" : L" hidden") + L"; texts:\n";
        EnumChildWindows(wizard, CollectText, reinterpret_cast<LPARAM>(&seen));
    } else {
        seen = L"no wizard window; " + DesktopView();
    }
    PrintUtf8("the setup's finish page did not come; ", seen + L"\n");
    return 1;
}

const char* ActionName(SC_ACTION_TYPE type) {
    switch (type) {
        case SC_ACTION_NONE: return "NONE";
        case SC_ACTION_RESTART: return "RESTART";
        case SC_ACTION_REBOOT: return "REBOOT";
        case SC_ACTION_RUN_COMMAND: return "RUN PROCESS";
        default: return "UNKNOWN";
    }
}

// The recovery settings, laid out as sc qfailure and sc qfailureflag print them.
int QueryFailure(const char* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    wchar_t wide[256];
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 256);
    SC_HANDLE service = manager ? OpenServiceW(manager, wide, SERVICE_QUERY_CONFIG) : nullptr;
    if (!service) {
        std::printf("[SC] OpenService FAILED %lu\n", static_cast<unsigned long>(GetLastError()));
        if (manager) CloseServiceHandle(manager);
        return 1;
    }
    alignas(8) BYTE buffer[8192];
    DWORD needed = 0;
    int status = 1;
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed)) {
        const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer);
        std::printf("[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: %s\n", name);
        std::printf("        RESET_PERIOD (in seconds)    : %lu\n", static_cast<unsigned long>(actions->dwResetPeriod));
        std::printf("        REBOOT_MESSAGE               : %ls\n", actions->lpRebootMsg ? actions->lpRebootMsg : L"");
        std::printf("        COMMAND_LINE                 : %ls\n", actions->lpCommand ? actions->lpCommand : L"");
        for (DWORD i = 0; i < actions->cActions; ++i)
            std::printf("%s%s -- Delay = %lu milliseconds.\n",
                        i == 0 ? "        FAILURE_ACTIONS              : " : "                                       ",
                        ActionName(actions->lpsaActions[i].Type),
                        static_cast<unsigned long>(actions->lpsaActions[i].Delay));
        status = 0;
    } else {
        std::printf("[SC] QueryServiceConfig2 (failure actions) FAILED %lu\n", static_cast<unsigned long>(GetLastError()));
    }
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer, sizeof buffer, &needed)) {
        const auto* flag = reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(buffer);
        std::printf("        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: %s\n", flag->fFailureActionsOnNonCrashFailures ? "TRUE" : "FALSE");
    } else {
        std::printf("[SC] QueryServiceConfig2 (failure actions flag) FAILED %lu\n", static_cast<unsigned long>(GetLastError()));
        status = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const char* desktopName = nullptr;
    if (argc >= 3 && std::strcmp(argv[1], "--desktop") == 0) {
        desktopName = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: tray_probe [--desktop NAME] wait|balloon|menu|shown|gone|pick|exit|quit SECONDS\n");
        return 2;
    }
    const char* step = argv[1];
    const double seconds = std::atof(argv[2]);
    if (std::strcmp(step, "setup") == 0) return WalkSetup(seconds);
    if (std::strcmp(step, "qfailure") == 0) return argc > 3 ? QueryFailure(argv[3]) : 2;

    if (desktopName) {
        // The desktop appears once the tray's explorer has started: wait for it too.
        wchar_t name[256];
        MultiByteToWideChar(CP_ACP, 0, desktopName, -1, name, 256);
        HDESK desktop = nullptr;
        WaitFor(seconds, [&] { return (desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL)) != nullptr; });
        if (!desktop || !SetThreadDesktop(desktop)) {
            std::printf("cannot use desktop %s (error %lu)\n", desktopName, static_cast<unsigned long>(GetLastError()));
            return 1;
        }
    }

    HWND tray = nullptr;
    if (!WaitFor(std::strcmp(step, "wait") == 0 ? seconds : 0, [&] { return (tray = FindTray()) != nullptr; })) {
        std::printf("no window of class %ls\n", kTrayClass);
        return 1;
    }

    if (std::strcmp(step, "wait") == 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(tray, &pid);
        std::printf("tray window %p in process %lu\n", static_cast<void*>(tray), static_cast<unsigned long>(pid));
        if (!WaitFor(seconds, [&] { return IconPresent(tray, kIconId); })) {
            std::printf("no notification icon %u for the tray's window\n", kIconId);
            return 1;
        }
        // The same question for an icon the tray never added must say no, or the answer means nothing.
        if (IconPresent(tray, kIconId + 1)) {
            std::printf("the shell claims an icon the tray never added\n");
            return 1;
        }
        std::printf("notification icon %u is there\n", kIconId);
        return 0;
    }

    if (std::strcmp(step, "balloon") == 0) {
        Balloon balloon;
        if (!WaitFor(seconds, [&] {
                balloon = Balloon{};
                EnumWindows(FindBalloon, reinterpret_cast<LPARAM>(&balloon));
                return balloon.window != nullptr;
            })) {
            std::printf("no balloon appeared\n");
            return 1;
        }
        char text[1024];
        WideCharToMultiByte(CP_UTF8, 0, balloon.text, -1, text, sizeof text, nullptr, nullptr);
        std::printf("balloon: %s\n", text);
        return 0;
    }

    if (std::strcmp(step, "menu") == 0) {
        // A version-4 callback: the anchor point in wParam, the event and the icon id in lParam.
        const int x = 700, y = 560;
        PostMessageW(tray, kIconCallback, MAKEWPARAM(x, y), MAKELPARAM(WM_CONTEXTMENU, kIconId));
        HWND menu = nullptr;
        if (!WaitFor(seconds, [&] { return (menu = VisibleMenu()) != nullptr; })) {
            std::printf("no menu appeared\n");
            return 1;
        }
        RECT r{};
        GetWindowRect(menu, &r);
        std::printf("menu open at %ld,%ld-%ld,%ld\n", r.left, r.top, r.right, r.bottom);
        return 0;
    }

    if (std::strcmp(step, "shown") == 0) {
        // A menu opened by real input (xdotool): wait for it; print where it is.
        HWND menu = nullptr;
        if (!WaitFor(seconds, [&] { return (menu = VisibleMenu()) != nullptr; })) {
            std::printf("no menu appeared\n");
            return 1;
        }
        RECT r{};
        GetWindowRect(menu, &r);
        std::printf("menu open at %ld,%ld-%ld,%ld\n", r.left, r.top, r.right, r.bottom);
        return 0;
    }

    if (std::strcmp(step, "gone") == 0) {
        // The menu closes within SECONDS and no menu opens again for a second and a half after (a click
        // handled twice would show a second one).
        if (!WaitFor(seconds, [&] { return VisibleMenu() == nullptr; })) {
            std::printf("the menu is still open\n");
            return 1;
        }
        if (WaitFor(1.5, [&] { return VisibleMenu() != nullptr; })) {
            std::printf("a menu opened again\n");
            return 1;
        }
        std::printf("no menu is open\n");
        return 0;
    }

    if (std::strcmp(step, "exit") == 0) return WaitForExit(tray, seconds);

    if (std::strcmp(step, "count") == 0) {
        int count = 0;
        for (HWND w = FindTray(); w; w = FindWindowExW(HWND_MESSAGE, w, kTrayClass, nullptr)) ++count;
        std::printf("%d tray window%s\n", count, count == 1 ? "" : "s");
        return count == 1 ? 0 : 1;
    }

    if (std::strcmp(step, "restart") == 0) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = tray;
        nid.uID = kIconId;
        Shell_NotifyIconW(NIM_DELETE, &nid);
        if (IconPresent(tray, kIconId)) {
            std::printf("the icon could not be removed\n");
            return 1;
        }
        SendNotifyMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        if (!WaitFor(seconds, [&] { return IconPresent(tray, kIconId); })) {
            std::printf("the icon did not come back\n");
            return 1;
        }
        std::printf("the icon is back\n");
        return 0;
    }

    if (std::strcmp(step, "focus") == 0) {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = tray;
        nid.uID = kIconId;
        const BOOL ok = Shell_NotifyIconW(NIM_SETFOCUS, &nid);
        std::printf("NIM_SETFOCUS %s\n", ok ? "taken" : "refused");
        return ok ? 0 : 1;
    }

    if (std::strcmp(step, "foreground") == 0) {
        // Which window is in the foreground, and whose is it.
        HWND foreground = GetForegroundWindow();
        wchar_t cls[128] = {};
        if (foreground) GetClassNameW(foreground, cls, 128);
        DWORD pid = 0, trayPid = 0;
        GetWindowThreadProcessId(foreground, &pid);
        GetWindowThreadProcessId(tray, &trayPid);
        std::printf("foreground %p class %ls, %s\n", static_cast<void*>(foreground), cls,
                    foreground && pid == trayPid ? "the tray's" : "not the tray's");
        return foreground && pid == trayPid ? 0 : 1;
    }

    if (std::strcmp(step, "pick") == 0) {
        HWND menu = VisibleMenu();
        if (!menu) {
            std::printf("no menu is open\n");
            return 1;
        }
        // Up from no selection selects the last item; Enter chooses it.
        PostMessageW(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageW(menu, WM_KEYUP, VK_UP, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(menu, WM_KEYUP, VK_RETURN, 0);
        return WaitForExit(tray, seconds);
    }

    if (std::strcmp(step, "quit") == 0) {
        DWORD pid = 0;
        const DWORD thread = GetWindowThreadProcessId(tray, &pid);
        PostThreadMessageW(thread, WM_QUIT, 0, 0);
        return WaitForExit(tray, seconds);
    }

    std::fprintf(stderr, "unknown step %s\n", step);
    return 2;
}
