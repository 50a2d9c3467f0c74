// The service, the virtual driver and the tray on a machine whose millisecond clocks wrap (2^32 ms after
// boot) while they run: every elapsed-time computation of the programs must survive it.
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "tests/tray/TrayTest.h"

namespace {

using traytest::kRunning;
using Lines = std::vector<std::string>;

class ClockWrap : public traytest::TrayTest {
protected:
    ClockWrap() {
        // Ten seconds before the wrap: the service starts, then the tray, and both work across it.
        machine.SetClockStart((std::uint64_t{1} << 32) - 10'000);
        driver.Install();
        harness::InstallService(machine);
    }
    ~ClockWrap() override {
        if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
            harness::StopService(machine);
    }
    sim::VirtualAudioDriver driver{machine};
};

TEST_F(ClockWrap, TheServiceAndTheTrayKeepWorkingAcrossTheWrapOfTheMillisecondClocks) {
    ASSERT_TRUE(harness::StartService(machine));
    ASSERT_TRUE(machine.RunUntil([&] { return driver.OpenStreamCount() == 16; }, 2'000));
    ASSERT_NO_FATAL_FAILURE(StartTray());
    const DWORD before = timeGetTime();
    EXPECT_GT(before, 0xFFFF0000u);
    machine.RunFor(60'000);
    EXPECT_LT(timeGetTime(), 60'000u);  // wrapped

    // The heartbeat never looked lost, the tray's one-second poll kept going, the service kept its
    // driver streams open (no supervisor was rebuilt) and still runs.
    EXPECT_EQ(Balloons(), Lines{kRunning});
    EXPECT_EQ(driver.OpenStreamCount(), 16u);
    EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    const std::string menu = harness::TrayMenuText(machine);
    EXPECT_EQ(menu.find("Quillon Service Stopped"), std::string::npos) << menu;

    // A choice made after the wrap still reaches the service.
    ASSERT_NE(Choose("Low"), 0u);
    machine.RunFor(1'000);
    EXPECT_NE(harness::TrayMenuText(machine).find("* Low"), std::string::npos);
    ASSERT_TRUE(harness::StopService(machine));
}

}  // namespace
