// The window-manager pieces the tray uses: message-only windows, finding them, the foreground, timers,
// posted messages and a popup menu's modal loop with a message-only owner.
#include "tests/conformance/conformance.h"

#include <vector>

namespace {

constexpr WCHAR kClass[] = WSTR("QuillonConformanceWindow");
constexpr UINT kStartTimer = WM_APP + 1;
constexpr UINT_PTR kTimerId = 7;

struct Seen {
    std::vector<UINT> messages;
    bool endMenuOnTimer = false;
    HMENU nested = nullptr;  // opened again from inside the modal loop
    BOOL nestedResult = TRUE;
    DWORD nestedError = 0;
};
Seen* g_seen = nullptr;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_seen && (message == kStartTimer || message == WM_TIMER || message == WM_APP + 2)) {
        g_seen->messages.push_back(message);
        if (message == kStartTimer) {
            SetTimer(hwnd, kTimerId, 20, nullptr);
            if (g_seen->nested) {
                SetLastError(0);
                g_seen->nestedResult = TrackPopupMenu(g_seen->nested, TPM_RETURNCMD, 10, 10, 0, hwnd, nullptr);
                g_seen->nestedError = GetLastError();
            }
        }
        if (message == WM_TIMER && wParam == kTimerId && g_seen->endMenuOnTimer) {
            KillTimer(hwnd, kTimerId);
            EndMenu();
        }
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND MakeWindow(HWND parent) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.lpszClassName = kClass;
    RegisterClassExW(&windowClass);  // a second registration fails harmlessly
    return CreateWindowExW(0, kClass, nullptr, 0, 0, 0, 0, 0, parent, nullptr, nullptr, nullptr);
}

// Takes the next message of this thread, waiting at most `ms`.
bool NextMessage(MSG& msg, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(1);
    }
}

}  // namespace

CONFORMANCE_TEST(Windows, MessageOnlyWindowsAreFoundOnlyUnderHwndMessageAndCannotBeForeground) {
    HWND window = MakeWindow(HWND_MESSAGE);
    CHECK_NE(window, nullptr);
    CHECK(IsWindow(window));
    CHECK_EQ(FindWindowExW(HWND_MESSAGE, nullptr, kClass, nullptr), window);
    // Only HWND_MESSAGE searches message-only windows; a null parent means the desktop's children.
    CONFORMANCE_DOCUMENTED(FindWindowExW(nullptr, nullptr, kClass, nullptr) == nullptr,
                           "a null parent searches the desktop's children, which a message-only window is not");
    CHECK_EQ(FindWindowExW(HWND_MESSAGE, window, kClass, nullptr), nullptr);  // nothing after it
    CONFORMANCE_DOCUMENTED(!SetForegroundWindow(window), "a message-only window cannot be the foreground window");
    CHECK(DestroyWindow(window));
    CHECK(!IsWindow(window));
    CHECK_EQ(FindWindowExW(HWND_MESSAGE, nullptr, kClass, nullptr), nullptr);
}

CONFORMANCE_TEST(Messages, PostedMessagesComeInOrderThenTimersThenQuit) {
    HWND window = MakeWindow(HWND_MESSAGE);
    CHECK_NE(window, nullptr);
    CHECK(PostMessageW(window, WM_APP + 2, 1, 0));
    CHECK(PostMessageW(window, WM_APP + 2, 2, 0));
    CHECK(SetTimer(window, kTimerId, 10, nullptr) != 0);
    MSG msg{};
    CHECK(NextMessage(msg, 1000));
    CHECK_EQ(msg.message, static_cast<UINT>(WM_APP + 2));
    CHECK_EQ(msg.wParam, 1u);
    CHECK(NextMessage(msg, 1000));
    CHECK_EQ(msg.wParam, 2u);
    CHECK(NextMessage(msg, 1000));  // the timer, once it is due
    CHECK_EQ(msg.message, static_cast<UINT>(WM_TIMER));
    CHECK_EQ(msg.hwnd, window);
    CHECK_EQ(msg.wParam, kTimerId);
    CHECK(KillTimer(window, kTimerId));

    PostQuitMessage(3);
    CHECK_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    CHECK_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    CHECK_EQ(msg.wParam, 3u);
    DestroyWindow(window);
}

CONFORMANCE_TEST(Menus, TheModalLoopOfAMessageOnlyOwnerRunsPostedMessagesAndTimers) {
    Seen seen;
    seen.endMenuOnTimer = true;
    g_seen = &seen;
    HWND owner = MakeWindow(HWND_MESSAGE);
    CHECK_NE(owner, nullptr);
    HMENU menu = CreatePopupMenu();
    CHECK(AppendMenuW(menu, MF_STRING, 1, WSTR("One")));
    CHECK(AppendMenuW(menu, MF_STRING, 2, WSTR("Two")));
    // Posted before the menu opens: dispatched by the menu's loop, which then starts the timer (and tries
    // to open a second menu, which one thread cannot have); the timer's tick, also dispatched inside the
    // loop, ends the menu.
    seen.nested = menu;
    CHECK(PostMessageW(owner, kStartTimer, 0, 0));
    const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_BOTTOMALIGN, 100, 100, 0, owner, nullptr);
    CHECK_EQ(chosen, 0);  // ended, nothing chosen
    CHECK(!seen.nestedResult);
    CHECK_EQ(seen.nestedError, ERROR_POPUP_ALREADY_ACTIVE);
    CHECK_EQ(seen.messages.size(), 2u);
    if (seen.messages.size() == 2) {
        CHECK_EQ(seen.messages[0], kStartTimer);
        CHECK_EQ(seen.messages[1], static_cast<UINT>(WM_TIMER));
    }
    DestroyMenu(menu);
    DestroyWindow(owner);
    g_seen = nullptr;
}
