// sim::Shell: the simulated machine's window manager and shell as a test sees them. The programs reach
// it through the Win32 calls of simwin/shell.h (windows, message queues, timers, menus, the notification
// area); a test reads back what they did (every Shell_NotifyIconW call, every balloon, every menu that was
// opened, every ShellExecuteA) and acts as the user: it clicks the notification icon and picks a menu
// item or dismisses the menu.
//
// Timers run on the machine's clock, so in virtual mode a program waiting in GetMessageW lets time jump
// to its next WM_TIMER. Windows of a thread that has ended are destroyed (and their timers killed) the
// next time the shell is used; their notification icons stay, as Windows leaves them until the pointer
// passes over them.
//
// The taskbar (Explorer) can be absent: then every Shell_NotifyIconW call fails. When it starts (again)
// every icon is gone, and the registered message "TaskbarCreated" goes to every top-level window (never
// to a message-only window, as on Windows). A DPI change sends WM_DPICHANGED to the top-level windows.
//
// Fault injection (Machine::InjectFailure) by function name: "RegisterClassExW", "CreateWindowExW",
// "SetTimer", "CreatePopupMenu", "AppendMenuW", "TrackPopupMenu", "Shell_NotifyIconW", "LoadIconMetric",
// "LoadImageW",
// "ShellExecuteA", "GetMessageW"; and "CreatePopupMenu:nested", which fails only a CreatePopupMenu made
// while the calling thread already holds a live menu (a submenu being built).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/shell.h"

namespace sim {

// One item of a menu as it was when the menu was opened.
struct MenuItemView {
    UINT flags = 0;       // MF_ flags as given: MF_POPUP, MF_SEPARATOR, MF_GRAYED, MF_DISABLED, MF_CHECKED
    UINT_PTR id = 0;      // command id (for a popup item: 0)
    std::string text;     // UTF-8
    std::vector<MenuItemView> submenu;  // the popup's items

    bool Separator() const { return (flags & MF_SEPARATOR) != 0; }
    bool Popup() const { return (flags & MF_POPUP) != 0; }
    bool Grayed() const { return (flags & (MF_GRAYED | MF_DISABLED)) != 0; }
    bool Checked() const { return (flags & MF_CHECKED) != 0; }
    // Whether a user can choose it: a plain enabled command.
    bool Selectable() const { return !Separator() && !Popup() && !Grayed(); }
};

// A TrackPopupMenu call: where and how the menu was opened, what it showed and what the user chose.
struct TrackedMenu {
    Ticks time = 0;
    HWND owner = nullptr;
    int x = 0;
    int y = 0;
    UINT flags = 0;
    bool ownerWasForeground = false;  // SetForegroundWindow(owner) had been called before
    std::vector<MenuItemView> items;
    UINT_PTR chosen = 0;              // 0: dismissed
};

// A Shell_NotifyIconW call as the shell received it.
struct NotifyCall {
    Ticks time = 0;
    DWORD processId = 0;
    DWORD message = 0;  // NIM_ADD, NIM_MODIFY, NIM_DELETE, NIM_SETFOCUS, NIM_SETVERSION
    BOOL result = FALSE;
    DWORD cbSize = 0;
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT flags = 0;
    UINT callbackMessage = 0;
    HICON icon = nullptr;
    HICON balloonIcon = nullptr;
    std::string tip;        // UTF-8, read within its field
    std::string info;
    std::string infoTitle;
    DWORD infoFlags = 0;
    UINT version = 0;       // the uTimeout/uVersion union
};

// A balloon notice the notification area showed.
struct Balloon {
    Ticks time = 0;
    HWND hwnd = nullptr;
    UINT id = 0;
    std::string title;
    std::string text;
    DWORD infoFlags = 0;
    HICON balloonIcon = nullptr;
};

// An icon in the notification area.
struct IconView {
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT callbackMessage = 0;
    HICON icon = nullptr;
    std::string tip;
    UINT version = 0;
    bool showTip = false;
    bool ownerAlive = true;  // its window still exists
};

// What an HICON was loaded from.
struct LoadedIcon {
    HINSTANCE module = nullptr;
    UINT resourceId = 0;  // 0 for a resource named by a string
    int metric = -1;      // LIM_SMALL or LIM_LARGE for LoadIconMetric, -1 for LoadIconW and LoadImageW
    int size = 0;         // pixels
};

struct ShellExecuteCall {
    Ticks time = 0;
    HWND hwnd = nullptr;
    std::string verb;
    std::string file;
    std::string parameters;
    std::string directory;
    int show = 0;
};

struct WindowView {
    HWND hwnd = nullptr;
    std::string className;
    std::string title;
    HWND parent = nullptr;
    DWORD style = 0;
    DWORD processId = 0;
    DWORD threadId = 0;
    bool alive = true;
};

class Shell final : public Object {
public:
    explicit Shell(Machine& machine);
    ~Shell() override;
    const char* TypeName() const override { return "Shell"; }

    // ---- test side ----
    std::vector<NotifyCall> NotifyCalls();
    std::vector<Balloon> Balloons();
    std::vector<IconView> Icons();
    std::optional<LoadedIcon> IconInfo(HICON icon);
    // Posts an icon's callback message as the notification area does for `event` (WM_RBUTTONDOWN,
    // WM_LBUTTONDOWN, NIN_SELECT, NIN_KEYSELECT, WM_MOUSEMOVE...) at screen point `at`, in the convention
    // of the icon's version (version 4: wParam = x and y, lParam = event and icon id). `index` picks the
    // icon in Icons() order. False when there is no such icon or it has no callback message.
    bool ClickIcon(UINT event = WM_RBUTTONDOWN, POINT at = {1800, 1050}, std::size_t index = 0);
    // What a user's click or key on the icon posts, in the icon's version: a left click is button-down
    // and button-up, and under version 4 then NIN_SELECT; a right click is button-down and button-up, and
    // under version 4 then WM_CONTEXTMENU; the keyboard (Enter or Space on the focused icon) NIN_KEYSELECT;
    // Shift+F10 or the menu key on the focused icon WM_CONTEXTMENU (version 4).
    enum class IconInput { LeftClick, RightClick, Keyboard, ContextKey };
    bool UserClickIcon(IconInput input, POINT at = {1800, 1050}, std::size_t index = 0);
    // How long an opened menu stays open before the queued answer (or a dismissal) is taken; meanwhile its
    // modal loop dispatches the thread's posted messages and timers, and EndMenu ends it at once (nothing
    // chosen). 0 (the default): answered the moment it opens.
    void SetMenuDwell(std::uint32_t ms);

    // The user's answer to the next menus, in order; a menu opened with no answer queued is dismissed.
    // By id (0: dismiss), or by the text of an item anywhere in the menu or its submenus. A grayed item,
    // a separator, a popup or an item that is not there cannot be chosen: the menu is dismissed.
    void SetNextMenuChoice(UINT_PTR id);
    void SetNextMenuChoice(const std::string& text);
    // The next menu is dismissed by a click on another program's window, which takes the foreground (a
    // dismissal by id 0 stands for Escape, which leaves the owner in the foreground).
    void SetNextMenuClickElsewhere();
    void ClearMenuChoices();

    // Explorer ends (the taskbar and every icon go) or starts (a new, empty notification area;
    // "TaskbarCreated" posted to every top-level window). Running at first.
    void SetTaskbarRunning(bool running);
    void RestartExplorer() {
        SetTaskbarRunning(false);
        SetTaskbarRunning(true);
    }
    // Every window's DPI becomes `dpi`; each top-level window gets WM_DPICHANGED. 96 at first.
    void ChangeDpi(UINT dpi);
    std::vector<TrackedMenu> TrackedMenus();
    std::size_t TrackedMenuCount();                // TrackedMenus().size(), without the copies
    std::optional<TrackedMenu> LastTrackedMenu();  // the latest, if any
    std::size_t LiveMenuCount();

    std::vector<WindowView> Windows();
    HWND Foreground();
    void SetCursor(POINT at);
    std::vector<ShellExecuteCall> ShellExecutes();
    // Messages posted to a window (or, for null, to the host thread) and not yet retrieved.
    std::size_t PendingMessages(HWND hwnd);

    // ---- Win32 side (see simwin/shell.h) ----
    ATOM RegisterClass(const WNDCLASSEXW* wc);
    BOOL UnregisterClass(LPCWSTR name);
    HWND CreateWindow(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
                      HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
    BOOL DestroyWindow(HWND hwnd);
    BOOL IsWindow(HWND hwnd);
    HWND FindWindow(HWND parent, HWND after, LPCWSTR className, LPCWSTR title);
    LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    BOOL SetForegroundWindow(HWND hwnd);
    HWND GetForegroundWindow();
    BOOL GetCursorPos(LPPOINT point);
    UINT RegisterWindowMessage(LPCWSTR name);
    UINT GetDpiForWindow(HWND hwnd);

    BOOL GetMessage(LPMSG msg, HWND hwnd, UINT min, UINT max);
    BOOL PeekMessage(LPMSG msg, HWND hwnd, UINT min, UINT max, UINT remove);
    LRESULT DispatchMessage(const MSG* msg);
    BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void PostQuitMessage(int code);
    UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
    BOOL KillTimer(HWND hwnd, UINT_PTR id);

    HMENU CreatePopupMenu();
    BOOL DestroyMenu(HMENU menu);
    BOOL InsertMenu(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR text, bool append);
    DWORD CheckMenuItem(HMENU menu, UINT item, UINT check);
    BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable);
    int GetMenuItemCount(HMENU menu);
    BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner);
    BOOL EndMenu();

    HRESULT LoadIconMetric(HINSTANCE instance, PCWSTR name, int metric, HICON* icon);
    HANDLE LoadImage(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags);
    HICON LoadIcon(HINSTANCE instance, LPCWSTR name);
    BOOL DestroyIcon(HICON icon);
    BOOL NotifyIcon(DWORD message, PNOTIFYICONDATAW data);
    HINSTANCE ShellExecute(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show);

private:
    struct WindowClass {
        std::u16string name;  // lower case
        std::u16string displayName;
        WNDPROC proc = nullptr;
        HINSTANCE instance = nullptr;
    };
    struct Window {
        HWND hwnd = nullptr;
        std::u16string className;
        std::u16string title;
        WNDPROC proc = nullptr;
        HWND parent = nullptr;
        DWORD style = 0;
        DWORD processId = 0;
        ThreadRec* thread = nullptr;
        bool alive = true;
    };
    struct Queue {
        std::deque<MSG> posted;
        bool quit = false;
        int quitCode = 0;
        std::shared_ptr<Event> wake = std::make_shared<Event>(false, false);
    };
    struct Timer {
        std::uint64_t serial = 0;
        HWND hwnd = nullptr;
        UINT_PTR id = 0;
        Ticks period = 0;
        TIMERPROC proc = nullptr;
        ThreadRec* thread = nullptr;
        std::uint64_t machineTimer = 0;
        bool due = false;
    };
    struct MenuItem {
        UINT flags = 0;
        UINT_PTR id = 0;
        std::u16string text;
    };
    struct Menu {
        std::vector<MenuItem> items;
        ThreadRec* creator = nullptr;
    };
    struct Icon {
        HWND hwnd = nullptr;
        UINT id = 0;
        UINT callbackMessage = 0;
        HICON icon = nullptr;
        std::u16string tip;
        UINT version = 0;
        bool showTip = false;
    };
    struct Choice {
        bool byText = false;
        UINT_PTR id = 0;
        std::string text;
        bool clickElsewhere = false;
    };

    Window* WindowLocked(HWND hwnd);                      // a live window, or null
    Queue& QueueLocked(ThreadRec* thread);
    void ReapLocked();                                    // windows of ended threads
    void DestroyWindowStateLocked(Window& window);
    bool TakeMessageLocked(ThreadRec* self, HWND hwnd, UINT min, UINT max, bool remove, MSG& out);
    void StartTimerLocked(Timer& timer, Ticks due);
    void FireTimerLocked(std::uint64_t serial, Ticks due);
    void DestroyMenuLocked(HMENU menu);
    MenuItem* FindItemLocked(HMENU menu, UINT item, bool byPosition);
    std::vector<MenuItemView> SnapshotLocked(HMENU menu, int depth);
    HICON AddIcon(HINSTANCE instance, LPCWSTR name, int size, int metric = -1);  // the three loads' record
    // Queues a message for the thread, stamped with the time and the cursor.
    void PostLocked(ThreadRec* thread, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void PostToTopLevelLocked(UINT message, WPARAM wParam, LPARAM lParam);

    Machine& machine_;
    std::map<std::pair<DWORD, std::u16string>, WindowClass> classes_;  // per process
    std::map<HWND, Window> windows_;
    std::map<ThreadRec*, Queue> queues_;
    std::map<std::uint64_t, Timer> timers_;
    std::map<HMENU, Menu> menus_;
    std::vector<Icon> icons_;
    std::map<HICON, LoadedIcon> loadedIcons_;
    std::deque<Choice> choices_;
    std::vector<NotifyCall> notifyCalls_;
    std::vector<Balloon> balloons_;
    std::vector<TrackedMenu> trackedMenus_;
    std::vector<ShellExecuteCall> shellExecutes_;
    HWND foreground_ = nullptr;
    bool taskbarRunning_ = true;
    UINT dpi_ = 96;
    RECT dpiSuggestedRect_{0, 0, 0, 0};
    std::map<std::u16string, UINT> registeredMessages_;  // lower-case name
    UINT nextRegisteredMessage_ = 0xC100;
    Ticks menuDwell_ = 0;
    std::set<ThreadRec*> menuEnded_;  // threads whose open menu EndMenu has ended
    std::set<ThreadRec*> tracking_;   // threads with a menu open (one at a time each)
    POINT cursor_{1800, 1050};
    ATOM nextAtom_ = 0xC000;
    ULONG_PTR nextWindow_ = 0x10010;
    ULONG_PTR nextMenu_ = 0x20010;
    ULONG_PTR nextIcon_ = 0x30010;
    std::uint64_t nextTimerSerial_ = 1;
};

// The shell of a machine, created the first time it is asked for; it lives as long as the machine.
Shell& ShellOf(Machine& machine);

}  // namespace sim
