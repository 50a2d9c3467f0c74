// Audio end to end through the real service, in virtual time, followed path by path by the identifying
// signals: the console's capture channels split into the driver's capture streams and the applications'
// playback streams merged into the console's render channels, sample for sample, for every model, latency,
// pin mode and sample depth; and a minute of streaming without a glitch, at a constant latency per path.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "platform/sim/include/sim/debug_output.h"
#include "tests/scenario/ServiceBench.h"

namespace {

using scenario::Bench;

// The console capture channels each capture stream 0 to 10 carries (-1: none), as the routing splits a
// frame of 16 channels (no stream 10) and of 15 (no streams 3 and 4). The _2026 models carry 20 channels
// and use the first 16 or 15; the _Alt models carry none.
using StreamChannels = std::array<std::array<int, 2>, 11>;
constexpr StreamChannels kAltoSplit = {{{0, 1}, {2, -1}, {3, -1}, {4, -1}, {5, -1}, {6, 7}, {8, 9}, {10, 11}, {12, 13},
                                        {14, 15}, {-1, -1}}};
constexpr StreamChannels kBassoSplit = {{{0, 1}, {2, -1}, {3, -1}, {-1, -1}, {-1, -1}, {4, 5}, {6, 7}, {8, 9},
                                         {10, 11}, {12, 13}, {14, -1}}};
constexpr StreamChannels kNoCapture = {{{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1},
                                        {-1, -1}, {-1, -1}, {-1, -1}}};

const StreamChannels& SplitOf(sim::ConsoleModel model) {
    switch (model) {
        case sim::ConsoleModel::Alto:
        case sim::ConsoleModel::Alto2026: return kAltoSplit;
        case sim::ConsoleModel::Basso:
        case sim::ConsoleModel::Basso2026: return kBassoSplit;
        default: return kNoCapture;
    }
}

// The driver opens streams 1 to 4 and 10 with one channel, the others with two.
std::uint32_t WidthOf(unsigned stream) { return (stream >= 1 && stream <= 4) || stream == 10 ? 1 : 2; }

struct Layout {
    WORD container;
    WORD valid;
};

void SetDiagnostics(const char* name, DWORD value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDiagnosticsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

struct Session {
    sim::ConsoleModel model = sim::ConsoleModel::Alto;
    bool lowLatency = false;
    sim::PinMode pinMode = sim::PinMode::Standard;
    Layout layout{32, 24};
    std::vector<unsigned> played = {11, 12, 13, 14, 15};
    // Time as on a PC: the two crystals, how the driver keeps time, late wake-ups.
    std::int64_t consolePpb = 0;
    sim::DriverClock driverClock = sim::DriverClock::Free;
    bool jitter = false;
    bool driftCorrection = false;
    bool sine = false;  // the sine test signal: resampled paths are judged by its breaks
};

// A session streaming from the moment the bridge opened: the console with only `layout` on its pins,
// applications playing into `played`, recording every capture endpoint.
struct Streaming {
    Bench b;
    sim::AudioPathMeter* meter = nullptr;
    std::uint32_t packetFrames = 0;  // the bridge's packet: half the driver's buffer

    explicit Streaming(const Session& s) {
        sim::ConsoleConfig config;
        config.model = s.model;
        config.pinMode = s.pinMode;
        config.clockPpb = s.consolePpb;
        config.sine = s.sine;
        b.driver.SetClock(s.driverClock);
        SetDiagnostics("DriftCorrection", s.driftCorrection ? 1 : 0);
        SetDiagnostics("KsLogLevel", 4);
        b.machine.SetJitter(s.jitter);
        sim::Console& console = b.AddConsole(config, false);
        console.Ks().Options().sampleFormats = {{s.layout.container, s.layout.valid}};
        sim::AudioPathMeter::Options options;
        options.playedStreams = s.played;
        options.sine = s.sine;
        meter = &b.Meter(options);
        b.StartWithLowLatency(s.lowLatency);
        console.Plug();
        packetFrames = s.lowLatency ? 192 : 96;
    }
    bool Start() { return b.Start() && b.WaitConnected(); }
};

// The console frame at which a pin's first start produced or played its first frame.
std::optional<std::uint64_t> FirstDataFrame(const std::vector<sim::PinRecord>& pins, bool capture) {
    for (const auto& pin : pins)
        if (pin.capture == capture && !pin.starts.empty()) return pin.starts.front().firstDataFrame;
    return std::nullopt;
}

// One run of `path` that began after the warm-up of the pin's start, every frame once and in order up to
// about now, at one latency.
void ExpectOneCleanRun(const sim::PathStats& path, std::optional<std::uint64_t> firstDataFrame,
                       std::uint32_t packetFrames, std::uint64_t nowFrame) {
    SCOPED_TRACE(testing::Message() << "stream " << path.stream << " channel " << path.channel);
    ASSERT_EQ(path.runs.size(), 1u);
    const sim::PathRun& run = path.runs.front();
    EXPECT_EQ(path.misrouted, 0u);
    EXPECT_EQ(path.unidentified, 0u);
    EXPECT_EQ(run.dropped, 0u);
    EXPECT_EQ(run.repeated, 0u);
    EXPECT_TRUE(path.LatencyConstant()) << path.minLatency << " to " << path.maxLatency << " frames";
    // Nothing of the first 32 packets reached anybody.
    ASSERT_TRUE(firstDataFrame.has_value());
    EXPECT_GE(run.consoleFrame, *firstDataFrame + 32 * packetFrames);
    // And the run did not stop early: it reaches the present but for the path's latency and a period.
    EXPECT_GE(run.frames + static_cast<std::uint64_t>(path.maxLatency) + 2 * packetFrames, nowFrame - run.machineFrame);
}

// Every used capture stream carries exactly its console channels, the others carry silence; every played
// stream lands in its console pair; the other pairs stay silent.
void ExpectRouting(Streaming& st, const Session& s) {
    sim::AudioPathMeter& meter = *st.meter;
    const std::uint64_t now = sim::MachineFrameAt(st.b.machine.Now());
    const std::vector<sim::PinRecord> pins = meter.Pins();
    const StreamChannels& split = SplitOf(s.model);
    const bool capture = &split != &kNoCapture;
    EXPECT_EQ(std::count_if(pins.begin(), pins.end(), [](const sim::PinRecord& pin) { return pin.capture; }),
              capture ? 1 : 0);
    for (unsigned stream = 0; stream < 11; ++stream) {
        EXPECT_EQ(meter.CaptureStreamChannels(stream), WidthOf(stream)) << stream;
        for (unsigned ch = 0; ch < WidthOf(stream); ++ch) {
            const sim::PathStats path = meter.CapturePath(stream, ch);
            const int expected = split[stream][ch];
            if (expected < 0) {
                EXPECT_EQ(path.frames + path.unidentified, 0u) << "stream " << stream << " channel " << ch;
                continue;
            }
            EXPECT_EQ(path.consoleChannel, expected) << "stream " << stream << " channel " << ch;
            ExpectOneCleanRun(path, FirstDataFrame(pins, true), st.packetFrames, now);
        }
    }
    ASSERT_EQ(meter.RenderChannels(), 10u);
    for (unsigned stream = 11; stream < 16; ++stream) {
        const bool played = std::find(s.played.begin(), s.played.end(), stream) != s.played.end();
        for (unsigned ch = 0; ch < 2; ++ch) {
            const unsigned consoleChannel = 2 * (stream - 11) + ch;
            const sim::ConsoleChannelStats channel = meter.RenderChannel(consoleChannel);
            EXPECT_EQ(channel.foreign, 0u) << consoleChannel;
            EXPECT_EQ(channel.unidentified, 0u) << consoleChannel;
            EXPECT_GT(channel.frames, 0u) << consoleChannel;
            if (played)
                ExpectOneCleanRun(meter.RenderPath(stream, ch), FirstDataFrame(pins, false), st.packetFrames, now);
            else
                EXPECT_TRUE(channel.Silent()) << consoleChannel;
        }
    }
}

// ---- the matrix ----

using Case = std::tuple<sim::ConsoleModel, bool, sim::PinMode, Layout>;

class AudioMatrix : public ::testing::TestWithParam<Case> {};

// Under the sanitizers, which run the machine ten to thirty times slower, each of the 96 cases streams
// half a second: what they look for (a conversion or a copy out of bounds, a race at start or stop) shows
// in the first hundred packets of a format.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kMatrixStreamMs = 500;
#else
constexpr std::uint32_t kMatrixStreamMs = 1500;
#endif

TEST_P(AudioMatrix, EveryPathCarriesExactlyItsChannelsEveryFrameOnceInOrder) {
    Session s;
    std::tie(s.model, s.lowLatency, s.pinMode, s.layout) = GetParam();
    // One playback stream stays unplayed, a different one from case to case.
    const unsigned mix = static_cast<unsigned>(s.model) + 2 * s.lowLatency + 3 * static_cast<unsigned>(s.pinMode);
    const unsigned quiet = 11 + (mix + s.layout.container / 8) % 5;
    s.played.erase(std::find(s.played.begin(), s.played.end(), quiet));
    Streaming st(s);
    ASSERT_TRUE(st.Start());
    st.b.machine.RunFor(kMatrixStreamMs);
    ExpectRouting(st, s);
    for (const auto& pin : st.meter->Pins()) {
        EXPECT_EQ(pin.format.containerBits, s.layout.container);
        EXPECT_EQ(pin.format.validBits, s.layout.valid);
        EXPECT_EQ(pin.looped, s.pinMode == sim::PinMode::Looped);
    }
    ASSERT_TRUE(st.b.Stop());
    st.b.ExpectNothingLeft();
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    const auto [model, low, mode, layout] = info.param;
    return std::string(sim::ModelInfo(model).name) + (low ? "_Low_" : "_UltraLow_") +
           (mode == sim::PinMode::Looped ? "Looped_" : "Standard_") + std::to_string(layout.container) + "in" +
           std::to_string(layout.valid);
}

INSTANTIATE_TEST_SUITE_P(
    AllSessions, AudioMatrix,
    ::testing::Combine(::testing::Values(sim::ConsoleModel::Alto, sim::ConsoleModel::AltoAlt,
                                         sim::ConsoleModel::Alto2026, sim::ConsoleModel::Basso,
                                         sim::ConsoleModel::BassoAlt, sim::ConsoleModel::Basso2026),
                       ::testing::Bool(), ::testing::Values(sim::PinMode::Standard, sim::PinMode::Looped),
                       ::testing::Values(Layout{16, 16}, Layout{24, 24}, Layout{32, 24}, Layout{32, 32})),
    CaseName);

// ---- applications and driver streams that come and go ----

// An application that stops playing leaves its console pair silent from the next period on: the driver
// hands the service zeros for a half nobody wrote, and nothing of the last half played comes back. The
// other applications play on undisturbed.
TEST(AudioScenario, AnApplicationThatStopsPlayingLeavesSilenceNotItsLastHalf) {
    Session s;
    s.played = {11, 12, 13};
    Streaming st(s);
    ASSERT_TRUE(st.Start());
    st.b.machine.RunFor(1000);
    EXPECT_GT(st.meter->RenderPath(12, 0).frames, 0u);
    st.b.driver.SetPlayer(12 - 11, {});  // "Game" stops
    st.b.machine.RunFor(20);             // what was already handed over plays out
    st.meter->ClearCounts();
    st.b.machine.RunFor(1000);
    for (unsigned c : {2u, 3u}) {
        EXPECT_TRUE(st.meter->RenderChannel(c).Silent()) << c;
        EXPECT_GT(st.meter->RenderChannel(c).frames, 40'000u) << c;
    }
    EXPECT_EQ(st.meter->RenderPath(12, 0).frames, 0u);
    for (unsigned stream : {11u, 13u}) {
        const sim::PathStats path = st.meter->RenderPath(stream, 1);
        ASSERT_EQ(path.runs.size(), 1u) << stream;
        EXPECT_EQ(path.dropped + path.repeated + path.misrouted, 0u) << stream;
        EXPECT_GT(path.frames, 40'000u) << stream;
    }
    ASSERT_TRUE(st.b.Stop());
    st.b.ExpectNothingLeft();
}

// Driver streams the driver would not open: capture stream "Bluetooth" gets nothing but still takes its
// two console channels, so the streams after it carry theirs; the console pair of playback stream "Music"
// gets silence every block (standard render does not clear its block) while the others play.
TEST(AudioScenario, StreamsTheDriverDidNotOpenAreSkippedWithoutShiftingTheOthers) {
    Session s;
    Streaming st(s);
    st.b.driver.RefuseOpen(sim::VirtualAudioDriver::Flow::Capture, 5, -1);
    st.b.driver.RefuseOpen(sim::VirtualAudioDriver::Flow::Render, 13 - 11, -1);
    ASSERT_TRUE(st.Start());
    st.b.machine.RunFor(1500);
    sim::AudioPathMeter& meter = *st.meter;
    const std::uint64_t now = sim::MachineFrameAt(st.b.machine.Now());
    const std::vector<sim::PinRecord> pins = meter.Pins();
    EXPECT_EQ(meter.CaptureStreamChannels(5), 0u);
    for (unsigned stream : {4u, 6u, 9u})
        for (unsigned ch = 0; ch < WidthOf(stream); ++ch) {
            const sim::PathStats path = meter.CapturePath(stream, ch);
            EXPECT_EQ(path.consoleChannel, kAltoSplit[stream][ch]) << stream << "/" << ch;
            ExpectOneCleanRun(path, FirstDataFrame(pins, true), st.packetFrames, now);
        }
    for (unsigned c : {4u, 5u}) {
        EXPECT_TRUE(meter.RenderChannel(c).Silent()) << c;
        EXPECT_GT(meter.RenderChannel(c).frames, 0u) << c;
    }
    for (unsigned stream : {11u, 12u, 14u, 15u})
        for (unsigned ch = 0; ch < 2; ++ch)
            ExpectOneCleanRun(meter.RenderPath(stream, ch), FirstDataFrame(pins, false), st.packetFrames, now);
    ASSERT_TRUE(st.b.Stop());
    st.b.ExpectNothingLeft();
}

// ---- a minute of streaming ----

using Long = std::tuple<bool, sim::PinMode>;

// The sanitizers run the machine ten to thirty times slower than a release build; what they look for
// (races between the stream threads, the bridge and the driver's clock; a buffer overrun at a packet's
// or a half's edge) ten seconds of streaming show as well as sixty.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kLongSessionMs = 10'000;
#else
constexpr std::uint32_t kLongSessionMs = 60'000;
#endif

class LongSession : public ::testing::TestWithParam<Long> {};

// A minute at either latency, in either pin mode: one run per path with no frame dropped or repeated, no
// answer late at the driver, nothing lost at the console's pins, and each path's added latency (console
// ADC to application, application to console DAC) the same from the first frame to the last.
TEST_P(LongSession, AMinuteWithoutAGlitchAtAConstantLatencyPerPath) {
    Session s;
    std::tie(s.lowLatency, s.pinMode) = GetParam();
    Streaming st(s);
    ASSERT_TRUE(st.Start());
    st.b.machine.RunFor(500);  // past the warm-up
    const std::uint64_t missedCapture = st.b.driver.MissedCaptureAnswers();
    const std::uint64_t missedRender = st.b.driver.MissedRenderAnswers();
    const std::uint64_t underruns = st.b.driver.CaptureUnderruns();
    st.b.machine.RunFor(kLongSessionMs);
    ExpectRouting(st, s);
    EXPECT_EQ(st.b.driver.MissedCaptureAnswers(), missedCapture);
    EXPECT_EQ(st.b.driver.MissedRenderAnswers(), missedRender);
    EXPECT_EQ(st.b.driver.CaptureUnderruns(), underruns);
    for (const auto& pin : {st.b.console().Ks().CapturePin(), st.b.console().Ks().RenderPin()}) {
        ASSERT_NE(pin, nullptr);
        const sim::KsStreamCounts counts = pin->Counts();
        EXPECT_EQ(counts.overrunFrames, 0u) << (pin->Capture() ? "capture" : "render");
        EXPECT_EQ(counts.underrunFrames, 0u) << (pin->Capture() ? "capture" : "render");
    }

    // The latencies, for the record: each path's, and each direction's range over its paths.
    std::printf("%s latency, %s pins, %u s:\n", s.lowLatency ? "Low" : "Ultra-low",
                s.pinMode == sim::PinMode::Looped ? "looped" : "standard", kLongSessionMs / 1000);
    for (const bool capture : {true, false}) {
        double low = 1e9, high = 0;
        for (const auto& path : capture ? st.meter->CapturePaths() : st.meter->RenderPaths()) {
            if (!path.Identified()) continue;
            std::printf("  %-7s %2u %-9s ch%u %s console %2d: %.3f ms\n", capture ? "capture" : "render", path.stream,
                        scenario::kEndpointNames[path.stream], path.channel, capture ? "<-" : "->", path.consoleChannel,
                        path.MaxLatencyMs());
            low = std::min(low, path.MinLatencyMs());
            high = std::max(high, path.MaxLatencyMs());
        }
        char range[64];
        std::snprintf(range, sizeof range, "%.3f to %.3f", low, high);
        RecordProperty(capture ? "capture_latency_ms" : "render_latency_ms", range);
    }
    ASSERT_TRUE(st.b.Stop());
    st.b.ExpectNothingLeft();
}

// Each latency once, each in one pin mode (the matrix covers the four pairings over shorter sessions).
INSTANTIATE_TEST_SUITE_P(BothLatencies, LongSession,
                         ::testing::Values(Long{false, sim::PinMode::Standard}, Long{true, sim::PinMode::Looped}),
                         [](const ::testing::TestParamInfo<Long>& info) {
                             return std::string(std::get<0>(info.param) ? "Low" : "UltraLow") +
                                    (std::get<1>(info.param) == sim::PinMode::Looped ? "_Looped" : "_Standard");
                         });

// ---- clocks as on a PC ----

struct Clocks {
    sim::DriverClock driver;
    int consolePpm;  // the driver's crystal is the machine's
    bool lowLatency;
    bool jitter;
    bool correct = false;  // the service's drift correction on (the meter cannot follow resampled paths)
};

class DriverClocks : public ::testing::TestWithParam<Clocks> {};

// Control blocks the driver took: a channel set up anew registers again.
std::size_t Registrations(sim::VirtualAudioDriver& driver) {
    std::size_t n = 0;
    for (const auto& r : driver.Requests()) n += r.code == IOCTL_VAD_CONTROL_REGISTER && r.succeeded;
    return n;
}

// Under the sanitizers, what they look for (a race or an overrun as the driver idles, follows the service
// or drifts) shows in the first seconds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kClockSessionMs = 2'000;
constexpr int kIdleMinutes = 1;
#else
constexpr std::uint32_t kClockSessionMs = 20'000;
constexpr int kIdleMinutes = 10;
#endif

// However the driver keeps time and however far the console's crystal is from its own, every path stays
// one run with nothing misrouted, and loses or repeats whole periods only (slips), no more often than the
// drift gives: none when the driver follows the service, whose only clock is then the console's. The
// bridge stays up and the channel is never rebuilt.
TEST_P(DriverClocks, SlipsOnlyAsTheDriftGivesAndNeverTearsDown) {
    const Clocks c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // What the sanitizers look for in the correction shows in the cases with late wake-ups.
    if (c.correct && !c.jitter) GTEST_SKIP() << "without jitter: in the plain build only";
#endif
    Session s;
    s.lowLatency = c.lowLatency;
    s.consolePpb = std::int64_t{c.consolePpm} * 1000;
    s.driverClock = c.driver;
    s.jitter = c.jitter;
    s.sine = c.correct;
    // Where the clocks agree (the same crystal speed, or a driver that follows the service) the correction
    // is on as well and must never start, late wake-ups or not: the identifying signal shows a resampled
    // frame as misrouted.
    s.driftCorrection = c.correct || c.consolePpm == 0 || c.driver == sim::DriverClock::Paced;
    Streaming st(s);
    ASSERT_TRUE(st.Start());
    st.b.machine.RunFor(500);
    const std::size_t registered = Registrations(st.b.driver);
    if (c.correct) {
        // A second of measuring and two of locking, after which the sine must not break again.
        st.b.machine.RunFor(3'500);
        st.meter->ClearCounts();
    }
    st.b.machine.RunFor(c.correct ? kClockSessionMs / 2 : kClockSessionMs);

    if (c.correct) {
        for (const bool capture : {true, false})
            for (const sim::PathStats& path : capture ? st.meter->CapturePaths() : st.meter->RenderPaths()) {
                if (path.frames == 0) continue;
                SCOPED_TRACE(testing::Message() << (capture ? "capture " : "render ") << path.stream << " ch " << path.channel);
                EXPECT_EQ(path.slips, 0u);
            }
        // The service's own account (its KS log): the drift measured and corrected, both directions
        // locked, and no period slipped after that.
        int locked = 0, slipsAfterLock = 0;
        for (const std::string& line : sim::DebugOutput(st.b.machine)) {
            if (line.find("locked") != std::string::npos) ++locked;
            if (locked && line.find("slipped") != std::string::npos) ++slipsAfterLock;
        }
        EXPECT_EQ(locked, 2);
        EXPECT_EQ(slipsAfterLock, 0);
    } else {
        const double driftFrames = std::abs(c.consolePpm) * 1e-6 * (kClockSessionMs + 2'000) / 1000.0 * 48'000;
        const std::uint64_t allowed =
            c.driver == sim::DriverClock::Paced ? 0 : static_cast<std::uint64_t>(driftFrames / st.packetFrames) + 1;
        std::uint64_t slips = 0;
        for (const bool capture : {true, false})
            for (const sim::PathStats& path : capture ? st.meter->CapturePaths() : st.meter->RenderPaths()) {
                if (!path.Identified()) continue;
                SCOPED_TRACE(testing::Message() << (capture ? "capture " : "render ") << path.stream << " ch " << path.channel);
                EXPECT_EQ(path.runs.size(), 1u);
                EXPECT_EQ(path.misrouted, 0u);
                EXPECT_EQ(path.dropped, 0u);
                EXPECT_EQ(path.repeated, 0u);
                EXPECT_LE(path.slips, allowed);
                slips += path.slips;
            }
        RecordProperty("slips", std::to_string(slips));
    }
    EXPECT_TRUE(st.b.Connected());
    EXPECT_EQ(Registrations(st.b.driver), registered);
    ASSERT_TRUE(st.b.Stop());
    st.b.ExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(
    DriftAndModes, DriverClocks,
    ::testing::Values(Clocks{sim::DriverClock::Paced, 200, false, false}, Clocks{sim::DriverClock::Paced, -200, true, false},
                      Clocks{sim::DriverClock::Free, 200, true, false}, Clocks{sim::DriverClock::Free, -200, false, false},
                      Clocks{sim::DriverClock::Free, 1000, false, false}, Clocks{sim::DriverClock::Idle, 50, false, false},
                      Clocks{sim::DriverClock::Free, 0, false, true},
                      Clocks{sim::DriverClock::Free, 0, true, true},
                      Clocks{sim::DriverClock::Free, 200, false, false, true}, Clocks{sim::DriverClock::Free, -200, true, false, true},
                      Clocks{sim::DriverClock::Free, 1000, true, false, true}, Clocks{sim::DriverClock::Free, -1000, false, false, true},
                      Clocks{sim::DriverClock::Free, 50, false, true, true}, Clocks{sim::DriverClock::Free, -50, true, true, true}),
    [](const ::testing::TestParamInfo<Clocks>& info) {
        const Clocks& c = info.param;
        const char* mode = c.driver == sim::DriverClock::Paced ? "Paced" : c.driver == sim::DriverClock::Idle ? "Idle" : "Free";
        return std::string(mode) + (c.consolePpm < 0 ? "_Minus" : "_Plus") + std::to_string(std::abs(c.consolePpm)) +
               "ppm" + (c.lowLatency ? "_Low" : "_UltraLow") + (c.jitter ? "_Jitter" : "") + (c.correct ? "_Corrected" : "");
    });

// A driver whose clock rests while no application has an endpoint open, for ten minutes with the console
// plugged in: the bridge stays, the console stays announced, the channel is never set up again.
TEST(DriverClocksIdle, TenMinutesWithoutAnApplicationKeepTheBridgeAndTheChannel) {
    Bench b;
    b.driver.SetClock(sim::DriverClock::Idle);
    b.AddConsole();
    ASSERT_TRUE(b.Start() && b.WaitConnected());
    const std::size_t registered = Registrations(b.driver);
    const std::size_t opens = b.driver.CountRequests(IOCTL_VAD_RENDER_OPEN);
    const auto pin = b.console().Ks().RenderPin();
    for (int minute = 0; minute < kIdleMinutes; ++minute) {
        b.machine.RunFor(60'000);
        EXPECT_TRUE(b.Connected()) << minute;
    }
    EXPECT_EQ(b.driver.Periods(), 0u);
    // The silent driver is asked whether it is gone (a registration without its record, which it refuses),
    // but the channel is not set up again and the bridge keeps its pins.
    EXPECT_GT(b.driver.CountRequests(IOCTL_VAD_CONTROL_REGISTER), registered);
    EXPECT_EQ(Registrations(b.driver), registered);
    EXPECT_EQ(b.driver.CountRequests(IOCTL_VAD_RENDER_OPEN), opens);
    EXPECT_EQ(b.console().Ks().RenderPin(), pin);
    ASSERT_TRUE(b.Stop());
    b.ExpectNothingLeft();
}

}  // namespace
