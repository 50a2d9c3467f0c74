// The control channel to the virtual audio driver, on its own (no supervisor).
#include <gtest/gtest.h>

#include <cstring>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"

namespace {

using Flow = sim::VirtualAudioDriver::Flow;

class DriverChannel : public ::testing::Test {
protected:
    DriverChannel() { driver.Install(); }
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
};

TEST_F(DriverChannel, OpensRegistersWithPeriod192AndRunsTheNotifierAtTimeCriticalPriority) {
    CVirtualDriverChannel channel;
    ASSERT_TRUE(channel.IsOpen());
    EXPECT_EQ(channel.BufferFrames(), 192u);
    EXPECT_EQ(driver.RegisteredFrames(), 192u);
    EXPECT_EQ(driver.RegisteredHeader(), 0x100u);
    ASSERT_NE(channel.NotifierThread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetThreadPriority(channel.NotifierThread()), THREAD_PRIORITY_TIME_CRITICAL);
    machine.RunFor(1);
    bool joined = false;
    for (sim::ThreadRec* t : machine.Threads())
        if (t->alive && t->mmcssTask == "Pro Audio" && t->mmcssPriority == AVRT_PRIORITY_HIGH) joined = true;
    EXPECT_TRUE(joined);
}

TEST_F(DriverChannel, OpensEachStreamWithItsFlowLocalIndexAndChannels) {
    CVirtualDriverChannel channel;
    driver.ClearRequests();
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(11, length));
    ASSERT_TRUE(channel.OpenStream(10, length));
    EXPECT_EQ(length, 192u);  // one channel, both halves
    const auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    VAD_STREAM_OPEN_BLOCK sent{};
    EXPECT_EQ(requests[0].code, IOCTL_VAD_RENDER_OPEN);
    std::memcpy(&sent, requests[0].input.data(), sizeof sent);
    EXPECT_EQ(sent.LocalIndex, 0u);
    EXPECT_EQ(sent.Channels, 2u);
    EXPECT_EQ(sent.SampleRate, 48000u);
    EXPECT_EQ(sent.BufferAddress, 0u);
    EXPECT_EQ(requests[1].code, IOCTL_VAD_CAPTURE_OPEN);
    std::memcpy(&sent, requests[1].input.data(), sizeof sent);
    EXPECT_EQ(sent.LocalIndex, 10u);
    EXPECT_EQ(sent.Channels, 1u);
    const DriverStreamSlot& slot = channel.Slot(11);
    EXPECT_EQ(slot.m_bOpen, 1);
    EXPECT_EQ(slot.m_nStreamIndex, 11);
    EXPECT_NE(slot.m_OpenBlock.BufferAddress, 0u);
    EXPECT_EQ(slot.m_OpenBlock.BufferLength, 384u);
    EXPECT_NE(slot.m_OpenBlock.StatusAddress, 0u);
}

TEST_F(DriverChannel, RefusesWhatItMustNotSendAndSendsOneCloseOfTheRightFlowPerOpenSlot) {
    CVirtualDriverChannel channel;
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(3, length));
    ASSERT_TRUE(channel.OpenStream(7, length));
    driver.ClearRequests();
    EXPECT_FALSE(channel.OpenStream(16, length));
    EXPECT_FALSE(channel.OpenStream(-1, length));
    EXPECT_FALSE(channel.OpenStream(3, length));  // already open
    EXPECT_FALSE(channel.CloseStream(16));
    EXPECT_FALSE(channel.CloseStream(12));  // never opened
    EXPECT_TRUE(driver.Requests().empty());

    channel.CloseStream(3);
    channel.CloseStream(7);
    channel.CloseStream(7);
    const auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.code, IOCTL_VAD_CAPTURE_CLOSE);
        EXPECT_TRUE(r.input.empty());
    }
}

TEST_F(DriverChannel, RegisterWhileRegisteredKeepsThePeriodAndARefusedRegisterCanBeRetried) {
    CVirtualDriverChannel channel;
    driver.ClearRequests();
    EXPECT_TRUE(channel.RegisterControlBlock(4));
    EXPECT_EQ(channel.BufferFrames(), 192u);
    EXPECT_TRUE(driver.Requests().empty());

    channel.ReleaseControlBlock();
    EXPECT_EQ(channel.BufferFrames(), 0u);
    channel.ReleaseControlBlock();  // nothing registered: nothing sent
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_CONTROL_RELEASE), 1u);

    driver.RefuseRegister();
    EXPECT_FALSE(channel.RegisterControlBlock(4));
    EXPECT_EQ(channel.BufferFrames(), 0u);
    EXPECT_TRUE(channel.RegisterControlBlock(4));
    EXPECT_EQ(channel.BufferFrames(), 384u);
    EXPECT_EQ(driver.RegisteredFrames(), 384u);
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_CONTROL_REGISTER), 2u);
}

TEST_F(DriverChannel, ARefusedOpenLeavesTheSlotClosedWithNoAddresses) {
    CVirtualDriverChannel channel;
    driver.RefuseOpen(Flow::Render, 2);
    std::uint32_t length = 7;
    EXPECT_FALSE(channel.OpenStream(13, length));
    EXPECT_EQ(length, 7u);
    const DriverStreamSlot& slot = channel.Slot(13);
    EXPECT_EQ(slot.m_bOpen, 0);
    EXPECT_EQ(slot.m_OpenBlock.BufferAddress, 0u);
    EXPECT_EQ(slot.m_OpenBlock.BufferLength, 0u);
    EXPECT_EQ(slot.m_OpenBlock.StatusAddress, 0u);
    EXPECT_TRUE(channel.OpenStream(13, length));  // the driver takes it next time
}

TEST_F(DriverChannel, NotifierStopsWithinOneWaitSliceAndRestartsFresh) {
    CVirtualDriverChannel channel;
    driver.Notify(42);  // the supervisor installs no handler: consumed, nothing happens
    machine.RunFor(50);
    const std::uint64_t before = machine.NowMs();
    channel.StopNotifier();
    EXPECT_LE(machine.NowMs() - before, 100u);  // the thread checks its stop event every 100 ms
    EXPECT_EQ(channel.NotifierThread(), INVALID_HANDLE_VALUE);
    channel.StopNotifier();  // no thread: leaves a stop signal behind that a new thread must not see
    channel.StartNotifier();
    ASSERT_NE(channel.NotifierThread(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(channel.NotifierThread(), 350), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(DriverChannel, DestructionReleasesFirstThenClosesStreamsAndLeavesNothingBehind) {
    {
        CVirtualDriverChannel channel;
        std::uint32_t length = 0;
        for (int i = 0; i < 16; ++i) ASSERT_TRUE(channel.OpenStream(i, length));
        driver.ClearRequests();
    }
    const auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 17u);
    EXPECT_EQ(requests[0].code, IOCTL_VAD_CONTROL_RELEASE);
    for (int i = 1; i <= 11; ++i) EXPECT_EQ(requests[i].code, IOCTL_VAD_CAPTURE_CLOSE);
    for (int i = 12; i <= 16; ++i) EXPECT_EQ(requests[i].code, IOCTL_VAD_RENDER_CLOSE);
    EXPECT_EQ(machine.HandleCount(), 0u);
    EXPECT_EQ(machine.LiveThreadCount(), 0u);
}

TEST(DriverChannelWithoutDriver, StaysClosedSendsNothingAndStartsNoThread) {
    sim::Machine machine;
    {
        CVirtualDriverChannel channel;
        EXPECT_FALSE(channel.IsOpen());
        EXPECT_EQ(channel.DeviceHandle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(channel.NotifierThread(), INVALID_HANDLE_VALUE);
        std::uint32_t length = 0;
        EXPECT_FALSE(channel.RegisterControlBlock(2));
        EXPECT_FALSE(channel.OpenStream(0, length));
        channel.CloseStream(0);
        channel.ReleaseControlBlock();
        EXPECT_EQ(machine.LiveThreadCount(), 0u);
    }
    EXPECT_EQ(machine.CallCount("DeviceIoControl"), 0u);
    EXPECT_EQ(machine.HandleCount(), 0u);
}

TEST(DriverChannelRemoved, ADriverThatWentAwayFailsRequestsButTheChannelStillClosesCleanly) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    {
        CVirtualDriverChannel channel;
        std::uint32_t length = 0;
        ASSERT_TRUE(channel.OpenStream(5, length));
        driver.Remove();
        EXPECT_FALSE(channel.OpenStream(6, length));
        EXPECT_EQ(channel.Slot(6).m_bOpen, 0);
    }
    EXPECT_EQ(machine.HandleCount(), 0u);
    EXPECT_EQ(machine.LiveThreadCount(), 0u);
}

}  // namespace

namespace {

TEST(DriverChannelRefused, AControlInterfaceThatRefusesToOpenLeavesTheChannelClosed) {
    sim::Machine machine;
    sim::VirtualAudioDriver driver(machine);
    driver.Install();
    driver.RefuseDeviceOpen();
    {
        CVirtualDriverChannel channel;
        EXPECT_FALSE(channel.IsOpen());
        EXPECT_EQ(channel.NotifierThread(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(driver.RegisteredFrames(), 0u);
    }
    CVirtualDriverChannel again;  // the next attempt gets through
    EXPECT_TRUE(again.IsOpen());
    EXPECT_EQ(driver.RegisteredFrames(), 192u);
}

}  // namespace
