// The audio path meter on synthetic input: capture halves as a recorder gets them and render blocks as
// the console's pin plays them, with frames dropped, repeated, misrouted, silenced and delayed on purpose.
#include "platform/sim/include/sim/audio_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr sim::Ticks kPlugTime = 20'000'000;  // 2 s: machine frame 96000
constexpr std::uint64_t kPlugFrame = 96'000;
constexpr std::uint32_t kHalf = 96;

sim::KsWaveFormat Format(WORD channels, WORD container) {
    sim::KsWaveFormat f;
    f.tag = WAVE_FORMAT_EXTENSIBLE;
    f.channels = channels;
    f.rate = 48000;
    f.containerBits = f.validBits = container;
    f.blockAlign = static_cast<WORD>(channels * container / 8);
    f.avgBytesPerSecond = f.blockAlign * 48000u;
    f.subFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

sim::ConsolePinEvent PinEvent(sim::ConsolePinEvent::Kind kind, std::uint32_t pin, bool capture,
                              const sim::KsWaveFormat& format) {
    sim::ConsolePinEvent e;
    e.kind = kind;
    e.pin = pin;
    e.capture = capture;
    e.format = &format;
    e.clock = sim::ConsoleClock(kPlugTime, 48000);
    e.time = kPlugTime;
    return e;
}

// Feeds a capture stream's recorder halves. The stream's channel k carries console channel
// sources[k]; each half holds the console frames `latency` machine frames before its own.
class CaptureFeed {
public:
    CaptureFeed(sim::AudioPathMeter& meter, unsigned stream, std::vector<unsigned> sources, std::uint64_t latency)
        : meter_(meter), stream_(stream), sources_(std::move(sources)), latency_(latency) {}

    // The next half at machine frame `at_`, carrying console frames from `console` on (default: in time).
    void Half(std::optional<std::uint64_t> console = std::nullopt) {
        const std::uint64_t first = console ? *console : at_ - latency_ - kPlugFrame;
        std::vector<float> samples(kHalf * sources_.size());
        for (std::uint32_t i = 0; i < kHalf; ++i)
            for (std::size_t k = 0; k < sources_.size(); ++k)
                samples[i * sources_.size() + k] =
                    static_cast<float>(sim::CaptureValue(sources_[k], first + i)) / 32768.0f;
        Deliver(samples);
    }
    void Silence() { Deliver(std::vector<float>(kHalf * sources_.size(), 0.0f)); }
    void Deliver(const std::vector<float>& samples) {
        meter_.OnRecorded(stream_, at_, static_cast<std::uint32_t>(sources_.size()), samples.data(), kHalf);
        at_ += kHalf;
    }
    std::uint64_t At() const { return at_; }

private:
    sim::AudioPathMeter& meter_;
    unsigned stream_;
    std::vector<unsigned> sources_;
    std::uint64_t latency_;
    std::uint64_t at_ = kPlugFrame + 4800;
};

class AudioPathMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        meter_.OnConsolePin(PinEvent(sim::ConsolePinEvent::Kind::Created, 1, true, captureFormat_));
    }
    sim::KsWaveFormat captureFormat_ = Format(18, 32);
    sim::AudioPathMeter meter_;
};

TEST_F(AudioPathMeterTest, ContinuousCaptureIsOneRunWithItsChannelsAndAConstantLatency) {
    CaptureFeed combo1(meter_, 1, {2, 3}, 300);
    CaptureFeed headset(meter_, 10, {16}, 300);  // a mono stream
    for (int i = 0; i < 50; ++i) {
        combo1.Half();
        headset.Half();
    }
    for (unsigned k = 0; k < 2; ++k) {
        const sim::PathStats path = meter_.CapturePath(1, k);
        EXPECT_EQ(path.consoleChannel, static_cast<int>(2 + k));
        EXPECT_EQ(path.frames, 50u * kHalf);
        EXPECT_EQ(path.fromOrTo[2 + k], 50u * kHalf);
        EXPECT_EQ(path.misrouted + path.dropped + path.repeated + path.silentFrames + path.unidentified, 0u);
        ASSERT_EQ(path.runs.size(), 1u);
        EXPECT_EQ(path.runs[0].machineFrame, kPlugFrame + 4800);
        EXPECT_EQ(path.runs[0].consoleFrame, 4800u - 300u);
        EXPECT_TRUE(path.LatencyConstant());
        EXPECT_EQ(path.minLatency, 300);
        EXPECT_DOUBLE_EQ(path.MaxLatencyMs(), 6.25);
    }
    EXPECT_EQ(meter_.CapturePath(10, 0).consoleChannel, 16);
    EXPECT_FALSE(meter_.CapturePath(10, 1).Identified());
    EXPECT_EQ(meter_.CaptureStreamChannels(10), 1u);
    EXPECT_EQ(meter_.CaptureStreamChannels(2), 0u);
    EXPECT_FALSE(meter_.CapturePath(2, 0).Identified());
}

TEST_F(AudioPathMeterTest, SkippedAndStaleHalvesAreSlipsAndOtherLossesCountAsFrames) {
    CaptureFeed feed(meter_, 0, {0, 1}, 200);
    feed.Half();
    feed.Half();
    const std::uint64_t secondHalf = feed.At() - 200 - kPlugFrame - kHalf;
    // Halves are due to carry secondHalf + 96 x (n - 1) at the n-th half from here on.
    feed.Half(secondHalf);              // the previous half again (stale): 96 repeated, 96 frames later than due
    feed.Half(secondHalf + kHalf);      // the half that was due then: late, but nothing is lost
    feed.Half(secondHalf + 3 * kHalf);  // back in step by skipping one half: 96 dropped
    feed.Silence();                     // a half of silence in place of content: 96 dropped, not 192
    feed.Half(secondHalf + 5 * kHalf);
    feed.Half();

    const sim::PathStats path = meter_.CapturePath(0, 1);
    ASSERT_EQ(path.runs.size(), 1u);
    // A whole period dropped or repeated is a slip, counted apart from other losses.
    EXPECT_EQ(path.slips, 3u);
    EXPECT_EQ(path.repeated, 0u);
    EXPECT_EQ(path.dropped, 0u);
    EXPECT_EQ(path.silentFrames, kHalf);
    EXPECT_EQ(path.runs[0].dropped, path.dropped);
    EXPECT_EQ(path.minLatency, 200);
    EXPECT_EQ(path.maxLatency, 200 + kHalf);  // the stale half's repeats
    EXPECT_FALSE(path.LatencyConstant());

    // The same per kind, and as records that say when: the slips, each within 10 ms of the one before,
    // share a record, which begins at the stale half.
    EXPECT_EQ(path.glitches[sim::GlitchKind::Slipped], 3u * kHalf);
    EXPECT_EQ(path.glitches.Total(), 3u * kHalf);
    std::vector<sim::Glitch> glitches;
    for (const sim::Glitch& g : meter_.Glitches())
        if (g.stream == 0 && g.channel == 1) glitches.push_back(g);
    ASSERT_EQ(glitches.size(), 1u);
    EXPECT_EQ(glitches[0].kind, sim::GlitchKind::Slipped);
    EXPECT_EQ(glitches[0].frames, 3u * kHalf);
    EXPECT_TRUE(glitches[0].capture);
    const sim::LevelSnapshot levels = meter_.TakeLevels(0);
    EXPECT_EQ(levels.captureGlitches.Total(), 2u * 3u * kHalf);  // both channels of the stream
    EXPECT_EQ(levels.renderGlitches.Total(), 0u);
}

// Content 900 frames ahead of its due frame would not have been produced yet with a latency of 100 frames:
// it is the same phase one 2048-frame cycle earlier, a stale repeat.
TEST_F(AudioPathMeterTest, AFrameThatWouldArriveBeforeItWasProducedIsAnOlderOne) {
    CaptureFeed feed(meter_, 2, {3}, 100);
    feed.Half();
    const std::uint64_t due = feed.At() - 100 - kPlugFrame;
    feed.Half(due + 900);
    const sim::PathStats path = meter_.CapturePath(2, 0);
    EXPECT_EQ(path.dropped, 0u);
    EXPECT_EQ(path.maxLatency, 100 + 2048 - 900);
}

TEST_F(AudioPathMeterTest, SilenceOfABridgeClosureStartsANewRunWithoutCountingLosses) {
    CaptureFeed feed(meter_, 3, {6, 7}, 250);
    for (int i = 0; i < 10; ++i) feed.Silence();  // before the gate opens
    for (int i = 0; i < 10; ++i) feed.Half();
    for (int i = 0; i < 25; ++i) feed.Silence();  // 2400 frames: the bridge was closed
    const std::uint64_t reopened = feed.At();
    for (int i = 0; i < 10; ++i) feed.Half();

    const sim::PathStats path = meter_.CapturePath(3, 0);
    ASSERT_EQ(path.runs.size(), 2u);
    EXPECT_EQ(path.dropped + path.repeated, 0u);
    EXPECT_EQ(path.runs[1].machineFrame, reopened);
    EXPECT_EQ(path.runs[1].consoleFrame, reopened - 250 - kPlugFrame);
    EXPECT_EQ(path.runs[1].frames, 10u * kHalf);
    EXPECT_TRUE(path.LatencyConstant());

    // Counting afresh: the path goes on in its run and counts from here.
    meter_.ClearCounts();
    feed.Half();
    const sim::PathStats after = meter_.CapturePath(3, 0);
    ASSERT_EQ(after.runs.size(), 1u);
    EXPECT_EQ(after.frames, kHalf);
    EXPECT_EQ(after.dropped, 0u);
    EXPECT_EQ(after.consoleChannel, 6);
}

TEST_F(AudioPathMeterTest, ASampleFromAnotherChannelIsMisroutedAndItsFrameLost) {
    CaptureFeed feed(meter_, 4, {8, 9}, 100);
    feed.Half();
    std::vector<float> samples(2 * kHalf);
    const std::uint64_t first = feed.At() - 100 - kPlugFrame;
    for (std::uint32_t i = 0; i < kHalf; ++i) {
        samples[2 * i] = static_cast<float>(sim::CaptureValue(i == 40 ? 5 : 8, first + i)) / 32768.0f;
        samples[2 * i + 1] = i == 41 ? 0.123f : static_cast<float>(sim::CaptureValue(9, first + i)) / 32768.0f;
    }
    feed.Deliver(samples);
    feed.Half();

    const sim::PathStats left = meter_.CapturePath(4, 0);
    EXPECT_EQ(left.misrouted, 1u);
    EXPECT_EQ(left.fromOrTo[5], 1u);
    EXPECT_EQ(left.dropped, 1u);
    const sim::PathStats right = meter_.CapturePath(4, 1);
    EXPECT_EQ(right.unidentified, 1u);
    EXPECT_EQ(right.dropped, 1u);
    EXPECT_EQ(right.misrouted, 0u);
}

// Render: the console pin's 16-bit integers carry v for stream s, channel ch and application frame m.
TEST_F(AudioPathMeterTest, RenderPathsLandInTheOffsetTablesChannelsLateByTheirLatency) {
    const sim::KsWaveFormat format = Format(12, 16);
    meter_.OnConsolePin(PinEvent(sim::ConsolePinEvent::Kind::Created, 2, false, format));
    auto started = PinEvent(sim::ConsolePinEvent::Kind::Started, 2, false, format);
    started.firstFrame = 1000;
    meter_.OnConsolePin(started);

    constexpr std::uint64_t kLatency = 480;
    std::vector<std::int16_t> data(12 * kHalf);
    for (std::uint64_t block = 0; block < 40; ++block) {
        const std::uint64_t consoleFirst = 4000 + block * kHalf;
        for (std::uint32_t i = 0; i < kHalf; ++i) {
            const std::uint64_t m = kPlugFrame + consoleFirst + i - kLatency;  // the application frame played now
            for (unsigned c = 0; c < 12; ++c) {
                std::int32_t v = 0;
                if (c < 4) v = static_cast<std::int32_t>((c + 1) * 2048 + m % 2048);  // streams 11 and 12
                if (c == 3 && block == 20 && i < 3)
                    v = static_cast<std::int32_t>(3 * 2048 + m % 2048);  // 12 L in 12 R's place
                if (c == 7 && block == 30 && i == 0) v = 77;             // a stray value on an unused channel
                data[i * 12 + c] = static_cast<std::int16_t>(v);
            }
        }
        auto frames = PinEvent(sim::ConsolePinEvent::Kind::Frames, 2, false, format);
        frames.firstFrame = consoleFirst;
        frames.frames = kHalf;
        frames.data = reinterpret_cast<const BYTE*>(data.data());
        meter_.OnConsolePin(frames);
    }

    for (unsigned stream : {11u, 12u})
        for (unsigned ch = 0; ch < 2; ++ch) {
            SCOPED_TRACE(stream * 10 + ch);
            const sim::PathStats path = meter_.RenderPath(stream, ch);
            EXPECT_EQ(path.consoleChannel, static_cast<int>(2 * (stream - 11) + ch));
            ASSERT_EQ(path.runs.size(), 1u);
            EXPECT_EQ(path.runs[0].consoleFrame, 4000u);
            EXPECT_EQ(path.runs[0].machineFrame, kPlugFrame + 4000 - kLatency);
            EXPECT_EQ(path.minLatency, static_cast<std::int64_t>(kLatency));
            EXPECT_EQ(path.repeated, 0u);
        }
    // 12 L's three frames that reached channel 3 are misrouted; 12 R lost them.
    EXPECT_EQ(meter_.RenderPath(12, 0).misrouted, 3u);
    EXPECT_EQ(meter_.RenderPath(12, 0).fromOrTo[3], 3u);
    EXPECT_EQ(meter_.RenderPath(12, 0).dropped, 0u);
    EXPECT_EQ(meter_.RenderPath(12, 1).dropped, 3u);
    EXPECT_EQ(meter_.RenderChannel(3).foreign, 3u);
    EXPECT_TRUE(meter_.RenderPath(12, 1).LatencyConstant());
    EXPECT_FALSE(meter_.RenderPath(13, 0).Identified());

    EXPECT_TRUE(meter_.RenderChannel(4).Silent());
    EXPECT_EQ(meter_.RenderChannel(4).frames, 40u * kHalf);
    EXPECT_FALSE(meter_.RenderChannel(7).Silent());
    EXPECT_EQ(meter_.RenderChannel(7).unidentified, 1u);
    EXPECT_EQ(meter_.RenderChannels(), 12u);

    const auto pins = meter_.Pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_FALSE(pins[1].capture);
    ASSERT_EQ(pins[1].starts.size(), 1u);
    EXPECT_EQ(pins[1].starts[0].pickupFrame, 1000u);
    EXPECT_EQ(pins[1].starts[0].firstDataFrame, 4000u);
    EXPECT_EQ(pins[1].frames, 40u * kHalf);

    const sim::LevelSnapshot levels = meter_.TakeLevels(kPlugTime);
    EXPECT_EQ(levels.consoleOut.frames, 40u * kHalf);
    EXPECT_NEAR(levels.consoleOut.peak, (4 * 2048.0 + 2047) / 32768.0, 1e-6);
    EXPECT_EQ(meter_.TakeLevels(kPlugTime).consoleOut.frames, 0u);
}

}  // namespace
