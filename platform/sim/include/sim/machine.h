// sim::Machine: one simulated Windows computer. A test (or quillon-sim) creates one; while it exists every
// Win32 call of the product acts on it.
//
// Clock. In virtual mode time stands still while any simulated thread is runnable and jumps to the
// earliest deadline (a wait time-out, a sleep, a device timer) once every simulated thread is blocked in
// the machine. The thread that creates the machine (the host: the test body) counts as a simulated
// thread, so time only moves while the host waits in the machine (RunFor, RunUntil, or any Win32 wait).
// In real mode the steady clock drives the same deadlines.
//
// Scheduling. In virtual mode the machine runs one simulated thread at a time and switches only where a
// thread waits in the machine (or sleeps for 0 ms): the threads are fibers on the host's OS thread
// (OS threads taking turns under ThreadSanitizer, or with QUILLON_SIM_FIBERS=0). Which of the threads
// ready at one instant runs next is drawn from the machine's seed, and the host runs only once no other
// thread is ready, so the same seed gives the same run, byte for byte. In real mode every simulated
// thread is an OS thread and the host's scheduler decides.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory_resource>
#include <set>
#include <span>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "platform/sim/include/sim/fiber.h"
#include "platform/sim/include/simwin/types.h"

namespace sim {

using Ticks = std::int64_t;  // 100 ns units
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kNever = INT64_MAX;

enum class ClockMode { Virtual, Real };

class Machine;
class Process;
struct ThreadRec;
struct Waiter;

// Anything a handle can refer to.
class Object {
public:
    virtual ~Object() = default;
    virtual const char* TypeName() const = 0;
};

// A kernel object that can be waited on. All members are guarded by the machine mutex.
class Waitable : public Object {
public:
    virtual bool IsSignaledFor(const ThreadRec* thread) const = 0;
    // Called when a wait is satisfied by this object (auto-reset events reset, locks are taken).
    virtual void Acquire(ThreadRec*) {}
    std::list<Waiter*> waiters;
};

class Event final : public Waitable {
public:
    Event(bool manual, bool initial) : manualReset(manual), signaled(initial) {}
    const char* TypeName() const override { return "Event"; }
    bool IsSignaledFor(const ThreadRec*) const override { return signaled; }
    void Acquire(ThreadRec*) override {
        if (!manualReset) signaled = false;
    }
    bool manualReset;
    bool signaled;
    std::uint64_t setCount = 0;  // how often SetEvent was called on it
    // A device that watches the event (a driver paced by its client's answers) learns of each SetEvent
    // here, with the machine lock held, after the waiters were released.
    std::function<void()> onSet;
};

class ThreadObject final : public Waitable {
public:
    const char* TypeName() const override { return "Thread"; }
    bool IsSignaledFor(const ThreadRec*) const override { return exited; }
    ThreadRec* rec = nullptr;
    bool exited = false;
    DWORD exitCode = STILL_ACTIVE;
};

// Per simulated thread state (one per OS thread that runs inside the machine).
struct ThreadRec {
    DWORD id = 0;
    Process* process = nullptr;
    std::shared_ptr<ThreadObject> object;
    bool counted = true;  // takes part in the virtual clock's "everyone is blocked" test
    bool alive = true;
    DWORD lastError = 0;
    int priority = THREAD_PRIORITY_NORMAL;
    std::string name;
    std::condition_variable cv;
    // Virtual clock: what the thread runs, and the fiber it runs on (or its OS thread, which waits on cv
    // for its turn).
    std::function<unsigned()> body;
    std::unique_ptr<Fiber> fiber;
    unsigned long osThread = 0;  // the pthread running it, for the spin report
    const char* lastCall = "";   // the last Win32 function it called
    // COM apartment: number of successful CoInitializeEx calls not yet balanced, and the model.
    int comInitCount = 0;
    DWORD comModel = 0;
    // Multimedia class scheduler registration.
    std::string mmcssTask;
    int mmcssPriority = 0;
    bool mmcssJoined = false;
};

struct Waiter {
    ThreadRec* thread = nullptr;
    std::span<const std::shared_ptr<Waitable>> objects;  // the caller's, which outlive its wait
    bool all = false;
    Ticks deadline = kNever;
    std::pmr::multimap<Ticks, Waiter*>::iterator deadlineIt;
    bool linked = false;
    bool done = false;
    DWORD result = WAIT_FAILED;
};

// A simulated process: its threads, its image module and the program's process-wide state.
class Process final : public Waitable {
public:
    const char* TypeName() const override { return "Process"; }
    bool IsSignaledFor(const ThreadRec*) const override { return exited; }

    template <class T>
    T& State() {
        auto& slot = state_[std::type_index(typeid(T))];
        if (!slot) slot = std::make_shared<T>();
        return *static_cast<T*>(slot.get());
    }
    void ClearState() { state_.clear(); }

    std::string name;
    DWORD id = 0;
    HMODULE image = nullptr;
    std::string serviceName;  // set when the service control manager started it
    std::uint64_t win32Calls = 0;  // Win32 calls its threads made, numbered by Machine::TakeFailure
    bool exited = false;
    DWORD exitCode = STILL_ACTIVE;
    bool interactiveUser = false;  // runs as the logged-on user rather than LocalSystem
    DWORD sessionId = 0;           // 0 for services; a user's logon session (1, 2...) otherwise
    // Handles the process still held when it ended (the machine closed them): a leak check reads this,
    // since after the end nothing of the process is left to count. By type name.
    std::map<std::string, std::size_t> handlesAtExit;
    std::size_t HandlesAtExit() const {
        std::size_t n = 0;
        for (const auto& [type, count] : handlesAtExit) n += count;
        return n;
    }

private:
    std::unordered_map<std::type_index, std::shared_ptr<void>> state_;
};

// How to start a program as a simulated process.
struct ProgramSpec {
    std::string imageName;                      // "QuillonVADService.exe"
    WORD version[4] = {0, 0, 0, 0};             // product version of its version resource
    bool hasVersionResource = true;
    bool interactiveUser = false;
    DWORD session = 0;                          // 0: session 1 for an interactive user, else session 0
    std::string serviceName;                    // non-empty when started by the service control manager
    std::function<void(Process&)> staticInit;  // creates the program's process-wide state
    std::function<int(HINSTANCE)> entry;       // the program entry
};

class Registry;
class Namespace;
class Modules;
class DeviceTree;
class ServiceManager;

// One entry of the machine's timeline, for the simulator's output and for tests.
struct Note {
    Ticks time;
    std::string source;
    std::string text;
};

class Machine {
public:
    // `seed` decides, on the virtual clock, which of the threads ready at one instant runs first.
    explicit Machine(ClockMode mode = ClockMode::Virtual, std::uint64_t seed = DefaultSeed());
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current();
    static Machine* CurrentOrNull();

    ClockMode Mode() const { return mode_; }
    // QUILLON_SIM_SEED when set (so a whole suite can run under another seed), else 1.
    static std::uint64_t DefaultSeed();
    std::uint64_t Seed() const { return seed_; }
    // A simulated thread that runs this long in host time without waiting in the machine holds virtual
    // time still for good: the machine reports it with its stack and aborts the run (default 60 s,
    // QUILLON_SIM_SPIN_LIMIT_MS). Virtual clock only.
    void SetSpinLimit(std::chrono::milliseconds limit);
    // How often the virtual clock's scheduler handed the processor from one thread to another.
    std::uint64_t Switches() const { return switches_.load(std::memory_order_relaxed); }
    // Real clock: how the host schedules the threads Windows would run in its real-time range (a
    // time-critical thread, a thread of an MMCSS task), for a session's header. Where the host allows
    // it (root, CAP_SYS_NICE; not with QUILLON_SIM_REALTIME=0) they get SCHED_FIFO at their Windows
    // priority (15 to 26, in Windows' order) and the machine's clock, which stands for the devices'
    // interrupts, SCHED_FIFO above them all; elsewhere everything runs as normal threads.
    std::string HostPolicy() const;
    // Called with the lock held when a thread's priority or MMCSS task changed.
    void ApplyHostPriorityLocked(ThreadRec* thread);
    // Machine time since the machine was created: what deadlines, timers and RunFor count in.
    Ticks Now() const;
    std::uint64_t NowMs() const { return static_cast<std::uint64_t>(Now() / kTicksPerMs); }
    // The system's own clocks (GetTickCount64, and timeGetTime/GetTickCount as its low 32 bits; the
    // performance counter at 10 MHz) read the same time from an arbitrary start, as on Windows where they
    // count from boot: kDefaultClockStartMs unless a test sets another start, for instance just before
    // the 32-bit millisecond counters wrap (2^32 ms, 49.7 days).
    static constexpr std::uint64_t kDefaultClockStartMs = 123'456'789;
    void SetClockStart(std::uint64_t ms) { clockStartMs_.store(ms, std::memory_order_relaxed); }
    std::uint64_t TickCountMs() const { return clockStartMs_.load(std::memory_order_relaxed) + NowMs(); }
    std::int64_t PerformanceCount() const {
        return static_cast<std::int64_t>(clockStartMs_.load(std::memory_order_relaxed)) * kTicksPerMs + Now();
    }
    // The system timer. A wait's or Sleep's time-out counts from the timer's last tick and ends on a tick
    // (so it may end up to a tick late, or a little early), and GetTickCount moves in its steps: every
    // 15.625 ms at a phase of its own (from the seed), unless the calling thread's process asked for a
    // finer resolution with timeBeginPeriod (down to 1 ms, on the machine's milliseconds, until the
    // matching timeEndPeriod; since
    // Windows 10 2004 another process's request does not count). A wait that a signal ends, ends at once.
    // The rule holds for the threads of simulated processes (the programs); a test's own threads, and
    // code a test runs on them, keep exact time-outs and millisecond counters.
    static constexpr Ticks kSystemTick = 156'250;
    Ticks TickPhase() const { return tickPhase_; }
    // timeBeginPeriod and timeEndPeriod for the calling thread's process (the host's for a thread no
    // process started): false for a period of 0 or an end without its begin (TIMERR_NOCANDO).
    bool BeginTimerPeriod(UINT ms);
    bool EndTimerPeriod(UINT ms);
    // The timer resolution the calling thread's process has.
    Ticks TimerResolution();
    // The timer's last tick at or before `now` at `resolution`.
    Ticks LastTick(Ticks now, Ticks resolution) const;
    // timeGetTime (the calling process's resolution) and GetTickCount64 (the default tick) in ms.
    std::uint64_t TimeGetTimeMs();
    std::uint64_t SystemTickCountMs();
    // Scheduling jitter (virtual clock): a thread of a simulated process that a wait releases runs only
    // after a delay drawn from the seed, as on a busy PC: 99.9 % within 50 us (uniform), 0.1 % between
    // 50 us and 1 ms, 0.001 % between 1 and 3 ms.
    void SetJitter(bool on);

    // LeaveCriticalSection by a thread that does not own the lock: on Windows it corrupts the lock, so the
    // machine reports it on stderr and aborts the run at once.
    [[noreturn]] void ReportLockMisuse(const char* what);

    // Host side: let the machine run for a span of machine time, or until a condition holds (tested
    // every stepMs of machine time). RunUntil returns whether the condition became true.
    void RunFor(std::uint32_t ms);
    bool RunUntil(const std::function<bool()>& condition, std::uint32_t maxMs, std::uint32_t stepMs = 1);

    // Handles. Each process has its own handles: a handle value is valid only in the process that holds
    // it (the host and threads the machine did not start share the host's table). Every handle carries
    // the access rights it was opened with (kAllAccess unless duplicated with fewer).
    static constexpr DWORD kAllAccess = 0xFFFFFFFF;
    HANDLE AddHandle(std::shared_ptr<Object> object, DWORD access = kAllAccess);
    HANDLE AddHandleFor(Process* owner, std::shared_ptr<Object> object, DWORD access = kAllAccess);
    std::shared_ptr<Object> Lookup(HANDLE handle);
    std::shared_ptr<Object> LookupLocked(HANDLE handle);  // the machine lock is held by the caller
    // A handle of another process (null: the host's); `access` receives the handle's rights.
    std::shared_ptr<Object> LookupIn(Process* owner, HANDLE handle, DWORD* access = nullptr);
    template <class T>
    std::shared_ptr<T> LookupAs(HANDLE handle) {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }
    // The rights of a handle of the calling thread's process; 0 for an unknown handle.
    DWORD HandleAccess(HANDLE handle);
    bool CloseHandleValue(HANDLE handle);
    bool CloseHandleIn(Process* owner, HANDLE handle);
    // Handles of every process, or of one type; HandleCountOf counts one process's (null: the host's).
    std::size_t HandleCount();
    std::size_t HandleCount(const std::string& typeName);
    std::size_t HandleCountOf(Process* owner);
    // The process the calling thread belongs to (null for the host and foreign threads).
    Process* CurrentProcessRaw();

    // Threads.
    HANDLE StartThread(std::function<unsigned()> body, DWORD* id, Process* process = nullptr);
    ThreadRec* CurrentThread();  // null for a thread unknown to the machine
    std::size_t LiveThreadCount();
    std::vector<ThreadRec*> Threads();

    // Waits. Deadline kNever waits for ever; result as WaitForMultipleObjects. A Win32 wait's time-out
    // (OnTimerTick) ends on the system timer's tick; the machine's own waits end exactly.
    enum class TimeOut { Exact, OnTimerTick };
    DWORD WaitObjects(const std::vector<std::shared_ptr<Waitable>>& objects, bool all, Ticks timeout,
                      TimeOut kind = TimeOut::Exact);
    DWORD WaitObject(const std::shared_ptr<Waitable>& object, Ticks timeout, TimeOut kind = TimeOut::Exact);
    // Called with the lock held whenever a waitable may have become signalled.
    void NotifySignaledLocked(Waitable& object);
    void SetEventLocked(Event& event);

    // Device timers: callback runs with the machine lock held at machine time `due`.
    std::uint64_t AddTimerLocked(Ticks due, std::function<void()> callback);
    void CancelTimerLocked(std::uint64_t id);

    // Processes.
    std::shared_ptr<Process> StartProcess(const ProgramSpec& spec, HANDLE* processHandle = nullptr);
    std::shared_ptr<Process> CurrentProcess();
    bool WaitProcess(const std::shared_ptr<Process>& process, std::uint32_t maxMs);

    // Fault injection: the named Win32 call fails with `error` the next `times` calls (-1: from now on).
    void InjectFailure(const std::string& function, DWORD error, int times = 1);
    // The named Win32 call first blocks for `ms` of machine time, the next `times` calls (-1: always).
    void InjectStall(const std::string& function, std::uint32_t ms, int times = 1);
    void ClearFailures();
    // Systematic fault injection: every Win32 call a simulated process makes is numbered in that process
    // from 1 (Process::win32Calls), and the observer, when one is set, decides each one's fate: nothing, a
    // stall of `stallMs` first, and/or a failure with `error` (fault_errors.h has a realistic error per
    // call). It runs on the calling thread outside the machine lock, possibly on several threads at once.
    // Calls of the host and of threads no process started are neither numbered nor observed.
    struct CallFate {
        bool fail = false;
        DWORD error = 0;
        std::uint32_t stallMs = 0;
    };
    using CallObserver = std::function<CallFate(Process& process, const char* function, std::uint64_t number)>;
    void SetCallObserver(CallObserver observer);  // an empty function removes it
    // Every simulated Win32 function calls this first: it counts the call, applies an injected stall and
    // reports an injected failure. `function` is the function's name as a string literal (the machine
    // keeps the address).
    bool TakeFailure(const char* function, DWORD* error);
    // How often the named Win32 call was made on this machine.
    std::uint64_t CallCount(const std::string& function);

    // Timeline.
    void AddNote(std::string_view source, std::string_view text);
    std::vector<Note> Notes();
    void SetNoteSink(std::function<void(const Note&)> sink);

    std::mutex& Mutex() { return mutex_; }

    // A part of the machine that lives in files of its own (the endpoint store): one of each type,
    // constructed from the machine on first use and destroyed with it. T's destructor must not call
    // into the machine.
    template <class T>
    T& Part() {
        std::lock_guard lock(partsMutex_);
        auto& slot = parts_[std::type_index(typeid(T))];
        if (!slot) slot = std::make_shared<T>(*this);
        return *static_cast<T*>(slot.get());
    }

    Registry& Reg() { return *registry_; }
    Namespace& Names() { return *namespace_; }
    Modules& Mods() { return *modules_; }
    DeviceTree& Devices() { return *devices_; }
    ServiceManager& Scm() { return *scm_; }

private:
    void ExitThreadLocked(ThreadRec* rec, unsigned code);
    void ExpireLocked(Ticks now);
    // The virtual clock's scheduler (machine lock held throughout; with fibers it passes from thread to
    // thread with the processor).
    bool Scheduled(const ThreadRec* thread) const { return mode_ == ClockMode::Virtual && thread->counted; }
    void LaunchLocked(ThreadRec* rec);
    static void FiberMain(void* rec);
    void ThreadMain(ThreadRec* rec);
    void EndScheduledThread(ThreadRec* rec, unsigned code);  // returns only on an OS thread
    void BlockLocked(std::unique_lock<std::mutex>& lock, ThreadRec* self);
    ThreadRec* PickNextLocked(std::unique_lock<std::mutex>& lock);
    void SwitchLocked(std::unique_lock<std::mutex>& lock, ThreadRec* from, ThreadRec* to);
    std::uint64_t NextRandomLocked();
    friend struct Watchdog;
    // The process's one watchdog thread calls this a few times per spin limit (its own lock held).
    void CheckSpin(std::chrono::steady_clock::time_point now);
    [[noreturn]] void ReportSpin(ThreadRec* thread, double seconds);
    void CompleteLocked(Waiter& waiter, DWORD result);
    bool TrySatisfyLocked(Waiter& waiter);
    static bool TrySatisfyLocked(ThreadRec* thread, std::span<const std::shared_ptr<Waitable>> objects, bool all,
                                 DWORD* result);
    DWORD Wait(std::span<const std::shared_ptr<Waitable>> objects, bool all, Ticks timeout, TimeOut kind);
    void ClockThreadMain();
    ThreadRec* EnsureThreadLocked();

    ClockMode mode_;
    mutable std::mutex mutex_;
    // The nodes of the tables below (handles, deadlines, timers, call counts), all used under mutex_: a
    // handle or a timed wait costs no heap block of its own, which under AddressSanitizer is most of what
    // opening a registry key or waiting with a time-out costs. Declared first, so it goes last.
    std::pmr::unsynchronized_pool_resource pool_;
    std::atomic<Ticks> virtualNow_{0};
    std::atomic<std::uint64_t> clockStartMs_{kDefaultClockStartMs};
    std::chrono::steady_clock::time_point realStart_;
    std::uint64_t seed_;
    std::uint64_t random_;  // the scheduler's generator (splitmix64), from the seed
    Ticks tickPhase_;
    std::map<DWORD, std::multiset<UINT>> timerPeriods_;  // by process id (0: the host's), timeBeginPeriod's
    Ticks ResolutionLocked(const Process* process) const;
    bool jitter_ = false;
    std::uint64_t jitterRandom_ = 0;  // a generator of its own, so jitter leaves the scheduler's draws alone
    Ticks JitterLocked();
    bool fibers_ = false;   // virtual clock: fibers, or OS threads taking turns
    ThreadRec* running_ = nullptr;   // virtual clock: the one thread that runs
    std::vector<ThreadRec*> ready_;  // virtual clock: threads whose turn may come, in the order they became ready
    std::unique_ptr<Fiber> ended_;   // an ended thread's fiber, freed by the next thread to run
    bool idle_ = false;              // every thread waits for ever: only a foreign thread can change that
    std::condition_variable idleCv_;
    std::atomic<std::uint64_t> switches_{0};
    // The watchdog's view (its lock): switches seen, and since when none.
    std::chrono::milliseconds spinLimit_;
    std::uint64_t spinSeen_ = 0;
    std::chrono::steady_clock::time_point spinSince_;
    bool realTime_ = false;        // real clock: SCHED_FIFO is allowed and wanted
    std::string hostPolicyNote_;  // why not, when not
    DWORD nextThreadId_ = 0x100;
    DWORD nextProcessId_ = 0x200;
    ULONG_PTR nextHandle_ = 0x1000;
    struct HandleEntry {
        std::shared_ptr<Object> object;
        Process* owner = nullptr;
        DWORD access = kAllAccess;
    };
    using HandleTable = std::pmr::unordered_map<ULONG_PTR, HandleEntry>;
    HandleTable handles_{&pool_};
    // Closes every handle a process still holds (it has ended); the objects die outside the lock.
    void CloseProcessHandles(Process* process);
    std::vector<std::unique_ptr<ThreadRec>> threadRecs_;
    std::vector<std::thread> osThreads_;
    std::pmr::multimap<Ticks, Waiter*> deadlines_{&pool_};
    struct Timer {
        std::uint64_t id;
        std::function<void()> callback;
    };
    std::pmr::multimap<Ticks, Timer> timers_{&pool_};
    std::uint64_t nextTimerId_ = 1;
    std::vector<std::shared_ptr<Process>> processes_;
    struct Failure {
        DWORD error;
        int remaining;
    };
    std::map<std::string, Failure, std::less<>> failures_;
    struct Stall {
        std::uint32_t ms;
        int remaining;
    };
    std::map<std::string, Stall, std::less<>> stalls_;
    // Calls by the address of the name they pass (each Win32 function passes its own literal, every
    // time): one hash of a pointer per call. CallCount adds up the literals of one name.
    std::pmr::unordered_map<const char*, std::uint64_t> callCounts_{&pool_};
    std::shared_ptr<const CallObserver> callObserver_;
    // The timeline packed: every note's source and text lie one after another in noteText_, so adding a
    // note allocates only when the block grows (a run writes hundreds of debug lines).
    struct PackedNote {
        Ticks time;
        std::size_t at;  // into noteText_: the source, then the text
        std::size_t sourceSize;
        std::size_t textSize;
    };
    std::vector<PackedNote> notes_;
    std::string noteText_;
    std::function<void(const Note&)> noteSink_;
    std::thread clockThread_;
    std::condition_variable clockCv_;
    bool stopping_ = false;
    ThreadRec* host_ = nullptr;

    std::unique_ptr<Registry> registry_;
    std::unique_ptr<Namespace> namespace_;
    std::unique_ptr<Modules> modules_;
    std::unique_ptr<DeviceTree> devices_;
    std::unique_ptr<ServiceManager> scm_;
    std::mutex partsMutex_;
    std::unordered_map<std::type_index, std::shared_ptr<void>> parts_;
};

// The process-wide state of the program the calling thread belongs to.
template <class T>
T& ProcessState() {
    return Machine::Current().CurrentProcess()->State<T>();
}

// Sets the calling thread's last error (for the Win32 implementations).
void SetError(DWORD error);

}  // namespace sim
