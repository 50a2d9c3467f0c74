// Kernel objects, threads, waits, locks, time and memory of the simulated machine.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {
DWORD CurrentLastError();
}

using sim::Machine;

namespace {

Machine& M() { return Machine::Current(); }

// The current-process pseudo handle: the same value as INVALID_HANDLE_VALUE, as on Windows.
bool IsCurrentProcessHandle(HANDLE h) { return h == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

// Looks up a waitable for a handle, including the current-process pseudo handle: a wait on it lasts
// until the calling program's process ends, that is, for a thread of that process, never.
std::shared_ptr<sim::Waitable> WaitableFor(HANDLE h) {
    if (IsCurrentProcessHandle(h)) {
        if (auto process = M().CurrentProcess()) return process;
        return std::make_shared<sim::Event>(true, false);  // a thread of no program: its "process" never ends
    }
    return M().LookupAs<sim::Waitable>(h);
}

sim::Ticks ToTicks(DWORD ms) { return ms == INFINITE ? sim::kNever : static_cast<sim::Ticks>(ms) * sim::kTicksPerMs; }

// A critical section, waited on like any other object so a blocked thread lets virtual time move.
class CriticalSectionObject final : public sim::Waitable {
public:
    const char* TypeName() const override { return "CriticalSection"; }
    bool IsSignaledFor(const sim::ThreadRec* t) const override { return owner == nullptr || owner == t; }
    void Acquire(sim::ThreadRec* t) override {
        owner = t;
        ++recursion;
    }
    sim::ThreadRec* owner = nullptr;
    int recursion = 0;
};

std::shared_ptr<CriticalSectionObject>& CsOf(LPCRITICAL_SECTION cs) {
    return *reinterpret_cast<std::shared_ptr<CriticalSectionObject>*>(cs->DebugInfo);
}

}  // namespace

BOOL CloseHandle(HANDLE h) {
    DWORD err;
    if (M().TakeFailure("CloseHandle", &err)) {
        sim::SetError(err);
        return FALSE;
    }
    if (IsCurrentProcessHandle(h) || h == GetCurrentThread()) return TRUE;  // closing a pseudo handle does nothing
    if (!M().CloseHandleValue(h)) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace {

// The process a process handle names: the caller's own for GetCurrentProcess(), null when not a process.
bool ProcessOfHandle(HANDLE h, sim::Process** process) {
    if (h == GetCurrentProcess()) {
        *process = M().CurrentProcessRaw();
        return true;
    }
    auto p = M().LookupAs<sim::Process>(h);
    if (!p || p->exited) return false;
    *process = p.get();
    return true;
}

}  // namespace

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target, DWORD access,
                     BOOL, DWORD options) {
    DWORD err;
    if (M().TakeFailure("DuplicateHandle", &err)) {
        sim::SetError(err);
        return FALSE;
    }
    sim::Process* from = nullptr;
    sim::Process* to = nullptr;
    if (!ProcessOfHandle(sourceProcess, &from) || !ProcessOfHandle(targetProcess, &to)) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<sim::Object> object;
    DWORD sourceAccess = Machine::kAllAccess;
    if (source == GetCurrentThread() && from == M().CurrentProcessRaw()) {
        object = M().Lookup(source);
    } else if (IsCurrentProcessHandle(source) && from == M().CurrentProcessRaw()) {
        object = M().CurrentProcess();  // a real handle to the calling program's process
    } else {
        std::lock_guard lock(M().Mutex());
        object = M().LookupIn(from, source, &sourceAccess);
    }
    if (!object) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD granted = (options & DUPLICATE_SAME_ACCESS) ? sourceAccess : access;
    HANDLE duplicate = M().AddHandleFor(to, object, granted);
    if (target) {
        *target = duplicate;
    } else {
        M().CloseHandleIn(to, duplicate);  // a null target only closes the source (with the option)
    }
    if (options & DUPLICATE_CLOSE_SOURCE) M().CloseHandleIn(from, source);
    return TRUE;
}

DWORD GetLastError() { return sim::CurrentLastError(); }
void SetLastError(DWORD e) { sim::SetError(e); }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, LPCWSTR name) {
    DWORD err;
    if (M().TakeFailure("CreateEventW", &err)) {
        sim::SetError(err);
        return nullptr;
    }
    if (name) {  // named events are not used by the programs
        sim::SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return M().AddHandle(std::make_shared<sim::Event>(manual != FALSE, initial != FALSE));
}

namespace {

// A mutex: owned by one thread at a time, recursively; signalled while nobody owns it. A thread that ends
// owning it leaves it abandoned: the next wait takes it (and Windows says WAIT_ABANDONED; the programs
// do not wait on mutexes, so the sim reports it as an ordinary acquisition).
class Mutant final : public sim::Waitable {
public:
    const char* TypeName() const override { return "Mutant"; }
    bool IsSignaledFor(const sim::ThreadRec* thread) const override {
        return !owner || owner == thread || !owner->alive;
    }
    void Acquire(sim::ThreadRec* thread) override {
        if (owner != thread) count = 0;
        owner = thread;
        ++count;
    }
    sim::ThreadRec* owner = nullptr;
    unsigned count = 0;
};

// The named mutexes, by namespace and name: session 0 holds the global namespace.
struct NamedMutexes {
    explicit NamedMutexes(sim::Machine&) {}
    std::map<std::pair<DWORD, std::u16string>, std::weak_ptr<Mutant>> names;
};

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    DWORD err;
    if (M().TakeFailure("CreateMutexW", &err)) {
        sim::SetError(err);
        return nullptr;
    }
    auto process = M().CurrentProcess();
    NamedMutexes& table = M().Part<NamedMutexes>();
    sim::ThreadRec* self = M().CurrentThread();
    std::shared_ptr<Mutant> mutant;
    bool existed = false;
    {
        std::lock_guard lock(M().Mutex());
        if (name) {
            std::u16string text(name);
            DWORD space = process ? process->sessionId : 0;
            if (text.rfind(u"Global\\", 0) == 0) {
                space = 0;
                text.erase(0, 7);
            } else if (text.rfind(u"Local\\", 0) == 0) {
                text.erase(0, 6);
            }
            std::weak_ptr<Mutant>& slot = table.names[{space, text}];
            mutant = slot.lock();
            existed = mutant != nullptr;
            if (!mutant) slot = mutant = std::make_shared<Mutant>();
        } else {
            mutant = std::make_shared<Mutant>();
        }
        if (initialOwner && !existed) mutant->Acquire(self);
    }
    HANDLE handle = M().AddHandle(mutant);
    sim::SetError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReleaseMutex(HANDLE h) {
    auto mutant = M().LookupAs<Mutant>(h);
    if (!mutant) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(M().Mutex());
    if (mutant->owner != M().CurrentThread() || mutant->count == 0) {
        sim::SetError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutant->count == 0) {
        mutant->owner = nullptr;
        M().NotifySignaledLocked(*mutant);
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
    if (name) {
        sim::SetError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventW(sa, manual, initial, nullptr);
}

// The event of a handle that may change its state.
static std::shared_ptr<sim::Event> ModifiableEvent(HANDLE h) {
    auto ev = M().LookupAs<sim::Event>(h);
    if (!ev) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(M().HandleAccess(h) & EVENT_MODIFY_STATE)) {
        sim::SetError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return ev;
}

BOOL SetEvent(HANDLE h) {
    auto ev = ModifiableEvent(h);
    if (!ev) return FALSE;
    std::lock_guard lock(M().Mutex());
    M().SetEventLocked(*ev);
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto ev = ModifiableEvent(h);
    if (!ev) return FALSE;
    std::lock_guard lock(M().Mutex());
    ev->signaled = false;
    return TRUE;
}

namespace {

// Each wait function counts as itself (and takes its own injected faults), then waits here.
DWORD WaitFor(const char* function, DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
    DWORD err;
    if (M().TakeFailure(function, &err)) {
        sim::SetError(err);
        return WAIT_FAILED;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<sim::Waitable>> objects;
    std::shared_ptr<sim::Waitable> single;  // one handle (waiting for all of one is waiting for it): no list
    for (DWORD i = 0; i < count; ++i) {
        auto w = WaitableFor(handles[i]);
        if (!w) {
            sim::SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (!(M().HandleAccess(handles[i]) & SYNCHRONIZE)) {
            sim::SetError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        if (count == 1)
            single = std::move(w);
        else
            objects.push_back(std::move(w));
    }
    if (count == 1) return M().WaitObject(single, ToTicks(ms), sim::Machine::TimeOut::OnTimerTick);
    return M().WaitObjects(objects, all != FALSE, ToTicks(ms), sim::Machine::TimeOut::OnTimerTick);
}

}  // namespace

DWORD WaitForSingleObject(HANDLE h, DWORD ms) { return WaitFor("WaitForSingleObject", 1, &h, FALSE, ms); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
    return WaitFor("WaitForMultipleObjects", count, handles, all, ms);
}

void Sleep(DWORD ms) { M().WaitObjects({}, false, ToTicks(ms), sim::Machine::TimeOut::OnTimerTick); }

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* arg, unsigned, unsigned* id) {
    DWORD err;
    if (M().TakeFailure("_beginthreadex", &err)) {
        sim::SetError(err);
        return 0;
    }
    DWORD tid = 0;
    HANDLE h = M().StartThread([start, arg] { return start(arg); }, &tid);
    if (id) *id = tid;
    return reinterpret_cast<uintptr_t>(h);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID arg, DWORD, LPDWORD id) {
    DWORD tid = 0;
    HANDLE h = M().StartThread([start, arg] { return static_cast<unsigned>(start(arg)); }, &tid);
    if (id) *id = tid;
    return h;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }

DWORD GetCurrentThreadId() {
    sim::ThreadRec* t = M().CurrentThread();
    return t ? t->id : 0;
}

DWORD GetCurrentProcessId() {
    auto p = M().CurrentProcess();
    return p ? p->id : 4;
}

BOOL SetThreadPriority(HANDLE h, int priority) {
    auto t = M().LookupAs<sim::ThreadObject>(h);
    if (!t) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The levels of a normal priority class; anything else is refused.
    const bool level = (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
                       priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
    if (!level) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(M().Mutex());
    t->rec->priority = priority;
    M().ApplyHostPriorityLocked(t->rec);
    return TRUE;
}

int GetThreadPriority(HANDLE h) {
    auto t = M().LookupAs<sim::ThreadObject>(h);
    if (!t) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard lock(M().Mutex());
    return t->rec->priority;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD code) {
    auto t = M().LookupAs<sim::ThreadObject>(h);
    if (!t || !code) {
        sim::SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(M().Mutex());
    *code = t->exitCode;
    return TRUE;
}

// ---- critical sections ----

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    std::memset(cs, 0, sizeof(*cs));
    cs->LockCount = -1;
    cs->DebugInfo = reinterpret_cast<RTL_CRITICAL_SECTION_DEBUG*>(
        new std::shared_ptr<CriticalSectionObject>(std::make_shared<CriticalSectionObject>()));
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs->DebugInfo) return;
    delete &CsOf(cs);
    cs->DebugInfo = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    auto object = CsOf(cs);
    M().WaitObject(object, sim::kNever);
    std::lock_guard lock(M().Mutex());
    cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(object->owner->id));
    cs->RecursionCount = object->recursion;
    cs->LockCount = 0;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    auto object = CsOf(cs);
    if (M().WaitObject(object, 0) != WAIT_OBJECT_0) return FALSE;
    std::lock_guard lock(M().Mutex());
    cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(object->owner->id));
    cs->RecursionCount = object->recursion;
    return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    auto object = CsOf(cs);
    std::lock_guard lock(M().Mutex());
    if (object->owner != M().CurrentThread() || object->recursion == 0)
        M().ReportLockMisuse(object->owner ? "LeaveCriticalSection by a thread that does not own the critical section"
                                           : "LeaveCriticalSection of a critical section nobody holds");
    if (--object->recursion == 0) {
        object->owner = nullptr;
        cs->OwningThread = nullptr;
        cs->LockCount = -1;
        M().NotifySignaledLocked(*object);
    }
    cs->RecursionCount = object->recursion;
}

// ---- time ----

MMRESULT timeBeginPeriod(UINT period) { return M().BeginTimerPeriod(period) ? TIMERR_NOERROR : TIMERR_NOCANDO; }
MMRESULT timeEndPeriod(UINT period) { return M().EndTimerPeriod(period) ? TIMERR_NOERROR : TIMERR_NOCANDO; }
DWORD timeGetTime() { return static_cast<DWORD>(M().TimeGetTimeMs()); }
DWORD GetTickCount() { return static_cast<DWORD>(M().SystemTickCountMs()); }
ULONGLONG GetTickCount64() { return M().SystemTickCountMs(); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = M().PerformanceCount();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 10'000'000;
    return TRUE;
}

// ---- memory and output ----

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!p) sim::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL LocalFree(HLOCAL mem) {
    std::free(mem);
    return nullptr;
}

void OutputDebugStringA(LPCSTR text) {
    if (text) M().AddNote("debug", text);
}

// ---- the console ----

HANDLE GetStdHandle(DWORD) { return nullptr; }

BOOL GetConsoleMode(HANDLE, LPDWORD mode) {
    if (mode) *mode = 0;
    sim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL SetConsoleMode(HANDLE, DWORD) {
    sim::SetError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// ---- strings ----

int lstrlenA(LPCSTR s) { return s ? static_cast<int>(std::strlen(s)) : 0; }

int lstrlenW(LPCWSTR s) {
    if (!s) return 0;
    int n = 0;
    while (s[n]) ++n;
    return n;
}

LPSTR lstrcpynA(LPSTR dst, LPCSTR src, int max) {
    if (!dst || max <= 0) return dst;
    int i = 0;
    for (; i < max - 1 && src && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max) {
    if (!dst || max <= 0) return dst;
    int i = 0;
    for (; i < max - 1 && src && src[i]; ++i) dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

namespace {
WCHAR Lower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c; }
}  // namespace

int lstrcmpW(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (!*a) return 0;
    }
}

int lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        const WCHAR x = Lower(*a), y = Lower(*b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

LPWSTR CharLowerW(LPWSTR s) {
    for (LPWSTR p = s; p && *p; ++p) *p = Lower(*p);
    return s;
}
