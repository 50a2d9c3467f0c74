// The simulated console's audio helpers: the capture signal survives the service's conversions and is
// recovered exactly, the sample clock's arithmetic, and the render sink's bounded memory.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Service/Quillon/streaming/SampleConversion.h"
#include "platform/sim/include/sim/console_audio.h"

namespace {

sim::KsWaveFormat Format(WORD channels, WORD container, WORD valid, bool floating = false) {
    sim::KsWaveFormat f;
    f.tag = WAVE_FORMAT_EXTENSIBLE;
    f.channels = channels;
    f.rate = 48000;
    f.containerBits = container;
    f.validBits = valid;
    f.blockAlign = static_cast<WORD>(channels * container / 8);
    f.avgBytesPerSecond = f.blockAlign * 48000u;
    f.subFormat = floating ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// Every channel the models have (up to 21) over the frame counter's wrap, through the conversion the
// capture device applies in place to a packet of each layout.
TEST(ConsoleAudio, TheCaptureSignalIsRecoveredExactlyFromTheServicesFloats) {
    constexpr WORD kChannels = 21;
    constexpr std::uint32_t kFrames = 24;
    constexpr std::uint64_t kFirst = 3 * 2048 + 2040;  // crosses a wrap of n mod 2048
    struct Layout {
        WORD container, valid;
        bool floating;
    };
    for (const Layout& l : {Layout{16, 16, false}, Layout{24, 24, false}, Layout{32, 24, false}, Layout{32, 32, false},
                            Layout{32, 32, true}}) {
        SCOPED_TRACE(l.container * 100 + l.valid + (l.floating ? 10000 : 0));
        const sim::KsWaveFormat f = Format(kChannels, l.container, l.valid, l.floating);
        std::vector<float> block(kChannels * kFrames);  // the packet region holds floats, filled with less
        sim::FillCapture(reinterpret_cast<BYTE*>(block.data()), kFirst, kFrames, f);
        if (!l.floating) {
            if (l.container == 16) SampleConversion::CaptureToFloat16(block.data(), block.size());
            if (l.container == 24) SampleConversion::CaptureToFloat24(block.data(), block.size());
            if (l.container == 32) SampleConversion::CaptureToFloat32(block.data(), block.size());
        }
        for (std::uint32_t i = 0; i < kFrames; ++i)
            for (unsigned c = 0; c < kChannels; ++c) {
                const float x = block[i * kChannels + c];
                ASSERT_NE(x, 0.0f);
                const auto id = sim::RecoverCaptureSample(x, l.container);
                ASSERT_TRUE(id) << "frame " << i << " channel " << c << " value " << x;
                EXPECT_EQ(*id, (sim::CaptureSampleId{c, static_cast<std::uint32_t>((kFirst + i) % 2048)}));
            }
    }
    // The value itself: channel 0 is the most negative, channel 10 the first positive.
    EXPECT_EQ(sim::CaptureValue(0, 5), -10 * 2048 + 5);
    EXPECT_EQ(sim::CaptureValue(9, 2047), -1);
    EXPECT_EQ(sim::CaptureValue(10, 2048), 2048);
    EXPECT_EQ(sim::CaptureValue(20, 2047), 11 * 2048 + 2047);
}

TEST(ConsoleAudio, WhatTheSignalNeverCarriesIsNotRecovered) {
    EXPECT_FALSE(sim::RecoverCaptureSample(0.0f, 16));
    EXPECT_FALSE(sim::RecoverCaptureSample(-1.0f, 32));                // id -16: below channel 0
    EXPECT_FALSE(sim::RecoverCaptureSample(0.5f / 32768.0f, 32));     // between two values
    EXPECT_FALSE(sim::RecoverCaptureSample(100.0f, 16));              // out of range
    EXPECT_FALSE(sim::RecoverCaptureSample(1.0f / 32768.0f, 12));     // no such depth
    float sentinel;
    const std::uint32_t bits = 0x5A5A5A5A;
    std::memcpy(&sentinel, &bits, sizeof sentinel);
    EXPECT_FALSE(sim::RecoverCaptureSample(sentinel, 32));
    EXPECT_FALSE(sim::RecoverCaptureWord(0x5A5A5A5A));
    EXPECT_FALSE(sim::RecoverCaptureWord(0));
    EXPECT_EQ(sim::RecoverCaptureWord(sim::CaptureValue(12, 77) * 65536), (sim::CaptureSampleId{12, 77}));
}

TEST(ConsoleAudio, AStaleLastWordIsLeftAsItWas) {
    const sim::KsWaveFormat f = Format(2, 16, 16);
    std::vector<BYTE> region(4 * f.blockAlign, 0x5A);
    sim::FillCapture(region.data(), 0, 4, f, true);
    EXPECT_EQ(std::vector<BYTE>(region.end() - 4, region.end()), std::vector<BYTE>(4, 0x5A));
    EXPECT_EQ(sim::ReadPinSample(region.data(), f), sim::CaptureValue(0, 0));
    EXPECT_EQ(sim::ReadPinSample(region.data() + 2 * f.blockAlign + 2, f), sim::CaptureValue(1, 2));
}

// At 44.1 kHz a frame is not a whole number of ticks: the clock must neither lose nor repeat frames.
TEST(ConsoleAudio, TheSampleClockCountsEveryFrameOnce) {
    const sim::ConsoleClock clock(12'345, 44100);
    EXPECT_EQ(clock.FramesBy(12'345), 0u);
    EXPECT_EQ(clock.FramesBy(0), 0u);
    EXPECT_EQ(clock.FramesBy(12'345 + 10'000'000), 44100u);
    for (std::uint64_t k : {1ull, 2ull, 441ull, 44099ull, 44100ull, 158'760'000ull /* an hour */}) {
        const sim::Ticks t = clock.TimeOf(k);
        EXPECT_EQ(clock.FramesBy(t), k) << k;
        EXPECT_EQ(clock.FramesBy(t - 1), k - 1) << k;
    }
}

TEST(ConsoleAudio, TheRenderSinkKeepsTheNewestFramesAndCountsAll) {
    const sim::KsWaveFormat f = Format(2, 24, 24);
    const sim::ConsoleClock clock(0, 48000);
    sim::RenderSink sink(2, 4);
    std::vector<BYTE> frames(10 * f.blockAlign);
    for (int i = 0; i < 10; ++i) {
        const std::int32_t left = -i * 1000, right = i;
        for (int b = 0; b < 3; ++b) {
            frames[i * 6 + b] = static_cast<BYTE>(left >> (8 * b));
            frames[i * 6 + 3 + b] = static_cast<BYTE>(right >> (8 * b));
        }
    }
    sink.Add(frames.data(), 3, f, clock, 100);
    sink.Add(frames.data() + 3 * f.blockAlign, 7, f, clock, 103);
    const auto s = sink.Take();
    EXPECT_EQ(s.total, 10u);
    EXPECT_EQ(s.first, 6u);
    ASSERT_EQ(s.Frames(), 4u);
    EXPECT_EQ(s.Channel(0), (std::vector<std::int32_t>{-6000, -7000, -8000, -9000}));
    EXPECT_EQ(s.Channel(1), (std::vector<std::int32_t>{6, 7, 8, 9}));
    EXPECT_EQ(s.times.front(), clock.TimeOf(106));
    EXPECT_EQ(s.times.back(), clock.TimeOf(109));
    EXPECT_TRUE(s.Channel(2).empty());
    // A format of another channel count is not taken.
    sink.Add(frames.data(), 1, Format(3, 16, 16), clock, 0);
    EXPECT_EQ(sink.Take().total, 10u);
}

}  // namespace
