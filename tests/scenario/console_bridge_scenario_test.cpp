// The whole service on one simulated machine with the virtual driver and a console: the bridge opens,
// audio crosses in both directions, and the bridge goes and comes back as the console and the user's
// settings change. Everything is observed as the tray, the driver's applications and the console see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Service/QuillonDiag/DiagReader.h"
#include "Service/common/DiagnosticsMapping.h"
#include "platform/sim/include/sim/console_audio.h"
#include "tests/scenario/ServiceBench.h"

namespace {

// An application recording from a capture stream: the half it received last.
struct LastHalf {
    std::mutex mutex;
    std::vector<float> samples;
    void Listen(sim::VirtualAudioDriver& driver, std::uint32_t stream) {
        driver.SetRecorder(stream, [this](std::uint64_t, std::uint32_t channels, const float* in, std::uint32_t frames) {
            std::lock_guard lock(mutex);
            samples.assign(in, in + frames * channels);
        });
    }
    std::vector<float> Get() {
        std::lock_guard lock(mutex);
        return samples;
    }
};

// A bench whose applications keep the last half of every capture stream.
struct Bench : scenario::Bench {
    LastHalf recorded[sim::VirtualAudioDriver::kCaptureStreams];

    explicit Bench(sim::ConsoleConfig config = {}) : scenario::Bench(config) {
        for (std::uint32_t i = 0; i < sim::VirtualAudioDriver::kCaptureStreams; ++i) recorded[i].Listen(driver, i);
    }
};

// The console channel a recorded capture sample came from: the console's capture signal identifies it
// (the service opens the capture pin with 24 valid bits in 32).
int ChannelOf(float sample) {
    const auto id = sim::RecoverCaptureSample(sample, 32);
    return id ? static_cast<int>(id->channel) : -1;
}

// The service's diagnostics record as QuillonDiag reads it; and the path states, one character per stream
// ('.' idle, 'c' copy, 'l' locking, 'r' resampling).
DiagnosticsRecord Diagnostics() {
    DiagnosticsRecord record{};
    CDiagnosticsMapping block = CDiagnosticsMapping::Open(kDiagnosticsBlockName);
    EXPECT_TRUE(block);
    if (block) {
        EXPECT_EQ(ReadDiagnostics(block.View(), block.Bytes(), record), EDiagRead::Ok);
    }
    return record;
}
std::string PathStates(const DiagnosticsRecord& r) {
    std::string states;
    for (const DiagPathRecord& p : r.paths) states += ".clr?"[std::min(p.state, 4u)];
    return states;
}

void ExpectStreamCarries(LastHalf& recorder, int stream, std::vector<int> channels) {
    std::vector<float> got = recorder.Get();
    ASSERT_FALSE(got.empty()) << "stream " << stream;
    const std::size_t width = channels.size();
    for (std::size_t k = 0; k < got.size(); ++k)
        ASSERT_EQ(ChannelOf(got[k]), channels[k % width]) << "stream " << stream << " sample " << k;
}

TEST(ConsoleBridgeScenario, AnAltoBridgesCapturesPlaysAndFollowsUnplugAndReplug) {
    Bench b;
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 2000));
    EXPECT_NE(b.Description().find("Quillon Alto"), std::string::npos) << b.Description();

    // Capture: the worked split of 16 channels.
    b.machine.RunFor(400);
    EXPECT_EQ(b.Shown(), "xxxxxxxxxx.xxxxx");  // no stream 10 on an Alto; every mask bit set
    ExpectStreamCarries(b.recorded[0], 0, {0, 1});
    ExpectStreamCarries(b.recorded[1], 1, {2});
    ExpectStreamCarries(b.recorded[4], 4, {5});
    ExpectStreamCarries(b.recorded[5], 5, {6, 7});
    ExpectStreamCarries(b.recorded[9], 9, {14, 15});

    // The diagnostics view: streaming, the Alto's formats, every stream but 10 routed at its width.
    DiagnosticsRecord diag = Diagnostics();
    EXPECT_EQ(diag.bridgeState, static_cast<std::uint32_t>(EDiagBridgeState::Streaming));
    EXPECT_STREQ(diag.model, "Quillon Alto");
    EXPECT_EQ(diag.sampleRate, 48000u);
    EXPECT_EQ(diag.periodFrames, 96u);  // half the driver's 192-frame buffer
    EXPECT_EQ(diag.latencyMultiplier, 2u);
    EXPECT_EQ(diag.capture.channels, 16u);
    EXPECT_EQ(diag.capture.containerBits, 32u);
    EXPECT_EQ(diag.capture.validBits, 24u);
    EXPECT_EQ(diag.render.channels, 10u);
    EXPECT_NE(diag.bridgeOpenedMs, 0u);
    EXPECT_EQ(PathStates(diag), "cccccccccc.ccccc");
    EXPECT_EQ(diag.paths[0].channels, 2u);
    EXPECT_EQ(diag.paths[1].channels, 1u);

    // Render: an application plays into "System" (stream 11); the console's channels 0 and 1 sound.
    auto pin = b.console().Ks().RenderPin();
    ASSERT_NE(pin, nullptr);
    b.driver.SetPlayer(0, [](std::uint64_t, std::uint32_t channels, float* out, std::uint32_t frames) {
        std::fill(out, out + frames * channels, 0.5f);
    });
    b.machine.RunFor(200);
    const auto format = pin->Format();
    const std::vector<BYTE> played = pin->Rendered();
    const unsigned bytes = format.containerBits / 8;
    ASSERT_GT(bytes, 0u);
    const std::size_t frameBytes = static_cast<std::size_t>(bytes) * format.channels;
    ASSERT_GE(played.size(), frameBytes * 16);
    auto top = [&](std::size_t frame, unsigned ch) {
        return played[played.size() - (frame + 1) * frameBytes + ch * bytes + (bytes - 1)];
    };
    // The last frames played: 0.5 full scale in channels 0 and 1, silence where nobody plays.
    int loud = 0;
    for (std::size_t f = 0; f < 16; ++f) {
        if (top(f, 0) == 0x40 && top(f, 1) == 0x40) ++loud;
        EXPECT_EQ(top(f, 9), 0) << f;
    }
    EXPECT_GT(loud, 8);

    // Unplugged while streaming: the health check ends the bridge within 0.5 to 1.2 s.
    const std::uint64_t unplugged = b.machine.NowMs();
    b.console().Unplug();
    ASSERT_TRUE(b.machine.RunUntil([&] { return !b.Connected(); }, 3000));
    const std::uint64_t after = b.machine.NowMs() - unplugged;
    EXPECT_GE(after, 400u);
    EXPECT_LE(after, 1200u);
    EXPECT_EQ(b.Description(), "No Quillon Connected");
    EXPECT_EQ(b.Shown(), "................");
    b.machine.RunFor(150);  // the next loop pass publishes the teardown
    diag = Diagnostics();
    EXPECT_EQ(diag.bridgeState, static_cast<std::uint32_t>(EDiagBridgeState::NoConsole));
    EXPECT_EQ(PathStates(diag), "................");
    EXPECT_EQ(diag.model[0], 0);

    // Replugged: bridged again, audio again.
    b.console().Plug();
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 2000));
    b.machine.RunFor(400);
    ExpectStreamCarries(b.recorded[0], 0, {0, 1});

    ASSERT_TRUE(b.Stop());
    EXPECT_EQ(b.machine.HandleCount(), 0u);
    EXPECT_EQ(b.machine.LiveThreadCount(), 0u);
}

TEST(ConsoleBridgeScenario, BypassTearsDownAndLatencyReopensWithTheLongerPeriod) {
    Bench b;
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 2000));
    EXPECT_EQ(b.driver.RegisteredFrames(), 192u);

    // Low latency: torn down, re-registered with 384 frames and bridged again.
    b.RequestSettings(kSettingEnable | kSettingLatency);
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.driver.RegisteredFrames() == 384u; }, 1000));
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 1000));
    b.machine.RunFor(400);
    ExpectStreamCarries(b.recorded[0], 0, {0, 1});
    EXPECT_EQ(b.recorded[0].Get().size(), 384u);  // one half: 192 stereo frames

    // Bypass: the next health check ends the bridge and nothing reopens while it is on.
    b.RequestSettings(kSettingLatency);
    ASSERT_TRUE(b.machine.RunUntil([&] { return !b.Connected(); }, 1500));
    b.machine.RunFor(2000);
    EXPECT_FALSE(b.Connected());
    EXPECT_EQ(b.console().Ks().RenderPin(), nullptr);

    b.RequestSettings(kSettingEnable | kSettingLatency);
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 1000));
    ASSERT_TRUE(b.Stop());
    EXPECT_EQ(b.machine.HandleCount(), 0u);
}

TEST(ConsoleBridgeScenario, AnAltModelBridgesRenderOnlyInLoopedMode) {
    sim::ConsoleConfig config;
    config.model = sim::ConsoleModel::BassoAlt;
    config.pinMode = sim::PinMode::Looped;
    Bench b(config);
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.machine.RunUntil([&] { return b.Connected(); }, 2000));
    EXPECT_NE(b.Description().find("Quillon Basso"), std::string::npos);
    b.machine.RunFor(1500);  // several health checks: render progress alone keeps it alive
    EXPECT_TRUE(b.Connected());
    EXPECT_EQ(b.console().Ks().CapturePin(), nullptr);
    EXPECT_EQ(b.Shown(), "...........xxxxx");  // capture endpoints stay hidden
    const DiagnosticsRecord diag = Diagnostics();
    EXPECT_EQ(PathStates(diag), "...........ccccc");  // no capture pin: no capture path
    EXPECT_EQ(diag.capture.channels, 0u);
    EXPECT_EQ(diag.render.looped, 1u);
    EXPECT_STREQ(diag.model, "Quillon Basso");
    ASSERT_TRUE(b.Stop());
    EXPECT_EQ(b.machine.HandleCount(), 0u);
}

}  // namespace
