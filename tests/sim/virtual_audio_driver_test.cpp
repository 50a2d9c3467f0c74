// The simulated virtual audio driver's clock, answers and application side, driven through its control
// interface the way the service drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace {

using Flow = sim::VirtualAudioDriver::Flow;

std::uint32_t Position(const DriverStreamSlot& slot) {
    return reinterpret_cast<const std::uint32_t*>(slot.m_OpenBlock.StatusAddress)[1];
}

TEST(VirtualAudioDriver, MovesEveryPositionIntoTheOtherHalfEachHalfBufferPeriod) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    CVirtualDriverChannel channel;
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(0, length));   // stereo: 384 samples, halves of 192
    ASSERT_TRUE(channel.OpenStream(1, length));   // mono: 192 samples, halves of 96
    const std::uint64_t periodsBefore = driver.Periods();
    const std::uint32_t stereo = Position(channel.Slot(0)), mono = Position(channel.Slot(1));
    machine.RunFor(2);  // 96 frames at 48 kHz
    EXPECT_EQ(driver.Periods(), periodsBefore + 1);
    EXPECT_EQ(Position(channel.Slot(0)), 192 - stereo);
    EXPECT_EQ(Position(channel.Slot(1)), 96 - mono);
    machine.RunFor(998);
    EXPECT_EQ(driver.Periods(), periodsBefore + 500);

    // Low latency: 384 frames, a period of 4 ms.
    for (int i = 0; i < 2; ++i) channel.CloseStream(i);
    channel.ReleaseControlBlock();
    ASSERT_TRUE(channel.RegisterControlBlock(4));
    const std::uint64_t lowBefore = driver.Periods();
    machine.RunFor(1000);
    EXPECT_EQ(driver.Periods(), lowBefore + 250);
}

TEST(VirtualAudioDriver, CountsPeriodsTheServiceDidNotAnswer) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    CVirtualDriverChannel channel;
    // Answer every capture and render signal for 100 periods, like a running bridge.
    const HANDLE waits[] = {channel.ControlEvent(2), channel.ControlEvent(4)};
    for (int answered = 0; answered < 200;) {
        const DWORD r = WaitForMultipleObjects(2, waits, FALSE, 10);
        ASSERT_NE(r, static_cast<DWORD>(WAIT_TIMEOUT));
        SetEvent(channel.ControlEvent(r == WAIT_OBJECT_0 ? 1 : 3));
        ++answered;
    }
    EXPECT_EQ(driver.MissedCaptureAnswers(), 0u);
    EXPECT_EQ(driver.MissedRenderAnswers(), 0u);
    // Then silence: every further period is a missed answer in each direction.
    machine.RunFor(20);
    EXPECT_GE(driver.MissedCaptureAnswers(), 9u);
    EXPECT_EQ(driver.MissedCaptureAnswers(), driver.MissedRenderAnswers());
}

TEST(VirtualAudioDriver, ApplicationsStreamEachPeriodAndNeverHearAStaleHalf) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    std::vector<std::uint64_t> played, recorded;  // outlive the channel: its close lets the clock run
    std::vector<float> heard;
    CVirtualDriverChannel channel;
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(12, length));  // "Game", render, stereo
    ASSERT_TRUE(channel.OpenStream(13, length));  // "Music", render, nobody plays
    ASSERT_TRUE(channel.OpenStream(5, length));   // "Bluetooth", capture, stereo
    const DriverStreamSlot& game = channel.Slot(12);
    const DriverStreamSlot& music = channel.Slot(13);
    const DriverStreamSlot& bluetooth = channel.Slot(5);
    const auto half = [](const DriverStreamSlot& slot, bool positionsHalf) {
        auto* buffer = reinterpret_cast<float*>(slot.m_OpenBlock.BufferAddress);
        const std::uint32_t size = slot.m_OpenBlock.BufferLength / 2;
        return buffer + ((Position(slot) >= size) == positionsHalf ? size : 0);
    };

    // The player's frame numbers follow the machine clock; the recorder sees each half once.
    ASSERT_TRUE(driver.SetPlayer(1, [&](std::uint64_t first, std::uint32_t channels, float* out, std::uint32_t frames) {
        played.push_back(first);
        for (std::uint32_t i = 0; i < frames * channels; ++i) out[i] = static_cast<float>(first % 1000) + 0.5f;
    }));
    ASSERT_TRUE(driver.SetRecorder(5, [&](std::uint64_t first, std::uint32_t channels, const float* in,
                                          std::uint32_t frames) {
        recorded.push_back(first);
        heard.assign(in, in + frames * channels);
    }));
    EXPECT_FALSE(driver.SetPlayer(5, {}));
    EXPECT_FALSE(driver.SetRecorder(11, {}));
    float* stale = half(music, false);
    std::fill(stale, stale + 192, 0.75f);

    // A period the service answers: the recorder gets what it wrote into the position's half.
    WaitForSingleObject(channel.ControlEvent(2), 10);
    const std::uint64_t answeredAt = driver.Periods();
    float* written = half(bluetooth, true);
    std::fill(written, written + 192, 0.25f);
    SetEvent(channel.ControlEvent(1));
    // The render halves the service reads in this period: the player's, and zeros where nobody plays.
    EXPECT_EQ(half(game, false)[0], static_cast<float>(played.back() % 1000) + 0.5f);
    EXPECT_EQ(half(music, false)[191], 0.0f);
    machine.RunFor(2);
    ASSERT_EQ(driver.Periods(), answeredAt + 1);
    ASSERT_EQ(heard.size(), 192u);
    EXPECT_EQ(heard.front(), 0.25f);
    EXPECT_EQ(heard.back(), 0.25f);
    const std::uint64_t underruns = driver.CaptureUnderruns();

    // Unanswered periods: silence, counted, although the buffer still holds the old samples.
    std::fill(half(bluetooth, true), half(bluetooth, true) + 192, 0.25f);
    machine.RunFor(4);
    EXPECT_EQ(heard, std::vector<float>(192, 0.0f));
    EXPECT_EQ(driver.CaptureUnderruns(), underruns + 2);
    ASSERT_GE(recorded.size(), 3u);
    for (std::size_t i = 1; i < recorded.size(); ++i) EXPECT_EQ(recorded[i] - recorded[i - 1], 96u);
    for (std::size_t i = 1; i < played.size(); ++i) EXPECT_EQ(played[i] - played[i - 1], 96u);
    EXPECT_EQ(played.back(), machine.NowMs() * 48);
}

TEST(VirtualAudioDriver, RejectsMalformedRequestsAndKeepsEveryFlowMappedWhileAnyOfItsStreamsIsOpen) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    CVirtualDriverChannel channel;
    HANDLE device = channel.DeviceHandle();
    DWORD returned = 0;
    char shortRecord[8] = {};
    EXPECT_FALSE(DeviceIoControl(device, 0xED01F804, shortRecord, sizeof shortRecord, shortRecord,
                                 sizeof shortRecord, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(device, 0xED01F80C, nullptr, 0, nullptr, 0, &returned, nullptr));  // no index
    std::uint32_t outOfRange = 11;
    EXPECT_FALSE(DeviceIoControl(device, 0xED01F80C, &outOfRange, 4, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(DeviceIoControl(device, 0xED01F848, nullptr, 0, nullptr, 0, &returned, nullptr));  // none open

    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(2, length));
    ASSERT_TRUE(channel.OpenStream(9, length));
    channel.CloseStream(2);  // the request names no stream: 9's buffer must stay usable
    EXPECT_TRUE(driver.StreamOpen(Flow::Capture, 9));
    channel.CloseStream(9);
    EXPECT_FALSE(driver.StreamOpen(Flow::Capture, 9));
    EXPECT_EQ(driver.OpenStreamCount(), 0u);
}

}  // namespace
