// The simulated virtual audio driver's clock, answers and application side, driven through its control
// interface the way the service drives it.
#include <gtest/gtest.h>

#include <cstring>

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

TEST(VirtualAudioDriver, ApplicationsPlayIntoTheHalfTheServiceReadsNextAndRecordWhatItWrote) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    CVirtualDriverChannel channel;
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(12, length));  // "Game", render
    ASSERT_TRUE(channel.OpenStream(5, length));   // "Bluetooth", capture
    std::vector<float> tone(192);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<float>(i) / 192.0f;
    ASSERT_TRUE(driver.Play(1, tone));
    const DriverStreamSlot& render = channel.Slot(12);
    const auto* buffer = reinterpret_cast<const float*>(render.m_OpenBlock.BufferAddress);
    const std::uint32_t readHalf = Position(render) == 0 ? 192 : 0;  // the half the position is not in
    EXPECT_EQ(std::memcmp(buffer + readHalf, tone.data(), tone.size() * sizeof(float)), 0);

    const DriverStreamSlot& capture = channel.Slot(5);
    auto* target = reinterpret_cast<float*>(capture.m_OpenBlock.BufferAddress) + Position(capture);
    for (int i = 0; i < 192; ++i) target[i] = 0.25f;
    const std::vector<float> recorded = driver.Record(5);
    ASSERT_EQ(recorded.size(), 192u);
    EXPECT_EQ(recorded.front(), 0.25f);
    EXPECT_EQ(recorded.back(), 0.25f);
    EXPECT_FALSE(driver.Play(5, tone));  // no render stream of that index
    EXPECT_TRUE(driver.Record(10).empty());  // never opened
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
