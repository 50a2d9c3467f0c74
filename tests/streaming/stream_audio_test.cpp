// Audio end to end through the stream devices and the simulated console, in virtual time: for every
// model, pin mode and sample layout, the capture device delivers every console frame once and in order
// after its warm-up, and the console receives exactly what the render callback produced, converted.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "Service/Quillon/streaming/InputCaptureKS.h"
#include "Service/Quillon/streaming/OutputRenderKS.h"
#include "platform/sim/include/sim/console_audio.h"
#include "platform/sim/include/sim/console_ks_pin.h"
#include "tests/streaming/StreamBench.h"

namespace {

using streamtest::ConsolePins;
using streamtest::InProcess;

struct Layout {
    WORD container;
    WORD valid;
};

using Param = std::tuple<sim::ConsoleModel, sim::PinMode, Layout>;

constexpr std::uint32_t kFrames = 96;  // a 2 ms packet

// What the console's render pin gets for one float, as the render table has it: clipped, scaled,
// truncated toward zero; 32 bits saturate at the top, 24-in-32 clears the low byte.
std::int32_t RenderedValue(float x, Layout layout) {
    x = std::fmin(1.0f, std::fmax(-1.0f, x));
    switch (layout.container) {
        case 16: return static_cast<std::int32_t>(x * 32767.5f);
        case 24: return static_cast<std::int32_t>(x * 8388607.5f);
        default: {
            const float scaled = x * 2147483648.0f;
            const std::int32_t v = scaled >= 2147483648.0f ? 0x7FFFFFFF : static_cast<std::int32_t>(scaled);
            return layout.valid == 24 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(v) & 0xFFFFFF00u) : v;
        }
    }
}

// Render callback: every sample tells its channel and the frame it belongs to, as a float in ±1.
float RenderSignal(unsigned channel, std::uint64_t frame) {
    return static_cast<float>(sim::CaptureValue(channel, frame)) / 32768.0f;
}

struct CaptureTap {
    std::vector<float> samples;
    std::vector<std::uint32_t> blocks;  // samples per call
    std::uint16_t channels = 0;
    std::size_t calls = 0;
    std::mutex lock;  // the stream thread writes while the test reads
    static int Callback(float* block, std::uint32_t n, std::uint16_t channels, void* context) {
        auto* tap = static_cast<CaptureTap*>(context);
        std::lock_guard hold(tap->lock);
        tap->channels = channels;
        ++tap->calls;
        tap->blocks.push_back(n);
        tap->samples.insert(tap->samples.end(), block, block + n);
        return 0;
    }
};

struct RenderTap {
    std::uint64_t frames = 0;
    std::mutex lock;
    static int Callback(float* block, std::uint32_t n, std::uint16_t channels, void* context) {
        auto* tap = static_cast<RenderTap*>(context);
        std::lock_guard hold(tap->lock);
        for (std::uint32_t i = 0; i < n; ++i) block[i] = RenderSignal(i % channels, tap->frames + i / channels);
        tap->frames += n / channels;
        return 0;
    }
};

// Checks that the delivered samples are whole frames of the capture signal, each frame the one after
// the last; returns the number of frames.
// The last `skipTail` samples of each block are not checked (a packet whose last word the console left
// alone and the device patched).
std::size_t ExpectEveryFrameOnceInOrder(const CaptureTap& tap, unsigned channels, unsigned bits,
                                        unsigned skipTail = 0) {
    std::vector<bool> skip(tap.samples.size(), false);
    std::size_t end = 0;
    for (auto n : tap.blocks) {
        end += n;
        for (unsigned k = 1; k <= skipTail && k <= n; ++k) skip[end - k] = true;
    }
    EXPECT_EQ(tap.channels, channels);
    EXPECT_EQ(tap.samples.size() % channels, 0u);
    const std::size_t frames = tap.samples.size() / channels;
    std::uint32_t expected = 0;
    for (std::size_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < channels; ++c) {
            if (skip[f * channels + c]) {
                if (c + 1 == channels) expected = (expected + 1) % 2048;
                continue;
            }
            const auto id = sim::RecoverCaptureSample(tap.samples[f * channels + c], bits);
            if (!id) {
                ADD_FAILURE() << "frame " << f << " channel " << c << ": " << tap.samples[f * channels + c]
                              << " is not the capture signal";
                return frames;
            }
            if (f == 0 && c == 0) expected = id->phase;
            if (id->channel != c || id->phase != expected) {
                ADD_FAILURE() << "frame " << f << " channel " << c << ": got channel " << id->channel << " phase "
                              << id->phase << ", expected phase " << expected;
                return frames;
            }
            if (c + 1 == channels) expected = (expected + 1) % 2048;
        }
    return frames;
}

// Checks that the console received zeros (the warm-up), then exactly the callback's frames from its
// first on, converted; returns the number of the callback's frames played.
std::size_t ExpectRenderedAsProduced(const sim::RenderSink::Snapshot& sink, Layout layout, std::uint64_t produced) {
    EXPECT_EQ(sink.first, 0u) << "the sink overflowed; the run is too long for it";
    std::size_t start = 0;
    auto silent = [&](std::size_t f) {
        for (unsigned c = 0; c < sink.channels; ++c)
            if (sink.At(f, c) != 0) return false;
        return true;
    };
    while (start < sink.Frames() && silent(start)) ++start;
    const std::size_t played = sink.Frames() - start;
    EXPECT_LE(played, produced);
    for (std::size_t f = 0; f < played; ++f)
        for (unsigned c = 0; c < sink.channels; ++c) {
            const std::int32_t want = RenderedValue(RenderSignal(c, f), layout);
            if (sink.At(start + f, c) != want) {
                ADD_FAILURE() << "played frame " << f << " channel " << c << ": got " << sink.At(start + f, c)
                              << ", expected " << want;
                return played;
            }
        }
    // Time runs frame by frame.
    for (std::size_t f = 1; f < sink.Frames(); ++f)
        if (sink.times[f] <= sink.times[f - 1]) {
            ADD_FAILURE() << "frame " << f << " played no later than the one before";
            break;
        }
    return played;
}

class StreamAudio : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        sim::ConsoleConfig config;
        config.model = std::get<0>(GetParam());
        config.pinMode = std::get<1>(GetParam());
        console = std::make_unique<sim::Console>(machine, config);
        console->Ks().Options().sampleFormats = {{16, 16}, {24, 24}, {32, 24}, {32, 32}};
        console->Plug();
    }

    sim::Machine machine;
    std::unique_ptr<sim::Console> console;
};

TEST_P(StreamAudio, CaptureDeliversEveryFrameOnceAndRenderPlaysWhatWasProduced) {
    const Layout layout = std::get<2>(GetParam());
    const auto& model = console->Model();
    const unsigned bits = layout.container;
    InProcess(machine, [&] {
        ConsolePins pins(*console);
        CaptureTap captured;
        RenderTap rendered;
        std::unique_ptr<CInputCaptureKS> in;
        if (console->HasCapture()) {
            CKsAudPin* pin = pins.OpenCapture(model.captureChannels, layout.container, layout.valid);
            ASSERT_NE(pin, nullptr);
            in = std::make_unique<CInputCaptureKS>(pin);
            in->m_pfnBlockCallback = CaptureTap::Callback;
            in->m_pCallbackContext = &captured;
            ASSERT_TRUE(in->AllocateBuffers(kFrames * model.captureChannels));
        }
        CKsAudPin* renderPin = pins.OpenRender(model.renderChannels, layout.container, layout.valid);
        ASSERT_NE(renderPin, nullptr);
        COutputRenderKS out(renderPin);
        out.m_pfnBlockCallback = RenderTap::Callback;
        out.m_pCallbackContext = &rendered;
        ASSERT_TRUE(out.AllocateBuffers(kFrames * model.renderChannels));
        auto consoleRender = console->Ks().RenderPin();
        auto consoleCapture = console->Ks().CapturePin();

        if (in) in->StartStreamThread();
        out.StartStreamThread();
        // The threads come to their first wait before Start, as the bridge has it. (A render thread that
        // reads the packet index only while StartPin walks it over the ring can wait for the wrong
        // packet and stall: seen once under load.)
        Sleep(1);
        if (in) {
            ASSERT_TRUE(SUCCEEDED(in->Start()));
        }
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(64 + 136);  // the 32-packet warm-up, then 68 packets of audio

        std::unique_lock holdCapture(captured.lock), holdRender(rendered.lock);
        if (in) {
            EXPECT_EQ(consoleCapture->Counts().overruns, 0u);
            const std::size_t frames = ExpectEveryFrameOnceInOrder(captured, model.captureChannels, bits);
            // All that the console produced after the warm-up, but for the packets in flight.
            EXPECT_GE(frames, 136u * 48u - 3u * kFrames);
        }
        const sim::KsStreamCounts counts = consoleRender->Counts();
        EXPECT_EQ(counts.underruns, 0u);
        EXPECT_EQ(counts.underrunFrames, 0u);
        const std::size_t played = ExpectRenderedAsProduced(consoleRender->RenderedFrames(), layout, rendered.frames);
        EXPECT_GE(played, 136u * 48u - 4u * kFrames);
        EXPECT_LE(rendered.frames - played, 4u * kFrames);  // what is still queued ahead of the console
        holdCapture.unlock();
        holdRender.unlock();
        if (in) in->StopStreaming();
        out.StopStreaming();
    });
}

std::string Name(const ::testing::TestParamInfo<Param>& info) {
    const auto& [model, mode, layout] = info.param;
    std::string name = sim::ModelInfo(model).name;
    name += mode == sim::PinMode::Looped ? "_Looped_" : "_Standard_";
    name += std::to_string(layout.valid);
    if (layout.container != layout.valid) name += "in" + std::to_string(layout.container);
    return name;
}

INSTANTIATE_TEST_SUITE_P(
    AllModels, StreamAudio,
    ::testing::Combine(::testing::Values(sim::ConsoleModel::Alto, sim::ConsoleModel::AltoAlt, sim::ConsoleModel::Alto2026,
                                         sim::ConsoleModel::Basso, sim::ConsoleModel::BassoAlt,
                                         sim::ConsoleModel::Basso2026),
                       ::testing::Values(sim::PinMode::Standard, sim::PinMode::Looped),
                       ::testing::Values(Layout{16, 16}, Layout{24, 24}, Layout{32, 24}, Layout{32, 32})),
    Name);

}  // namespace

// ---- knobs and faults, end to end ----

class StreamAudioKnobs : public ::testing::Test {
protected:
    // A fresh machine with the console on it (not yet plugged).
    void Plug(sim::ConsoleModel model, sim::PinMode mode) {
        console.reset();
        machine.reset();
        machine = std::make_unique<sim::Machine>();
        sim::ConsoleConfig config;
        config.model = model;
        config.pinMode = mode;
        console = std::make_unique<sim::Console>(*machine, config);
        console->Ks().Options().sampleFormats = {{16, 16}, {24, 24}, {32, 24}, {32, 32}};
    }

    void TearDown() override {
        console.reset();
        machine.reset();
    }

    std::unique_ptr<sim::Machine> machine;
    std::unique_ptr<sim::Console> console;
};

// Standard mode, stopped and started again while the ring is half way round (the packet index at 2):
// both directions must stream on as after the first start.
TEST_F(StreamAudioKnobs, StandardDevicesRestartedMidRingStreamOn) {
    Plug(sim::ConsoleModel::Alto, sim::PinMode::Standard);
    console->Plug();
    InProcess(*machine, [&] {
        ConsolePins pins(*console);
        CaptureTap captured;  // outlives the devices, whose threads call into it
        RenderTap rendered;
        CInputCaptureKS in(pins.OpenCapture(16, 32, 24));
        COutputRenderKS out(pins.OpenRender(10, 32, 24));
        in.m_pfnBlockCallback = CaptureTap::Callback;
        in.m_pCallbackContext = &captured;
        out.m_pfnBlockCallback = RenderTap::Callback;
        out.m_pCallbackContext = &rendered;
        ASSERT_TRUE(in.AllocateBuffers(kFrames * 16));
        ASSERT_TRUE(out.AllocateBuffers(kFrames * 10));
        auto capturePin = console->Ks().CapturePin();
        auto renderPin = console->Ks().RenderPin();
        in.StartStreamThread();
        out.StartStreamThread();
        Sleep(1);
        ASSERT_TRUE(SUCCEEDED(in.Start()));
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(100);  // 50 packets: both rings stand at packet 2
        in.StopStreaming();
        out.StopStreaming();
        Sleep(5);
        std::unique_lock holdCapture(captured.lock), holdRender(rendered.lock);
        captured.samples.clear();
        captured.blocks.clear();
        const std::uint64_t renderedBefore = rendered.frames;
        holdCapture.unlock();
        holdRender.unlock();
        ASSERT_TRUE(SUCCEEDED(in.Start()));
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(200);
        holdCapture.lock();
        holdRender.lock();
        EXPECT_EQ(capturePin->Counts().overruns, 0u);
        EXPECT_GE(ExpectEveryFrameOnceInOrder(captured, 16, 32), 136u * 48u - 3u * kFrames);
        EXPECT_EQ(renderPin->Counts().underruns, 0u);
        EXPECT_GE(rendered.frames - renderedBefore, 136u * 48u - 4u * kFrames);
        holdCapture.unlock();
        holdRender.unlock();
        in.StopStreaming();
        out.StopStreaming();
    });
}

// Capture knobs: a console whose reads complete short (DataUsed below FrameExtent), a float pin, and a
// real-time pin that never makes its sentinel word fresh (every packet found through GETREADPACKET).
// Each still delivers every frame once and in order.
TEST_F(StreamAudioKnobs, CaptureThroughShortReadsFloatPinsAndStaleSentinels) {
    struct Case {
        const char* name;
        sim::PinMode mode;
        Layout layout;
        bool floating;
        ULONG framesPerRead;
        bool staleSentinel;
    };
    for (const Case& c : {Case{"short reads", sim::PinMode::Standard, {32, 24}, false, 64, false},
                          Case{"float", sim::PinMode::Standard, {32, 32}, true, 0, false},
                          Case{"float looped", sim::PinMode::Looped, {32, 32}, true, 0, false},
                          Case{"stale sentinel", sim::PinMode::Looped, {32, 32}, false, 0, true},
                          Case{"stale sentinel 16", sim::PinMode::Looped, {16, 16}, false, 0, true}}) {
        SCOPED_TRACE(c.name);
        Plug(sim::ConsoleModel::Basso, c.mode);
        console->Ks().Options().floatSamples = c.floating;
        console->Ks().Options().captureFramesPerRead = c.framesPerRead;
        console->Ks().Options().staleCaptureSentinel = c.staleSentinel;
        console->Plug();
        InProcess(*machine, [&] {
            ConsolePins pins(*console);
            CaptureTap captured;
            CKsAudPin* pin = pins.OpenCapture(15, c.layout.container, c.layout.valid,
                                              c.floating ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
            ASSERT_NE(pin, nullptr);
            CInputCaptureKS in(pin);
            in.m_pfnBlockCallback = CaptureTap::Callback;
            in.m_pCallbackContext = &captured;
            ASSERT_TRUE(in.AllocateBuffers(kFrames * 15));
            auto consolePin = console->Ks().CapturePin();
            in.StartStreamThread();
            Sleep(1);
            ASSERT_TRUE(SUCCEEDED(in.Start()));
            Sleep(64 + 136);
            std::unique_lock hold(captured.lock);
            EXPECT_EQ(consolePin->Counts().overruns, 0u);
            // The patched word is the block's last sample at 32 bits; at 16 bits its last two, both 0.
            const unsigned tail = c.staleSentinel ? 4u / (c.layout.container / 8u) : 0u;
            if (tail == 2) {
                std::size_t end = 0;
                for (auto n : captured.blocks) {
                    end += n;
                    EXPECT_EQ(captured.samples[end - 1], 0.0f);
                    EXPECT_EQ(captured.samples[end - 2], 0.0f);
                }
            }
            const std::size_t frames = ExpectEveryFrameOnceInOrder(captured, 15, c.layout.container, tail);
            EXPECT_GE(frames, 136u * 48u - 3u * kFrames);
            if (c.framesPerRead) {
                for (auto n : captured.blocks) EXPECT_EQ(n, c.framesPerRead * 15);
            }
            if (c.staleSentinel) {
                std::size_t asked = 0;
                for (auto& r : console->Ks().Faults().PropertyLog())
                    if (r.set == KSPROPSETID_RtAudio && r.id == KSPROPERTY_RTAUDIO_GETREADPACKET) ++asked;
                EXPECT_GE(asked, captured.calls);
                for (float x : captured.samples) {
                    std::uint32_t bits;
                    std::memcpy(&bits, &x, sizeof bits);
                    ASSERT_NE(bits, kCaptureSentinel);
                }
            }
            hold.unlock();
            in.StopStreaming();
        });
    }
}

// Render knobs: a real-time pin without SETWRITEPACKET (E_NOTIMPL) or failing it (the packet count is
// asked instead): the console still receives exactly what the callback produced.
TEST_F(StreamAudioKnobs, RenderWithoutOrWithAFailingWritePacket) {
    for (DWORD error : {DWORD{ERROR_NOT_FOUND}, DWORD{ERROR_GEN_FAILURE}}) {
        SCOPED_TRACE(error);
        Plug(sim::ConsoleModel::Alto2026, sim::PinMode::Looped);
        console->Ks().Faults().FailProperty(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_SETWRITEPACKET, error);
        console->Plug();
        InProcess(*machine, [&] {
            ConsolePins pins(*console);
            RenderTap rendered;
            COutputRenderKS out(pins.OpenRender(10, 24, 24));
            out.m_pfnBlockCallback = RenderTap::Callback;
            out.m_pCallbackContext = &rendered;
            ASSERT_TRUE(out.AllocateBuffers(kFrames * 10));
            auto pin = console->Ks().RenderPin();
            out.StartStreamThread();
            Sleep(1);
            ASSERT_TRUE(SUCCEEDED(out.Start()));
            Sleep(64 + 136);
            std::unique_lock hold(rendered.lock);
            EXPECT_EQ(pin->Counts().underruns, 0u);
            const std::size_t played = ExpectRenderedAsProduced(pin->RenderedFrames(), {24, 24}, rendered.frames);
            EXPECT_GE(played, 136u * 48u - 4u * kFrames);
            hold.unlock();
            out.StopStreaming();
        });
    }
}

// A read or a write the pin cannot queue: the device stalls on that packet (no more blocks), and the
// console counts what it then loses.
TEST_F(StreamAudioKnobs, AStreamRequestThatCannotBeQueuedStallsTheDeviceAndTheConsoleCountsTheLoss) {
    Plug(sim::ConsoleModel::Alto, sim::PinMode::Standard);
    console->Plug();
    console->Ks().Faults().RefuseStream(true, ERROR_NOT_ENOUGH_MEMORY, 1, 40);
    console->Ks().Faults().RefuseStream(false, ERROR_NOT_ENOUGH_MEMORY, 1, 40);
    InProcess(*machine, [&] {
        ConsolePins pins(*console);
        CaptureTap captured;
        RenderTap rendered;
        CInputCaptureKS in(pins.OpenCapture(16, 16, 16));
        COutputRenderKS out(pins.OpenRender(10, 16, 16));
        in.m_pfnBlockCallback = CaptureTap::Callback;
        in.m_pCallbackContext = &captured;
        out.m_pfnBlockCallback = RenderTap::Callback;
        out.m_pCallbackContext = &rendered;
        ASSERT_TRUE(in.AllocateBuffers(kFrames * 16));
        ASSERT_TRUE(out.AllocateBuffers(kFrames * 10));
        auto capturePin = console->Ks().CapturePin();
        auto renderPin = console->Ks().RenderPin();
        in.StartStreamThread();
        out.StartStreamThread();
        Sleep(1);
        ASSERT_TRUE(SUCCEEDED(in.Start()));
        ASSERT_TRUE(SUCCEEDED(out.Start()));
        Sleep(150);
        std::unique_lock holdCapture(captured.lock), holdRender(rendered.lock);
        const std::size_t calls = captured.calls;
        const std::uint64_t frames = rendered.frames;
        holdCapture.unlock();
        holdRender.unlock();
        Sleep(50);
        holdCapture.lock();
        holdRender.lock();
        EXPECT_EQ(captured.calls, calls);
        EXPECT_EQ(rendered.frames, frames);
        // What came before the refused read is whole and in order.
        ExpectEveryFrameOnceInOrder(captured, 16, 16);
        EXPECT_EQ(capturePin->Counts().overruns, 1u);
        EXPECT_GT(capturePin->Counts().overrunFrames, 50u * 48u);
        EXPECT_EQ(renderPin->Counts().underruns, 1u);
        EXPECT_GT(renderPin->Counts().underrunFrames, 50u * 48u);
        holdCapture.unlock();
        holdRender.unlock();
        in.StopStreaming();
        out.StopStreaming();
    });
}

// Unplugged while streaming in either mode, the devices are freed at once: the console must not touch
// their buffers afterwards (the address sanitizer sees any write), and the machine runs on.
TEST_F(StreamAudioKnobs, UnplugWhileStreamingThenFreeTheDevices) {
    for (sim::PinMode mode : {sim::PinMode::Standard, sim::PinMode::Looped}) {
        Plug(sim::ConsoleModel::Basso2026, mode);
        console->Plug();
        InProcess(*machine, [&] {
            ConsolePins pins(*console);
            CaptureTap captured;
            RenderTap rendered;
            auto in = std::make_unique<CInputCaptureKS>(pins.OpenCapture(20, 24, 24));
            auto out = std::make_unique<COutputRenderKS>(pins.OpenRender(10, 24, 24));
            in->m_pfnBlockCallback = CaptureTap::Callback;
            in->m_pCallbackContext = &captured;
            out->m_pfnBlockCallback = RenderTap::Callback;
            out->m_pCallbackContext = &rendered;
            ASSERT_TRUE(in->AllocateBuffers(kFrames * 20));
            ASSERT_TRUE(out->AllocateBuffers(kFrames * 10));
            auto capturePin = console->Ks().CapturePin();
            in->StartStreamThread();
            out->StartStreamThread();
            Sleep(1);
            ASSERT_TRUE(SUCCEEDED(in->Start()));
            ASSERT_TRUE(SUCCEEDED(out->Start()));
            Sleep(101);  // mid-packet
            console->Unplug();
            in.reset();
            out.reset();
            const std::uint64_t packets = capturePin->PacketsCompleted();
            Sleep(100);
            EXPECT_EQ(capturePin->PacketsCompleted(), packets);
            EXPECT_EQ(capturePin->QueuedPackets(), 0u);
        });
    }
}
