#include "platform/sim/include/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/modules.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"

namespace sim {
namespace {

Machine* g_current = nullptr;
thread_local ThreadRec* t_thread = nullptr;
thread_local DWORD t_foreignLastError = 0;

}  // namespace

void SetError(DWORD error) {
    if (t_thread)
        t_thread->lastError = error;
    else
        t_foreignLastError = error;
}

DWORD CurrentLastError() { return t_thread ? t_thread->lastError : t_foreignLastError; }

Machine::Machine(ClockMode mode) : mode_(mode), realStart_(std::chrono::steady_clock::now()) {
    if (g_current) {
        std::fprintf(stderr, "sim: a second machine was created while one exists\n");
        std::abort();
    }
    g_current = this;
    registry_ = std::make_unique<Registry>(*this);
    namespace_ = std::make_unique<Namespace>(*this);
    modules_ = std::make_unique<Modules>(*this);
    devices_ = std::make_unique<DeviceTree>(*this);
    scm_ = std::make_unique<ServiceManager>(*this);

    std::lock_guard lock(mutex_);
    auto rec = std::make_unique<ThreadRec>();
    rec->id = nextThreadId_;
    nextThreadId_ += 4;
    rec->name = "host";
    rec->object = std::make_shared<ThreadObject>();
    rec->object->rec = rec.get();
    host_ = rec.get();
    t_thread = host_;
    runnable_ = 1;
    threadRecs_.push_back(std::move(rec));
    if (mode_ == ClockMode::Real) clockThread_ = std::thread([this] { ClockThreadMain(); });
}

Machine::~Machine() {
    // Give the simulated threads the chance to finish; a test that left a program running gets a
    // diagnostic instead of a hang.
    if (!RunUntil([this] { return LiveThreadCount() == 0; }, 120'000, 10)) {
        std::fprintf(stderr, "sim: %zu simulated thread(s) still running when the machine was destroyed:\n",
                     LiveThreadCount());
        for (ThreadRec* t : Threads())
            if (t->alive && t != host_) std::fprintf(stderr, "  thread %u (%s)\n", t->id, t->name.c_str());
        std::fflush(stderr);
        std::_Exit(3);
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        clockCv_.notify_all();
    }
    if (clockThread_.joinable()) clockThread_.join();
    for (auto& t : osThreads_)
        if (t.joinable()) t.join();
    // Handles left open are destroyed outside the lock and before the subsystems, so their objects may
    // still call into the machine.
    std::unordered_map<ULONG_PTR, HandleEntry> leftOver;
    {
        std::lock_guard lock(mutex_);
        leftOver.swap(handles_);
    }
    leftOver.clear();
    {
        std::lock_guard lock(partsMutex_);
        parts_.clear();
    }
    for (auto& p : processes_) p->ClearState();
    processes_.clear();
    scm_.reset();
    devices_.reset();
    modules_.reset();
    namespace_.reset();
    registry_.reset();
    t_thread = nullptr;
    g_current = nullptr;
}

Machine& Machine::Current() {
    if (!g_current) {
        std::fprintf(stderr, "sim: a Win32 call was made with no simulated machine\n");
        std::abort();
    }
    return *g_current;
}

Machine* Machine::CurrentOrNull() { return g_current; }

void Machine::ReportLockMisuse(const char* what) {
    ThreadRec* self = t_thread;
    std::fprintf(stderr, "sim: %s (thread %u, %s)\n", what, self ? self->id : 0u, self ? self->name.c_str() : "foreign");
    std::fflush(stderr);
    std::abort();
}

Ticks Machine::Now() const {
    if (mode_ == ClockMode::Virtual) return virtualNow_.load(std::memory_order_acquire);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - realStart_)
               .count() /
           100;
}

void Machine::RunFor(std::uint32_t ms) {
    WaitObjects({}, false, static_cast<Ticks>(ms) * kTicksPerMs);
}

bool Machine::RunUntil(const std::function<bool()>& condition, std::uint32_t maxMs, std::uint32_t stepMs) {
    const Ticks end = Now() + static_cast<Ticks>(maxMs) * kTicksPerMs;
    for (;;) {
        if (condition()) return true;
        if (Now() >= end) return false;
        RunFor(stepMs);
    }
}

// ---- handles ----

HANDLE Machine::AddHandle(std::shared_ptr<Object> object, DWORD access) {
    return AddHandleFor(t_thread ? t_thread->process : nullptr, std::move(object), access);
}

HANDLE Machine::AddHandleFor(Process* owner, std::shared_ptr<Object> object, DWORD access) {
    std::lock_guard lock(mutex_);
    const ULONG_PTR value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = HandleEntry{std::move(object), owner, access};
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Machine::Lookup(HANDLE handle) {
    std::lock_guard lock(mutex_);
    return LookupLocked(handle);
}

std::shared_ptr<Object> Machine::LookupLocked(HANDLE handle) {
    if (handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2))) {  // GetCurrentThread()
        ThreadRec* rec = t_thread;
        return rec ? rec->object : nullptr;
    }
    return LookupIn(t_thread ? t_thread->process : nullptr, handle);
}

std::shared_ptr<Object> Machine::LookupIn(Process* owner, HANDLE handle, DWORD* access) {
    // As on Windows, the two low-order bits of a handle value are tag bits that the lookup ignores (an
    // OVERLAPPED's hEvent with bit 0 set is still the event).
    auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle) & ~ULONG_PTR{3});
    if (it == handles_.end() || it->second.owner != owner) return nullptr;
    if (access) *access = it->second.access;
    return it->second.object;
}

DWORD Machine::HandleAccess(HANDLE handle) {
    std::lock_guard lock(mutex_);
    // The pseudo handles (current process, current thread) carry every right.
    if (handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)) ||
        handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)))
        return kAllAccess;
    DWORD access = 0;
    return LookupIn(t_thread ? t_thread->process : nullptr, handle, &access) ? access : 0;
}

bool Machine::CloseHandleValue(HANDLE handle) {
    return CloseHandleIn(t_thread ? t_thread->process : nullptr, handle);
}

bool Machine::CloseHandleIn(Process* owner, HANDLE handle) {
    std::shared_ptr<Object> doomed;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == handles_.end() || it->second.owner != owner) return false;
    doomed = std::move(it->second.object);
    handles_.erase(it);
    return true;
}

void Machine::CloseProcessHandles(Process* process) {
    std::vector<std::shared_ptr<Object>> doomed;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (it->second.owner == process) {
            ++process->handlesAtExit[it->second.object->TypeName()];
            doomed.push_back(std::move(it->second.object));
            it = handles_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t Machine::HandleCount() {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t Machine::HandleCount(const std::string& typeName) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(handles_.begin(), handles_.end(), [&](const auto& entry) {
        return typeName == entry.second.object->TypeName();
    }));
}

std::size_t Machine::HandleCountOf(Process* owner) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(handles_.begin(), handles_.end(),
                                                  [&](const auto& entry) { return entry.second.owner == owner; }));
}

Process* Machine::CurrentProcessRaw() { return t_thread ? t_thread->process : nullptr; }

// ---- threads ----

ThreadRec* Machine::CurrentThread() { return t_thread; }

ThreadRec* Machine::EnsureThreadLocked() {
    if (t_thread) return t_thread;
    // A thread the machine did not start (for instance a test's helper thread): it may call in, but it
    // never holds virtual time still.
    auto rec = std::make_unique<ThreadRec>();
    rec->id = nextThreadId_;
    nextThreadId_ += 4;
    rec->counted = false;
    rec->name = "foreign";
    rec->object = std::make_shared<ThreadObject>();
    rec->object->rec = rec.get();
    t_thread = rec.get();
    threadRecs_.push_back(std::move(rec));
    return t_thread;
}

HANDLE Machine::StartThread(std::function<unsigned()> body, DWORD* id, Process* process) {
    ThreadRec* rec;
    {
        std::lock_guard lock(mutex_);
        ThreadRec* creator = EnsureThreadLocked();
        auto owned = std::make_unique<ThreadRec>();
        rec = owned.get();
        rec->id = nextThreadId_;
        nextThreadId_ += 4;
        rec->process = process ? process : creator->process;
        rec->object = std::make_shared<ThreadObject>();
        rec->object->rec = rec;
        rec->name = "thread";
        ++runnable_;  // counted from now, so time cannot move before it first runs
        threadRecs_.push_back(std::move(owned));
    }
    if (id) *id = rec->id;
    HANDLE handle = AddHandle(rec->object);
    std::lock_guard lock(mutex_);
    osThreads_.emplace_back([this, rec, body = std::move(body)] {
        t_thread = rec;
        unsigned code = body();
        std::unique_lock inner(mutex_);
        ExitThreadLocked(rec, code);
        AdvanceLocked(inner);
        t_thread = nullptr;
    });
    return handle;
}

void Machine::ExitThreadLocked(ThreadRec* rec, unsigned code) {
    rec->alive = false;
    rec->object->exited = true;
    rec->object->exitCode = code;
    if (rec->counted) --runnable_;
    NotifySignaledLocked(*rec->object);
}

std::size_t Machine::LiveThreadCount() {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(threadRecs_.begin(), threadRecs_.end(), [this](const auto& t) {
        return t->alive && t.get() != host_ && t->counted;
    }));
}

std::vector<ThreadRec*> Machine::Threads() {
    std::lock_guard lock(mutex_);
    std::vector<ThreadRec*> out;
    for (auto& t : threadRecs_) out.push_back(t.get());
    return out;
}

// ---- waits and the clock ----

bool Machine::TrySatisfyLocked(Waiter& w) {
    ThreadRec* self = w.thread;
    if (w.all) {
        for (auto& o : w.objects)
            if (!o->IsSignaledFor(self)) return false;
        for (auto& o : w.objects) o->Acquire(self);
        w.result = WAIT_OBJECT_0;
        return true;
    }
    for (std::size_t i = 0; i < w.objects.size(); ++i) {
        if (w.objects[i]->IsSignaledFor(self)) {
            w.objects[i]->Acquire(self);
            w.result = static_cast<DWORD>(WAIT_OBJECT_0 + i);
            return true;
        }
    }
    return false;
}

void Machine::CompleteLocked(Waiter& w, DWORD result) {
    w.result = result;
    for (auto& o : w.objects) o->waiters.remove(&w);
    if (w.linked) deadlines_.erase(w.deadlineIt);
    w.linked = false;
    w.done = true;
    if (w.thread->counted) ++runnable_;
    if (deferWakes_)
        deferredWakes_.push_back(w.thread);
    else
        w.thread->cv.notify_one();
}

void Machine::NotifySignaledLocked(Waitable& object) {
    if (object.waiters.empty()) return;
    // Copy: completing a waiter unlinks it from this list.
    std::vector<Waiter*> candidates(object.waiters.begin(), object.waiters.end());
    for (Waiter* w : candidates) {
        if (w->done) continue;
        if (!object.IsSignaledFor(w->thread)) break;
        if (TrySatisfyLocked(*w)) CompleteLocked(*w, w->result);
    }
}

void Machine::SetEventLocked(Event& event) {
    event.signaled = true;
    ++event.setCount;
    NotifySignaledLocked(event);
}

DWORD Machine::WaitObjects(const std::vector<std::shared_ptr<Waitable>>& objects, bool all, Ticks timeout) {
    std::unique_lock lock(mutex_);
    Waiter w;
    w.thread = EnsureThreadLocked();
    w.objects = objects;
    w.all = all;
    if (!objects.empty() && TrySatisfyLocked(w)) return w.result;
    if (timeout == 0) return WAIT_TIMEOUT;
    for (auto& o : w.objects) o->waiters.push_back(&w);
    if (timeout != kNever) {
        w.deadline = Now() + timeout;
        w.deadlineIt = deadlines_.emplace(w.deadline, &w);
        w.linked = true;
        if (mode_ == ClockMode::Real) clockCv_.notify_all();
    }
    if (w.thread->counted) --runnable_;
    // The threads the clock wakes here are told once this thread lets go of the lock (at once when it goes
    // to sleep, else as it returns): told under the lock, each would wake only to block on it again.
    deferWakes_ = true;
    AdvanceLocked(lock);
    deferWakes_ = false;
    std::vector<ThreadRec*> woken;
    woken.swap(deferredWakes_);
    if (w.done) lock.unlock();  // nothing writes a completed waiter any more
    for (ThreadRec* t : woken) t->cv.notify_one();
    while (!w.done) w.thread->cv.wait(lock);
    return w.result;
}

void Machine::ExpireLocked(Ticks now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        auto node = timers_.extract(timers_.begin());
        node.mapped().callback();
    }
    // On the virtual clock the host wakes last: only once everything else due at this instant has run and
    // blocked again, so what a test observes after a wait never depends on a race with the threads that
    // woke at the same moment.
    const bool deferHost = mode_ == ClockMode::Virtual;
    Waiter* host = nullptr;
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        Waiter* w = deadlines_.begin()->second;
        if (deferHost && w->thread == host_) {
            host = w;
            deadlines_.erase(deadlines_.begin());
            w->linked = false;
            continue;
        }
        CompleteLocked(*w, WAIT_TIMEOUT);
    }
    if (!host) return;
    if (runnable_ == 0) {
        CompleteLocked(*host, WAIT_TIMEOUT);
    } else {
        host->deadlineIt = deadlines_.emplace(host->deadline, host);  // again once the others have settled
        host->linked = true;
    }
}

void Machine::AdvanceLocked(std::unique_lock<std::mutex>&) {
    if (mode_ != ClockMode::Virtual) return;
    while (runnable_ == 0) {
        Ticks next = kNever;
        if (!deadlines_.empty()) next = deadlines_.begin()->first;
        if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
        if (next == kNever) return;  // every thread waits for ever: nothing can happen any more
        if (next > virtualNow_.load()) virtualNow_.store(next, std::memory_order_release);
        ExpireLocked(virtualNow_.load());
    }
}

void Machine::ClockThreadMain() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        Ticks next = kNever;
        if (!deadlines_.empty()) next = deadlines_.begin()->first;
        if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
        if (next == kNever) {
            clockCv_.wait(lock);
        } else {
            clockCv_.wait_until(lock, realStart_ + std::chrono::nanoseconds(next * 100));
        }
        ExpireLocked(Now());
    }
}

std::uint64_t Machine::AddTimerLocked(Ticks due, std::function<void()> callback) {
    const std::uint64_t id = nextTimerId_++;
    timers_.emplace(due, Timer{id, std::move(callback)});
    if (mode_ == ClockMode::Real) clockCv_.notify_all();
    return id;
}

void Machine::CancelTimerLocked(std::uint64_t id) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

// ---- processes ----

std::shared_ptr<Process> Machine::StartProcess(const ProgramSpec& spec, HANDLE* processHandle) {
    auto process = std::make_shared<Process>();
    process->name = spec.imageName;
    process->serviceName = spec.serviceName;
    process->interactiveUser = spec.interactiveUser;
    process->sessionId = spec.session ? spec.session : (spec.interactiveUser ? 1 : 0);
    {
        std::lock_guard lock(mutex_);
        process->id = nextProcessId_;
        nextProcessId_ += 4;
        processes_.push_back(process);
    }
    process->image = modules_->AddImage(spec.imageName, spec.version, spec.hasVersionResource);
    AddNote("machine", "process " + spec.imageName + " started");
    if (processHandle) *processHandle = AddHandle(process);
    DWORD tid = 0;
    HANDLE main = StartThread(
        [this, process, spec]() -> unsigned {
            CurrentThread()->name = spec.imageName + " main";
            if (spec.staticInit) spec.staticInit(*process);
            const int code = spec.entry ? spec.entry(reinterpret_cast<HINSTANCE>(process->image)) : 0;
            // Process exit: its other threads have had their chance to end; the program's process-wide
            // state dies with it.
            process->ClearState();
            // Ending, the process closes every handle it still holds.
            CloseProcessHandles(process.get());
            modules_->RemoveImage(process->image);
            std::lock_guard lock(mutex_);
            process->exited = true;
            process->exitCode = static_cast<DWORD>(code);
            NotifySignaledLocked(*process);
            return static_cast<unsigned>(code);
        },
        &tid, process.get());
    CloseHandleValue(main);
    return process;
}

std::shared_ptr<Process> Machine::CurrentProcess() {
    std::lock_guard lock(mutex_);
    ThreadRec* rec = EnsureThreadLocked();
    if (!rec->process) return nullptr;
    for (auto& p : processes_)
        if (p.get() == rec->process) return p;
    return nullptr;
}

bool Machine::WaitProcess(const std::shared_ptr<Process>& process, std::uint32_t maxMs) {
    return WaitObjects({process}, false, static_cast<Ticks>(maxMs) * kTicksPerMs) == WAIT_OBJECT_0;
}

// ---- faults and notes ----

void Machine::InjectFailure(const std::string& function, DWORD error, int times) {
    std::lock_guard lock(mutex_);
    failures_[function] = Failure{error, times};
}

void Machine::InjectStall(const std::string& function, std::uint32_t ms, int times) {
    std::lock_guard lock(mutex_);
    stalls_[function] = Stall{ms, times};
}

void Machine::ClearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
    stalls_.clear();
}

std::uint64_t Machine::CallCount(const std::string& function) {
    std::lock_guard lock(mutex_);
    auto it = callCounts_.find(function);
    return it == callCounts_.end() ? 0 : it->second;
}

void Machine::SetCallObserver(CallObserver observer) {
    auto shared = observer ? std::make_shared<const CallObserver>(std::move(observer)) : nullptr;
    std::lock_guard lock(mutex_);
    callObserver_ = std::move(shared);
}

bool Machine::TakeFailure(const char* function, DWORD* error) {
    std::uint32_t stallMs = 0;
    Process* process = nullptr;
    std::uint64_t number = 0;
    std::shared_ptr<const CallObserver> observer;
    {
        std::lock_guard lock(mutex_);
        ++callCounts_[function];
        auto stall = stalls_.find(function);
        if (stall != stalls_.end()) {
            stallMs = stall->second.ms;
            if (stall->second.remaining > 0 && --stall->second.remaining == 0) stalls_.erase(stall);
        }
        process = t_thread ? t_thread->process : nullptr;
        if (process) {
            number = ++process->win32Calls;
            observer = callObserver_;
        }
    }
    const CallFate fate = observer ? (*observer)(*process, function, number) : CallFate{};
    stallMs += fate.stallMs;
    if (stallMs) RunFor(stallMs);
    if (fate.fail) {
        *error = fate.error;
        return true;
    }
    std::lock_guard lock(mutex_);
    auto it = failures_.find(function);
    if (it == failures_.end()) return false;
    *error = it->second.error;
    if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
    return true;
}

void Machine::AddNote(const std::string& source, const std::string& text) {
    Note note{Now(), source, text};
    std::function<void(const Note&)> sink;
    {
        std::lock_guard lock(mutex_);
        notes_.push_back(note);
        sink = noteSink_;
    }
    if (sink) sink(note);
}

std::vector<Note> Machine::Notes() {
    std::lock_guard lock(mutex_);
    return notes_;
}

void Machine::SetNoteSink(std::function<void(const Note&)> sink) {
    std::lock_guard lock(mutex_);
    noteSink_ = std::move(sink);
}

}  // namespace sim
