// The virtual clock and the waits it drives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/simwin/api.h"

namespace {

// The system clocks start where a freshly booted machine's would; these tests count from there.
constexpr DWORD kClockStart = static_cast<DWORD>(sim::Machine::kDefaultClockStartMs);

struct PingPong {
    HANDLE ping;
    HANDLE pong;
    int rounds;
    std::vector<DWORD> times;
};

unsigned Ponger(void* arg) {
    auto* p = static_cast<PingPong*>(arg);
    for (int i = 0; i < p->rounds; ++i) {
        WaitForSingleObject(p->ping, INFINITE);
        Sleep(3);
        p->times.push_back(timeGetTime() - kClockStart);
        SetEvent(p->pong);
    }
    return 7;
}

TEST(VirtualClock, TwoThreadsPingPongAnEventAndTimeMovesOnlyBySleeps) {
    sim::Machine machine;
    PingPong p{CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr), 100, {}};
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Ponger, &p, 0, nullptr));
    for (int i = 0; i < p.rounds; ++i) {
        SetEvent(p.ping);
        ASSERT_EQ(WaitForSingleObject(p.pong, 1000), WAIT_OBJECT_0);
    }
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 7u);
    ASSERT_EQ(p.times.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(p.times[i], static_cast<DWORD>(3 * (i + 1)));
    EXPECT_EQ(timeGetTime() - kClockStart, 300u);
    CloseHandle(t);
    CloseHandle(p.ping);
    CloseHandle(p.pong);
}

TEST(VirtualClock, WaitTimesOutExactlyAtItsDeadline) {
    sim::Machine machine;
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    machine.RunFor(17);
    EXPECT_EQ(WaitForSingleObject(e, 250), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(timeGetTime() - kClockStart, 267u);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(timeGetTime() - kClockStart, 267u);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 250), WAIT_OBJECT_0);  // manual reset: stays signalled
    EXPECT_EQ(WaitForSingleObject(e, 250), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - kClockStart, 267u);
    CloseHandle(e);
}

// A program's time-outs end on the system timer's tick (15.625 ms at the machine's phase), counted from
// the last tick, so they last up to a tick more or less than asked, and GetTickCount moves by ticks;
// after timeBeginPeriod(1) they end on the millisecond, for that process only.
TEST(SystemTimer, ProgramsWaitOnTheTickUnlessTheyAskedForOneMillisecond) {
    sim::Machine machine;
    constexpr sim::Ticks kTick = sim::Machine::kSystemTick;
    std::vector<sim::Ticks> coarse, fine;
    std::vector<ULONGLONG> ticks;
    sim::ProgramSpec program;
    program.imageName = "timer.exe";
    program.entry = [&](HINSTANCE) -> int {
        for (DWORD ms : {1u, 5u, 16u, 20u, 100u}) {
            const sim::Ticks start = machine.Now();
            Sleep(ms);
            coarse.push_back(machine.Now() - start);
            EXPECT_EQ((machine.Now() - machine.TickPhase()) % kTick, 0) << ms;  // ends on a tick
            ticks.push_back(GetTickCount64());
        }
        EXPECT_EQ(timeEndPeriod(1), TIMERR_NOCANDO);  // no begin to end
        EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
        EXPECT_EQ(timeBeginPeriod(1), TIMERR_NOERROR);
        for (DWORD ms : {1u, 5u, 16u}) {
            const sim::Ticks start = machine.Now();
            Sleep(ms);
            fine.push_back(machine.Now() - start);
        }
        EXPECT_EQ(timeEndPeriod(1), TIMERR_NOERROR);
        return 0;
    };
    machine.WaitProcess(machine.StartProcess(program), 60'000);
    for (std::size_t i = 0; i < coarse.size(); ++i) {
        const sim::Ticks asked = std::vector<sim::Ticks>{1, 5, 16, 20, 100}[i] * sim::kTicksPerMs;
        EXPECT_GT(coarse[i], asked - kTick) << i;
        EXPECT_LE(coarse[i], asked + kTick) << i;
    }
    for (std::size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(ticks[i] - ticks[i - 1], 15u);
    // The first ends on the next millisecond (it began between two, on a tick); the others began on one.
    EXPECT_LE(fine[0], 10'000);
    EXPECT_EQ(fine[1], 50'000);
    EXPECT_EQ(fine[2], 160'000);
    // The host's own waits (a test's) end exactly.
    const sim::Ticks start = machine.Now();
    Sleep(3);
    EXPECT_EQ(machine.Now() - start, 30'000);
}

unsigned BusyOutside(void* arg) {
    auto* done = static_cast<std::atomic<bool>*>(arg);
    // Work that never calls into the machine: the clock must not move meanwhile.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    *done = true;
    return 0;
}

TEST(VirtualClock, ThreadBusyOutsideTheMachineHoldsTimeStill) {
    sim::Machine machine;
    std::atomic<bool> done{false};
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, BusyOutside, &done, 0, nullptr));
    Sleep(1);  // the host blocks: time may only reach 1 ms once the busy thread has finished
    EXPECT_TRUE(done);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(timeGetTime() - kClockStart, 1u);
    CloseHandle(t);
}

struct Sleeper {
    DWORD ms;
    std::vector<DWORD>* order;
    CRITICAL_SECTION* lock;
};

unsigned SleepThenRecord(void* arg) {
    auto* s = static_cast<Sleeper*>(arg);
    Sleep(s->ms);
    EnterCriticalSection(s->lock);
    s->order->push_back(timeGetTime() - kClockStart);
    LeaveCriticalSection(s->lock);
    return 0;
}

TEST(VirtualClock, ManySleepersWakeInDeadlineOrder) {
    sim::Machine machine;
    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    std::vector<DWORD> order;
    const DWORD delays[] = {50, 10, 40, 20, 30, 10, 5, 45};
    std::vector<Sleeper> sleepers;
    for (DWORD d : delays) sleepers.push_back({d, &order, &lock});
    std::vector<HANDLE> threads;
    for (auto& s : sleepers)
        threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SleepThenRecord, &s, 0, nullptr)));
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(order, (std::vector<DWORD>{5, 10, 10, 20, 30, 40, 45, 50}));
    for (HANDLE h : threads) CloseHandle(h);
    DeleteCriticalSection(&lock);
    EXPECT_EQ(machine.HandleCount(), 0u);
}

TEST(VirtualClock, AnHourOfTimeoutsRunsInAnInstant) {
    sim::Machine machine;
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < 36000; ++i) WaitForSingleObject(e, 100);
    EXPECT_EQ(GetTickCount64() - sim::Machine::kDefaultClockStartMs, 3'600'000u);
    CloseHandle(e);
}

TEST(RealClock, WaitTimesOutOnTheSteadyClock) {
    sim::Machine machine(sim::ClockMode::Real);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const DWORD before = timeGetTime();
    EXPECT_EQ(WaitForSingleObject(e, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(timeGetTime() - before, 20u);
    CloseHandle(e);
}

TEST(Handles, ClosingAnUnknownHandleFailsWithInvalidHandle) {
    sim::Machine machine;
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 10), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
}

}  // namespace

namespace {

unsigned TickEvery10ms(void* arg) {
    auto* ticks = static_cast<std::atomic<int>*>(arg);
    for (int i = 0; i < 50; ++i) {
        Sleep(10);
        ++*ticks;
    }
    return 0;
}

TEST(VirtualClock, TheHostWakesAfterEverythingElseDueAtTheSameInstant) {
    sim::Machine machine;
    std::atomic<int> ticks{0};
    HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, TickEvery10ms, &ticks, 0, nullptr));
    // Each wait of the host ends at the very instant the other thread's sleep ends: the host must see
    // that tick every time, never the moment before it.
    for (int i = 1; i <= 50; ++i) {
        machine.RunFor(10);
        ASSERT_EQ(ticks.load(), i);
    }
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

}  // namespace

namespace {

// Four threads released at one instant, each noting its number in turn, five rounds; Sleep(0) in the
// middle of a round lets the others go first.
struct Race {
    HANDLE start;
    std::vector<int> order;
};

struct Runner {
    Race* race;
    int number;
};

unsigned RunRounds(void* arg) {
    auto* runner = static_cast<Runner*>(arg);
    WaitForSingleObject(runner->race->start, INFINITE);
    for (int round = 0; round < 5; ++round) {
        runner->race->order.push_back(runner->number);
        Sleep(0);
        runner->race->order.push_back(runner->number);
        Sleep(1);
    }
    return 0;
}

std::vector<int> RaceOrder(std::uint64_t seed) {
    sim::Machine machine(sim::ClockMode::Virtual, seed);
    Race race{CreateEventW(nullptr, TRUE, FALSE, nullptr), {}};
    std::vector<Runner> runners;
    for (int i = 0; i < 4; ++i) runners.push_back({&race, i});
    std::vector<HANDLE> threads;
    for (auto& r : runners)
        threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RunRounds, &r, 0, nullptr)));
    machine.RunFor(3);
    SetEvent(race.start);
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    EXPECT_EQ(timeGetTime() - kClockStart, 3u + 5u);  // the rounds' sleeps, nothing else
    for (HANDLE h : threads) CloseHandle(h);
    CloseHandle(race.start);
    return race.order;
}

TEST(Scheduling, TheSameSeedReplaysOneInterleavingAndOtherSeedsExploreOthers) {
    const std::vector<int> first = RaceOrder(7);
    ASSERT_EQ(first.size(), 40u);
    EXPECT_EQ(RaceOrder(7), first);
    std::vector<std::vector<int>> seen{first};
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        const std::vector<int> order = RaceOrder(seed);
        if (std::find(seen.begin(), seen.end(), order) == seen.end()) seen.push_back(order);
    }
    EXPECT_GE(seen.size(), 5u) << "eight seeds should give several orders of four threads";
}

}  // namespace

// Outside the anonymous namespace, so that the report's stack can name it.
unsigned SpinForEver(void*) {
    volatile bool forever = true;
    while (forever) {
    }
    return 0;
}

namespace {

TEST(SchedulingDeathTest, AThreadThatNeverWaitsIsReportedWithItsStack) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer holds back the signal that takes the spinning thread's stack";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Machine machine;
            machine.SetSpinLimit(std::chrono::milliseconds(200));
            HANDLE t = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, SpinForEver, nullptr, 0, nullptr));
            Sleep(1);
            CloseHandle(t);
        },
        "thread [0-9]+ \\(thread\\) has run for [0-9.]+ s of host time without waiting in the machine, so "
        "virtual time cannot move \\(last Win32 call: none\\); its stack:(.|\n)*SpinForEver");
}

}  // namespace
