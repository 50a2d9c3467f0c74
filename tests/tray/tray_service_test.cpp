// The real tray and the real service on one simulated machine, with the virtual audio driver present and
// no console: what the user sees in the notification area while the service starts, stops and comes back,
// and what the service does with the user's choices.
#include <string>

#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "quillon_version.h"
#include "tests/tray/TrayTest.h"

namespace {

using traytest::kConnected;
using traytest::kNotRunning;
using traytest::kRemoved;
using traytest::kRunning;
using Lines = std::vector<std::string>;

constexpr sim::Ticks kMs = sim::kTicksPerMs;
constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";
const std::string kVersionLine = std::string("App Version: ") + QUILLON_VERSION_TEXT;

class TrayWithService : public traytest::TrayTest {
protected:
    TrayWithService() {
        driver.Install();
        harness::InstallService(machine);
    }
    ~TrayWithService() override {
        if (ServiceRunning()) harness::StopService(machine);
    }

    bool ServiceRunning() {
        return machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName);
    }
    void StartService() {
        ASSERT_TRUE(harness::StartService(machine));
        ASSERT_TRUE(machine.RunUntil([&] { return driver.OpenStreamCount() == 16; }, 2'000));
    }
    // The status block as the service wrote it (the test's view does not keep it alive).
    QuillonSharedBlock* Status() {
        return reinterpret_cast<QuillonSharedBlock*>(machine.Names().MappingView(kStatusBlockName));
    }
    QuillonSharedBlock* Command() {
        return reinterpret_cast<QuillonSharedBlock*>(machine.Names().MappingView(kCommandBlockName));
    }

    sim::VirtualAudioDriver driver{machine};
};

TEST_F(TrayWithService, AServiceStartedAfterTheTrayIsFoundOnTheNextTickAndAnswersFromThenOn) {
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(2'500);
    ASSERT_NO_FATAL_FAILURE(StartService());
    const sim::Ticks started = machine.Now();
    machine.RunFor(30'000);
    ASSERT_EQ(Balloons(), (Lines{kNotRunning, kRunning}));
    EXPECT_LE(BalloonTimes()[1], started + 1'000 * kMs);
    EXPECT_EQ(harness::TrayMenuText(machine),
              "  No Quillon Connected  (grayed)\n"
              "    (grayed)\n"
              "  " + kVersionLine + "  (grayed)\n"
              "  ---\n"
              "  Bypass\n"
              "  Latency >\n"
              "    * Ultra-low\n"
              "      Low\n"
              "  ---\n"
              "  User Guide\n"
              "  Quit\n");
    // The echo keeps up with the counter.
    EXPECT_LE(Command()->heartbeat - Status()->heartbeat, 1u);
    EXPECT_GE(Command()->heartbeat, 29u);
}

TEST_F(TrayWithService, StoppingTheServiceIsReportedAndARestartSeenWithItsFreshStatus) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(3'000);
    Status()->stateFlags = kStateConsoleConnected;  // set here until the console can be simulated
    machine.RunFor(2'000);
    ASSERT_EQ(Balloons(), (Lines{kRunning, kConnected}));

    ASSERT_TRUE(harness::StopService(machine));
    const sim::Ticks stopped = machine.Now();
    ASSERT_TRUE(machine.RunUntil([&] { return Balloons().size() == 3; }, 8'000, 100));
    EXPECT_EQ(Balloons().back(), kNotRunning);
    EXPECT_LE(BalloonTimes().back(), stopped + 7'000 * kMs);
    // The tray held the last handles: with its release both blocks are gone.
    EXPECT_FALSE(machine.Names().MappingExists(kStatusBlockName));
    EXPECT_FALSE(machine.Names().MappingExists(kCommandBlockName));
    machine.RunFor(5'000);
    EXPECT_EQ(Balloons().size(), 3u);

    ASSERT_NO_FATAL_FAILURE(StartService());
    const sim::Ticks restarted = machine.Now();
    machine.RunFor(1'000);
    ASSERT_EQ(Balloons().size(), 4u);
    EXPECT_EQ(Balloons().back(), kRunning);
    EXPECT_LE(BalloonTimes().back(), restarted + 1'000 * kMs);
    EXPECT_EQ(Status()->stateFlags, 0u);
    EXPECT_LE(Status()->heartbeat, 1u);
    const auto menu = harness::UseTrayMenu(machine);
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->items[0].text, "No Quillon Connected");
    EXPECT_EQ(menu->items[2].text, kVersionLine);
    machine.RunFor(10'000);
    EXPECT_EQ(Balloons().size(), 4u);  // the console bit stayed clear: nothing to announce
}

TEST_F(TrayWithService, AQuickRestartWhileTheTrayHoldsTheBlocksGoesUnnoticedAndResetsTheCounter) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(10'000);
    ASSERT_GE(Command()->heartbeat, 9u);
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_TRUE(machine.Names().MappingExists(kStatusBlockName));  // kept alive by the tray
    ASSERT_NO_FATAL_FAILURE(StartService());
    // The new service cleared the block and copied it over the command block: counter and echo restart.
    EXPECT_LE(Command()->heartbeat, 2u);
    machine.RunFor(10'000);
    EXPECT_EQ(Balloons(), Lines{kRunning});
    EXPECT_LE(Command()->heartbeat - Status()->heartbeat, 1u);
}

TEST_F(TrayWithService, BypassIsAdoptedByTheServiceIntoItsStatusAndTheRegistry) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(1'500);
    ASSERT_NE(Choose("Bypass"), 0u);
    EXPECT_EQ(Command()->settings & kSettingEnable, 0u);
    ASSERT_TRUE(machine.RunUntil([&] { return (Status()->settings & kSettingEnable) == 0; }, 200));
    machine.RunFor(100);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 0u);
    EXPECT_NE(harness::TrayMenuText(machine).find("* Bypass\n"), std::string::npos);

    ASSERT_NE(Choose("Bypass"), 0u);
    ASSERT_TRUE(machine.RunUntil([&] { return (Status()->settings & kSettingEnable) != 0; }, 200));
    machine.RunFor(100);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 1u);
    EXPECT_EQ(Balloons(), Lines{kRunning});
}

TEST_F(TrayWithService, LowMakesTheServiceReRegisterTheDriverWith384Frames) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(1'500);
    ASSERT_EQ(driver.RegisteredFrames(), 192u);
    ASSERT_NE(Choose("Low"), 0u);
    EXPECT_EQ(Command()->settings, static_cast<std::uint32_t>(kSettingEnable | kSettingLatency));
    ASSERT_TRUE(machine.RunUntil([&] { return driver.RegisteredFrames() == 384u && driver.OpenStreamCount() == 16; },
                                 1'000));
    machine.RunFor(100);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Latency"), 1u);
    const std::string menu = harness::TrayMenuText(machine);
    EXPECT_NE(menu.find("      Ultra-low\n    * Low\n"), std::string::npos) << menu;

    ASSERT_NE(Choose("Ultra-low"), 0u);
    ASSERT_TRUE(machine.RunUntil([&] { return driver.RegisteredFrames() == 192u && driver.OpenStreamCount() == 16; },
                                 1'000));
    machine.RunFor(10'000);
    EXPECT_EQ(Balloons(), Lines{kRunning});  // the reconfiguration never held up the heartbeat
}

TEST_F(TrayWithService, TheConsoleBitIsAnnouncedOncePerChange) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartTray());
    machine.RunFor(2'000);
    for (int round = 0; round < 2; ++round) {
        Status()->stateFlags = kStateConsoleConnected;
        machine.RunFor(4'000);
        Status()->stateFlags = 0;
        machine.RunFor(4'000);
    }
    EXPECT_EQ(Balloons(), (Lines{kRunning, kConnected, kRemoved, kConnected, kRemoved}));
}

}  // namespace
