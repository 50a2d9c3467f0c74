// The service's registry settings and its two shared blocks, without the virtual driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Service/QuillonDiag/DiagProgram.h"
#include "Service/QuillonDiag/DiagReader.h"
#include "Service/common/DiagnosticsMapping.h"
#include "Service/common/SharedMemory.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/namespace.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "quillon_version.h"
#include "tests/harness/Blocks.h"
#include "tests/harness/Programs.h"

namespace {

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

// Without the virtual driver each supervisor lives only an instant; these tests mostly keep the driver
// present so one supervisor stays and its blocks can be read.
class ServiceSettings : public ::testing::Test {
protected:
    ServiceSettings() {
        harness::InstallService(machine);
        driver.Install();
    }
    ~ServiceSettings() override {
        if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
            harness::StopService(machine);
    }
    // Runs the service through a few supervisor builds and stops it.
    void RunService(std::uint32_t ms = 2500) {
        ASSERT_TRUE(harness::StartService(machine));
        machine.RunFor(ms);
        ASSERT_TRUE(harness::StopService(machine));
    }
    std::uint32_t PublishedSettings() {
        harness::BlockView status(kStatusBlockName);
        return status ? status->settings : 0xFFFFFFFF;
    }
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
};

TEST_F(ServiceSettings, NoKeyMeansEnabledAndUltraLowAndStoppingCreatesTheKey) {
    ASSERT_FALSE(machine.Reg().KeyExists(kSettingsKey));
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(100);
    EXPECT_EQ(PublishedSettings(), kSettingEnable);
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(machine.Reg().GetValue(kSettingsKey, "Enable"), (sim::RegValue{REG_DWORD, {1, 0, 0, 0}}));
    EXPECT_EQ(machine.Reg().GetValue(kSettingsKey, "Latency"), (sim::RegValue{REG_DWORD, {0, 0, 0, 0}}));
}

TEST_F(ServiceSettings, ALatencyStoredAsTextReadsAsMissingAndIsRewrittenAsADword) {
    machine.Reg().SetString(kSettingsKey, "Latency", "1");
    machine.Reg().SetDword(kSettingsKey, "Enable", 0);
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(100);
    EXPECT_EQ(PublishedSettings(), 0u);  // Enable 0 as stored, Latency as missing: 0
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(machine.Reg().GetValue(kSettingsKey, "Latency"), (sim::RegValue{REG_DWORD, {0, 0, 0, 0}}));
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 0u);
}

TEST_F(ServiceSettings, StoredValuesAreKeptAsReadAndMalformedDwordsCountAsMissing) {
    machine.Reg().SetDword(kSettingsKey, "Enable", 7);
    machine.Reg().SetValue(kSettingsKey, "Latency", REG_DWORD, {1, 0});  // a 2-byte "DWORD"
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(100);
    EXPECT_EQ(PublishedSettings(), kSettingEnable);
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 7u);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Latency"), 0u);
}

TEST_F(ServiceSettings, WritesThatFailAreIgnoredAndTheServiceRunsOn) {
    machine.Reg().DenyWrite(kSettingsKey);
    RunService(5000);
    EXPECT_FALSE(machine.Reg().GetValue(kSettingsKey, "Enable"));
    const auto history = machine.Scm().History(harness::kServiceName);
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(SharedBlocks, TheServiceCreatesBothBlocksWithTheDescriptorItsAccessMaskChooses) {
    sim::Machine machine;
    CSharedMemoryGlobalWriter command(kCommandBlockName, kCommandBlockServiceAccess);
    CSharedMemoryWriter status(SharedMemorySide::Create, kStatusBlockName, kReadWriteAccess);
    ASSERT_NE(command.m_pView, nullptr);
    ASSERT_NE(status.m_pView, nullptr);
    EXPECT_EQ(machine.Names().MappingSddl(kCommandBlockName), std::string(kSddlUsersReadWrite));
    EXPECT_EQ(machine.Names().MappingSddl(kStatusBlockName), std::string(kSddlUsersRead));
    EXPECT_EQ(machine.Names().HandleInheritable(command.m_hMapping), true);

    // The tray's side: opens what exists, reads the same memory.
    CSharedMemoryReader reader(kStatusBlockName, kReadOnlyAccess);
    ASSERT_NE(reader.m_pView, nullptr);
    status.m_pView->heartbeat = 12345;
    EXPECT_EQ(reader.m_pView->heartbeat, 12345u);
}

TEST(SharedBlocks, BlocksThatCannotBeMadeLeaveAnInvalidHandleAndNoView) {
    sim::Machine machine;
    {
        CSharedMemoryReader missing(kStatusBlockName, kReadOnlyAccess);  // nothing to open
        EXPECT_EQ(missing.m_hMapping, INVALID_HANDLE_VALUE);
        EXPECT_EQ(missing.m_pView, nullptr);
        machine.InjectFailure("ConvertStringSecurityDescriptorToSecurityDescriptorA", ERROR_INVALID_PARAMETER);
        CSharedMemoryWriter defaults(SharedMemorySide::Create, kStatusBlockName, kReadWriteAccess);
        ASSERT_NE(defaults.m_pView, nullptr);  // default security instead
        EXPECT_EQ(machine.Names().MappingSddl(kStatusBlockName), std::string());
        machine.InjectFailure("MapViewOfFile", ERROR_NOT_ENOUGH_MEMORY);
        CSharedMemoryGlobalWriter unmapped(kCommandBlockName, kCommandBlockServiceAccess);
        EXPECT_NE(unmapped.m_hMapping, INVALID_HANDLE_VALUE);
        EXPECT_EQ(unmapped.m_pView, nullptr);
    }
    EXPECT_EQ(machine.HandleCount(), 0u);
    EXPECT_EQ(machine.Names().LiveViewCount(), 0u);
}

TEST_F(ServiceSettings, AReaderHoldingTheBlocksSeesEachNewSupervisorRepublishTheStatus) {
    driver.Remove();
    ASSERT_TRUE(harness::StartService(machine));
    // A supervisor without the driver lives an instant; writing its settings back takes a while here,
    // long enough for a reader to open the blocks before the supervisor closes them.
    machine.InjectStall("RegCreateKeyExA", 20);
    ASSERT_TRUE(machine.RunUntil([&] { return bool(harness::BlockView(kStatusBlockName)); }, 1500));
    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    ASSERT_TRUE(status && command);
    // Scribble over everything; the next supervisor zero-fills and republishes.
    std::memset(&*status, 'x', sizeof(QuillonSharedBlock));
    command->settings = 0x7;
    command->heartbeat = 99;
    const std::uint64_t builds = machine.CallCount("SetupDiGetClassDevsW");
    ASSERT_TRUE(machine.RunUntil([&] { return machine.CallCount("SetupDiGetClassDevsW") > builds; }, 1500));
    EXPECT_EQ(status->stateFlags, 0u);
    EXPECT_EQ(status->settings, kSettingEnable);
    EXPECT_EQ(status->heartbeat, 0u);
    EXPECT_STREQ(status->consoleDescription, "");  // no driver: the console is never marked disconnected
    EXPECT_STREQ(status->firmwareText, "");
    EXPECT_EQ(std::string(status->serviceVersion), std::string("App Version: ") + QUILLON_VERSION_TEXT);
    EXPECT_EQ(std::memcmp(&*status, &*command, sizeof(QuillonSharedBlock)), 0);  // the old request is gone
}

TEST_F(ServiceSettings, WithoutAVersionResourceTheVersionTextIsThePrefixAlone) {
    sim::ProgramSpec program = harness::ServiceProgram();
    program.hasVersionResource = false;
    machine.Scm().Install(harness::kServiceName, program);
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(50);
    harness::BlockView status(kStatusBlockName);
    ASSERT_TRUE(status);
    EXPECT_STREQ(status->serviceVersion, "App Version: ");
}

TEST_F(ServiceSettings, WithoutTheBlocksTheServiceKeepsBuildingSupervisors) {
    driver.Remove();
    machine.InjectFailure("CreateFileMappingA", ERROR_ACCESS_DENIED, -1);
    ASSERT_TRUE(harness::StartService(machine));
    machine.RunFor(5000);
    EXPECT_GE(machine.CallCount("SetupDiGetClassDevsW"), 4u);
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 1u);
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(machine.HandleCount(), 0u);
    ASSERT_TRUE(machine.Scm().ProcessOf(harness::kServiceName));
    EXPECT_EQ(machine.Scm().ProcessOf(harness::kServiceName)->HandlesAtExit(), 0u);  // closed before it ended
}

// QuillonDiag --once as the logged-on user: its exit code and what it printed.
std::pair<DWORD, std::string> RunDiagOnce(sim::Machine& machine) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto process = machine.StartProcess(harness::DiagProgram({"--once"}));
    const bool ended = machine.WaitProcess(process, 1000);
    std::string printed = testing::internal::GetCapturedStdout();
    printed += testing::internal::GetCapturedStderr();
    return {ended ? process->exitCode : STILL_ACTIVE, printed};
}

// The diagnostics block: created with the status block's rules (users read, never write), there for as
// long as the service runs, with or without the driver, and shown by QuillonDiag.
TEST_F(ServiceSettings, TheDiagnosticsBlockIsTheUsersToReadForAsLongAsTheServiceRuns) {
    auto [before, notRunning] = RunDiagOnce(machine);
    EXPECT_EQ(before, static_cast<DWORD>(kDiagExitNotRunning));
    EXPECT_NE(notRunning.find("The Quillon service is not running"), std::string::npos) << notRunning;
    EXPECT_NE(notRunning.find("sc start \"Quillon Virtual Device Driver\""), std::string::npos) << notRunning;

    for (bool withDriver : {true, false}) {
        SCOPED_TRACE(withDriver ? "with the driver" : "without the driver");
        if (!withDriver) driver.Remove();
        ASSERT_TRUE(harness::StartService(machine));
        ASSERT_TRUE(machine.RunUntil([&] { return machine.Names().MappingExists(kDiagnosticsBlockName); }, 500));
        EXPECT_EQ(machine.Names().MappingSddl(kDiagnosticsBlockName), std::string(kSddlUsersRead));
        EXPECT_EQ(machine.Names().Mapping(kDiagnosticsBlockName)->size, sizeof(DiagnosticsRecord));
        // Without the driver each supervisor lives an instant; the block stays between them.
        bool always = true;
        for (int i = 0; i < 60; ++i) {
            machine.RunFor(50);
            always = always && machine.Names().MappingExists(kDiagnosticsBlockName);
        }
        EXPECT_TRUE(always);

        DWORD writeError = 0, readWriteError = 0;
        EDiagRead read = EDiagRead::NoRecord;
        DiagnosticsRecord record{};
        sim::ProgramSpec user = harness::ProgramImage("probe.exe");
        user.interactiveUser = true;
        user.entry = [&](HINSTANCE) {
            if (!OpenFileMappingA(FILE_MAP_WRITE, FALSE, kDiagnosticsBlockName)) writeError = GetLastError();
            if (!OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kDiagnosticsBlockName)) readWriteError = GetLastError();
            CDiagnosticsMapping block = CDiagnosticsMapping::Open(kDiagnosticsBlockName);
            EXPECT_EQ(block.Record(), nullptr);  // a reader's view is no record to write
            read = ReadDiagnostics(block.View(), block.Bytes(), record);
            return 0;
        };
        ASSERT_TRUE(machine.WaitProcess(machine.StartProcess(user), 1000));
        EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(readWriteError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_EQ(read, EDiagRead::Ok);
        EXPECT_EQ(record.bridgeState, static_cast<std::uint32_t>(EDiagBridgeState::NoConsole));
        EXPECT_EQ(record.periodFrames, withDriver ? 96u : 0u);  // half the driver's buffer
        EXPECT_EQ(record.sequence % 2, 0u);

        auto [code, table] = RunDiagOnce(machine);
        EXPECT_EQ(code, static_cast<DWORD>(kDiagExitShown)) << table;
        EXPECT_EQ(table.rfind("Quillon bridge: no console\n", 0), 0u) << table;
        EXPECT_NE(table.find(std::string(withDriver ? "period 96 frames (2.0 ms)" : "period unknown (no virtual driver)") +
                             ", latency Ultra-low (x2), drift correction on, not locked\n"),
                  std::string::npos)
            << table;
        EXPECT_NE(table.find("\n15 playback  -  idle "), std::string::npos) << table;

        ASSERT_TRUE(harness::StopService(machine));
        EXPECT_FALSE(machine.Names().MappingExists(kDiagnosticsBlockName));
    }
    EXPECT_EQ(RunDiagOnce(machine).first, static_cast<DWORD>(kDiagExitNotRunning));
}

}  // namespace
