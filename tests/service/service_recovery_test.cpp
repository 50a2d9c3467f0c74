// The service after a passing failure of the system or the driver: each of these once left it without a
// bridge (or a whole direction of one) until it was restarted; now it bridges again on its own.
#include <gtest/gtest.h>

#include <memory>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "Service/common/SharedBlock.h"
#include "platform/sim/include/sim/audio_paths.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/modules.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/harness/Programs.h"

namespace {

using Flow = sim::VirtualAudioDriver::Flow;

struct Service {
    explicit Service(bool plugged = true) {
        driver.Install();
        console.Hid().SetChannelMask(0xFFFF);
        if (plugged) console.Plug();
        harness::InstallService(machine);
    }
    ~Service() {
        // A test that ended early leaves the service running: it stops before the machine goes.
        auto process = machine.Scm().ProcessOf(harness::kServiceName);
        if (process && !process->exited) Stop();
        meter.reset();
    }
    QuillonSharedBlock* Status() {
        return reinterpret_cast<QuillonSharedBlock*>(machine.Names().MappingView(kStatusBlockName));
    }
    bool Connected() { return Status() && (Status()->stateFlags & kStateConsoleConnected) != 0; }
    // Bridged in both directions, with console audio reaching the driver's first capture stream.
    bool Bridged(std::uint32_t maxMs) {
        return machine.RunUntil(
            [&] {
                const std::uint64_t before = meter->CapturePath(0, 0).frames;
                return Connected() && console.Ks().CapturePin() && driver.RegisteredFrames() != 0 &&
                       (machine.RunFor(20), meter->CapturePath(0, 0).frames > before);
            },
            maxMs, 10);
    }
    bool Stop() { return harness::StopService(machine); }
    std::size_t HandlesLeftAtExit() { return machine.Scm().ProcessOf(harness::kServiceName)->HandlesAtExit(); }

    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    sim::Console console{machine};
    std::unique_ptr<sim::AudioPathMeter> meter = std::make_unique<sim::AudioPathMeter>(driver, &console);
};

// Fails the `occurrence`-th call of `function` made by the service.
void FailServiceCall(sim::Machine& machine, const char* function, int occurrence, DWORD error) {
    auto seen = std::make_shared<int>(0);
    machine.SetCallObserver([=](sim::Process& process, const char* called, std::uint64_t) {
        sim::Machine::CallFate fate;
        if (process.name == "QuillonVADService.exe" && std::string(called) == function && ++*seen == occurrence) {
            fate.fail = true;
            fate.error = error;
        }
        return fate;
    });
}

TEST(ServiceRecovery, WithoutTheRevertExportTheBridgeThreadJoinsNoTaskItCouldNotLeave) {
    Service s;
    s.machine.Mods().RemoveExport("Avrt.dll", "AvRevertMmThreadCharacteristics");
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.Bridged(2'000));
    s.console.Unplug();  // a bridge thread that ends
    ASSERT_TRUE(s.machine.RunUntil([&] { return !s.Connected(); }, 3'000));
    ASSERT_TRUE(s.Stop());
    EXPECT_EQ(s.HandlesLeftAtExit(), 0u);
}

TEST(ServiceRecovery, ALoopThreadThatCouldNotEnterComTriesAgainAndBridges) {
    Service s;
    s.machine.InjectFailure("CoInitializeEx", static_cast<DWORD>(E_OUTOFMEMORY), 2);  // the worker's and the loop's
    ASSERT_TRUE(harness::StartService(s.machine));
    EXPECT_TRUE(s.Bridged(2'000));
    ASSERT_TRUE(s.Stop());
    EXPECT_EQ(s.HandlesLeftAtExit(), 0u);
}

TEST(ServiceRecovery, PinCreationLoadsKsuserAgainAfterALoadThatFailed) {
    Service s(false);
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.machine.RunUntil([&] { return s.Status() && s.Status()->serviceVersion[0] != 0; }, 2'000));
    s.machine.InjectFailure("LoadLibraryExW", ERROR_MOD_NOT_FOUND);  // the first pin creation's
    s.console.Plug();
    EXPECT_TRUE(s.Bridged(2'000));
    EXPECT_EQ(s.machine.CallCount("LoadLibraryExW"), 3u);  // Avrt.dll, ksuser.dll refused, ksuser.dll (system folder only)
    EXPECT_EQ(s.machine.CallCount("LoadLibraryW"), 0u);
    ASSERT_TRUE(s.Stop());
}

TEST(ServiceRecovery, ASupervisorWhoseLoopCouldNotStartIsBuiltAgain) {
    Service s;
    FailServiceCall(s.machine, "_beginthreadex", 3, ERROR_NOT_ENOUGH_MEMORY);  // worker, notifier, loop
    ASSERT_TRUE(harness::StartService(s.machine));
    EXPECT_TRUE(s.Bridged(3'000));
    ASSERT_TRUE(s.Stop());
    EXPECT_EQ(s.HandlesLeftAtExit(), 0u);
}

TEST(ServiceRecovery, ARegistrationRefusedAtALatencySwitchIsTriedAgain) {
    Service s;
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.Bridged(2'000));
    s.driver.RefuseRegister();
    reinterpret_cast<QuillonSharedBlock*>(s.machine.Names().MappingView(kCommandBlockName))->settings =
        kSettingEnable | kSettingLatency;
    // The next search registers again (a driver that refused that too would get a new supervisor).
    EXPECT_TRUE(s.machine.RunUntil([&] { return s.driver.RegisteredFrames() == 384u; }, 500));
    EXPECT_EQ(s.driver.CountRequests(IOCTL_VAD_CONTROL_REGISTER), 3u);
    EXPECT_TRUE(s.Bridged(1'000));
    ASSERT_TRUE(s.Stop());
    EXPECT_EQ(s.HandlesLeftAtExit(), 0u);
}

TEST(ServiceRecovery, ADriverRemovedAndInstalledAgainIsFoundAgain) {
    Service s;
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.Bridged(2'000));
    s.driver.Remove();
    // The bridge notices the driver's silence at its next health check and gives the channel up.
    EXPECT_TRUE(s.machine.RunUntil([&] { return !s.Connected(); }, 1'500));
    s.driver.Install();
    EXPECT_TRUE(s.Bridged(3'000));
    EXPECT_EQ(s.driver.OpenStreamCount(), 16u);
    ASSERT_TRUE(s.Stop());
    EXPECT_EQ(s.HandlesLeftAtExit(), 0u);
}

TEST(ServiceRecovery, AStreamOpenTheDriverRefusedIsTriedAgain) {
    Service s(false);
    s.driver.RefuseOpen(Flow::Capture, 0);
    ASSERT_TRUE(harness::StartService(s.machine));
    EXPECT_TRUE(s.machine.RunUntil([&] { return s.driver.StreamOpen(Flow::Capture, 0); }, 500));
    ASSERT_TRUE(s.Stop());
}

TEST(ServiceRecovery, AConsoleBridgedWithoutItsCapturePinIsBridgedAgainWithIt) {
    Service s(false);
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.machine.RunUntil([&] { return s.Status() && s.Status()->serviceVersion[0] != 0; }, 2'000));
    s.machine.InjectFailure("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);  // the next search's capture list
    s.console.Plug();
    ASSERT_TRUE(s.machine.RunUntil([&] { return s.Connected(); }, 1'000));
    EXPECT_EQ(s.console.Ks().CapturePin(), nullptr);
    EXPECT_TRUE(s.Bridged(2'000));
    ASSERT_TRUE(s.Stop());
}

// The channel on its own.
class DriverChannelRecovery : public ::testing::Test {
protected:
    DriverChannelRecovery() { driver.Install(); }
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
};

TEST_F(DriverChannelRecovery, ACloseRequestRefusedOnceIsSentAgain) {
    CVirtualDriverChannel channel;
    std::uint32_t length = 0;
    ASSERT_TRUE(channel.OpenStream(11, length));
    machine.InjectFailure("DeviceIoControl", ERROR_GEN_FAILURE);
    channel.CloseStream(11);
    // The driver counts a flow's closes: had it missed this one, the stream could never open again.
    EXPECT_FALSE(driver.StreamOpen(Flow::Render, 0));
    EXPECT_TRUE(channel.OpenStream(11, length));
}

TEST_F(DriverChannelRecovery, ASlotEventThatCouldNotBeCreatedIsCreatedAtTheOpen) {
    machine.InjectFailure("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 2);  // the notifier's stop event and stream 0's
    CVirtualDriverChannel channel;
    EXPECT_EQ(channel.Slot(0).m_hSlotEvent, INVALID_HANDLE_VALUE);
    std::uint32_t length = 0;
    EXPECT_TRUE(channel.OpenStream(0, length));
    EXPECT_NE(channel.Slot(0).m_hSlotEvent, INVALID_HANDLE_VALUE);
}

}  // namespace
