// The two block routings over driver slots a test lays out itself: which console channels reach which
// virtual stream and which half, and that nothing outside a console block or a driver half is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "Service/Quillon/streaming/BlockRouting.h"
#include "Service/Quillon/streaming/DriftLoop.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "tests/streaming/KernelSets.h"

namespace {

constexpr float kUntouched = -7.0f;

// Sixteen driver streams, each with a buffer of two halves of `frames` frames, guarded on both sides. A
// misalignment of one or more floats moves every buffer off its 16-byte boundary.
struct FakeDriver {
    static constexpr std::uint32_t kGuard = 16;
    std::uint32_t offset;
    std::vector<float> storage[kVirtualStreamCount];
    std::uint32_t status[kVirtualStreamCount][2] = {};
    RouteSlot slots[kVirtualStreamCount];

    explicit FakeDriver(std::uint32_t frames, std::uint32_t misalign = 0) : offset(kGuard + misalign) {
        for (int i = 0; i < kVirtualStreamCount; ++i) {
            const std::uint32_t w = StreamChannelCount(i);
            storage[i].assign(offset + 2 * frames * w + kGuard, kUntouched);
            slots[i].m_pBuffer = storage[i].data() + offset;
            slots[i].m_nLength = 2 * frames * w;
            slots[i].m_nChannels = w;
            slots[i].m_pPosition = &status[i][1];
        }
    }
    void PositionInSecondHalf(bool second) {
        for (int i = 0; i < kVirtualStreamCount; ++i) status[i][1] = second ? slots[i].m_nLength / 2 : 0;
    }
    float At(int stream, std::uint32_t sample) const { return slots[stream].m_pBuffer[sample]; }
    // Nothing written before a buffer or after its full length.
    bool GuardsIntact() const {
        for (const auto& s : storage) {
            for (std::uint32_t g = 0; g < offset; ++g)
                if (s[g] != kUntouched) return false;
            for (std::uint32_t g = 0; g < kGuard; ++g)
                if (s[s.size() - 1 - g] != kUntouched) return false;
        }
        return true;
    }
};

float Sample(std::uint32_t frame, std::uint32_t channel) { return static_cast<float>(frame * 100 + channel); }

// The frames start `lead` floats into the vector, which ends with the last frame.
std::vector<float> ConsoleBlock(std::uint32_t frames, std::uint32_t channels, std::uint32_t lead = 0) {
    std::vector<float> block(lead + frames * channels, kUntouched);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < channels; ++c) block[lead + f * channels + c] = Sample(f, c);
    return block;
}

// stream -> first console channel, for the streams expected to be routed.
void ExpectCapture(const FakeDriver& driver, std::uint32_t frames, bool secondHalf,
                   const std::vector<std::pair<int, int>>& expected) {
    std::vector<bool> routed(11, false);
    for (auto [stream, first] : expected) {
        routed[stream] = true;
        const std::uint32_t w = StreamChannelCount(stream);
        const std::uint32_t base = secondHalf ? frames * w : 0;
        const std::uint32_t other = secondHalf ? 0 : frames * w;
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint32_t ch = 0; ch < w; ++ch) {
                ASSERT_EQ(driver.At(stream, base + f * w + ch), Sample(f, first + ch))
                    << "stream " << stream << " frame " << f << " channel " << ch;
                ASSERT_EQ(driver.At(stream, other + f * w + ch), kUntouched) << "other half of stream " << stream;
            }
    }
    for (int s = 0; s <= 10; ++s)
        if (!routed[s]) {
            for (std::uint32_t k = 0; k < 2 * frames * StreamChannelCount(s); ++k)
                ASSERT_EQ(driver.storage[s][driver.offset + k], kUntouched) << "stream " << s << " should get nothing";
        }
    EXPECT_TRUE(driver.GuardsIntact());
}

TEST(CaptureRouting, AltoAndBassoSplitTheirChannelsIntoTheStreamsTheyUse) {
    constexpr std::uint32_t frames = 96;
    for (bool second : {false, true}) {
        FakeDriver alto(frames);
        alto.PositionInSecondHalf(second);
        auto block = ConsoleBlock(frames, 16);
        EXPECT_EQ(RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), alto.slots), 10u);
        ExpectCapture(alto, frames, second,
                      {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 8}, {7, 10}, {8, 12}, {9, 14}});

        FakeDriver basso(frames);
        basso.PositionInSecondHalf(second);
        auto block15 = ConsoleBlock(frames, 15);
        EXPECT_EQ(RouteCaptureFrames(block15.data(), frames * 15, 15, &QuillonBasso(), basso.slots), 9u);
        ExpectCapture(basso, frames, second,
                      {{0, 0}, {1, 2}, {2, 3}, {5, 4}, {6, 6}, {7, 8}, {8, 10}, {9, 12}, {10, 14}});
    }
}

// The driver moves every stream's position at once; a boundary passed while a block is routed must not
// split the block between halves. The first stream's word, read once, decides for all of them.
TEST(CaptureRouting, OnePositionReadDecidesTheHalfForEveryStream) {
    constexpr std::uint32_t frames = 96;
    for (bool second : {false, true}) {
        FakeDriver alto(frames);
        alto.PositionInSecondHalf(!second);
        alto.status[0][1] = second ? alto.slots[0].m_nLength / 2 : 0;  // only stream 0's word has moved
        auto block = ConsoleBlock(frames, 16);
        EXPECT_EQ(RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), alto.slots), 10u);
        ExpectCapture(alto, frames, second,
                      {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 8}, {7, 10}, {8, 12}, {9, 14}});
    }
}

TEST(CaptureRouting, The2026RevisionsLeaveTheirExtraChannelsUnrouted) {
    constexpr std::uint32_t frames = 192;
    FakeDriver driver(frames);
    auto block = ConsoleBlock(frames, 20);
    RouteCaptureFrames(block.data(), frames * 20, 20, &QuillonBasso2026(), driver.slots);
    ExpectCapture(driver, frames, false,
                  {{0, 0}, {1, 2}, {2, 3}, {5, 4}, {6, 6}, {7, 8}, {8, 10}, {9, 12}, {10, 14}});
}

// A model without stream 1: its mono streams 2 to 4 leave the stereo streams on odd channels.
class WithoutStreamOne final : public CUSBDevice {
public:
    const char* DevicePathPattern() const override { return "usb#vid_0000&pid_0000"; }
    std::uint16_t CaptureChannels() const override { return 15; }
    std::uint16_t RenderChannels() const override { return 10; }
    const char* DisplayName() const override { return "test model"; }
    bool UsesStream(std::int32_t index) const override { return index != 1; }
};

TEST(CaptureRouting, EveryModelFrameCountAndAlignmentGivesEachStreamItsChannels) {
    using Streams = std::vector<std::pair<int, int>>;
    const Streams alto = {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 8}, {7, 10}, {8, 12}, {9, 14}};
    const Streams basso = {{0, 0}, {1, 2}, {2, 3}, {5, 4}, {6, 6}, {7, 8}, {8, 10}, {9, 12}, {10, 14}};
    const Streams all = {{0, 0}, {1, 2},  {2, 3},   {3, 4},   {4, 5},  {5, 6},
                         {6, 8}, {7, 10}, {8, 12}, {9, 14}, {10, 16}};
    const Streams odd = {{0, 0}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 7}, {7, 9}, {8, 11}, {9, 13}};
    const WithoutStreamOne withoutOne;
    struct Case {
        const CUSBDevice* model;
        std::uint16_t channels;
        Streams streams;
    };
    // The revisions without capture would route only stream 0 if they were ever given a pin; without a
    // model all eleven streams take the 17 channels. Frame strides of 2 and 3 channels read across frames.
    const Case cases[] = {{&QuillonAlto(), 16, alto},         {&QuillonAlto2026(), 20, alto},
                          {&QuillonBasso(), 15, basso},       {&QuillonBasso2026(), 20, basso},
                          {&QuillonAltoAlt(), 16, {{0, 0}}},  {&QuillonBassoAlt(), 16, {{0, 0}}},
                          {nullptr, 17, all},                 {&withoutOne, 15, odd},
                          {&QuillonBassoAlt(), 2, {{0, 0}}},  {nullptr, 3, {{0, 0}, {1, 2}}}};
    WithEachKernelSet([&] {
        // Frame counts that leave every remainder of the four- and eight-frame steps, after one to three steps.
        for (std::uint32_t frames : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 13u, 16u, 17u, 23u, 31u})
            for (const Case& c : cases)
                for (std::uint32_t misalign : {0u, 1u, 3u})
                    for (bool second : {false, true}) {
                        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << frames << " frames, "
                                                        << "misaligned by " << misalign
                                                        << (second ? ", second half" : ""));
                        FakeDriver driver(frames, misalign);
                        driver.PositionInSecondHalf(second);
                        auto block = ConsoleBlock(frames, c.channels, misalign);
                        EXPECT_EQ(RouteCaptureFrames(block.data() + misalign, frames * c.channels, c.channels,
                                                     c.model, driver.slots),
                                  c.streams.size());
                        ExpectCapture(driver, frames, second, c.streams);
                        if (HasFatalFailure()) return;
                    }
    });
}

TEST(CaptureRouting, AStreamWithAShorterHalfIsCutAloneAndItsNeighboursStillGetEveryFrame) {
    constexpr std::uint32_t frames = 13;
    FakeDriver driver(frames);
    // Stream 3 sits among the four mono streams on channels 2 to 5, stream 6 beside stream 5's pair.
    driver.slots[3].m_nLength = 2 * 5;
    driver.slots[6].m_nLength = 2 * 3 * 2;
    auto block = ConsoleBlock(frames, 16);
    RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), driver.slots);
    for (std::uint32_t f = 0; f < frames; ++f) {
        EXPECT_EQ(driver.At(3, f), f < 5 ? Sample(f, 4) : kUntouched) << f;
        EXPECT_EQ(driver.At(6, 2 * f + 1), f < 3 ? Sample(f, 9) : kUntouched) << f;
        EXPECT_EQ(driver.At(2, f), Sample(f, 3)) << f;
        EXPECT_EQ(driver.At(4, f), Sample(f, 5)) << f;
        EXPECT_EQ(driver.At(5, 2 * f + 1), Sample(f, 7)) << f;
        EXPECT_EQ(driver.At(7, 2 * f), Sample(f, 10)) << f;
    }
    EXPECT_TRUE(driver.GuardsIntact());
}

TEST(CaptureRouting, SlotsThatAreNotOpenAreSkippedWithoutShiftingTheOthers) {
    constexpr std::uint32_t frames = 96;
    FakeDriver driver(frames);
    driver.slots[0] = RouteSlot{};       // open failed: no buffer
    driver.slots[2].m_nChannels = 2;     // not the stream's width
    driver.slots[6].m_nLength = 0;       // no length
    auto block = ConsoleBlock(frames, 16);
    RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), driver.slots);
    ExpectCapture(driver, frames, false, {{1, 2}, {3, 4}, {4, 5}, {5, 6}, {7, 10}, {8, 12}, {9, 14}});

    // Three mono streams left side by side, over a frame count the steps do not divide.
    FakeDriver three(13);
    three.slots[4] = RouteSlot{};
    auto block13 = ConsoleBlock(13, 16);
    RouteCaptureFrames(block13.data(), 13 * 16, 16, &QuillonAlto(), three.slots);
    ExpectCapture(three, 13, false, {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {5, 6}, {6, 8}, {7, 10}, {8, 12}, {9, 14}});
}

TEST(CaptureRouting, APinNarrowerThanTheModelNeedsIsNeverReadPastItsFrame) {
    constexpr std::uint32_t frames = 50;  // not a multiple of the unrolling
    FakeDriver driver(frames);
    // Alto needs 16 channels; a 7-channel pin carries streams 0 (0-1) and 1 to 4 (2 to 5) whole; stream 5
    // would need channels 6 and 7 and gets nothing.
    std::vector<float> block = ConsoleBlock(frames, 7);
    block.shrink_to_fit();
    RouteCaptureFrames(block.data(), frames * 7, 7, &QuillonAlto(), driver.slots);
    ExpectCapture(driver, frames, false, {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {4, 5}});
}

TEST(CaptureRouting, ABlockLargerThanTheScratchOrTheHalfIsCut) {
    // 5,000 frames of 16 channels: a stereo stream would need 10,000 samples, more than the scratch; the
    // driver halves hold only 100 frames.
    constexpr std::uint32_t frames = 5000;
    FakeDriver driver(100);
    auto block = ConsoleBlock(frames, 16);
    RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), driver.slots);
    ExpectCapture(driver, 100, false,
                  {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 8}, {7, 10}, {8, 12}, {9, 14}});

    FakeDriver wide(6000);
    RouteCaptureFrames(block.data(), frames * 16, 16, &QuillonAlto(), wide.slots);
    EXPECT_EQ(wide.At(0, 2 * 4095 + 1), Sample(4095, 1));
    EXPECT_EQ(wide.At(0, 2 * 4096), kUntouched);  // stereo: 4,096 frames fill the scratch
    EXPECT_EQ(wide.At(1, 4999), Sample(4999, 2));  // mono streams take all 5,000
    EXPECT_TRUE(wide.GuardsIntact());
}

TEST(RenderRouting, PlaybackPairsLandAtTheirOffsetsFromTheHalfThePositionIsNotIn) {
    constexpr std::uint32_t frames = 96;
    for (bool second : {false, true}) {
        FakeDriver driver(frames);
        driver.PositionInSecondHalf(second);
        for (int s = 11; s <= 15; ++s)
            for (std::uint32_t k = 0; k < 2 * frames; ++k) {
                driver.slots[s].m_pBuffer[k] = static_cast<float>(s * 1000 + k);            // first half
                driver.slots[s].m_pBuffer[2 * frames + k] = static_cast<float>(-s * 1000 - static_cast<int>(k));  // second half
            }
        std::vector<float> block(frames * 10, 99.0f);
        EXPECT_EQ(RouteRenderFrames(block.data(), frames * 10, 10, driver.slots), 5u);
        for (int s = 11; s <= 15; ++s) {
            const std::uint32_t first = static_cast<std::uint32_t>(2 * (s - 11));
            for (std::uint32_t f = 0; f < frames; ++f)
                for (std::uint32_t ch = 0; ch < 2; ++ch) {
                    const float want = second ? static_cast<float>(s * 1000 + 2 * f + ch)
                                              : static_cast<float>(-s * 1000 - static_cast<int>(2 * f + ch));
                    ASSERT_EQ(block[f * 10 + first + ch], want) << "stream " << s << " frame " << f;
                }
        }
    }
}

TEST(RenderRouting, OnePositionReadDecidesTheHalfForEveryPair) {
    constexpr std::uint32_t frames = 96;
    for (bool second : {false, true}) {
        FakeDriver driver(frames);
        driver.PositionInSecondHalf(!second);
        driver.status[11][1] = second ? driver.slots[11].m_nLength / 2 : 0;  // only stream 11's word has moved
        for (int s = 11; s <= 15; ++s)
            for (std::uint32_t k = 0; k < 2 * frames; ++k) {
                driver.slots[s].m_pBuffer[k] = static_cast<float>(s);
                driver.slots[s].m_pBuffer[2 * frames + k] = static_cast<float>(-s);
            }
        std::vector<float> block(frames * 10, 99.0f);
        EXPECT_EQ(RouteRenderFrames(block.data(), frames * 10, 10, driver.slots), 5u);
        for (int s = 11; s <= 15; ++s)
            EXPECT_EQ(block[(frames - 1) * 10 + 2 * (s - 11) + 1], static_cast<float>(second ? s : -s)) << s;
    }
}

// Playback stream s's sample k: positive in the first half, negative in the second.
float Played(int stream, std::uint32_t k, bool secondHalf) {
    const float v = static_cast<float>(stream * 1000 + static_cast<int>(k));
    return secondHalf ? -v : v;
}

void FillPlayback(FakeDriver& driver, std::uint32_t frames) {
    for (int s = 11; s <= 15; ++s)
        for (std::uint32_t k = 0; k < 2 * frames; ++k) {
            driver.slots[s].m_pBuffer[k] = Played(s, k, false);
            driver.slots[s].m_pBuffer[2 * frames + k] = Played(s, k, true);
        }
}

TEST(RenderRouting, EveryFrameCountAndAlignmentOfABlockGetsItsPairs) {
    constexpr std::uint32_t kTail = 8;
    WithEachKernelSet([&] {
        for (std::uint16_t channels : {10, 11, 12, 16})
            for (std::uint32_t frames : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 12u, 15u})
                for (std::uint32_t misalign : {0u, 1u, 3u})
                    for (bool second : {false, true}) {
                        SCOPED_TRACE(testing::Message() << channels << " channels, " << frames
                                                        << " frames, misaligned by " << misalign
                                                        << (second ? ", second half" : ""));
                        FakeDriver driver(frames, misalign);
                        driver.PositionInSecondHalf(second);
                        FillPlayback(driver, frames);
                        std::vector<float> block(misalign + frames * channels + kTail, 99.0f);
                        float* const frame0 = block.data() + misalign;
                        EXPECT_EQ(RouteRenderFrames(frame0, frames * channels, channels, driver.slots), 5u);
                        // The half the position is not in is the one played.
                        const bool playsSecond = !second;
                        for (std::uint32_t f = 0; f < frames; ++f)
                            for (std::uint32_t c = 0; c < channels; ++c) {
                                const float want =
                                    c < 10 ? Played(11 + static_cast<int>(c / 2), 2 * f + c % 2, playsSecond) : 99.0f;
                                ASSERT_EQ(frame0[f * channels + c], want) << "frame " << f << " channel " << c;
                            }
                        for (std::uint32_t k = 0; k < misalign; ++k) EXPECT_EQ(block[k], 99.0f);
                        for (std::uint32_t k = 0; k < kTail; ++k) EXPECT_EQ(block[block.size() - 1 - k], 99.0f);
                        EXPECT_TRUE(driver.GuardsIntact());
                    }
    });
}

TEST(RenderRouting, OnePairWithAShorterHalfLeavesTheOthersWhole) {
    constexpr std::uint32_t frames = 9;
    FakeDriver driver(frames);
    FillPlayback(driver, frames);
    driver.slots[13].m_nLength = 2 * 2 * 4;  // halves of four frames
    std::vector<float> block(frames * 10, 99.0f);
    RouteRenderFrames(block.data(), frames * 10, 10, driver.slots);
    for (std::uint32_t f = 0; f < frames; ++f) {
        EXPECT_EQ(block[f * 10 + 4], f < 4 ? Played(13, 8 + 2 * f, false) : 0.0f) << f;
        EXPECT_EQ(block[f * 10 + 5], f < 4 ? Played(13, 8 + 2 * f + 1, false) : 0.0f) << f;
        EXPECT_EQ(block[f * 10 + 2], Played(12, 2 * f, true)) << f;
        EXPECT_EQ(block[f * 10 + 9], Played(15, 2 * f + 1, true)) << f;
    }
}

TEST(RenderRouting, NarrowPinsDropWholePairsAndUnopenedStreamsGiveSilence) {
    constexpr std::uint32_t frames = 37;
    FakeDriver driver(frames);
    for (int s = 11; s <= 15; ++s)
        for (std::uint32_t k = 0; k < 4 * frames; ++k) driver.slots[s].m_pBuffer[k] = 0.5f;

    // Six channels: only streams 11 to 13 reach the console.
    std::vector<float> six(frames * 6, 99.0f);
    EXPECT_EQ(RouteRenderFrames(six.data(), frames * 6, 6, driver.slots), 3u);
    for (float v : six) EXPECT_EQ(v, 0.5f);

    // Nine channels: stream 15's pair would start on the frame's last channel and is dropped whole.
    std::vector<float> nine(frames * 9 + 1, 99.0f);
    RouteRenderFrames(nine.data(), frames * 9, 9, driver.slots);
    for (std::uint32_t f = 0; f < frames; ++f) EXPECT_EQ(nine[f * 9 + 8], 99.0f);
    EXPECT_EQ(nine.back(), 99.0f);

    // A stream the driver did not open: its channels get silence every block, never what was there.
    driver.slots[12] = RouteSlot{};
    driver.slots[14].m_nChannels = 1;
    std::vector<float> ten(frames * 10, 99.0f);
    EXPECT_EQ(RouteRenderFrames(ten.data(), frames * 10, 10, driver.slots), 3u);
    for (std::uint32_t f = 0; f < frames; ++f) {
        EXPECT_EQ(ten[f * 10 + 2], 0.0f);
        EXPECT_EQ(ten[f * 10 + 3], 0.0f);
        EXPECT_EQ(ten[f * 10 + 6], 0.0f);
        EXPECT_EQ(ten[f * 10 + 0], 0.5f);
        EXPECT_EQ(ten[f * 10 + 9], 0.5f);
    }
}

TEST(RenderRouting, AHalfShorterThanTheBlockFillsTheRestWithSilence) {
    FakeDriver driver(10);  // halves of 10 frames
    for (int s = 11; s <= 15; ++s)
        for (std::uint32_t k = 0; k < 40; ++k) driver.slots[s].m_pBuffer[k] = 0.25f;
    constexpr std::uint32_t frames = 30;
    std::vector<float> block(frames * 10, 99.0f);
    RouteRenderFrames(block.data(), frames * 10, 10, driver.slots);
    for (std::uint32_t f = 0; f < frames; ++f) EXPECT_EQ(block[f * 10 + 4], f < 10 ? 0.25f : 0.0f) << f;
    EXPECT_TRUE(driver.GuardsIntact());
}

TEST(RouteSlots, OnlyAnOpenSlotWithBufferLengthAndAnAlignedStatusIsUsable) {
    static float buffer[8];
    static std::uint32_t status[2] = {0, 5};
    DriverStreamSlot slot;
    slot.m_OpenBlock.Channels = 2;
    slot.m_OpenBlock.BufferAddress = reinterpret_cast<std::uintptr_t>(buffer);
    slot.m_OpenBlock.BufferLength = 8;
    slot.m_OpenBlock.StatusAddress = reinterpret_cast<std::uintptr_t>(status);
    EXPECT_FALSE(MakeRouteSlot(slot).Usable(2));  // not open
    slot.m_bOpen = 1;
    RouteSlot view = MakeRouteSlot(slot);
    ASSERT_TRUE(view.Usable(2));
    EXPECT_FALSE(view.Usable(1));
    EXPECT_EQ(view.PositionHalf(), 1u);  // position 5 of 8 is in the second half
    slot.m_OpenBlock.StatusAddress = 0;
    EXPECT_FALSE(MakeRouteSlot(slot).Usable(2));
    // A status area the driver put at an odd address: its position word cannot be read atomically.
    slot.m_OpenBlock.StatusAddress = reinterpret_cast<std::uintptr_t>(status) + 1;
    EXPECT_FALSE(MakeRouteSlot(slot).Usable(2));
}

}  // namespace

// The drift estimate from synthetic clocks: blocks every console period, the boundary each block sees one
// or two driver periods on (a block that came late), now and then an event left from before (the same
// boundary twice), which the estimate must not count, a late wake-up and a lost block. The loop, closed over a queue whose level the step
// drains, learns the step the clocks need and locks.
TEST(DriftLoop, EstimatesTheDriftAndTheLoopLearnsTheStep) {
    for (const double ppm : {-1000.0, -50.0, 0.0, 3.0, 200.0, 1000.0}) {
        SCOPED_TRACE(ppm);
        const double period = 96 / 48'000.0;
        const double console = period / (1 + ppm * 1e-6), driver = period;
        CDriftEstimate estimate;
        estimate.Reset(period);
        double boundary = 0.0005;
        for (std::uint64_t block = 0; block < 600; ++block) {
            const double arrival = block * console;
            while (boundary < arrival) boundary += driver;
            // Block 300 is lost to a held thread: the counts slip a period from there on.
            estimate.Add(arrival, block < 300 ? block : block - 1, block == 450 ? boundary + 0.001 : boundary);
            if (block % 97 == 0) estimate.Add(arrival, block, boundary);  // seen again: not a new boundary
        }
        // A late wake-up (block 450) is left out; the lost block starts the estimate again.
        EXPECT_NEAR(estimate.Drift() * 1e6, ppm, 0.01);
        EXPECT_NEAR(estimate.Span(), (599 - 302) * console, 1e-9);  // from the third pair off the line

        // Two seconds of moments read up to 50 us late: 50 ppm and more is told from the readings' scatter
        // (by four standard errors), and no drift is found where the clocks agree.
        CDriftEstimate jittered;
        jittered.Reset(period);
        std::minstd_rand random(7);
        std::uniform_real_distribution<double> late(0, 50e-6);
        boundary = 0.0005;
        for (std::uint64_t block = 0; block < 1'000; ++block) {
            const double arrival = block * console;
            while (boundary < arrival) boundary += driver;
            jittered.Add(arrival + late(random), block, boundary + late(random));
        }
        EXPECT_NEAR(jittered.Drift() * 1e6, ppm, 4 * jittered.DriftError() * 1e6);
        const bool told = std::fabs(jittered.Drift()) >= 4 * jittered.DriftError();
        if (ppm == 0) {
            EXPECT_FALSE(told);
        }
        if (std::fabs(ppm) >= 50) {
            EXPECT_TRUE(told);
        }
        EXPECT_LT(estimate.DriftError(), 1e-9);  // exact moments

        // Capture's queue: a console block in, one driver period out at the loop's step. The level is
        // read a scheduling delay late: up to 50 us (2.4 frames) each time, and a millisecond once in a
        // thousand.
        for (const bool noisy : {false, true}) {
            SCOPED_TRACE(noisy ? "noisy readings" : "exact readings");
            CDriftLoop loop;
            loop.Start(1.0, 500);
            const double truth = 1 + ppm * 1e-6;
            double level = 60, lastStep = 1, wobble = 0;
            std::minstd_rand random(12345);
            std::uniform_real_distribution<double> lateFrames(0, 2.4);
            std::bernoulli_distribution rare(0.001);
            for (int update = 0; update < 10'000; ++update) {
                level += 96 * truth - 96 * loop.Step();
                const double late = !noisy ? 0 : rare(random) ? 48 : lateFrames(random);
                // The drift estimate from the moments of blocks and boundaries, some ppm off.
                loop.Update((level + late - 60) / 96, noisy ? truth + 3e-6 : 0.0);
                // Once the loop is narrow, every change of the step bends every path's phase: the noise of
                // the readings must not reach the step (a wobble of 1e-7 per update is THD+N near -85 dB).
                if (update > 2'000) wobble = std::max(wobble, std::fabs(loop.Step() - lastStep));
                lastStep = loop.Step();
            }
            // Readings that late leave the wide loop's learned step tens of ppm off: the loop narrows
            // from the estimate, and the level stays within the queue's margin.
            EXPECT_TRUE(loop.Locked());
            EXPECT_NEAR((loop.Integral() - truth) * 1e6, 0.0, noisy ? 3.0 : 0.1);
            EXPECT_NEAR(level, 60, noisy ? 12.0 : 1.0);
            EXPECT_LT(wobble, 1e-8);
        }
    }
}
