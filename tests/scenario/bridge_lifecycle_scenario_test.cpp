// The bridge's life as a user and the driver see it, on the real service in virtual time: endpoints named
// and shown by model and channel mask, the console unplugged at any moment, Bypass, latency switches, two
// consoles at once, the service stopped at any stage; and nothing left behind by any of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "tests/scenario/ServiceBench.h"

namespace {

using scenario::Bench;

// The capture endpoints each model shows (streams 0 to 10), every playback endpoint shown (all mask bits on).
std::string ShownFor(sim::ConsoleModel model) {
    switch (model) {
        case sim::ConsoleModel::Alto:
        case sim::ConsoleModel::Alto2026: return "xxxxxxxxxx.xxxxx";
        case sim::ConsoleModel::Basso:
        case sim::ConsoleModel::Basso2026: return "xxx..xxxxxxxxxxx";
        default: return "...........xxxxx";
    }
}

// The driver's stream and registration requests (not enable and disable), runs of one kind folded:
// "CAPTURE_CLOSE x11, RENDER_CLOSE x5, CONTROL_RELEASE, CONTROL_REGISTER 384, ...".
std::string StreamRequests(sim::VirtualAudioDriver& driver) {
    std::vector<std::string> names;
    for (const auto& request : driver.Requests()) {
        const DWORD code = request.code;
        if (code == IOCTL_VAD_CAPTURE_ENABLE || code == IOCTL_VAD_CAPTURE_DISABLE || code == IOCTL_VAD_RENDER_ENABLE ||
            code == IOCTL_VAD_RENDER_DISABLE)
            continue;
        std::string name = sim::VirtualAudioDriver::RequestName(code);
        if (code == IOCTL_VAD_CONTROL_REGISTER && request.input.size() >= 52) {
            std::uint32_t frames = 0;
            std::memcpy(&frames, request.input.data() + 48, sizeof frames);
            name += " " + std::to_string(frames);
        }
        names.push_back(name);
    }
    std::string text;
    for (std::size_t i = 0; i < names.size();) {
        std::size_t n = 1;
        while (i + n < names.size() && names[i + n] == names[i]) ++n;
        if (!text.empty()) text += ", ";
        text += names[i] + (n > 1 ? " x" + std::to_string(n) : "");
        i += n;
    }
    return text;
}

// Frames per packet a pin instance moved, from what it completed.
std::uint64_t FramesPerPacket(const std::shared_ptr<sim::KsPinDevice>& pin) {
    if (!pin || pin->PacketsCompleted() == 0) return 0;
    return pin->FramesTransferred() / pin->PacketsCompleted();
}

// ---- endpoints ----

class EndpointsByModel : public ::testing::TestWithParam<sim::ConsoleModel> {};

// Each model shows the capture endpoints it feeds (only when its capture pin opened) and, with every
// channel button on, all five playback endpoints, each under its channel's name both in the store and as
// an application reads it; an endpoint the model lacks keeps the driver's own name and stays hidden.
TEST_P(EndpointsByModel, ShowsAndNamesTheEndpointsTheModelFeeds) {
    sim::ConsoleConfig config;
    config.model = GetParam();
    Bench b(config);
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(200);
    const std::string shown = ShownFor(GetParam());
    EXPECT_EQ(b.Shown(), shown);
    for (int i = 0; i < 16; ++i) {
        if (shown[i] == 'x') {
            EXPECT_EQ(b.StoredName(i), scenario::kEndpointNames[i]) << i;
            EXPECT_EQ(b.PropertyStoreName(i), scenario::kEndpointNames[i]) << i;
        } else {
            EXPECT_EQ(b.StoredName(i).rfind("Line ", 0), 0u) << i << ": " << b.StoredName(i);
        }
    }
    ASSERT_TRUE(b.Stop());
    EXPECT_EQ(b.Shown(), "................");
    b.ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(AllModels, EndpointsByModel,
                         ::testing::Values(sim::ConsoleModel::Alto, sim::ConsoleModel::AltoAlt,
                                           sim::ConsoleModel::Alto2026, sim::ConsoleModel::Basso,
                                           sim::ConsoleModel::BassoAlt, sim::ConsoleModel::Basso2026),
                         [](const auto& info) { return std::string(sim::ModelInfo(info.param).name); });

// Mask bits 7, 12, 13, 14 and 15 show "System", "Game", "Music", "Virtual A" and "Virtual B"; a button
// pressed while streaming shows or hides its endpoint at the next health check; bits without an endpoint
// change nothing; the console going hides everything.
TEST(BridgeEndpoints, PlaybackEndpointsFollowTheConsolesChannelMask) {
    Bench b(sim::ConsoleConfig{});
    b.console().Hid().SetChannelMask(0x2080);  // "System" and "Music"
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(100);
    EXPECT_EQ(b.Shown(), "xxxxxxxxxx.x.x..");
    EXPECT_EQ(b.StoredName(13), "Music");
    EXPECT_EQ(b.StoredName(12), "Speakers 2");  // never shown, never named

    // "System" off, "Game", "Virtual A" and "Virtual B" on, and some bits that name no endpoint.
    const std::uint64_t pressed = b.machine.NowMs();
    b.console().Hid().SetChannelMask(0xF07F);  // bits 12 to 15, and 0 to 6
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Shown() == "xxxxxxxxxx..xxxx"; }, 1500));
    EXPECT_LE(b.machine.NowMs() - pressed, 700u);  // the next health check
    for (int i = 12; i < 16; ++i) EXPECT_EQ(b.PropertyStoreName(i), scenario::kEndpointNames[i]) << i;

    // Only bits without an endpoint: nothing shown or hidden.
    sim::EndpointStore::Of(b.machine).ClearVisibilityCalls();
    b.console().Hid().SetChannelMask(0xF000);
    b.machine.RunFor(1500);
    EXPECT_TRUE(sim::EndpointStore::Of(b.machine).VisibilityCalls().empty());
    EXPECT_EQ(b.Shown(), "xxxxxxxxxx..xxxx");
    EXPECT_TRUE(b.Connected());

    b.console().Unplug();
    ASSERT_TRUE(b.WaitConnected(false));
    EXPECT_EQ(b.Shown(), "................");
    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

// ---- unplug, Bypass, latency ----

// Unplugged at any moment of the health-check cycle, the bridge ends 0.5 to 1.2 s later with the console
// reported gone and every endpoint hidden; plugged back, it bridges again and audio flows as a new run,
// past the warm-up of the new pins. Open and close cycles leave no handle or thread behind.
TEST(BridgeLifecycle, UnplugAtAnyMomentEndsTheBridgeAndReplugBridgesAgain) {
    Bench b(sim::ConsoleConfig{});
    sim::AudioPathMeter& meter = b.Meter();
    ASSERT_TRUE(b.Start());
    auto service = b.machine.Scm().ProcessOf(harness::kServiceName);
    std::size_t handles = 0, threads = 0;
    // The unplug falls later in the stream's cycle each time, over 600 ms; under the sanitizers (ten to
    // thirty times slower) in four steps rather than twelve.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kCycles = 4;
#else
    constexpr int kCycles = 12;
#endif
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(b.WaitConnected());
        b.machine.RunFor(700 + 600 / kCycles * cycle);  // streaming
        const sim::Ticks unplugged = b.machine.Now();
        b.console().Unplug();
        ASSERT_TRUE(b.WaitConnected(false, 3000));
        // The health check that finds the counters still ends the bridge: the pins close, and the news
        // follows at once (packets whose requests failed with the console are not waited for).
        const sim::PinRecord closedFirst = meter.Pins()[2 * cycle];  // the render pin, made and closed first
        ASSERT_TRUE(closedFirst.closed.has_value());
        EXPECT_GE(*closedFirst.closed - unplugged, 500 * sim::kTicksPerMs);
        EXPECT_LE(b.machine.Now() - unplugged, 1200 * sim::kTicksPerMs);
        EXPECT_EQ(b.Description(), "No Quillon Connected");
        EXPECT_EQ((*b.status)->firmwareText[0], 0);
        EXPECT_EQ(b.Shown(), "................");
        EXPECT_EQ(b.console().Ks().CapturePin(), nullptr);
        EXPECT_EQ(b.console().Ks().RenderPin(), nullptr);
        if (cycle == 0) {
            handles = b.machine.HandleCountOf(service.get());
            threads = b.machine.LiveThreadCount();
        } else {
            EXPECT_EQ(b.machine.HandleCountOf(service.get()), handles);
            EXPECT_EQ(b.machine.LiveThreadCount(), threads);
        }
        b.console().Plug();
    }
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(500);

    // One run per plug on every path, each without a gap or a repeat, none before its pins' warm-up.
    std::vector<sim::PinRecord> capturePins, renderPins;
    for (const auto& pin : meter.Pins()) (pin.capture ? capturePins : renderPins).push_back(pin);
    ASSERT_EQ(capturePins.size(), static_cast<std::size_t>(kCycles + 1));
    ASSERT_EQ(renderPins.size(), static_cast<std::size_t>(kCycles + 1));
    auto expectRuns = [&](const sim::PathStats& path, const std::vector<sim::PinRecord>& pins) {
        SCOPED_TRACE(testing::Message() << "stream " << path.stream << " channel " << path.channel);
        ASSERT_EQ(path.runs.size(), pins.size());
        EXPECT_EQ(path.misrouted, 0u);
        for (std::size_t k = 0; k < pins.size(); ++k) {
            EXPECT_EQ(path.runs[k].dropped, 0u) << k;
            EXPECT_EQ(path.runs[k].repeated, 0u) << k;
            ASSERT_EQ(pins[k].starts.size(), 1u);
            ASSERT_TRUE(pins[k].starts[0].firstDataFrame.has_value());
            EXPECT_GE(path.runs[k].consoleFrame, *pins[k].starts[0].firstDataFrame + 32 * 96) << k;
        }
    };
    expectRuns(meter.CapturePath(1, 0), capturePins);
    expectRuns(meter.CapturePath(9, 1), capturePins);
    expectRuns(meter.RenderPath(11, 0), renderPins);
    expectRuns(meter.RenderPath(13, 1), renderPins);

    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

// Unplugged before the gate opened, the counters never moved: the first health check ends the bridge.
// Plugged back, the console is bridged and heard as if nothing had happened.
TEST(BridgeLifecycle, UnplugDuringTheWarmUpEndsTheBridgeAtTheFirstHealthCheck) {
    Bench b(sim::ConsoleConfig{});
    sim::AudioPathMeter& meter = b.Meter();
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(20);
    const sim::Ticks unplugged = b.machine.Now();
    b.console().Unplug();
    ASSERT_TRUE(b.WaitConnected(false, 3000));
    ASSERT_TRUE(meter.Pins().front().closed.has_value());
    EXPECT_GE(*meter.Pins().front().closed - unplugged, 400 * sim::kTicksPerMs);
    EXPECT_LE(*meter.Pins().front().closed - unplugged, 700 * sim::kTicksPerMs);
    EXPECT_FALSE(meter.CapturePath(0, 0).Identified());
    EXPECT_EQ(b.Shown(), "................");

    b.console().Plug();
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(500);
    EXPECT_EQ(meter.CapturePath(0, 0).runs.size(), 1u);
    EXPECT_EQ(meter.RenderPath(11, 0).runs.size(), 1u);
    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

// Bypass is written at once but ends the bridge only at the next health check, without touching the
// driver; nothing is opened while it stays on; switched off, the same pass bridges again.
TEST(BridgeLifecycle, BypassEndsTheBridgeAtTheNextHealthCheckAndNothingReopens) {
    Bench b(sim::ConsoleConfig{});
    sim::AudioPathMeter& meter = b.Meter();
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(300);
    b.driver.ClearRequests();

    const std::uint64_t asked = b.machine.NowMs();
    b.RequestSettings(0);
    b.machine.RunFor(110);  // one pass
    EXPECT_EQ(b.machine.Reg().GetDword(scenario::kSettingsPath, kEnableValueName), 0u);
    ASSERT_TRUE(b.WaitConnected(false, 1000));
    EXPECT_LE(b.machine.NowMs() - asked, 700u);
    EXPECT_EQ(b.Shown(), "................");
    EXPECT_EQ(b.console().Ks().RenderPin(), nullptr);

    const std::size_t pins = meter.Pins().size();
    b.machine.RunFor(5000);
    EXPECT_FALSE(b.Connected());
    EXPECT_EQ(meter.Pins().size(), pins);
    EXPECT_EQ(StreamRequests(b.driver), "");  // registration and streams as they were
    EXPECT_EQ(b.driver.RegisteredFrames(), 192u);
    EXPECT_EQ(b.driver.OpenStreamCount(), 16u);

    const std::uint64_t enabled = b.machine.NowMs();
    b.RequestSettings(kSettingEnable);
    ASSERT_TRUE(b.WaitConnected());
    EXPECT_LE(b.machine.NowMs() - enabled, 150u);
    EXPECT_EQ(b.machine.Reg().GetDword(scenario::kSettingsPath, kEnableValueName), 1u);
    b.machine.RunFor(500);
    EXPECT_GT(meter.CapturePath(0, 0).runs.size(), 1u);  // audio again

    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

class LatencySwitch : public ::testing::TestWithParam<sim::PinMode> {};

// Switching latency tears the bridge down at once, closes the sixteen driver streams around a new
// registration and bridges again in the same pass, with console packets of the new period; and back.
TEST_P(LatencySwitch, ReregistersAndReopensInTheSamePassWithTheNewPacketSize) {
    sim::ConsoleConfig config;
    config.pinMode = GetParam();
    Bench b(config);
    sim::AudioPathMeter& meter = b.Meter();
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(500);
    EXPECT_EQ(FramesPerPacket(b.console().Ks().RenderPin()), 96u);
    EXPECT_EQ(FramesPerPacket(b.console().Ks().CapturePin()), 96u);

    struct Step {
        std::uint32_t settings;
        std::uint32_t registered;
    };
    for (const Step step : {Step{kSettingEnable | kSettingLatency, 384}, Step{kSettingEnable, 192}}) {
        SCOPED_TRACE(step.registered);
        b.driver.ClearRequests();
        const std::size_t pinsBefore = meter.Pins().size();
        const std::uint64_t asked = b.machine.NowMs();
        b.RequestSettings(step.settings);
        ASSERT_TRUE(b.machine.RunUntil([&] { return meter.Pins().size() == pinsBefore + 2 && b.Connected(); }, 1000));
        // Up to one pass, the bridge thread's watch, the devices' goodbyes and the search.
        EXPECT_LE(b.machine.NowMs() - asked, 300u);
        EXPECT_EQ(StreamRequests(b.driver),
                  "CAPTURE_CLOSE x11, RENDER_CLOSE x5, CONTROL_RELEASE, CONTROL_REGISTER " +
                      std::to_string(step.registered) + ", CAPTURE_OPEN x11, RENDER_OPEN x5");
        EXPECT_EQ(b.driver.RegisteredFrames(), step.registered);
        // The old pins closed before the streams were reopened, and the new pins came right after them,
        // in the same pass (a pass ends with a 100 ms sleep).
        const std::vector<sim::PinRecord> pins = meter.Pins();
        sim::Ticks closing = -1, reopened = 0;
        for (const auto& request : b.driver.Requests()) {
            if (request.code == IOCTL_VAD_CAPTURE_CLOSE && closing < 0) closing = request.time;
            if (request.code == IOCTL_VAD_RENDER_OPEN) reopened = request.time;
        }
        for (std::size_t i = 0; i < pinsBefore; ++i) {
            ASSERT_TRUE(pins[i].closed.has_value()) << i;
            EXPECT_LE(*pins[i].closed, closing) << i;
        }
        EXPECT_GE(pins[pinsBefore].created, reopened);
        EXPECT_LT(pins[pinsBefore].created - reopened, 50 * sim::kTicksPerMs);

        b.machine.RunFor(500);
        EXPECT_EQ(FramesPerPacket(b.console().Ks().RenderPin()), step.registered / 2);
        EXPECT_EQ(FramesPerPacket(b.console().Ks().CapturePin()), step.registered / 2);
        EXPECT_EQ(b.Shown(), "xxxxxxxxxx.xxxxx");
        EXPECT_EQ(b.machine.Reg().GetDword(scenario::kSettingsPath, kLatencyValueName),
                  step.registered == 384 ? 1u : 0u);
    }
    EXPECT_EQ(meter.CapturePath(5, 1).dropped, 0u);
    EXPECT_EQ(meter.CapturePath(5, 1).runs.size(), 3u);
    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(BothPinModes, LatencySwitch, ::testing::Values(sim::PinMode::Standard, sim::PinMode::Looped),
                         [](const auto& info) {
                             return std::string(info.param == sim::PinMode::Standard ? "Standard" : "Looped");
                         });

// ---- two consoles ----

// A Basso plugged first and an Alto 2026 beside it: the Alto 2026 comes first in the model table and is
// bridged; the Basso is left alone until the Alto goes, and is bridged then.
TEST(BridgeLifecycle, OfTwoConsolesTheFirstModelInTableOrderWins) {
    Bench b;
    sim::ConsoleConfig basso;
    basso.model = sim::ConsoleModel::Basso;
    b.AddConsole(basso);
    b.AddConsole(scenario::SecondConsole(sim::ConsoleModel::Alto2026));
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(300);
    EXPECT_NE(b.Description().find("Quillon Alto"), std::string::npos) << b.Description();
    EXPECT_EQ(b.Shown(), ShownFor(sim::ConsoleModel::Alto2026));
    ASSERT_NE(b.console(1).Ks().CapturePin(), nullptr);
    EXPECT_NE(b.console(1).Ks().RenderPin(), nullptr);
    EXPECT_EQ(b.console(0).Ks().CapturePin(), nullptr);
    EXPECT_EQ(b.console(0).Ks().RenderPin(), nullptr);
    EXPECT_EQ(b.console(1).Ks().CapturePin()->Format().channels, 20u);

    b.console(1).Unplug();
    ASSERT_TRUE(b.WaitConnected(false));
    ASSERT_TRUE(b.WaitConnected());
    b.machine.RunFor(300);
    EXPECT_NE(b.Description().find("Quillon Basso"), std::string::npos) << b.Description();
    EXPECT_EQ(b.Shown(), ShownFor(sim::ConsoleModel::Basso));
    ASSERT_NE(b.console(0).Ks().CapturePin(), nullptr);
    EXPECT_EQ(b.console(0).Ks().CapturePin()->Format().channels, 15u);
    EXPECT_GT(b.console(0).Ks().CapturePin()->PacketsCompleted(), 32u);

    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

// ---- service stop ----

enum class StopAt { NoConsole, Bridging, WarmingUp, Streaming, Bypassed, Unplugged };

std::string StageName(const ::testing::TestParamInfo<StopAt>& info) {
    constexpr const char* kNames[] = {"NoConsole", "Bridging", "WarmingUp", "Streaming", "Bypassed", "Unplugged"};
    return kNames[static_cast<int>(info.param)];
}

class ServiceStop : public ::testing::TestWithParam<StopAt> {};

// Stopped at any stage of a bridge, the service reports stopped promptly, hides every endpoint, leaves
// the console's pins closed and the driver unregistered, and nothing of it is left on the machine.
TEST_P(ServiceStop, EndsCleanlyAtAnyStageOfTheBridge) {
    Bench b;
    b.AddConsole({}, GetParam() != StopAt::NoConsole);
    ASSERT_TRUE(b.Start());
    switch (GetParam()) {
        case StopAt::NoConsole: b.machine.RunFor(1000); break;
        case StopAt::Bridging: break;  // at once, while the first passes look for the console
        case StopAt::WarmingUp:
            ASSERT_TRUE(b.WaitConnected());
            ASSERT_NE(b.console().Ks().CapturePin(), nullptr);
            EXPECT_LT(b.console().Ks().CapturePin()->PacketsCompleted(), 32u);  // the gate is still closed
            break;
        case StopAt::Streaming:
            ASSERT_TRUE(b.WaitConnected());
            b.machine.RunFor(2000);
            break;
        case StopAt::Bypassed:
            ASSERT_TRUE(b.WaitConnected());
            b.RequestSettings(0);
            ASSERT_TRUE(b.WaitConnected(false));
            break;
        case StopAt::Unplugged:
            ASSERT_TRUE(b.WaitConnected());
            b.machine.RunFor(500);
            b.console().Unplug();
            b.machine.RunFor(300);  // before the health check notices
            break;
    }
    const std::uint64_t asked = b.machine.NowMs();
    ASSERT_TRUE(b.Stop());
    EXPECT_LE(b.machine.NowMs() - asked, 1000u);
    const auto history = b.machine.Scm().History(harness::kServiceName);
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[history.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(b.Shown(), "................");
    b.ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Stages, ServiceStop,
                         ::testing::Values(StopAt::NoConsole, StopAt::Bridging, StopAt::WarmingUp, StopAt::Streaming,
                                           StopAt::Bypassed, StopAt::Unplugged),
                         StageName);

}  // namespace
