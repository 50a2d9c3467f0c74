// The supervisor's endpoint and HID paths with a console attached without streaming, and the mends to
// its threads and events: what a user sees in the endpoint list and the tray's status block.
#include <gtest/gtest.h>

#include "Service/Quillon/supervisor/ConsoleHidLink.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/Quillon/vdriver/VadProtocol.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/scm.h"
#include "platform/sim/include/sim/text.h"
#include "tests/service/endpoint_scene.h"

namespace {

using Flow = sim::EndpointStore::Flow;

constexpr char kSettingsKey[] = "HKLM\\SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";

std::string Visible(scene::Scene& s) {
    std::string shown;
    for (int i = 0; i < 16; ++i) shown += s.Store().Visible(sim::VirtualDriverEndpointId(i)).value_or(false) ? 'x' : '.';
    return shown;
}

std::string NameOf(scene::Scene& s, int i) {
    return s.Store().Name(i < 11 ? Flow::Capture : Flow::Render, sim::VirtualDriverEndpointGuid(i)).value_or("");
}

TEST(EndpointSupervisor, AnAttachedConsoleShowsItsChannelsFollowsItsMaskAndHidesAllWhenItGoes) {
    scene::Scene s;
    sim::Console& console = s.Plug();
    console.Hid().SetChannelMask(0x3080);  // System, Game, Music
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        EXPECT_EQ(Visible(s), "................");
        ConsoleHidLink& link = supervisor.m_StreamManager.SpareHidLink();
        ASSERT_TRUE(OpenByContainerId(console.Config().containerId, link));

        s.Store().InterfereWithNameWrites(6);  // the audio service fights over the first name
        supervisor.AnnounceConsole(QuillonAlto(), true);
        EXPECT_EQ(Visible(s), "xxxxxxxxxx.xxx..");  // Alto has no headset; mask: 11, 12, 13
        EXPECT_EQ(supervisor.m_RenamePending[0], 1);
        QuillonSharedBlock* status = supervisor.StatusView();
        ASSERT_NE(status, nullptr);
        EXPECT_STREQ(status->consoleDescription, "Quillon Alto (QA26000172)");
        EXPECT_STREQ(status->firmwareText, "Firmware Version: 1.23");

        // The naming window's retries: the first pass after the writer stopped completes the name.
        for (int i = 0; i < 16; ++i)
            if (supervisor.m_RenamePending[i]) RenameEndpoint(supervisor, i);
        EXPECT_EQ(supervisor.m_RenamePending[0], 0);

        // The user presses the console's channel buttons; the next health check follows.
        console.Hid().SetChannelMask(0xC000);
        Sleep(500);
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        EXPECT_EQ(Visible(s), "xxxxxxxxxx....xx");

        supervisor.MarkDisconnected();
        EXPECT_EQ(Visible(s), "................");
        EXPECT_EQ(supervisor.m_ChannelMask, 0);
        EXPECT_STREQ(status->consoleDescription, "No Quillon Connected");
        CloseLink(link);
    }));
    for (int i : {0, 1, 5, 6, 7, 8, 9}) EXPECT_NE(NameOf(s, i).rfind("Line", 0), 0u) << i;
    EXPECT_EQ(NameOf(s, 0), "System");
    EXPECT_EQ(NameOf(s, 6), "PadBank");
    EXPECT_EQ(NameOf(s, 10), "Line 11");  // never shown, never named
    EXPECT_EQ(NameOf(s, 15), "Virtual B");
    EXPECT_EQ(s.Store().LiveObjects(), 0);
    EXPECT_EQ(s.Store().LiveTaskMemory(), 0);
    EXPECT_EQ(s.machine.HandleCount(), 0u);
}

// The running service: every driver endpoint is hidden under its learned identifier at start and at
// stop, and nothing of COM is left behind.
TEST(EndpointSupervisor, TheServiceHidesEveryDriverEndpointAtStartAndAtStop) {
    scene::Scene s;
    s.Plug();
    harness::InstallService(s.machine);
    ASSERT_TRUE(harness::StartService(s.machine));
    ASSERT_TRUE(s.machine.RunUntil([&] { return s.driver.OpenStreamCount() == 16; }, 2000));
    auto calls = s.Store().VisibilityCalls();
    // The first sixteen calls are the start's hides; the plugged console's bridge may already be showing
    // its endpoints after them.
    ASSERT_GE(calls.size(), 16u);
    for (int i = 0; i < 16; ++i) {
        EXPECT_FALSE(calls[i].nullId) << i;
        EXPECT_FALSE(calls[i].visible) << i;
        EXPECT_EQ(sim::Lower(calls[i].id), sim::Lower(sim::VirtualDriverEndpointId(i))) << i;
    }
    // The console's own endpoints are never hidden.
    EXPECT_EQ(s.Store().Visible(s.console->RenderEndpointId()), std::nullopt);
    s.Store().ClearVisibilityCalls();
    ASSERT_TRUE(harness::StopService(s.machine));
    EXPECT_EQ(s.Store().VisibilityCalls().size(), 16u);
    EXPECT_EQ(s.Store().LiveObjects(), 0);
    EXPECT_EQ(s.Store().LiveTaskMemory(), 0);
    EXPECT_EQ(s.machine.HandleCount(), 0u);
}

TEST(EndpointSupervisor, AModelWithoutCaptureShowsOnlyWhatItsMaskAsks) {
    scene::Scene s;
    sim::ConsoleConfig config;
    config.model = sim::ConsoleModel::BassoAlt;
    sim::Console& console = s.Plug(config);
    console.Hid().SetChannelMask(0xFFFF);
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        ASSERT_TRUE(OpenByContainerId(console.Config().containerId, supervisor.m_StreamManager.SpareHidLink()));
        supervisor.AnnounceConsole(QuillonBassoAlt(), false);
        EXPECT_EQ(Visible(s), "...........xxxxx");
        EXPECT_STREQ(supervisor.StatusView()->consoleDescription, "Quillon Basso (QA26000172)");
    }));
}

// A supervisor built while the driver is absent, with "Latency" = 1, reconfigures a closed channel:
// no notification thread may start on it.
TEST(EndpointSupervisor, AClosedChannelStartsNoNotificationThread) {
    scene::Scene s(false);
    s.machine.Reg().SetDword(kSettingsKey, "Latency", 1);
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        EXPECT_FALSE(supervisor.HasDevice());
        EXPECT_EQ(supervisor.m_Channel.NotifierThread(), INVALID_HANDLE_VALUE);
        supervisor.m_Channel.StartNotifier();
        EXPECT_EQ(supervisor.m_Channel.NotifierThread(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(s.machine.LiveThreadCount(), 1u);  // this one
    }));
}

// Events that could not be created hold -1, the process's own pseudo handle: nothing may wait on it,
// give it to the driver, or start a thread that could only be stopped through it.
TEST(EndpointSupervisor, AChannelWithoutItsEventsRegistersNothingAndStartsNoThread) {
    scene::Scene s;
    ASSERT_TRUE(s.InService([&] {
        s.machine.InjectFailure("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, -1);
        {
            CVirtualDriverChannel channel;
            EXPECT_TRUE(channel.IsOpen());
            EXPECT_EQ(channel.NotifierThread(), INVALID_HANDLE_VALUE);
            std::uint32_t length = 0;
            EXPECT_FALSE(channel.OpenStream(0, length));
        }
        s.machine.ClearFailures();
    }));
    EXPECT_EQ(s.driver.RegisteredFrames(), 0u);
    EXPECT_EQ(s.driver.CountRequests(IOCTL_VAD_CONTROL_REGISTER), 0u);
    EXPECT_EQ(s.driver.CountRequests(IOCTL_VAD_CAPTURE_OPEN), 0u);
}

TEST(EndpointSupervisor, AServiceWithoutItsStopEventStopsInsteadOfHangingInStopPending) {
    sim::Machine machine;
    harness::InstallService(machine);
    machine.InjectFailure("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 1);  // the stop event, made first
    ASSERT_TRUE(machine.Scm().Start(harness::kServiceName));
    ASSERT_TRUE(machine.RunUntil([&] { return machine.Scm().ProcessExited(harness::kServiceName); }, 10'000));
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : machine.Scm().History(harness::kServiceName))
        states.push_back(status.dwCurrentState);
    // Stopped at once with its cause, so that the recovery actions start it again.
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(machine.Scm().Status(harness::kServiceName).dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
}

}  // namespace
