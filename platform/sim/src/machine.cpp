#include "platform/sim/include/sim/machine.h"

#include <execinfo.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

#if defined(__SANITIZE_THREAD__)
#define QUILLON_SIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLON_SIM_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SIM_ASAN 1
#endif
#endif

// A simulated thread's stack on the virtual clock (mapped as it is touched). The sanitizers' frames are
// several times larger.
#if defined(QUILLON_SIM_ASAN)
constexpr std::size_t kFiberStack = 4u << 20;
#else
constexpr std::size_t kFiberStack = 1u << 20;
#endif

// Fibers unless ThreadSanitizer watches (it is told of OS threads, not of fibers) or the environment
// asks for OS threads (QUILLON_SIM_FIBERS=0: a debugger shows each simulated thread as a thread).
bool UseFibers() {
#if defined(QUILLON_SIM_TSAN)
    return false;
#else
    const char* value = std::getenv("QUILLON_SIM_FIBERS");
    return !(value && std::strcmp(value, "0") == 0);
#endif
}

std::chrono::milliseconds DefaultSpinLimit() {
    const char* value = std::getenv("QUILLON_SIM_SPIN_LIMIT_MS");
    const long long ms = value ? std::atoll(value) : 0;
    return std::chrono::milliseconds(ms > 0 ? ms : 60'000);
}

// Windows' priority for a thread of a normal-priority process: its level, or its MMCSS task's range
// ("Pro Audio" is scheduled in the real-time range above every time-critical thread).
int WindowsPriority(const ThreadRec& thread) {
    if (thread.mmcssJoined) return (thread.mmcssTask == "Pro Audio" ? 24 : 18) + thread.mmcssPriority;
    switch (thread.priority) {
        case THREAD_PRIORITY_TIME_CRITICAL: return 15;
        case THREAD_PRIORITY_IDLE: return 1;
        default: return 8 + thread.priority;
    }
}
constexpr int kRealTimeFloor = 15;     // from here on a thread runs SCHED_FIFO at its Windows priority
constexpr int kClockFifoPriority = 40;  // the devices' clock: above every simulated thread

}  // namespace

// One thread per process watches the machine of the moment for a simulated thread that never waits
// (machines come and go by the thousand in a fuzz run; a thread each would cost more than they do). It
// starts with the program, so that what it takes from the heap is there before any test measures the
// heap; a child forked from the program has none.
struct Watchdog {
    static constexpr std::chrono::milliseconds kLongestLook{1000};
    std::mutex mutex;
    std::condition_variable cv;
    Machine* machine = nullptr;

    static Watchdog& Get() {
        static auto* watchdog = new Watchdog;  // never destroyed: its thread runs until the process ends
        return *watchdog;
    }
    static bool Start() {
        void* frame;
        backtrace(&frame, 1);  // loads the unwinder now: a signal handler cannot do that safely
        std::thread([] { Get().Run(); }).detach();
        return true;
    }
    // The watchdog is woken only when the new machine needs a shorter look than it already takes: a fuzz
    // run makes thousands of machines, and a wake for each was two thread switches a machine.
    void Watch(Machine* m) {
        std::lock_guard lock(mutex);
        machine = m;
        if (!m) return;
        m->spinSeen_ = m->switches_.load();
        m->spinSince_ = std::chrono::steady_clock::now();
        if (Period() < kLongestLook) cv.notify_all();
    }
    std::chrono::milliseconds Period() const {
        return machine ? std::min(machine->spinLimit_ / 4, kLongestLook) : kLongestLook;
    }
    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait_for(lock, Period());
            if (machine) machine->CheckSpin(std::chrono::steady_clock::now());
        }
    }
};

namespace {

const bool g_watchdogStarted = Watchdog::Start();

// The spin report's last word: the stack of the thread that would not wait, printed by that thread.
void PrintStackAndAbort(int) {
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    std::abort();
}

}  // namespace

void SetError(DWORD error) {
    if (t_thread)
        t_thread->lastError = error;
    else
        t_foreignLastError = error;
}

DWORD CurrentLastError() { return t_thread ? t_thread->lastError : t_foreignLastError; }

std::uint64_t Machine::DefaultSeed() {
    const char* value = std::getenv("QUILLON_SIM_SEED");
    return value && *value ? std::strtoull(value, nullptr, 0) : 1;
}

namespace {

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Floor division for a time that may lie before the timer's phase.
Ticks FloorTo(Ticks t, Ticks phase, Ticks step) {
    const Ticks since = t - phase;
    const Ticks k = since >= 0 ? since / step : -((-since + step - 1) / step);
    return phase + k * step;
}

}  // namespace

Machine::Machine(ClockMode mode, std::uint64_t seed)
    : mode_(mode),
      realStart_(std::chrono::steady_clock::now()),
      seed_(seed),
      random_(seed),
      tickPhase_([seed]() mutable { return static_cast<Ticks>(SplitMix(seed) % kSystemTick); }()),
      jitterRandom_(~seed),
      fibers_(mode == ClockMode::Virtual && UseFibers()),
      spinLimit_(DefaultSpinLimit()) {
    if (g_current) {
        std::fprintf(stderr, "sim: a second machine was created while one exists\n");
        std::abort();
    }
    g_current = this;
    // Room for what a short run records and calls, so they do not grow a step at a time.
    notes_.reserve(128);
    noteText_.reserve(8192);
    callCounts_.reserve(256);
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
    host_->osThread = static_cast<unsigned long>(pthread_self());
    if (fibers_) host_->fiber = std::make_unique<Fiber>();  // the host's own stack
    t_thread = host_;
    running_ = host_;
    threadRecs_.push_back(std::move(rec));
    if (mode_ == ClockMode::Real) {
        clockThread_ = std::thread([this] { ClockThreadMain(); });
        const char* wanted = std::getenv("QUILLON_SIM_REALTIME");
        if (wanted && std::strcmp(wanted, "0") == 0) {
            hostPolicyNote_ = "QUILLON_SIM_REALTIME=0";
        } else {
            sched_param param{};
            param.sched_priority = kClockFifoPriority;
            const int error = pthread_setschedparam(clockThread_.native_handle(), SCHED_FIFO, &param);
            realTime_ = error == 0;
            if (error) hostPolicyNote_ = std::string("SCHED_FIFO refused: ") + std::strerror(error);
        }
    } else {
        Watchdog::Get().Watch(this);
    }
}

std::string Machine::HostPolicy() const {
    if (mode_ == ClockMode::Virtual) return "virtual clock: one thread at a time, the machine's choice";
    if (realTime_)
        return "time-critical and MMCSS threads SCHED_FIFO " + std::to_string(kRealTimeFloor) + "-26, the clock " +
               std::to_string(kClockFifoPriority);
    return "every thread a normal host thread (" + hostPolicyNote_ + ")";
}

void Machine::ApplyHostPriorityLocked(ThreadRec* thread) {
    if (!realTime_ || !thread->osThread) return;
    const int level = WindowsPriority(*thread);
    sched_param param{};
    param.sched_priority = level >= kRealTimeFloor ? level : 0;
    pthread_setschedparam(static_cast<pthread_t>(thread->osThread), level >= kRealTimeFloor ? SCHED_FIFO : SCHED_OTHER,
                          &param);
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
    if (mode_ == ClockMode::Virtual) Watchdog::Get().Watch(nullptr);
    ended_.reset();
    for (auto& t : osThreads_)
        if (t.joinable()) t.join();
    // Handles left open are destroyed outside the lock and before the subsystems, so their objects may
    // still call into the machine.
    HandleTable leftOver(&pool_);
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
        threadRecs_.push_back(std::move(owned));
    }
    if (id) *id = rec->id;
    HANDLE handle = AddHandle(rec->object);
    std::lock_guard lock(mutex_);
    if (Scheduled(rec)) {
        rec->body = std::move(body);
        LaunchLocked(rec);
        return handle;
    }
    osThreads_.emplace_back([this, rec, body = std::move(body)] {
        t_thread = rec;
        unsigned code = body();
        std::lock_guard inner(mutex_);
        ExitThreadLocked(rec, code);
        t_thread = nullptr;
    });
    rec->osThread = static_cast<unsigned long>(osThreads_.back().native_handle());
    return handle;
}

// ---- the virtual clock's scheduler ----

void Machine::LaunchLocked(ThreadRec* rec) {
    if (fibers_)
        rec->fiber = std::make_unique<Fiber>(kFiberStack, &Machine::FiberMain, rec);
    else
        osThreads_.emplace_back([this, rec] { ThreadMain(rec); });
    ready_.push_back(rec);
    if (idle_) idleCv_.notify_one();
}

void Machine::FiberMain(void* arg) {
    auto* rec = static_cast<ThreadRec*>(arg);
    Machine& machine = Current();
    // The thread that switched here held the machine lock and passed it on with the processor.
    machine.ended_.reset();
    machine.mutex_.unlock();
    const unsigned code = rec->body();
    machine.EndScheduledThread(rec, code);
}

void Machine::ThreadMain(ThreadRec* rec) {
    rec->osThread = static_cast<unsigned long>(pthread_self());
    {
        std::unique_lock lock(mutex_);
        while (running_ != rec) rec->cv.wait(lock);
    }
    t_thread = rec;
    const unsigned code = rec->body();
    EndScheduledThread(rec, code);
}

void Machine::EndScheduledThread(ThreadRec* rec, unsigned code) {
    rec->body = nullptr;
    std::unique_lock lock(mutex_);
    ExitThreadLocked(rec, code);
    ThreadRec* next = PickNextLocked(lock);
    running_ = next;
    switches_.fetch_add(1, std::memory_order_relaxed);
    if (!fibers_) {  // the OS thread ends; its std::thread is joined when the machine goes
        next->cv.notify_one();
        t_thread = nullptr;
        return;
    }
    // The next thread frees this stack; the lock passes to it with the processor.
    ended_ = std::move(rec->fiber);
    lock.release();
    t_thread = next;
    ended_->ExitTo(*next->fiber);
}

std::uint64_t Machine::NextRandomLocked() { return SplitMix(random_); }

ThreadRec* Machine::PickNextLocked(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        ExpireLocked(virtualNow_.load(std::memory_order_relaxed));
        if (!ready_.empty()) {
            // Any ready thread but the host, drawn from the seed; the host once nobody else is ready.
            const auto others = static_cast<std::uint64_t>(ready_.size() - std::count(ready_.begin(), ready_.end(), host_));
            auto it = ready_.begin();
            if (others > 0) {
                std::uint64_t skip = others > 1 ? NextRandomLocked() % others : 0;
                for (;; ++it) {
                    if (*it == host_) continue;
                    if (skip-- == 0) break;
                }
            }
            ThreadRec* next = *it;
            ready_.erase(it);
            return next;
        }
        Ticks next = kNever;
        if (!deadlines_.empty()) next = deadlines_.begin()->first;
        if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
        if (next == kNever) {
            // Every simulated thread waits for ever: only a thread the machine did not start can end that.
            idle_ = true;
            idleCv_.wait(lock);
            idle_ = false;
            continue;
        }
        virtualNow_.store(std::max(next, virtualNow_.load(std::memory_order_relaxed)), std::memory_order_release);
    }
}

void Machine::SwitchLocked(std::unique_lock<std::mutex>& lock, ThreadRec* from, ThreadRec* to) {
    running_ = to;
    switches_.fetch_add(1, std::memory_order_relaxed);
    if (fibers_) {
        // The lock stays taken: it passes to `to` with the processor, and comes back with it.
        t_thread = to;
        from->fiber->SwitchTo(*to->fiber);
        t_thread = from;
        ended_.reset();
    } else {
        to->cv.notify_one();
        while (running_ != from) from->cv.wait(lock);
    }
}

void Machine::BlockLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self) {
    ThreadRec* next = PickNextLocked(lock);
    if (next != self) SwitchLocked(lock, self, next);
}

void Machine::SetSpinLimit(std::chrono::milliseconds limit) {
    Watchdog& watchdog = Watchdog::Get();
    std::lock_guard lock(watchdog.mutex);
    spinLimit_ = limit;
    watchdog.cv.notify_all();
}

void Machine::CheckSpin(std::chrono::steady_clock::time_point now) {
    const std::uint64_t switches = switches_.load();
    ThreadRec* running = nullptr;
    {
        std::unique_lock machineLock(mutex_, std::try_to_lock);
        // A thread that keeps the machine lock is inside the machine, not spinning outside it.
        if (machineLock.owns_lock() && !idle_) running = running_;
    }
    if (switches != spinSeen_ || !running) {
        spinSeen_ = switches;
        spinSince_ = now;
    } else if (now - spinSince_ >= spinLimit_) {
        ReportSpin(running, std::chrono::duration<double>(now - spinSince_).count());
    }
}

void Machine::ReportSpin(ThreadRec* thread, double seconds) {
    std::fprintf(stderr,
                 "sim: thread %u (%s%s%s) has run for %.1f s of host time without waiting in the machine, so "
                 "virtual time cannot move (last Win32 call: %s); its stack:\n",
                 thread->id, thread->name.c_str(), thread->process ? ", " : "",
                 thread->process ? thread->process->name.c_str() : "", seconds,
                 *thread->lastCall ? thread->lastCall : "none");
    std::fflush(stderr);
    struct sigaction action {};
    action.sa_handler = PrintStackAndAbort;
    sigaction(SIGUSR2, &action, nullptr);
    // Fibers all run on the host's OS thread.
    pthread_kill(static_cast<pthread_t>(fibers_ ? host_->osThread : thread->osThread), SIGUSR2);
    // The spinning thread ends the run; ThreadSanitizer holds a signal back until the thread calls a
    // function it watches, so the run ends here if it has not after a while.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::fprintf(stderr, "sim: (the thread's stack could not be taken)\n");
    std::abort();
}

void Machine::ExitThreadLocked(ThreadRec* rec, unsigned code) {
    rec->alive = false;
    rec->object->exited = true;
    rec->object->exitCode = code;
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

bool Machine::TrySatisfyLocked(Waiter& w) { return TrySatisfyLocked(w.thread, w.objects, w.all, &w.result); }

bool Machine::TrySatisfyLocked(ThreadRec* self, std::span<const std::shared_ptr<Waitable>> objects, bool all,
                               DWORD* result) {
    if (all) {
        for (auto& o : objects)
            if (!o->IsSignaledFor(self)) return false;
        for (auto& o : objects) o->Acquire(self);
        *result = WAIT_OBJECT_0;
        return true;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignaledFor(self)) {
            objects[i]->Acquire(self);
            *result = static_cast<DWORD>(WAIT_OBJECT_0 + i);
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
    if (Scheduled(w.thread)) {
        if (const Ticks late = jitter_ && w.thread->process ? JitterLocked() : 0; late > 0) {
            ThreadRec* thread = w.thread;
            AddTimerLocked(Now() + late, [this, thread] { ready_.push_back(thread); });
            return;
        }
        ready_.push_back(w.thread);
        if (idle_) idleCv_.notify_one();
    } else {
        w.thread->cv.notify_one();
    }
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
    if (event.onSet) event.onSet();
}

DWORD Machine::WaitObjects(const std::vector<std::shared_ptr<Waitable>>& objects, bool all, Ticks timeout,
                           TimeOut kind) {
    return Wait(objects, all, timeout, kind);
}

DWORD Machine::WaitObject(const std::shared_ptr<Waitable>& object, Ticks timeout, TimeOut kind) {
    return Wait({&object, 1}, false, timeout, kind);
}

DWORD Machine::Wait(std::span<const std::shared_ptr<Waitable>> objects, bool all, Ticks timeout, TimeOut kind) {
    std::unique_lock lock(mutex_);
    Waiter w;
    w.thread = EnsureThreadLocked();
    w.all = all;
    // A wait satisfied at once (most lock entries, most completed requests) needs no waiter of its own.
    if (!objects.empty() && TrySatisfyLocked(w.thread, objects, all, &w.result)) return w.result;
    const bool scheduled = Scheduled(w.thread);
    if (timeout == 0) {
        if (scheduled && objects.empty()) {  // Sleep(0): the others ready now run first
            ready_.push_back(w.thread);
            BlockLocked(lock, w.thread);
        }
        return WAIT_TIMEOUT;
    }
    w.objects = objects;
    for (auto& o : w.objects) o->waiters.push_back(&w);
    if (timeout != kNever) {
        w.deadline = Now() + timeout;
        if (kind == TimeOut::OnTimerTick && w.thread->process) {
            // Counted from the last tick, ended by the first tick at or after that.
            const Ticks resolution = ResolutionLocked(w.thread->process);
            const Ticks due = LastTick(Now(), resolution) + timeout;
            w.deadline = LastTick(due + resolution - 1, resolution);
        }
        w.deadlineIt = deadlines_.emplace(w.deadline, &w);
        w.linked = true;
        if (mode_ == ClockMode::Real) clockCv_.notify_all();
        if (idle_) idleCv_.notify_one();  // a foreign thread's time-out: the idle clock may move to it
    }
    if (scheduled) {
        BlockLocked(lock, w.thread);  // returns once the wait is over and this thread's turn has come
    } else {
        while (!w.done) w.thread->cv.wait(lock);
    }
    return w.result;
}

void Machine::ExpireLocked(Ticks now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        auto node = timers_.extract(timers_.begin());
        node.mapped().callback();
    }
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) CompleteLocked(*deadlines_.begin()->second, WAIT_TIMEOUT);
}

// ---- the system timer and jitter ----

// The default tick runs at a phase of its own; a finer one on the machine's milliseconds.
Ticks Machine::LastTick(Ticks now, Ticks resolution) const {
    return FloorTo(now, resolution == kSystemTick ? tickPhase_ : 0, resolution);
}

Ticks Machine::ResolutionLocked(const Process* process) const {
    const auto it = timerPeriods_.find(process ? process->id : 0);
    if (it == timerPeriods_.end() || it->second.empty()) return kSystemTick;
    return std::min<Ticks>(kSystemTick, static_cast<Ticks>(*it->second.begin()) * kTicksPerMs);
}

Ticks Machine::TimerResolution() {
    std::lock_guard lock(mutex_);
    return ResolutionLocked(CurrentProcessRaw());
}

bool Machine::BeginTimerPeriod(UINT ms) {
    if (ms == 0 || ms > 1'000'000) return false;
    std::lock_guard lock(mutex_);
    const Process* process = CurrentProcessRaw();
    timerPeriods_[process ? process->id : 0].insert(ms);
    return true;
}

bool Machine::EndTimerPeriod(UINT ms) {
    std::lock_guard lock(mutex_);
    const Process* process = CurrentProcessRaw();
    auto it = timerPeriods_.find(process ? process->id : 0);
    if (it == timerPeriods_.end()) return false;
    auto period = it->second.find(ms);
    if (period == it->second.end()) return false;
    it->second.erase(period);
    return true;
}

std::uint64_t Machine::TimeGetTimeMs() {
    if (!CurrentProcessRaw()) return TickCountMs();
    const Ticks resolution = TimerResolution();
    return clockStartMs_.load(std::memory_order_relaxed) +
           static_cast<std::uint64_t>(std::max<Ticks>(LastTick(Now(), resolution), 0) / kTicksPerMs);
}

std::uint64_t Machine::SystemTickCountMs() {
    if (!CurrentProcessRaw()) return TickCountMs();
    return clockStartMs_.load(std::memory_order_relaxed) +
           static_cast<std::uint64_t>(std::max<Ticks>(LastTick(Now(), kSystemTick), 0) / kTicksPerMs);
}

void Machine::SetJitter(bool on) {
    std::lock_guard lock(mutex_);
    jitter_ = on;
}

Ticks Machine::JitterLocked() {
    const std::uint64_t draw = SplitMix(jitterRandom_);
    const std::uint64_t kind = draw % 100'000;
    const std::uint64_t spread = draw / 100'000;
    if (kind == 0) return 10'000 + static_cast<Ticks>(spread % 20'001);  // 1 to 3 ms
    if (kind <= 100) return 500 + static_cast<Ticks>(spread % 9'501);    // 50 us to 1 ms
    return static_cast<Ticks>(spread % 501);                             // up to 50 us
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
    if (idle_) idleCv_.notify_one();
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
    return WaitObject(process, static_cast<Ticks>(maxMs) * kTicksPerMs) == WAIT_OBJECT_0;
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
    std::uint64_t calls = 0;
    for (const auto& [name, count] : callCounts_)
        if (function == name) calls += count;
    return calls;
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
        if (t_thread) t_thread->lastCall = function;
        if (!stalls_.empty()) {
            auto stall = stalls_.find(std::string_view(function));
            if (stall != stalls_.end()) {
                stallMs = stall->second.ms;
                if (stall->second.remaining > 0 && --stall->second.remaining == 0) stalls_.erase(stall);
            }
        }
        process = t_thread ? t_thread->process : nullptr;
        if (process) {
            number = ++process->win32Calls;
            observer = callObserver_;
        }
        if (!observer && !stallMs && failures_.empty()) return false;  // the common case: one lock
    }
    const CallFate fate = observer ? (*observer)(*process, function, number) : CallFate{};
    stallMs += fate.stallMs;
    if (stallMs) RunFor(stallMs);
    if (fate.fail) {
        *error = fate.error;
        return true;
    }
    std::lock_guard lock(mutex_);
    auto it = failures_.find(std::string_view(function));
    if (it == failures_.end()) return false;
    *error = it->second.error;
    if (it->second.remaining > 0 && --it->second.remaining == 0) failures_.erase(it);
    return true;
}

void Machine::AddNote(std::string_view source, std::string_view text) {
    const Ticks now = Now();
    std::function<void(const Note&)> sink;
    {
        std::lock_guard lock(mutex_);
        notes_.push_back({now, noteText_.size(), source.size(), text.size()});
        noteText_.append(source).append(text);
        if (!noteSink_) return;
        sink = noteSink_;
    }
    sink(Note{now, std::string(source), std::string(text)});  // outside the lock
}

std::vector<Note> Machine::Notes() {
    std::lock_guard lock(mutex_);
    std::vector<Note> notes;
    notes.reserve(notes_.size());
    for (const PackedNote& n : notes_)
        notes.push_back({n.time, noteText_.substr(n.at, n.sourceSize), noteText_.substr(n.at + n.sourceSize, n.textSize)});
    return notes;
}

void Machine::SetNoteSink(std::function<void(const Note&)> sink) {
    std::lock_guard lock(mutex_);
    noteSink_ = std::move(sink);
}

}  // namespace sim
