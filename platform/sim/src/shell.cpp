// The simulated window manager and shell: window classes and windows, per-thread message queues, timers on
// the machine's clock, popup menus, icons and the notification area. All state is guarded by the machine
// lock; window procedures and timer procedures are called without it.
#include "platform/sim/include/sim/shell.h"

#include <algorithm>
#include <functional>
#include <mutex>

#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {

namespace {

std::u16string Copy(LPCWSTR text) { return text ? std::u16string(text) : std::u16string(); }

// A string held in a fixed WCHAR field: read up to its terminator, never past the field.
std::u16string CopyField(const WCHAR* field, std::size_t units) {
    std::size_t n = 0;
    while (n < units && field[n]) ++n;
    return std::u16string(field, n);
}

std::u16string Lower16(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return text;
}

std::string Utf8(const std::u16string& text) { return Narrow(text.c_str()); }

std::string OrEmpty(LPCSTR text) { return text ? std::string(text) : std::string(); }

bool InRange(UINT message, UINT min, UINT max) {
    if (min == 0 && max == 0) return true;
    return message >= min && message <= max;
}

bool Failing(Machine& machine, const char* function, DWORD* error) { return machine.TakeFailure(function, error); }

const char* LevelName(DWORD infoFlags) {
    switch (infoFlags & NIIF_ICON_MASK) {
        case NIIF_NONE: return "none";
        case NIIF_INFO: return "info";
        case NIIF_WARNING: return "warning";
        case NIIF_ERROR: return "error";
        default: return "user";
    }
}

constexpr UINT kMinTimerMs = 10;  // USER_TIMER_MINIMUM

}  // namespace

Shell::Shell(Machine& machine) : machine_(machine) {}

Shell::~Shell() = default;

// ---- lookups (lock held) ----

Shell::Window* Shell::WindowLocked(HWND hwnd) {
    auto it = windows_.find(hwnd);
    if (it == windows_.end() || !it->second.alive) return nullptr;
    return &it->second;
}

Shell::Queue& Shell::QueueLocked(ThreadRec* thread) { return queues_[thread]; }

void Shell::ReapLocked() {
    for (auto& [hwnd, window] : windows_)
        if (window.alive && window.thread && !window.thread->alive) DestroyWindowStateLocked(window);
}

void Shell::DestroyWindowStateLocked(Window& window) {
    window.alive = false;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->second.hwnd == window.hwnd) {
            machine_.CancelTimerLocked(it->second.machineTimer);
            it = timers_.erase(it);
        } else {
            ++it;
        }
    }
    auto q = queues_.find(window.thread);
    if (q != queues_.end()) {
        auto& posted = q->second.posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const MSG& m) { return m.hwnd == window.hwnd; }),
                     posted.end());
    }
    if (foreground_ == window.hwnd) foreground_ = nullptr;
}

void Shell::PostLocked(ThreadRec* thread, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = static_cast<DWORD>(machine_.TickCountMs());
    msg.pt = cursor_;
    Queue& q = QueueLocked(thread);
    q.posted.push_back(msg);
    machine_.SetEventLocked(*q.wake);
}

// ---- test side ----

std::vector<NotifyCall> Shell::NotifyCalls() {
    std::lock_guard lock(machine_.Mutex());
    return notifyCalls_;
}

std::vector<Balloon> Shell::Balloons() {
    std::lock_guard lock(machine_.Mutex());
    return balloons_;
}

std::vector<IconView> Shell::Icons() {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    std::vector<IconView> out;
    for (const Icon& icon : icons_) {
        IconView view;
        view.hwnd = icon.hwnd;
        view.id = icon.id;
        view.callbackMessage = icon.callbackMessage;
        view.icon = icon.icon;
        view.tip = Utf8(icon.tip);
        view.version = icon.version;
        view.showTip = icon.showTip;
        view.ownerAlive = WindowLocked(icon.hwnd) != nullptr;
        out.push_back(view);
    }
    return out;
}

std::optional<LoadedIcon> Shell::IconInfo(HICON icon) {
    std::lock_guard lock(machine_.Mutex());
    auto it = loadedIcons_.find(icon);
    if (it == loadedIcons_.end()) return std::nullopt;
    return it->second;
}

bool Shell::ClickIcon(UINT event, POINT at, std::size_t index) {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    if (index >= icons_.size()) return false;
    const Icon& icon = icons_[index];
    Window* window = WindowLocked(icon.hwnd);
    if (!window || icon.callbackMessage == 0) return false;
    cursor_ = at;
    if (icon.version >= NOTIFYICON_VERSION_4)
        PostLocked(window->thread, icon.hwnd, icon.callbackMessage,
                   MAKEWPARAM(static_cast<WORD>(at.x), static_cast<WORD>(at.y)),
                   MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(icon.id)));
    else
        PostLocked(window->thread, icon.hwnd, icon.callbackMessage, icon.id, static_cast<LPARAM>(event));
    return true;
}

bool Shell::UserClickIcon(IconInput input, POINT at, std::size_t index) {
    UINT version = 0;
    {
        std::lock_guard lock(machine_.Mutex());
        if (index >= icons_.size()) return false;
        version = icons_[index].version;
    }
    std::vector<UINT> events;
    switch (input) {
        case IconInput::LeftClick:
            events = {WM_LBUTTONDOWN, WM_LBUTTONUP};
            if (version >= NOTIFYICON_VERSION_4) events.push_back(NIN_SELECT);
            break;
        case IconInput::RightClick:
            events = {WM_RBUTTONDOWN, WM_RBUTTONUP};
            if (version >= NOTIFYICON_VERSION_4) events.push_back(WM_CONTEXTMENU);
            break;
        case IconInput::Keyboard:
            events = {NIN_KEYSELECT};
            break;
        case IconInput::ContextKey:
            if (version >= NOTIFYICON_VERSION_4) events = {WM_CONTEXTMENU};
            break;
    }
    for (UINT event : events)
        if (!ClickIcon(event, at, index)) return false;
    return true;
}

void Shell::SetMenuDwell(std::uint32_t ms) {
    std::lock_guard lock(machine_.Mutex());
    menuDwell_ = static_cast<Ticks>(ms) * kTicksPerMs;
}

BOOL Shell::EndMenu() {
    ThreadRec* self = machine_.CurrentThread();
    if (!self) return FALSE;
    std::lock_guard lock(machine_.Mutex());
    menuEnded_.insert(self);
    machine_.SetEventLocked(*QueueLocked(self).wake);
    return TRUE;
}

void Shell::SetNextMenuChoice(UINT_PTR id) {
    std::lock_guard lock(machine_.Mutex());
    choices_.push_back(Choice{false, id, {}});
}

void Shell::SetNextMenuChoice(const std::string& text) {
    std::lock_guard lock(machine_.Mutex());
    choices_.push_back(Choice{true, 0, text});
}

void Shell::SetNextMenuClickElsewhere() {
    std::lock_guard lock(machine_.Mutex());
    choices_.push_back(Choice{false, 0, {}, true});
}

void Shell::PostToTopLevelLocked(UINT message, WPARAM wParam, LPARAM lParam) {
    for (auto& [hwnd, w] : windows_) {
        if (!w.alive || w.parent != nullptr || !w.thread) continue;  // message-only and child windows hear nothing
        PostLocked(w.thread, hwnd, message, wParam, lParam);
    }
}

void Shell::SetTaskbarRunning(bool running) {
    {
        std::lock_guard lock(machine_.Mutex());
        if (running == taskbarRunning_) return;
    }
    machine_.AddNote("shell", running ? "the taskbar starts: \"TaskbarCreated\" to every top-level window"
                                      : "the taskbar ends (Explorer exits); its icons go with it");
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    taskbarRunning_ = running;
    if (!running) {
        icons_.clear();
        return;
    }
    auto it = registeredMessages_.find(u"taskbarcreated");
    UINT message = 0;
    if (it == registeredMessages_.end()) {
        message = nextRegisteredMessage_++;
        registeredMessages_[u"taskbarcreated"] = message;
    } else {
        message = it->second;
    }
    PostToTopLevelLocked(message, 0, 0);
}

void Shell::ChangeDpi(UINT dpi) {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    dpi_ = dpi;
    // The suggested rectangle the message points to (the windows here keep their own size).
    dpiSuggestedRect_ = RECT{0, 0, 0, 0};
    PostToTopLevelLocked(WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&dpiSuggestedRect_));
}

void Shell::ClearMenuChoices() {
    std::lock_guard lock(machine_.Mutex());
    choices_.clear();
}

std::vector<TrackedMenu> Shell::TrackedMenus() {
    std::lock_guard lock(machine_.Mutex());
    return trackedMenus_;
}

std::size_t Shell::TrackedMenuCount() {
    std::lock_guard lock(machine_.Mutex());
    return trackedMenus_.size();
}

std::optional<TrackedMenu> Shell::LastTrackedMenu() {
    std::lock_guard lock(machine_.Mutex());
    if (trackedMenus_.empty()) return std::nullopt;
    return trackedMenus_.back();
}

std::size_t Shell::LiveMenuCount() {
    std::lock_guard lock(machine_.Mutex());
    return menus_.size();
}

std::vector<WindowView> Shell::Windows() {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    std::vector<WindowView> out;
    for (const auto& [hwnd, w] : windows_)
        out.push_back(WindowView{hwnd, Utf8(w.className), Utf8(w.title), w.parent, w.style, w.processId,
                                 w.thread ? w.thread->id : 0, w.alive});
    return out;
}

HWND Shell::Foreground() {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    return foreground_;
}

void Shell::SetCursor(POINT at) {
    std::lock_guard lock(machine_.Mutex());
    cursor_ = at;
}

std::vector<ShellExecuteCall> Shell::ShellExecutes() {
    std::lock_guard lock(machine_.Mutex());
    return shellExecutes_;
}

std::size_t Shell::PendingMessages(HWND hwnd) {
    std::lock_guard lock(machine_.Mutex());
    ThreadRec* thread = nullptr;
    if (hwnd) {
        Window* w = WindowLocked(hwnd);
        if (!w) return 0;
        thread = w->thread;
    } else {
        thread = machine_.CurrentThread();
    }
    auto it = queues_.find(thread);
    if (it == queues_.end()) return 0;
    return static_cast<std::size_t>(std::count_if(it->second.posted.begin(), it->second.posted.end(),
                                                  [&](const MSG& m) { return !hwnd || m.hwnd == hwnd; }));
}

// ---- window classes and windows ----

ATOM Shell::RegisterClass(const WNDCLASSEXW* wc) {
    DWORD error;
    if (Failing(machine_, "RegisterClassExW", &error)) {
        SetError(error);
        return 0;
    }
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName)) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto process = machine_.CurrentProcess();
    const DWORD pid = process ? process->id : 0;
    std::lock_guard lock(machine_.Mutex());
    const std::u16string key = Lower16(Copy(wc->lpszClassName));
    if (classes_.count({pid, key})) {
        SetError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    classes_[{pid, key}] = WindowClass{key, Copy(wc->lpszClassName), wc->lpfnWndProc, wc->hInstance};
    return nextAtom_++;
}

BOOL Shell::UnregisterClass(LPCWSTR name) {
    if (!name || IS_INTRESOURCE(name)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto process = machine_.CurrentProcess();
    const DWORD pid = process ? process->id : 0;
    std::lock_guard lock(machine_.Mutex());
    if (!classes_.erase({pid, Lower16(Copy(name))})) {
        SetError(ERROR_CANNOT_FIND_WND_CLASS);
        return FALSE;
    }
    return TRUE;
}

HWND Shell::CreateWindow(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
                         HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    DWORD error;
    if (Failing(machine_, "CreateWindowExW", &error)) {
        SetError(error);
        return nullptr;
    }
    if (!className || IS_INTRESOURCE(className)) {
        SetError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto process = machine_.CurrentProcess();
    const DWORD pid = process ? process->id : 0;
    ThreadRec* self = machine_.CurrentThread();
    HWND hwnd;
    WNDPROC proc;
    {
        std::lock_guard lock(machine_.Mutex());
        auto it = classes_.find({pid, Lower16(Copy(className))});
        if (it == classes_.end() || !self) {
            SetError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent && parent != HWND_MESSAGE && !WindowLocked(parent)) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        hwnd = reinterpret_cast<HWND>(nextWindow_);
        nextWindow_ += 2;
        Window w;
        w.hwnd = hwnd;
        w.className = it->second.displayName;
        w.title = Copy(title);
        w.proc = it->second.proc;
        w.parent = parent;
        w.style = style;
        w.processId = pid;
        w.thread = self;
        windows_[hwnd] = w;
        proc = w.proc;
    }
    CREATESTRUCTW create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cx = cx;
    create.cy = cy;
    create.x = x;
    create.y = y;
    create.style = static_cast<LONG>(style);
    create.lpszName = title;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    const LPARAM createParam = reinterpret_cast<LPARAM>(&create);
    if (!proc || proc(hwnd, WM_NCCREATE, 0, createParam) == 0) {
        std::lock_guard lock(machine_.Mutex());
        DestroyWindowStateLocked(windows_[hwnd]);
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (proc(hwnd, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(hwnd);
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return hwnd;
}

BOOL Shell::DestroyWindow(HWND hwnd) {
    WNDPROC proc;
    {
        std::lock_guard lock(machine_.Mutex());
        Window* w = WindowLocked(hwnd);
        if (!w) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->thread != machine_.CurrentThread()) {
            SetError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        proc = w->proc;
    }
    if (proc) {
        proc(hwnd, WM_DESTROY, 0, 0);
        proc(hwnd, WM_NCDESTROY, 0, 0);
    }
    std::lock_guard lock(machine_.Mutex());
    if (Window* w = WindowLocked(hwnd)) DestroyWindowStateLocked(*w);
    return TRUE;
}

BOOL Shell::IsWindow(HWND hwnd) {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    return WindowLocked(hwnd) ? TRUE : FALSE;
}

HWND Shell::FindWindow(HWND parent, HWND after, LPCWSTR className, LPCWSTR title) {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    const std::u16string wantedClass = className && !IS_INTRESOURCE(className) ? Lower16(Copy(className)) : u"";
    bool passed = after == nullptr;
    for (auto& [hwnd, w] : windows_) {
        if (!w.alive) continue;
        if (!passed) {
            passed = hwnd == after;
            continue;
        }
        const bool messageOnly = w.parent == HWND_MESSAGE;
        if (parent == HWND_MESSAGE ? !messageOnly : (parent ? w.parent != parent : (messageOnly || w.parent)))
            continue;
        if (!wantedClass.empty() && Lower16(w.className) != wantedClass) continue;
        if (title && w.title != title) continue;
        return hwnd;
    }
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

LRESULT Shell::DefWindowProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        default:
            return 0;
    }
}

BOOL Shell::SetForegroundWindow(HWND hwnd) {
    std::lock_guard lock(machine_.Mutex());
    Window* w = WindowLocked(hwnd);
    // A message-only window has no place in the z-order: it cannot become the foreground window.
    if (!w || w->parent == HWND_MESSAGE) return FALSE;
    foreground_ = hwnd;
    return TRUE;
}

HWND Shell::GetForegroundWindow() {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    return foreground_ && WindowLocked(foreground_) ? foreground_ : nullptr;
}

UINT Shell::RegisterWindowMessage(LPCWSTR name) {
    if (!name || !*name) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard lock(machine_.Mutex());
    auto [it, added] = registeredMessages_.emplace(Lower16(Copy(name)), nextRegisteredMessage_);
    if (added) ++nextRegisteredMessage_;
    return it->second;
}

UINT Shell::GetDpiForWindow(HWND hwnd) {
    std::lock_guard lock(machine_.Mutex());
    if (!WindowLocked(hwnd)) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return dpi_;
}

BOOL Shell::GetCursorPos(LPPOINT point) {
    if (!point) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(machine_.Mutex());
    *point = cursor_;
    return TRUE;
}

// ---- messages and timers ----

bool Shell::TakeMessageLocked(ThreadRec* self, HWND hwnd, UINT min, UINT max, bool remove, MSG& out) {
    Queue& q = QueueLocked(self);
    const bool threadOnly = hwnd == reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
    auto matches = [&](HWND target) { return threadOnly ? target == nullptr : (!hwnd || target == hwnd); };
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!matches(it->hwnd) || !InRange(it->message, min, max)) continue;
        out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    if (q.quit && q.posted.empty()) {
        out = MSG{};
        out.message = WM_QUIT;
        out.wParam = static_cast<WPARAM>(q.quitCode);
        if (remove) q.quit = false;
    } else {
        // WM_TIMER is made when retrieved, once however many periods have passed.
        Timer* due = nullptr;
        for (auto& [serial, t] : timers_)
            if (t.thread == self && t.due && matches(t.hwnd) && InRange(WM_TIMER, min, max)) {
                due = &t;
                break;
            }
        if (!due) return false;
        out = MSG{};
        out.hwnd = due->hwnd;
        out.message = WM_TIMER;
        out.wParam = due->id;
        out.lParam = reinterpret_cast<LPARAM>(due->proc);
        if (remove) due->due = false;
    }
    out.time = static_cast<DWORD>(machine_.TickCountMs());
    out.pt = cursor_;
    return true;
}

BOOL Shell::GetMessage(LPMSG msg, HWND hwnd, UINT min, UINT max) {
    DWORD error;
    if (Failing(machine_, "GetMessageW", &error)) {
        SetError(error);
        return -1;
    }
    ThreadRec* self = machine_.CurrentThread();
    if (!msg || !self) {
        SetError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    for (;;) {
        std::shared_ptr<Event> wake;
        {
            std::lock_guard lock(machine_.Mutex());
            ReapLocked();
            if (hwnd && hwnd != reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1))) {
                Window* w = WindowLocked(hwnd);
                if (!w || w->thread != self) {
                    SetError(ERROR_INVALID_WINDOW_HANDLE);
                    return -1;
                }
            }
            if (TakeMessageLocked(self, hwnd, min, max, true, *msg)) return msg->message == WM_QUIT ? FALSE : TRUE;
            wake = QueueLocked(self).wake;
        }
        machine_.WaitObject(wake, kNever);
    }
}

BOOL Shell::PeekMessage(LPMSG msg, HWND hwnd, UINT min, UINT max, UINT remove) {
    ThreadRec* self = machine_.CurrentThread();
    if (!msg || !self) return FALSE;
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    return TakeMessageLocked(self, hwnd, min, max, (remove & PM_REMOVE) != 0, *msg) ? TRUE : FALSE;
}

LRESULT Shell::DispatchMessage(const MSG* msg) {
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    WNDPROC proc;
    {
        std::lock_guard lock(machine_.Mutex());
        Window* w = WindowLocked(msg->hwnd);
        if (!w) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        proc = w->proc;
    }
    return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL Shell::PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(machine_.Mutex());
    ReapLocked();
    ThreadRec* target = machine_.CurrentThread();
    if (hwnd) {
        Window* w = WindowLocked(hwnd);
        if (!w) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        target = w->thread;
    }
    if (!target) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PostLocked(target, hwnd, message, wParam, lParam);
    return TRUE;
}

void Shell::PostQuitMessage(int code) {
    ThreadRec* self = machine_.CurrentThread();
    if (!self) return;
    std::lock_guard lock(machine_.Mutex());
    Queue& q = QueueLocked(self);
    q.quit = true;
    q.quitCode = code;
    machine_.SetEventLocked(*q.wake);
}

void Shell::StartTimerLocked(Timer& timer, Ticks due) {
    const std::uint64_t serial = timer.serial;
    timer.machineTimer = machine_.AddTimerLocked(due, [this, serial, due] { FireTimerLocked(serial, due); });
}

void Shell::FireTimerLocked(std::uint64_t serial, Ticks due) {
    auto it = timers_.find(serial);
    if (it == timers_.end()) return;
    Timer& timer = it->second;
    if (!timer.thread->alive) {  // the thread ended without killing it: nobody will retrieve it
        timers_.erase(it);
        return;
    }
    timer.due = true;
    machine_.SetEventLocked(*QueueLocked(timer.thread).wake);
    StartTimerLocked(timer, due + timer.period);
}

UINT_PTR Shell::SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    DWORD error;
    if (Failing(machine_, "SetTimer", &error)) {
        SetError(error);
        return 0;
    }
    ThreadRec* self = machine_.CurrentThread();
    if (!self) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard lock(machine_.Mutex());
    if (hwnd) {
        Window* w = WindowLocked(hwnd);
        if (!w || w->thread != self) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    } else {
        id = 0x7FFF + nextTimerSerial_;  // thread timers get an id of their own
    }
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (hwnd && it->second.hwnd == hwnd && it->second.id == id) {
            machine_.CancelTimerLocked(it->second.machineTimer);
            timers_.erase(it);
            break;
        }
    }
    Timer timer;
    timer.serial = nextTimerSerial_++;
    timer.hwnd = hwnd;
    timer.id = id;
    timer.period = static_cast<Ticks>(std::max(elapse, kMinTimerMs)) * kTicksPerMs;
    timer.proc = proc;
    timer.thread = self;
    Timer& stored = timers_[timer.serial] = timer;
    StartTimerLocked(stored, machine_.Now() + stored.period);
    return hwnd ? (id ? id : 1) : id;
}

BOOL Shell::KillTimer(HWND hwnd, UINT_PTR id) {
    std::lock_guard lock(machine_.Mutex());
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.hwnd == hwnd && it->second.id == id) {
            machine_.CancelTimerLocked(it->second.machineTimer);
            timers_.erase(it);
            return TRUE;
        }
    }
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// ---- menus ----

HMENU Shell::CreatePopupMenu() {
    DWORD error;
    if (Failing(machine_, "CreatePopupMenu", &error)) {
        SetError(error);
        return nullptr;
    }
    ThreadRec* self = machine_.CurrentThread();
    bool nested;
    {
        std::lock_guard lock(machine_.Mutex());
        nested = std::any_of(menus_.begin(), menus_.end(), [&](const auto& m) { return m.second.creator == self; });
    }
    if (nested && Failing(machine_, "CreatePopupMenu:nested", &error)) {
        SetError(error);
        return nullptr;
    }
    std::lock_guard lock(machine_.Mutex());
    HMENU menu = reinterpret_cast<HMENU>(nextMenu_);
    nextMenu_ += 2;
    menus_[menu].creator = self;
    return menu;
}

void Shell::DestroyMenuLocked(HMENU menu) {
    auto it = menus_.find(menu);
    if (it == menus_.end()) return;
    std::vector<HMENU> popups;
    for (const MenuItem& item : it->second.items)
        if (item.flags & MF_POPUP) popups.push_back(reinterpret_cast<HMENU>(item.id));
    menus_.erase(it);
    for (HMENU popup : popups) DestroyMenuLocked(popup);
}

BOOL Shell::DestroyMenu(HMENU menu) {
    std::lock_guard lock(machine_.Mutex());
    if (!menus_.count(menu)) {
        SetError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    DestroyMenuLocked(menu);
    return TRUE;
}

BOOL Shell::InsertMenu(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR text, bool append) {
    DWORD error;
    if (Failing(machine_, append ? "AppendMenuW" : "InsertMenuW", &error)) {
        SetError(error);
        return FALSE;
    }
    std::lock_guard lock(machine_.Mutex());
    auto it = menus_.find(menu);
    if (it == menus_.end()) {
        SetError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    if ((flags & MF_POPUP) && !menus_.count(reinterpret_cast<HMENU>(id))) {
        SetError(ERROR_INVALID_MENU_HANDLE);
        return FALSE;
    }
    MenuItem item;
    item.flags = flags & ~MF_BYPOSITION;
    item.id = id;
    if (!(flags & MF_SEPARATOR)) item.text = Copy(text);
    auto& items = it->second.items;
    auto where = items.end();
    if (!append) {
        if (flags & MF_BYPOSITION) {
            if (position < items.size()) where = items.begin() + position;
        } else {
            where = std::find_if(items.begin(), items.end(), [&](const MenuItem& m) {
                return !(m.flags & MF_POPUP) && m.id == position;
            });
            if (where == items.end()) {
                SetError(ERROR_MENU_ITEM_NOT_FOUND);
                return FALSE;
            }
        }
    }
    items.insert(where, std::move(item));
    return TRUE;
}

Shell::MenuItem* Shell::FindItemLocked(HMENU menu, UINT item, bool byPosition) {
    auto it = menus_.find(menu);
    if (it == menus_.end()) return nullptr;
    auto& items = it->second.items;
    if (byPosition) return item < items.size() ? &items[item] : nullptr;
    for (MenuItem& m : items) {
        if (m.flags & MF_POPUP) {
            if (MenuItem* inner = FindItemLocked(reinterpret_cast<HMENU>(m.id), item, false)) return inner;
        } else if (m.id == item) {
            return &m;
        }
    }
    return nullptr;
}

DWORD Shell::CheckMenuItem(HMENU menu, UINT item, UINT check) {
    std::lock_guard lock(machine_.Mutex());
    MenuItem* m = FindItemLocked(menu, item, (check & MF_BYPOSITION) != 0);
    if (!m) return static_cast<DWORD>(-1);
    const DWORD previous = m->flags & MF_CHECKED;
    m->flags = (m->flags & ~MF_CHECKED) | (check & MF_CHECKED);
    return previous;
}

BOOL Shell::EnableMenuItem(HMENU menu, UINT item, UINT enable) {
    std::lock_guard lock(machine_.Mutex());
    MenuItem* m = FindItemLocked(menu, item, (enable & MF_BYPOSITION) != 0);
    if (!m) return -1;
    const BOOL previous = static_cast<BOOL>(m->flags & (MF_GRAYED | MF_DISABLED));
    m->flags = (m->flags & ~(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
    return previous;
}

int Shell::GetMenuItemCount(HMENU menu) {
    std::lock_guard lock(machine_.Mutex());
    auto it = menus_.find(menu);
    if (it == menus_.end()) {
        SetError(ERROR_INVALID_MENU_HANDLE);
        return -1;
    }
    return static_cast<int>(it->second.items.size());
}

std::vector<MenuItemView> Shell::SnapshotLocked(HMENU menu, int depth) {
    std::vector<MenuItemView> out;
    auto it = menus_.find(menu);
    if (it == menus_.end() || depth > 8) return out;
    out.reserve(it->second.items.size());
    for (const MenuItem& item : it->second.items) {
        MenuItemView view;
        view.flags = item.flags;
        view.text = Utf8(item.text);
        if (item.flags & MF_POPUP)
            view.submenu = SnapshotLocked(reinterpret_cast<HMENU>(item.id), depth + 1);
        else
            view.id = item.id;
        out.push_back(std::move(view));
    }
    return out;
}

namespace {

const MenuItemView* FindView(const std::vector<MenuItemView>& items, const std::function<bool(const MenuItemView&)>& f) {
    for (const MenuItemView& item : items) {
        if (item.Popup()) {
            if (item.Grayed()) continue;  // a grayed popup cannot be opened
            if (const MenuItemView* inner = FindView(item.submenu, f)) return inner;
        } else if (f(item)) {
            return &item;
        }
    }
    return nullptr;
}

}  // namespace

BOOL Shell::TrackPopupMenu(HMENU menu, UINT flags, int x, int y, HWND owner) {
    DWORD error;
    if (Failing(machine_, "TrackPopupMenu", &error)) {
        SetError(error);
        return FALSE;
    }
    TrackedMenu record;
    std::string note;
    decltype(record.chosen) chosenId{};
    ThreadRec* self = machine_.CurrentThread();
    Ticks dwell = 0;
    {
        std::lock_guard lock(machine_.Mutex());
        ReapLocked();
        if (!menus_.count(menu)) {
            SetError(ERROR_INVALID_MENU_HANDLE);
            return FALSE;
        }
        Window* w = WindowLocked(owner);
        if (!w || w->thread != self) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (tracking_.count(self)) {  // a menu of this thread is open: its loop dispatched this call
            SetError(ERROR_POPUP_ALREADY_ACTIVE);
            return FALSE;
        }
        tracking_.insert(self);
        record.time = machine_.Now();
        record.owner = owner;
        record.x = x;
        record.y = y;
        record.flags = flags;
        record.ownerWasForeground = foreground_ == owner;
        record.items = SnapshotLocked(menu, 0);
        dwell = menuDwell_;
        menuEnded_.erase(self);
    }
    // The menu's modal loop: while the menu is open the thread's posted messages and timers are
    // dispatched as usual, until the user answers (after the dwell) or EndMenu ends it.
    bool ended = false;
    if (dwell > 0) {
        const Ticks end = machine_.Now() + dwell;
        for (;;) {
            MSG msg{};
            std::shared_ptr<Event> wake;
            bool got = false;
            {
                std::lock_guard lock(machine_.Mutex());
                if (menuEnded_.erase(self)) {
                    ended = true;
                    break;
                }
                Queue& q = QueueLocked(self);
                if (q.quit && q.posted.empty()) {  // WM_QUIT ends the menu and stays for the loop outside
                    ended = true;
                    break;
                }
                got = TakeMessageLocked(self, nullptr, 0, 0, true, msg);
                wake = q.wake;
            }
            if (got) {
                DispatchMessage(&msg);
                continue;
            }
            const Ticks now = machine_.Now();
            if (now >= end) break;
            machine_.WaitObject(wake, end - now);
        }
    }
    {
        std::lock_guard lock(machine_.Mutex());
        menuEnded_.erase(self);
        tracking_.erase(self);
        if (!ended && !choices_.empty()) {
            const Choice choice = choices_.front();
            choices_.pop_front();
            // A user clicks an item that can be chosen: of items with the same text, not a grayed one.
            const MenuItemView* chosen = FindView(record.items, [&](const MenuItemView& item) {
                const bool named = choice.byText ? item.text == choice.text : (choice.id != 0 && item.id == choice.id);
                return named && item.Selectable();
            });
            if (chosen) record.chosen = chosen->id;
            if (choice.clickElsewhere) foreground_ = nullptr;  // another program's window took it
        }
        // The note is written from the record before the record moves into the list.
        note = "menu opened at " + std::to_string(x) + "," + std::to_string(y) + ": ";
        if (record.chosen) {
            const MenuItemView* chosen =
                FindView(record.items, [&](const MenuItemView& item) { return item.id == record.chosen; });
            note += "chose \"" + (chosen ? chosen->text : std::string()) + "\"";
        } else {
            note += "dismissed";
        }
        chosenId = record.chosen;
        trackedMenus_.push_back(std::move(record));
    }
    machine_.AddNote("shell", note);
    if (flags & TPM_RETURNCMD) return static_cast<BOOL>(chosenId);
    if (chosenId) PostMessage(owner, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(chosenId), 0), 0);
    return TRUE;
}

// ---- icons and the notification area ----

HRESULT Shell::LoadIconMetric(HINSTANCE instance, PCWSTR name, int metric, HICON* icon) {
    DWORD error;
    if (Failing(machine_, "LoadIconMetric", &error)) {
        if (icon) *icon = nullptr;
        return HRESULT_FROM_WIN32(error);
    }
    if (!icon || !name || (metric != LIM_SMALL && metric != LIM_LARGE)) return E_INVALIDARG;
    *icon = AddIcon(instance, name, metric == LIM_SMALL ? 16 : 32, metric);
    return S_OK;
}

HICON Shell::AddIcon(HINSTANCE instance, LPCWSTR name, int size, int metric) {
    std::lock_guard lock(machine_.Mutex());
    HICON handle = reinterpret_cast<HICON>(nextIcon_);
    nextIcon_ += 2;
    LoadedIcon loaded;
    loaded.module = instance;
    loaded.resourceId = IS_INTRESOURCE(name) ? static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name)) : 0;
    loaded.metric = metric;
    loaded.size = size;
    loadedIcons_[handle] = loaded;
    return handle;
}

HANDLE Shell::LoadImage(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    DWORD error;
    if (Failing(machine_, "LoadImageW", &error)) {
        SetError(error);
        return nullptr;
    }
    if (!name || type != IMAGE_ICON || cx < 0 || cy < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    (void)flags;
    return AddIcon(instance, name, cx ? cx : 32);  // 0: the resource's own size (the sim's icons are drawn at 32)
}

HICON Shell::LoadIcon(HINSTANCE instance, LPCWSTR name) {
    if (!name) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return AddIcon(instance, name, 32);
}

BOOL Shell::DestroyIcon(HICON icon) {
    std::lock_guard lock(machine_.Mutex());
    if (!loadedIcons_.erase(icon)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL Shell::NotifyIcon(DWORD message, PNOTIFYICONDATAW data) {
    DWORD error;
    const bool failing = Failing(machine_, "Shell_NotifyIconW", &error);
    auto process = machine_.CurrentProcess();
    if (!data) return FALSE;
    NotifyCall call;
    BOOL result = FALSE;
    call.time = machine_.Now();
    call.processId = process ? process->id : 0;
    call.message = message;
    call.cbSize = data->cbSize;
    const bool sizeKnown = data->cbSize == sizeof(NOTIFYICONDATAW) || data->cbSize == NOTIFYICONDATAW_V3_SIZE ||
                           data->cbSize == NOTIFYICONDATAW_V2_SIZE || data->cbSize == NOTIFYICONDATAW_V1_SIZE;
    const bool v2 = data->cbSize >= NOTIFYICONDATAW_V2_SIZE;
    call.hwnd = data->hWnd;
    call.id = data->uID;
    call.flags = data->uFlags;
    if (sizeKnown) {
        call.callbackMessage = data->uCallbackMessage;
        call.icon = data->hIcon;
        call.tip = Utf8(CopyField(data->szTip, v2 ? 128 : 64));
        if (v2) {
            call.info = Utf8(CopyField(data->szInfo, 256));
            call.infoTitle = Utf8(CopyField(data->szInfoTitle, 64));
            call.infoFlags = data->dwInfoFlags;
            call.version = data->uVersion;
        }
        if (data->cbSize == sizeof(NOTIFYICONDATAW)) call.balloonIcon = data->hBalloonIcon;
    }

    std::string note;
    {
        std::lock_guard lock(machine_.Mutex());
        ReapLocked();
        auto it = std::find_if(icons_.begin(), icons_.end(),
                               [&](const Icon& i) { return i.hwnd == data->hWnd && i.id == data->uID; });
        const bool exists = it != icons_.end();
        bool ok = sizeKnown && !failing && taskbarRunning_;
        bool balloon = false;
        if (ok) {
            switch (message) {
                case NIM_ADD:
                    ok = !exists && WindowLocked(data->hWnd) != nullptr;
                    if (ok) {
                        icons_.push_back(Icon{data->hWnd, data->uID, 0, nullptr, {}, 0, false});
                        it = icons_.end() - 1;
                    }
                    break;
                case NIM_MODIFY:
                case NIM_SETFOCUS:
                    ok = exists;
                    break;
                case NIM_DELETE:
                    ok = exists;
                    if (ok) icons_.erase(it);
                    break;
                case NIM_SETVERSION:
                    ok = exists && v2 && (call.version == 0 || call.version == NOTIFYICON_VERSION ||
                                          call.version == NOTIFYICON_VERSION_4);
                    if (ok) it->version = call.version;
                    break;
                default:
                    ok = false;
            }
        }
        if (ok && (message == NIM_ADD || message == NIM_MODIFY)) {
            if (call.flags & NIF_MESSAGE) it->callbackMessage = call.callbackMessage;
            if (call.flags & NIF_ICON) it->icon = call.icon;
            if (call.flags & NIF_TIP) it->tip = Wide(call.tip);
            it->showTip = (call.flags & NIF_SHOWTIP) != 0;
            balloon = (call.flags & NIF_INFO) && !call.info.empty();
        }
        call.result = ok ? TRUE : FALSE;
        result = call.result;
        if (balloon) {
            balloons_.push_back(Balloon{call.time, call.hwnd, call.id, call.infoTitle, call.info, call.infoFlags,
                                        call.balloonIcon});
            note = std::string("balloon (") + LevelName(call.infoFlags) + ") \"" + call.info + "\"";
        }
        notifyCalls_.push_back(std::move(call));
        if (!ok) SetError(failing ? error : ERROR_INVALID_PARAMETER);
    }
    if (!note.empty()) machine_.AddNote("shell", note);
    return result;
}

HINSTANCE Shell::ShellExecute(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show) {
    DWORD error;
    if (Failing(machine_, "ShellExecuteA", &error)) {
        SetError(error);
        return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(error > 0 && error <= 32 ? error : 2));
    }
    ShellExecuteCall call{machine_.Now(), hwnd, OrEmpty(verb), OrEmpty(file), OrEmpty(parameters), OrEmpty(directory),
                          show};
    {
        std::lock_guard lock(machine_.Mutex());
        shellExecutes_.push_back(call);
    }
    machine_.AddNote("shell", "open \"" + call.file + "\" (" + (call.verb.empty() ? "default" : call.verb) + ")");
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

// ---- the shell of a machine ----

Shell& ShellOf(Machine& machine) {
    // The shell is kept in the machine's handle table, so it dies with the machine; this map only finds it.
    static std::mutex mapMutex;
    static std::map<Machine*, std::weak_ptr<Shell>> shells;
    std::lock_guard lock(mapMutex);
    std::erase_if(shells, [&](const auto& entry) { return entry.first != &machine && entry.second.expired(); });
    std::weak_ptr<Shell>& slot = shells[&machine];
    if (auto existing = slot.lock()) return *existing;
    auto shell = std::make_shared<Shell>(machine);
    machine.AddHandleFor(nullptr, shell);  // the machine's, whichever program asked first
    slot = shell;
    return *shell;
}

}  // namespace sim

// ---- the Win32 functions ----

namespace {
sim::Shell& S() { return sim::ShellOf(sim::Machine::Current()); }
}  // namespace

ATOM RegisterClassExW(const WNDCLASSEXW* wc) { return S().RegisterClass(wc); }
BOOL UnregisterClassW(LPCWSTR name, HINSTANCE) { return S().UnregisterClass(name); }
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int cx, int cy,
                     HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    return S().CreateWindow(exStyle, className, title, style, x, y, cx, cy, parent, menu, instance, param);
}
BOOL DestroyWindow(HWND hwnd) { return S().DestroyWindow(hwnd); }
BOOL IsWindow(HWND hwnd) { return S().IsWindow(hwnd); }
HWND FindWindowExW(HWND parent, HWND after, LPCWSTR className, LPCWSTR title) {
    return S().FindWindow(parent, after, className, title);
}
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return S().DefWindowProc(hwnd, message, wParam, lParam);
}
BOOL SetForegroundWindow(HWND hwnd) { return S().SetForegroundWindow(hwnd); }
BOOL GetCursorPos(LPPOINT point) { return S().GetCursorPos(point); }
HWND GetForegroundWindow() { return S().GetForegroundWindow(); }
UINT RegisterWindowMessageW(LPCWSTR name) { return S().RegisterWindowMessage(name); }
UINT GetDpiForWindow(HWND hwnd) { return S().GetDpiForWindow(hwnd); }
int GetSystemMetricsForDpi(int index, UINT dpi) {
    switch (index) {
        case SM_CXICON:
        case SM_CYICON: return static_cast<int>(32 * dpi / USER_DEFAULT_SCREEN_DPI);
        case SM_CXSMICON:
        case SM_CYSMICON: return static_cast<int>(16 * dpi / USER_DEFAULT_SCREEN_DPI);
        default: return 0;  // the metrics the programs do not ask for
    }
}

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT min, UINT max) { return S().GetMessage(msg, hwnd, min, max); }
BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT min, UINT max, UINT remove) {
    return S().PeekMessage(msg, hwnd, min, max, remove);
}
BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard input reaches the simulated programs
LRESULT DispatchMessageW(const MSG* msg) { return S().DispatchMessage(msg); }
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return S().PostMessage(hwnd, message, wParam, lParam);
}
void PostQuitMessage(int code) { S().PostQuitMessage(code); }
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) { return S().SetTimer(hwnd, id, elapse, proc); }
BOOL KillTimer(HWND hwnd, UINT_PTR id) { return S().KillTimer(hwnd, id); }

HMENU CreatePopupMenu() { return S().CreatePopupMenu(); }
BOOL DestroyMenu(HMENU menu) { return S().DestroyMenu(menu); }
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
    return S().InsertMenu(menu, 0, flags, id, text, true);
}
BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR id, LPCWSTR text) {
    return S().InsertMenu(menu, position, flags, id, text, false);
}
DWORD CheckMenuItem(HMENU menu, UINT item, UINT check) { return S().CheckMenuItem(menu, item, check); }
BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable) { return S().EnableMenuItem(menu, item, enable); }
int GetMenuItemCount(HMENU menu) { return S().GetMenuItemCount(menu); }
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
    return S().TrackPopupMenu(menu, flags, x, y, owner);
}
BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, LPTPMPARAMS) {
    return S().TrackPopupMenu(menu, flags, x, y, owner);
}

HRESULT LoadIconMetric(HINSTANCE instance, PCWSTR name, int metric, HICON* icon) {
    return S().LoadIconMetric(instance, name, metric, icon);
}
HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT flags) {
    return S().LoadImage(instance, name, type, cx, cy, flags);
}
HICON LoadIconW(HINSTANCE instance, LPCWSTR name) { return S().LoadIcon(instance, name); }
BOOL DestroyIcon(HICON icon) { return S().DestroyIcon(icon); }
BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) { return S().NotifyIcon(message, data); }
BOOL EndMenu() { return S().EndMenu(); }

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory, INT show) {
    return S().ShellExecute(hwnd, verb, file, parameters, directory, show);
}
