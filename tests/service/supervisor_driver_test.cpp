// The whole service with the virtual audio driver present: start-up, the tray exchange, settings
// changes, the latency reconfiguration and the stop order, as the driver and the tray observe them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Service/Quillon/vdriver/VadProtocol.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "quillon_version.h"
#include "tests/harness/Blocks.h"
#include "tests/harness/Programs.h"

namespace {

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

std::vector<DWORD> Codes(const std::vector<sim::VirtualAudioDriver::Request>& requests) {
    std::vector<DWORD> codes;
    for (const auto& r : requests) codes.push_back(r.code);
    return codes;
}

// What the service sends for "close all sixteen streams", "hide all sixteen endpoints", "open all".
std::vector<DWORD> CloseAll() {
    std::vector<DWORD> codes(11, IOCTL_VAD_CAPTURE_CLOSE);
    codes.insert(codes.end(), 5, IOCTL_VAD_RENDER_CLOSE);
    return codes;
}
std::vector<DWORD> DisableAll() {
    std::vector<DWORD> codes(11, IOCTL_VAD_CAPTURE_DISABLE);
    codes.insert(codes.end(), 5, IOCTL_VAD_RENDER_DISABLE);
    return codes;
}
std::vector<DWORD> OpenAll() {
    std::vector<DWORD> codes(11, IOCTL_VAD_CAPTURE_OPEN);
    codes.insert(codes.end(), 5, IOCTL_VAD_RENDER_OPEN);
    return codes;
}
std::vector<DWORD> Concat(std::initializer_list<std::vector<DWORD>> parts) {
    std::vector<DWORD> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::uint32_t FramesOf(const sim::VirtualAudioDriver::Request& r) {
    VAD_CONTROL_BLOCK block{};
    std::memcpy(&block, r.input.data(), sizeof block);
    return block.BufferFrames;
}

// The registry writes of the settings key, in order, as "Name=value".
std::vector<std::string> SettingsWrites(sim::Machine& machine, std::size_t fromNote = 0) {
    std::vector<std::string> writes;
    const auto notes = machine.Notes();
    for (std::size_t i = fromNote; i < notes.size(); ++i) {
        const std::string& t = notes[i].text;
        if (notes[i].source != "registry" || t.find("Quillon Virtual Device Driver") == std::string::npos) continue;
        for (const char* name : {"Enable", "Latency"}) {
            const std::string key = std::string("\\") + name + " = ";
            const auto at = t.find(key);
            if (at != std::string::npos) writes.push_back(name + std::string("=") + t.substr(at + key.size(), 1));
        }
    }
    return writes;
}

class ServiceWithDriver : public ::testing::Test {
protected:
    ServiceWithDriver() {
        driver.Install();
        harness::InstallService(machine);
    }
    ~ServiceWithDriver() override {
        if (machine.Scm().ProcessOf(harness::kServiceName) && !machine.Scm().ProcessExited(harness::kServiceName))
            harness::StopService(machine);
    }
    void Start() {
        ASSERT_TRUE(harness::StartService(machine));
        ASSERT_TRUE(machine.RunUntil([&] { return driver.OpenStreamCount() == 16; }, 2000));
        machine.RunFor(200);  // the loop has made its first passes
    }

    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
};

TEST_F(ServiceWithDriver, StartsByRegisteringHidingAllEndpointsAndOpeningAllStreams) {
    Start();
    const auto requests = driver.Requests();
    EXPECT_EQ(Codes(requests), Concat({{IOCTL_VAD_CONTROL_REGISTER}, DisableAll(), OpenAll()}));
    ASSERT_EQ(requests.size(), 33u);
    EXPECT_EQ(FramesOf(requests[0]), 192u);
    EXPECT_EQ(driver.RegisteredHeader(), 0x100u);
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        std::uint32_t local = 99;
        std::memcpy(&local, requests[1 + i].input.data(), sizeof local);
        EXPECT_EQ(local, DriverLocalIndex(i));
        VAD_STREAM_OPEN_BLOCK open{};
        std::memcpy(&open, requests[17 + i].input.data(), sizeof open);
        EXPECT_EQ(open.LocalIndex, DriverLocalIndex(i));
        EXPECT_EQ(open.Channels, StreamChannelCount(i));
        EXPECT_EQ(open.SampleRate, 48000u);
    }

    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    ASSERT_TRUE(status && command);
    EXPECT_EQ(status->stateFlags, 0u);
    EXPECT_EQ(status->settings, kSettingEnable);
    EXPECT_STREQ(status->consoleDescription, "No Quillon Connected");
    EXPECT_STREQ(status->firmwareText, "");
    EXPECT_STREQ(status->serviceVersion, "App Version: " QUILLON_VERSION_TEXT);
    // The command block is the copy taken before the start marked the console disconnected.
    EXPECT_EQ(command->settings, status->settings);
    EXPECT_EQ(command->heartbeat, status->heartbeat);
    EXPECT_STREQ(command->serviceVersion, status->serviceVersion);
    EXPECT_STREQ(command->consoleDescription, "");
}

TEST_F(ServiceWithDriver, EchoesTheTraysHeartbeatEveryPassAndNothingElseMoves) {
    Start();
    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    ASSERT_TRUE(status && command);
    for (std::uint32_t beat = 1; beat <= 5; ++beat) {
        command->heartbeat = beat * 1000;
        machine.RunFor(150);  // at least one whole pass after the write
        EXPECT_EQ(status->heartbeat, beat * 1000);
    }
    // The tray stops counting: the service keeps echoing the same value and changes nothing else.
    QuillonSharedBlock before = *status;
    driver.ClearRequests();
    const std::uint64_t writes = machine.CallCount("RegSetValueExA");
    machine.RunFor(10'000);
    EXPECT_EQ(std::memcmp(&before, &*status, sizeof before), 0);
    EXPECT_TRUE(driver.Requests().empty());
    EXPECT_EQ(machine.CallCount("RegSetValueExA"), writes);
}

TEST_F(ServiceWithDriver, BypassChangesOnlyTheRegistryAndTheStatusBlock) {
    Start();
    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    driver.ClearRequests();
    const std::size_t notesBefore = machine.Notes().size();
    command->settings = 0;  // "Bypass"
    machine.RunFor(150);
    EXPECT_EQ(status->settings, 0u);
    EXPECT_TRUE(driver.Requests().empty());
    EXPECT_EQ(SettingsWrites(machine, notesBefore), (std::vector<std::string>{"Enable=0", "Latency=0"}));
    EXPECT_EQ(machine.Reg().GetDword(kSettingsKey, "Enable"), 0u);
}

TEST_F(ServiceWithDriver, LatencyChangeReconfiguresTheDriverInOrderThenWritesTheRegistry) {
    Start();
    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    driver.ClearRequests();
    const std::size_t notesBefore = machine.Notes().size();
    command->settings = kSettingEnable | kSettingLatency;  // "Low"
    // The registry is written last, once the reconfiguration is complete.
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Reg().GetDword(kSettingsKey, "Latency") == 1u; }, 1000));
    const auto requests = driver.Requests();
    EXPECT_EQ(Codes(requests),
              Concat({CloseAll(), {IOCTL_VAD_CONTROL_RELEASE, IOCTL_VAD_CONTROL_REGISTER}, OpenAll()}));
    EXPECT_EQ(FramesOf(requests[17]), 384u);
    EXPECT_EQ(driver.RegisteredFrames(), 384u);
    EXPECT_EQ(SettingsWrites(machine, notesBefore), (std::vector<std::string>{"Enable=1", "Latency=1"}));
    // One notification thread, the fresh one, in the "Pro Audio" class at time-critical priority.
    int notifiers = 0;
    for (sim::ThreadRec* t : machine.Threads())
        if (t->alive && t->mmcssTask == "Pro Audio") {
            ++notifiers;
            EXPECT_EQ(t->priority, THREAD_PRIORITY_TIME_CRITICAL);
        }
    EXPECT_EQ(notifiers, 1);

    // Back to "Ultra-low".
    driver.ClearRequests();
    command->settings = kSettingEnable;
    ASSERT_TRUE(machine.RunUntil([&] { return driver.RegisteredFrames() == 192u && driver.OpenStreamCount() == 16; }, 1000));
}

TEST_F(ServiceWithDriver, StopHidesEndpointsWritesSettingsThenReleasesBeforeClosingStreams) {
    machine.Reg().SetDword(kSettingsKey, "Enable", 7);  // kept as read, written back as read
    Start();
    driver.ClearRequests();
    const std::size_t notesBefore = machine.Notes().size();
    ASSERT_TRUE(harness::StopService(machine));
    EXPECT_EQ(Codes(driver.Requests()), Concat({DisableAll(), {IOCTL_VAD_CONTROL_RELEASE}, CloseAll()}));
    EXPECT_EQ(SettingsWrites(machine, notesBefore), (std::vector<std::string>{"Enable=7", "Latency=0"}));
    EXPECT_EQ(machine.HandleCount(), 0u);
    ASSERT_TRUE(machine.Scm().ProcessOf(harness::kServiceName));
    EXPECT_EQ(machine.Scm().ProcessOf(harness::kServiceName)->HandlesAtExit(), 0u);  // closed before it ended
    EXPECT_EQ(machine.LiveThreadCount(), 0u);
}

TEST_F(ServiceWithDriver, WithTheBlocksUnavailableTheServiceStillDrivesTheDriver) {
    machine.InjectFailure("CreateFileMappingA", ERROR_ACCESS_DENIED, -1);
    Start();
    EXPECT_EQ(driver.RegisteredFrames(), 192u);
    EXPECT_FALSE(harness::BlockView(kStatusBlockName));
    machine.RunFor(2000);
    EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// An hour of service time with a tray that keeps changing its mind: nothing leaks, and the driver sees
// exactly the reconfigurations the latency changes call for. The sanitizer builds, ten to thirty times
// slower, run ten minutes of it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kTogglingSeconds = 600;
#else
constexpr int kTogglingSeconds = 3600;
#endif

TEST_F(ServiceWithDriver, SoakOneHourOfSettingsToggles) {
    Start();
    harness::BlockView status(kStatusBlockName), command(kCommandBlockName);
    ASSERT_TRUE(status && command);
    const std::size_t handlesAtStart = machine.HandleCount();
    const std::size_t threadsAtStart = machine.LiveThreadCount();
    driver.ClearRequests();
    int latencyChanges = 0;
    std::uint32_t settings = command->settings;
    for (int second = 1; second <= kTogglingSeconds; ++second) {
        command->heartbeat = static_cast<std::uint32_t>(second);
        if (second % 3 == 0) settings ^= kSettingEnable;
        if (second % 7 == 0) {
            settings ^= kSettingLatency;
            ++latencyChanges;
        }
        command->settings = settings;
        machine.RunFor(1000);
        ASSERT_EQ(status->settings, settings) << second;
        ASSERT_EQ(status->heartbeat, static_cast<std::uint32_t>(second));
    }
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_CONTROL_REGISTER), static_cast<std::size_t>(latencyChanges));
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_CONTROL_RELEASE), static_cast<std::size_t>(latencyChanges));
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_CAPTURE_OPEN), 11u * latencyChanges);
    EXPECT_EQ(driver.CountRequests(IOCTL_VAD_RENDER_CLOSE), 5u * latencyChanges);
    EXPECT_EQ(driver.Requests().size(), 34u * latencyChanges);
    EXPECT_EQ(machine.HandleCount(), handlesAtStart);
    EXPECT_EQ(machine.LiveThreadCount(), threadsAtStart);
}

}  // namespace
