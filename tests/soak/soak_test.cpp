// Soak runs in virtual time: the real service with the virtual driver, an Alto console and the driver's
// applications, through thousands of unplugs, setting changes, stops at any moment and driver
// reinstallations. After every re-bridge the audio must be exact on every path again; while streaming the
// service must hold the same resources every time; after every stop it must have given everything back;
// and once the machine is gone, the heap is where it was before. Every wait is bounded: a service that
// hangs fails the run instead of holding it. The seed printed at the start replays a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "tests/harness/Programs.h"
#include "tests/soak/HeapCount.h"
#include "tests/soak/SoakBench.h"
#include "tests/soak/SoakOptions.h"

namespace soak {
namespace {

constexpr std::uint32_t kBridgeMs = 3'000;    // a console plugged in is bridged within this
constexpr std::uint32_t kExactMs = 3'000;     // and its audio is exact within this
constexpr std::uint32_t kTeardownMs = 3'000;  // an unplugged console or a bypass ends the bridge within this
constexpr std::uint32_t kDriverFoundMs = 6'000;  // a reinstalled driver carries exact audio again within this

// The console's pins as they come, in the service's calls: where the first pin of the last plug was
// created and started.
class PinWatch : public sim::AudioPathListener {
public:
    explicit PinWatch(Bench& bench) : bench_(bench) { bench_.meter->SetListener(this); }
    ~PinWatch() override { bench_.meter->SetListener(nullptr); }
    void Reset() { created_ = lastCreated_ = started_ = 0; }
    void ConsolePin(const sim::ConsolePinEvent& event) override {
        if (event.kind == sim::ConsolePinEvent::Kind::Created) {
            lastCreated_ = bench_.hook.Calls();
            if (!created_) created_ = lastCreated_.load();
        }
        if (event.kind == sim::ConsolePinEvent::Kind::Started && !started_) started_ = bench_.hook.Calls();
    }
    std::uint64_t CreatedAt() const { return created_; }
    std::uint64_t LastCreatedAt() const { return lastCreated_; }  // the capture pin, within the bridge opening
    std::uint64_t StartedAt() const { return started_; }

private:
    Bench& bench_;
    std::atomic<std::uint64_t> created_{0}, lastCreated_{0}, started_{0};
};

// The run's seed and where it stood, for every failure message.
struct Where {
    const char* what;
    std::uint32_t cycle;
};
::testing::AssertionResult Failed(const Where& where, const std::string& problem) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::AssertionFailure() << where.what << " " << where.cycle << ": " << problem
                                         << " (replay: QUILLON_SOAK_SEED=" << Options().seed
                                         << " --gtest_filter=" << test->test_suite_name() << "." << test->name() << ")";
}

// Runs until the console is bridged and its audio exact, or says why not.
std::string Rebridged(Bench& b, std::uint32_t exactMs = kExactMs) {
    if (!b.WaitConnected(true, kBridgeMs)) return "not bridged within " + std::to_string(kBridgeMs) + " ms";
    const std::uint64_t end = b.machine.NowMs() + exactMs;
    std::string fault;
    do {
        b.machine.RunFor(50);
        fault = b.AudioFault(100);
    } while (!fault.empty() && b.machine.NowMs() < end);
    return fault.empty() ? "" : "audio not exact within " + std::to_string(exactMs) + " ms:\n" + fault;
}

// What the running service holds while it streams: its handles, the machine's threads, COM objects,
// task memory and views. It must never hold more than on its first bridge.
Footprint Streaming(Bench& b) {
    Footprint f = Measure(b.machine);
    auto process = b.machine.Scm().ProcessOf(harness::kServiceName);
    f.handles = process ? b.machine.HandleCountOf(process.get()) : 0;
    return f;
}

// Holds the service at its `n`-th call from now and runs until it stands there; false if it never came.
bool HoldAt(Bench& b, std::uint64_t n, std::uint32_t maxMs = 5'000) {
    ServiceCallHook::Action hold;
    hold.stallMs = 2;
    b.hook.ArmAfter(n, hold);
    const bool came = b.machine.RunUntil([&] { return b.hook.HasFired(); }, maxMs);
    if (!came) b.hook.Disarm();
    return came;
}

std::uint64_t Between(std::mt19937_64& random, std::uint64_t low, std::uint64_t high) {
    return high <= low ? low : std::uniform_int_distribution<std::uint64_t>(low, high)(random);
}

// Once the machine is gone, the heap is where it was before it was made.
void ExpectHeapBack(std::int64_t before) {
    const std::int64_t after = LiveHeapBytes();
    std::printf("heap in use: %lld bytes before the machine, %lld after it\n", static_cast<long long>(before),
                static_cast<long long>(after));
    EXPECT_EQ(after, before) << "heap bytes not given back";
}

void PrintWall(const char* what, std::chrono::steady_clock::time_point start) {
    std::fprintf(stderr, "%s: %.1f s wall\n", what,  // host time: not part of the run's report
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// ---- unplug and replug at every phase of the bridge's life ----

enum class Phase { Searching, Opening, WarmUp, Streaming, Teardown };
constexpr const char* kPhaseNames[] = {"searching", "opening", "warm-up", "streaming", "teardown"};

TEST(Soak, UnplugAndReplugAtEveryPhaseOfTheBridge) {
    const auto wallStart = std::chrono::steady_clock::now();
    std::mt19937_64 random = TestRandom();
    const std::uint32_t cycles = Scaled(1'000);
    const std::int64_t heapBefore = LiveHeapBytes();
    std::uint32_t counted[5] = {};
    std::uint32_t lateTeardowns = 0;
    std::uint32_t lateOpenings = 0;  // bridged in fewer calls than the plug the range was learnt from
    std::uint64_t virtualMs = 0;
    {
        Bench b;
        PinWatch pins(b);
        ASSERT_TRUE(b.Start());
        ASSERT_EQ(Rebridged(b), "");
        const Footprint streaming = Streaming(b);
        std::printf("streaming: %s\n", streaming.Describe().c_str());
        // Calls from a plug to the first pin created and to the pins started, and from a bypass request to
        // the bridge's end: the ranges the held calls are drawn from (learnt again on every plug).
        std::uint64_t toCreated = 0, toStarted = 0, toTornDown = 0;
        auto replug = [&]() -> std::string {
            pins.Reset();
            const std::uint64_t plugged = b.hook.Calls();
            b.console.Plug();
            const std::string fault = Rebridged(b);
            if (pins.CreatedAt()) toCreated = pins.CreatedAt() - plugged;
            if (pins.StartedAt()) toStarted = pins.StartedAt() - plugged;
            return fault;
        };
        auto unplugged = [&]() -> std::string {
            b.console.Unplug();
            return b.WaitConnected(false, kTeardownMs)
                       ? ""
                       : "still bridged " + std::to_string(kTeardownMs) + " ms after the unplug";
        };
        // The first plug's numbers, and the first bypass's.
        ASSERT_EQ(unplugged(), "");
        ASSERT_EQ(replug(), "");
        {
            const std::uint64_t before = b.hook.Calls();
            b.RequestSettings(0);
            ASSERT_TRUE(b.WaitConnected(false, kTeardownMs));
            toTornDown = b.hook.Calls() - before;
            b.RequestSettings(kSettingEnable);
            ASSERT_EQ(Rebridged(b), "");
        }

        for (std::uint32_t cycle = 0; cycle < cycles; ++cycle) {
            const Where where{"cycle", cycle};
            const Phase phase = static_cast<Phase>(cycle % 5);
            ++counted[static_cast<int>(phase)];
            std::string fault;
            switch (phase) {
                case Phase::Streaming:
                    b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 500)));
                    fault = unplugged();
                    break;
                case Phase::Teardown: {
                    // Bypass (or, every other time, a latency switch) ends the bridge; the console goes in
                    // the middle of that.
                    const bool latency = (cycle / 5) % 2 == 1;
                    const std::uint32_t settings = b.Command() ? b.Command()->settings : kSettingEnable;
                    b.RequestSettings(latency ? (settings ^ kSettingLatency) : (settings & ~kSettingEnable));
                    // (When the teardown made fewer calls this time, the console goes right after it.)
                    if (!HoldAt(b, Between(random, 1, toTornDown), kTeardownMs)) ++lateTeardowns;
                    b.console.Unplug();
                    if (!b.WaitConnected(false, kTeardownMs)) fault = "still bridged after the unplug";
                    b.RequestSettings((settings ^ (latency ? kSettingLatency : 0)) | kSettingEnable);
                    break;
                }
                default: {
                    // Out, and in again: the console goes once more while the service is on its way to
                    // the bridge.
                    fault = unplugged();
                    if (!fault.empty()) break;
                    b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 300)));
                    pins.Reset();
                    b.console.Plug();
                    if (phase == Phase::WarmUp) {
                        if (!b.machine.RunUntil([&] { return pins.StartedAt() != 0; }, kBridgeMs)) {
                            fault = "pins not started";
                            break;
                        }
                        b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 70)));
                    } else {
                        const std::uint64_t low = phase == Phase::Searching ? 1 : toCreated;
                        const std::uint64_t high = phase == Phase::Searching ? toCreated : toStarted;
                        if (!HoldAt(b, Between(random, low, high), kBridgeMs)) {
                            if (!pins.StartedAt()) {
                                fault = "the service made no call after the plug";
                                break;
                            }
                            ++lateOpenings;  // the console goes while streaming instead
                        }
                    }
                    fault = unplugged();
                    break;
                }
            }
            if (fault.empty()) {
                b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 300)));
                fault = replug();
            }
            if (fault.empty() && !Streaming(b).Within(streaming))
                fault = "streaming with " + Streaming(b).Describe() + ", more than " + streaming.Describe();
            ASSERT_TRUE(fault.empty()
                            ? ::testing::AssertionSuccess()
                            : Failed(where, std::string(kPhaseNames[static_cast<int>(phase)]) + ": " + fault));
        }
        virtualMs = b.machine.NowMs();
        ASSERT_TRUE(b.Stop());
        EXPECT_EQ(b.LeftBehind(), "");
    }
    ExpectHeapBack(heapBefore);
    std::printf(
        "%u cycles (searching %u, opening %u (%u once streaming), warm-up %u, streaming %u, teardown %u, of which %u "
        "just after it), %.1f s of machine time\n",
        cycles, counted[0], counted[1], lateOpenings, counted[2], counted[3], counted[4], lateTeardowns,
        virtualMs / 1000.0);
    PrintWall("unplug and replug", wallStart);
}

// ---- latency switches and bypass toggles ----

TEST(Soak, LatencySwitchesAndBypassTogglesWhileStreaming) {
    const auto wallStart = std::chrono::steady_clock::now();
    std::mt19937_64 random = TestRandom();
    const std::uint32_t target = Scaled(1'000);
    const std::int64_t heapBefore = LiveHeapBytes();
    std::uint32_t switches = 0, toggles = 0, withUnplug = 0, doubled = 0;
    std::uint64_t virtualMs = 0;
    {
        Bench b;
        ASSERT_TRUE(b.Start());
        ASSERT_EQ(Rebridged(b), "");
        const Footprint streaming = Streaming(b);
        std::printf("streaming: %s\n", streaming.Describe().c_str());
        std::uint32_t settings = kSettingEnable;
        for (std::uint32_t step = 0; switches < target || toggles < target; ++step) {
            const Where where{"step", step};
            // One change, now and then a second one in the same pass, now and then an unplug in it too.
            const int changes = Between(random, 0, 4) == 0 ? 2 : 1;
            const bool unplug = Between(random, 0, 6) == 0;
            const bool unplugFirst = unplug && Between(random, 0, 1) == 0;
            if (unplugFirst) b.console.Unplug();
            for (int c = 0; c < changes; ++c) {
                const bool latency = toggles >= target || (switches < target && Between(random, 0, 1) == 0);
                settings ^= latency ? kSettingLatency : kSettingEnable;
                ++(latency ? switches : toggles);
                ASSERT_TRUE(b.RequestSettings(settings) ? ::testing::AssertionSuccess()
                                                        : Failed(where, "no command block"));
                if (c + 1 < changes) b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 99)));
            }
            doubled += changes == 2;
            withUnplug += unplug;
            if (unplug && !unplugFirst) b.console.Unplug();
            b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 150)));

            std::string fault;
            if (unplug) {
                if (!b.WaitConnected(false, kTeardownMs)) fault = "still bridged after the unplug";
                b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 300)));
                b.console.Plug();
            }
            const std::uint32_t frames = (settings & kSettingLatency) ? 384 : 192;
            if (fault.empty() &&
                !b.machine.RunUntil([&] { return b.Status() && b.Status()->settings == settings; }, 1'000))
                fault = "the status block does not show the new settings";
            if (!fault.empty()) {
            } else if (settings & kSettingEnable) {
                fault = Rebridged(b);
                if (fault.empty() && b.driver.RegisteredFrames() != frames)
                    fault = "driver registered with " + std::to_string(b.driver.RegisteredFrames()) + " frames";
                if (fault.empty() && !Streaming(b).Within(streaming))
                    fault = "streaming with " + Streaming(b).Describe() + ", more than " + streaming.Describe();
            } else {
                // A bridge the service opened just before it took the bypass goes at its next health check;
                // nothing opens again while the bypass lasts.
                auto nothingOpen = [&] {
                    return !b.Connected() && !b.console.Ks().RenderPin() && !b.console.Ks().CapturePin();
                };
                if (!b.machine.RunUntil(nothingOpen, kTeardownMs)) fault = "still bridged in bypass";
                b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 200)));
                if (fault.empty() && !nothingOpen()) fault = "bridged again in bypass";
                // (The switch waits for the driver channel's notification thread, up to 100 ms.)
                if (fault.empty() && !b.machine.RunUntil([&] { return b.driver.RegisteredFrames() == frames; }, 1'000))
                    fault =
                        "driver registered with " + std::to_string(b.driver.RegisteredFrames()) + " frames in bypass";
            }
            ASSERT_TRUE(fault.empty() ? ::testing::AssertionSuccess() : Failed(where, fault));
        }
        virtualMs = b.machine.NowMs();
        ASSERT_TRUE(b.Stop());
        EXPECT_EQ(b.LeftBehind(), "");
    }
    ExpectHeapBack(heapBefore);
    std::printf(
        "%u latency switches and %u bypass toggles (%u in the pass of an unplug, %u two in one pass), %.1f s "
        "of machine time\n",
        switches, toggles, withUnplug, doubled, virtualMs / 1000.0);
    PrintWall("latency and bypass", wallStart);
}

// ---- the service stopped at any moment, and started again ----

enum class StopMoment { Starting, Opening, Streaming, Teardown, NoConsole };
constexpr const char* kStopMomentNames[] = {"starting", "opening", "streaming", "teardown", "no console"};

TEST(Soak, ServiceStoppedAtAnyMomentAndStartedAgain) {
    const auto wallStart = std::chrono::steady_clock::now();
    std::mt19937_64 random = TestRandom();
    const std::uint32_t stops = Scaled(200);
    const std::int64_t heapBefore = LiveHeapBytes();
    std::uint64_t virtualMs = 0, longestStopMs = 0;
    std::uint32_t counted[5] = {};
    // Where the held calls stood, by the service's own functions on their stacks (counted without the heap).
    constexpr const char* kPlaces[][2] = {
        {"ServiceMain", "the service main function"},
        {"CConsoleSupervisor::CConsoleSupervisor", "supervisor construction"},
        {"CConsoleSupervisor::OpenConsoleBridge", "a bridge opening"},
        {"CConsoleSupervisor::AnnounceConsole", "the console's announcement"},
        {"CConsoleSupervisor::TearDownBridge", "a teardown"},
        {"CConsoleSupervisor::ApplyLatency", "a latency switch"},
        {"CKSDevice::StreamThread", "a stream thread"},
        {"", "elsewhere"},
    };
    constexpr std::size_t kPlaceCount = sizeof kPlaces / sizeof kPlaces[0];
    std::uint32_t heldIn[kPlaceCount] = {};
    {
        Bench b;
        PinWatch pins(b);
        const std::string settingsKey = std::string("HKLM\\") + kSettingsKeyPath;
        // One life to learn its numbers: calls to the first pin and to the last one (the bridge opening lies
        // between them), and from a latency switch to the end of the teardown it makes.
        std::uint64_t toCreated = 0, toLastCreated = 0, toTornDown = 0;
        {
            const std::uint64_t start = b.hook.Calls();
            ASSERT_TRUE(b.Start());
            ASSERT_EQ(Rebridged(b), "");
            toCreated = pins.CreatedAt() - start;
            toLastCreated = pins.LastCreatedAt() - start;
            const std::uint64_t before = b.hook.Calls();
            b.RequestSettings(kSettingEnable | kSettingLatency);
            ASSERT_TRUE(b.WaitConnected(false, kTeardownMs));
            toTornDown = b.hook.Calls() - before;
            ASSERT_TRUE(b.Stop());
            ASSERT_EQ(b.LeftBehind(), "");
        }
        std::vector<Stack> held;
        for (std::uint32_t life = 0; life < stops; ++life) {
            const Where where{"life", life};
            const StopMoment moment = static_cast<StopMoment>(life % 5);
            ++counted[static_cast<int>(moment)];
            // Bridging on, "Ultra-low": what the last life's stop wrote is undone.
            b.machine.Reg().SetDword(settingsKey, kEnableValueName, 1);
            b.machine.Reg().SetDword(settingsKey, kLatencyValueName, 0);
            pins.Reset();
            std::string fault;
            if (moment == StopMoment::Starting || moment == StopMoment::Opening) {
                ServiceCallHook::Action hold;
                hold.stallMs = 2;
                b.hook.ArmAfter(moment == StopMoment::Starting ? Between(random, 1, toCreated)
                                                               : Between(random, toCreated, toLastCreated),
                                hold);
                if (!b.machine.Scm().Start(harness::kServiceName)) fault = "not started";
                if (fault.empty() && !b.machine.RunUntil([&] { return b.hook.HasFired(); }, 5'000))
                    fault = "the held call did not come";
                if (fault.empty()) held.push_back(b.hook.FiredCall().stack);
            } else {
                if (!b.Start()) fault = "did not report running";
                if (fault.empty()) fault = Rebridged(b);
                if (fault.empty() && moment == StopMoment::Streaming)
                    b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 1'000)));
                if (fault.empty() && moment == StopMoment::Teardown) {
                    b.RequestSettings(kSettingEnable | kSettingLatency);
                    if (HoldAt(b, Between(random, 1, toTornDown), kTeardownMs))
                        held.push_back(b.hook.FiredCall().stack);
                }
                if (fault.empty() && moment == StopMoment::NoConsole) {
                    b.console.Unplug();
                    b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 1'500)));
                }
            }
            const std::uint64_t stopAt = b.machine.NowMs();
            if (!b.Stop()) fault += (fault.empty() ? "" : "; ") + std::string("did not stop within 30 s");
            longestStopMs = std::max<std::uint64_t>(longestStopMs, b.machine.NowMs() - stopAt);
            if (fault.empty()) fault = b.LeftBehind();
            if (fault.empty() && (b.driver.RegisteredFrames() || b.driver.OpenStreamCount()))
                fault = "the driver still has a registration or open streams";
            if (fault.empty() && (b.console.Ks().RenderPin() || b.console.Ks().CapturePin()))
                fault = "a console pin is still open";
            ASSERT_TRUE(fault.empty()
                            ? ::testing::AssertionSuccess()
                            : Failed(where, std::string(kStopMomentNames[static_cast<int>(moment)]) + ": " + fault));
            if (!b.console.Plugged()) b.console.Plug();
        }
        virtualMs = b.machine.NowMs();
        // Where the held calls stood, by the service's own functions on their stacks.
        std::vector<void*> addresses;
        for (const Stack& stack : held) addresses.insert(addresses.end(), stack.begin(), stack.end());
        const std::map<void*, std::string> names = FunctionNames(addresses);
        for (const Stack& stack : held) {
            std::size_t place = kPlaceCount - 1;
            for (const std::string& name : StackNames(stack, names)) {
                for (std::size_t p = 0; p + 1 < kPlaceCount && place == kPlaceCount - 1; ++p)
                    if (name == kPlaces[p][0]) place = p;
            }
            ++heldIn[place];
        }
    }
    ExpectHeapBack(heapBefore);
    std::printf(
        "%u stops (starting %u, opening %u, streaming %u, teardown %u, no console %u); longest stop %.1f s; "
        "%.1f s of machine time\n",
        stops, counted[0], counted[1], counted[2], counted[3], counted[4], longestStopMs / 1000.0, virtualMs / 1000.0);
    for (std::size_t p = 0; p < kPlaceCount; ++p)
        if (heldIn[p]) std::printf("  stopped while held in %s: %u\n", kPlaces[p][1], heldIn[p]);
    PrintWall("stops and restarts", wallStart);
}

// ---- the virtual driver removed and reinstalled ----

TEST(Soak, VirtualDriverRemovedAndReinstalledWhileStreaming) {
    const auto wallStart = std::chrono::steady_clock::now();
    std::mt19937_64 random = TestRandom();
    const std::uint32_t cycles = Scaled(50);
    const std::int64_t heapBefore = LiveHeapBytes();
    std::uint64_t virtualMs = 0;
    {
        Bench b;
        ASSERT_TRUE(b.Start());
        ASSERT_EQ(Rebridged(b), "");
        for (std::uint32_t cycle = 0; cycle < cycles; ++cycle) {
            const Where where{"cycle", cycle};
            b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 1'000)));
            b.driver.Remove();
            b.machine.RunFor(static_cast<std::uint32_t>(Between(random, 0, 2'000)));
            b.driver.Install();
            // The bridge notices the driver's silence at its next health check (0.5 to 1.2 s), and the
            // worker, looking about once a second, builds a supervisor that finds the driver again.
            const std::string fault = Rebridged(b, kDriverFoundMs);
            ASSERT_TRUE(fault.empty() ? ::testing::AssertionSuccess() : Failed(where, fault));
        }
        virtualMs = b.machine.NowMs();
        ASSERT_TRUE(b.Stop());
        EXPECT_EQ(b.LeftBehind(), "");
    }
    ExpectHeapBack(heapBefore);
    std::printf("%u removals and reinstallations, %.1f s of machine time\n", cycles, virtualMs / 1000.0);
    PrintWall("driver reinstallation", wallStart);
}

}  // namespace
}  // namespace soak
