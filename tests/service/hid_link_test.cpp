// The console's HID link: finding it by container id, what it reads when it opens, the channel-mask
// exchange on the machine clock with its time-outs and faults, and the identity texts.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "Service/Quillon/supervisor/ConsoleHidLink.h"
#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/Quillon/vdriver/VadProtocol.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/hid.h"
#include "platform/sim/include/sim/text.h"
#include "tests/service/endpoint_scene.h"

namespace {

using Faults = sim::ConsoleHid::Faults;

std::string Text(const char* s) { return s ? s : "<null>"; }

TEST(HidIdentityText, FirmwareDigitsPrintAsDecimalNumbersAroundTheDot) {
    char text[kConsoleTextBytes];
    const std::pair<std::uint16_t, const char*> cases[] = {
        {0x0123, "Firmware Version: 1.23"}, {0x1234, "Firmware Version: 12.34"}, {0x0100, "Firmware Version: 1.00"},
        {0x0A10, "Firmware Version: 10.10"}, {0x0000, "Firmware Version: 0.00"}, {0xFFFF, "Firmware Version: 1515.1515"},
    };
    for (const auto& [version, expected] : cases) {
        FormatFirmwareText(version, text);
        EXPECT_STREQ(text, expected) << std::hex << version;
    }
}

TEST(HidIdentityText, TheDescriptionIsBoundedWhateverTheSerialHolds) {
    char text[kConsoleTextBytes];
    WCHAR serial[127] = {};
    const char16_t plain[] = u"QA26000172";
    std::memcpy(serial, plain, sizeof plain);
    sim::Machine machine;
    FormatConsoleDescription("Quillon Alto", serial, text);
    EXPECT_STREQ(text, "Quillon Alto (QA26000172)");

    // Latin-1 converts to the code page, anything else becomes the default character.
    const char16_t accented[] = u"Q\u00e9\u20ac1";
    std::memset(serial, 0, sizeof serial);
    std::memcpy(serial, accented, sizeof accented);
    FormatConsoleDescription("Quillon Basso", serial, text);
    EXPECT_STREQ(text, "Quillon Basso (Q\xe9?1)");

    // 127 units with no terminator: cut to the field's 63 bytes, terminated.
    for (WCHAR& c : serial) c = u'9';
    FormatConsoleDescription("Quillon Alto", serial, text);
    EXPECT_EQ(std::strlen(text), 63u);
    EXPECT_EQ(std::string(text).substr(0, 14), "Quillon Alto (");

    // A serial that does not convert leaves an empty, terminated serial.
    machine.InjectFailure("WideCharToMultiByte", ERROR_NO_UNICODE_TRANSLATION, 1);
    FormatConsoleDescription("Quillon Alto", serial, text);
    EXPECT_STREQ(text, "Quillon Alto ()");
}

TEST(HidMaskTable, OnlyBitSevenAndTheTopFourBitsStandForEndpoints) {
    for (int bit = 0; bit < 16; ++bit) {
        const int expected = bit == 7 ? 11 : bit >= 12 ? bit : -1;
        EXPECT_EQ(StreamForMaskBit(bit), expected) << bit;
    }
}

class HidLink : public ::testing::Test {
protected:
    // Opens the console's link on the machine (host thread).
    bool Open(ConsoleHidLink& link) { return OpenByContainerId(s.console->Config().containerId, link); }

    scene::Scene s{false};
};

TEST_F(HidLink, OpensTheHidInterfaceOfTheSameContainerAndReadsItsIdentity) {
    sim::ConsoleConfig config;
    config.model = sim::ConsoleModel::Basso2026;
    config.firmwareVersion = 0x0A10;
    s.Plug(config);
    sim::AddOtherHidDevice(s.machine, "HID\\VID_046D&PID_C52B\\1&0001",
                           GUID{0x11111111, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}});  // another container
    {
        ConsoleHidLink link;
        ASSERT_TRUE(Open(link));
        EXPECT_TRUE(link.IsOpen());
        EXPECT_NE(link.m_Overlapped.hEvent, INVALID_HANDLE_VALUE);
        EXPECT_EQ(link.m_VendorId, 0x7A3E);
        EXPECT_EQ(link.m_ProductId, 0x0095);
        EXPECT_EQ(link.m_VersionNumber, 0x0A10);
        EXPECT_EQ(link.m_InputReportLength, 64u);
        EXPECT_EQ(link.m_OutputReportLength, 65u);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(link.m_SerialNumber)), u"QA26000172");
        EXPECT_EQ(Text(link.m_pszDevicePath).find("\\\\?\\HID#VID_7A3E&PID_0095&MI_03&COL02#"), 0u) << Text(link.m_pszDevicePath);
        // The link holds its own handles: the temporary one used while opening is gone.
        EXPECT_EQ(s.machine.HandleCount("File"), 1u);
        EXPECT_EQ(sim::LivePreparsedData(), 0);

        ConsoleHidLink copy;
        CopyFrom(copy, link);
        EXPECT_NE(copy.m_hFile, link.m_hFile);
        EXPECT_EQ(Text(copy.m_pszDevicePath), Text(link.m_pszDevicePath));
        CopyFrom(copy, copy);  // a copy onto itself keeps the link
        EXPECT_TRUE(copy.IsOpen());
        CloseLink(link);
        EXPECT_FALSE(link.IsOpen());
        EXPECT_EQ(link.m_Overlapped.hEvent, INVALID_HANDLE_VALUE);
        EXPECT_EQ(link.m_pszDevicePath, nullptr);
        EXPECT_TRUE(copy.IsOpen());  // independent of the source
    }
    EXPECT_EQ(s.machine.HandleCount(), 0u);
}

TEST_F(HidLink, TheContainerIdDecidesTheBaseContainerOnlyWithoutItAndTheCollectionWithTheReportsWins) {
    const GUID container = sim::ConsoleConfig{}.containerId;
    // Another product's HID device claiming the console's container, plugged first: the console's
    // collection with the channel-mask reports is still the one used; without it, the first that opens.
    sim::AddOtherHidDevice(s.machine, "HID\\VID_046D&PID_C52B\\1&0002", container);
    s.Plug();
    ConsoleHidLink link;
    ASSERT_TRUE(Open(link));
    EXPECT_EQ(link.m_VendorId, 0x7A3E);
    EXPECT_EQ(link.m_OutputReportLength, 65u);
    CloseLink(link);
    s.machine.Devices().RemoveDevice(s.console->HidInstanceId());
    ASSERT_TRUE(Open(link));
    EXPECT_EQ(link.m_VendorId, 0x046D);
    CloseLink(link);
    s.console->Unplug();
    s.console->Plug();

    s.machine.Devices().RemoveDevice("HID\\VID_046D&PID_C52B\\1&0002");
    // The vendor collection's container id as text: it is not the container's. The consumer-control
    // collection still is, and is used for want of another.
    s.console->ContainerIdAsString();
    ConsoleHidLink second;
    ASSERT_TRUE(Open(second));
    EXPECT_EQ(second.m_OutputReportLength, 0u);
    CloseLink(second);
    // Without a container id the base container id decides; it differs from the container (as Windows
    // allows), so the node is not the console's until it names the container.
    s.console->HideContainerId();
    ASSERT_TRUE(Open(second));
    EXPECT_EQ(second.m_OutputReportLength, 0u);
    CloseLink(second);
    s.console->BaseContainerIsTheContainer();
    ASSERT_TRUE(Open(second));
    EXPECT_EQ(second.m_OutputReportLength, 65u);
    CloseLink(second);
    s.machine.Devices().RemoveDevice(s.console->ConsumerControlInstanceId());
    s.console->ContainerIdAsString();
    EXPECT_FALSE(Open(second));  // the base container id is not read while a container id is there
    EXPECT_FALSE(OpenByContainerId(GUID{}, second));
    EXPECT_EQ(s.machine.HandleCount("DevInfoSet"), 0u);
}

TEST_F(HidLink, IdentityThatCannotBeReadLeavesZeroFieldsAndAnEmptySerial) {
    s.Plug();
    Faults faults;
    faults.identityFails = true;
    s.console->Hid().SetFaults(faults);
    ConsoleHidLink link;
    ASSERT_TRUE(Open(link));
    EXPECT_EQ(link.m_VersionNumber, 0);
    EXPECT_EQ(link.m_InputReportLength, 0u);
    EXPECT_EQ(link.m_SerialNumber[0], 0);
}

// The supervisor side of the exchange, on a service thread, in virtual time.
class HidPoll : public ::testing::Test {
protected:
    HidPoll() { s.Plug(); }

    // Opens the link into the stream manager's spare, attaches `model` and runs `body`.
    void WithSupervisor(const std::function<void(CConsoleSupervisor&, ConsoleHidLink&)>& body) {
        ASSERT_TRUE(s.InService([&] {
            CConsoleSupervisor supervisor;
            scene::StopLoop(supervisor);
            ConsoleHidLink& link = supervisor.m_StreamManager.SpareHidLink();
            ASSERT_TRUE(OpenByContainerId(s.console->Config().containerId, link));
            supervisor.m_pCurrentModel = &QuillonAlto();
            s.Store().ClearVisibilityCalls();
            s.driver.ClearRequests();
            body(supervisor, link);
            CloseLink(link);
        }));
        EXPECT_EQ(s.Store().LiveObjects(), 0);
        EXPECT_EQ(s.console->Hid().PendingRequests(), 0u);
    }

    // Render endpoints shown and hidden since the last clear, as "+11" / "-12".
    std::vector<std::string> VisibilityChanges() {
        std::vector<std::string> changes;
        for (const auto& call : s.Store().VisibilityCalls())
            for (int i = 11; i < 16; ++i)
                if (!call.nullId && sim::Lower(call.id) == sim::Lower(sim::VirtualDriverEndpointId(i)))
                    changes.push_back((call.visible ? "+" : "-") + std::to_string(i));
        return changes;
    }

    scene::Scene s;
};

TEST_F(HidPoll, MaskBitsChangeOnlyTheirEndpointsAndTheMaskIsKeptEitherWay) {
    WithSupervisor([&](CConsoleSupervisor& supervisor, ConsoleHidLink& link) {
        s.console->Hid().SetChannelMask(0x0F7F);  // bits 0-6 and 8-11: no endpoint
        const auto start = s.machine.NowMs();
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        std::cout << "HID poll round trip: " << (s.machine.NowMs() - start) << " ms of machine time\n";
        EXPECT_EQ(s.machine.NowMs() - start, 4u);  // the console answers 4 ms after the request
        EXPECT_EQ(supervisor.m_ChannelMask, 0x0F7F);
        EXPECT_TRUE(s.driver.Requests().empty());
        EXPECT_TRUE(s.Store().VisibilityCalls().empty());

        s.console->Hid().SetChannelMask(0x0080);  // bit 7 alone
        supervisor.m_ChannelMask = 0;
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        EXPECT_EQ(VisibilityChanges(), (std::vector<std::string>{"+11"}));
        const auto requests = s.driver.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, IOCTL_VAD_RENDER_ENABLE);

        s.Store().ClearVisibilityCalls();
        s.console->Hid().SetChannelMask(0xA000);  // user switches: System off, Music and Virtual B on
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        EXPECT_EQ(VisibilityChanges(), (std::vector<std::string>{"-11", "+13", "+15"}));
        EXPECT_EQ(supervisor.m_ChannelMask, 0xA000);

        s.Store().ClearVisibilityCalls();
        EXPECT_TRUE(PollChannelMask(supervisor, link));  // unchanged: nothing to do
        EXPECT_TRUE(VisibilityChanges().empty());
        EXPECT_EQ(s.console->Hid().RequestsReceived(), 4u);
    });
}

TEST_F(HidPoll, AConsoleThatDoesNotAnswerInTwoSecondsIsCancelledAndChangesNothing) {
    WithSupervisor([&](CConsoleSupervisor& supervisor, ConsoleHidLink& link) {
        s.console->Hid().SetChannelMask(0xF080);
        Faults faults;
        faults.neverAnswers = true;
        s.console->Hid().SetFaults(faults);
        auto start = s.machine.NowMs();
        auto cancels = s.machine.CallCount("CancelIo");
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        // The write (1 ms), then the read's 2000 ms, which end on a tick of the system timer (15.625 ms:
        // no bridge runs, so the service has not asked for a finer one).
        EXPECT_NEAR(static_cast<double>(s.machine.NowMs() - start), 2001.0, 16.0);
        EXPECT_EQ(s.machine.CallCount("CancelIo") - cancels, 1u);
        EXPECT_EQ(supervisor.m_ChannelMask, 0);

        faults = Faults{};
        faults.writesNeverComplete = true;
        faults.neverAnswers = true;
        s.console->Hid().SetFaults(faults);
        start = s.machine.NowMs();
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_NEAR(static_cast<double>(s.machine.NowMs() - start), 2000.0, 16.0);

        // A late answer (2.5 s) misses its poll and waits in the handle's queue; the next poll flushes
        // it first and takes the reply to its own request, with the mask as it is now.
        faults = Faults{};
        faults.replyDelayMs = 2500;
        s.console->Hid().SetFaults(faults);
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        Sleep(600);
        EXPECT_EQ(s.console->Hid().QueuedReplies(), 1u);
        s.console->Hid().SetFaults(Faults{});
        s.console->Hid().SetChannelMask(0xF000);
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        EXPECT_EQ(supervisor.m_ChannelMask, 0xF000);
        EXPECT_EQ(s.console->Hid().QueuedReplies(), 0u);
        EXPECT_TRUE(s.Store().VisibilityCalls().size() >= 4u);
    });
}

TEST_F(HidPoll, RefusedWritesWrongRepliesAndOversizedReportsAreIgnored) {
    WithSupervisor([&](CConsoleSupervisor& supervisor, ConsoleHidLink& link) {
        s.console->Hid().SetChannelMask(0x1000);
        Faults faults;
        faults.refuseWrites = true;
        s.console->Hid().SetFaults(faults);
        const auto start = s.machine.NowMs();
        const auto cancels = s.machine.CallCount("CancelIo");
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_EQ(s.machine.NowMs(), start);  // no wait at all
        EXPECT_EQ(s.machine.CallCount("CancelIo") - cancels, 1u);

        faults = Faults{};
        faults.replyReportId = 0x03;
        s.console->Hid().SetFaults(faults);
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        faults = Faults{};
        faults.replyFirstByte = 0x42;
        s.console->Hid().SetFaults(faults);
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_EQ(supervisor.m_ChannelMask, 0);
        EXPECT_TRUE(s.Store().VisibilityCalls().empty());

        // Reports longer than the 256-byte reply buffer: the device is unusable for the poll and
        // nothing is sent to it.
        const auto requests = s.console->Hid().RequestsReceived();
        link.m_InputReportLength = 300;
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        link.m_InputReportLength = 0;
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_EQ(s.console->Hid().RequestsReceived(), requests);
        link.m_InputReportLength = 64;
        s.console->Hid().SetFaults(Faults{});
        // A write one byte short or long of the output report is refused, as Windows refuses it; the
        // capabilities' length (65) is what the poll sends.
        for (const std::uint32_t length : {64u, 66u}) {
            link.m_OutputReportLength = length;
            EXPECT_FALSE(PollChannelMask(supervisor, link)) << length;
        }
        EXPECT_EQ(s.console->Hid().WritesRefusedForLength(), 2u);
        link.m_OutputReportLength = 65;
        // A write that pends and then fails (the console gone mid-request): the end of the wait is no
        // success, the completion says so, and no read follows.
        const auto reads = s.machine.CallCount("ReadFile");
        s.machine.InjectFailure("GetOverlappedResult", ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_EQ(s.machine.CallCount("ReadFile"), reads);
        EXPECT_EQ(supervisor.m_ChannelMask, 0);
        EXPECT_TRUE(PollChannelMask(supervisor, link));
        EXPECT_EQ(supervisor.m_ChannelMask, 0x1000);
        EXPECT_EQ(s.console->Hid().WritesRefusedForLength(), 2u);
    });
}

TEST_F(HidPoll, ALinkWhoseEventCouldNotBeCreatedNeverWaitsOnIt) {
    ASSERT_TRUE(s.InService([&] {
        CConsoleSupervisor supervisor;
        scene::StopLoop(supervisor);
        ConsoleHidLink& link = supervisor.m_StreamManager.SpareHidLink();
        s.machine.Devices().RemoveDevice(s.console->ConsumerControlInstanceId());  // one collection to open
        s.machine.InjectFailure("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 1);
        ASSERT_TRUE(OpenByContainerId(s.console->Config().containerId, link));
        EXPECT_EQ(link.m_Overlapped.hEvent, INVALID_HANDLE_VALUE);
        const auto start = s.machine.NowMs();
        EXPECT_FALSE(PollChannelMask(supervisor, link));
        EXPECT_EQ(s.machine.NowMs(), start);
        EXPECT_EQ(s.console->Hid().RequestsReceived(), 0u);
    }));
}

TEST_F(HidPoll, PublishingWritesTheConnectedFlagTheDescriptionAndTheFirmwareText) {
    WithSupervisor([&](CConsoleSupervisor& supervisor, ConsoleHidLink& link) {
        PublishConsoleIdentity(supervisor, QuillonAlto(), link);
        QuillonSharedBlock* status = supervisor.StatusView();
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(status->stateFlags & kStateConsoleConnected, kStateConsoleConnected);
        EXPECT_STREQ(status->consoleDescription, "Quillon Alto (QA26000172)");
        EXPECT_STREQ(status->firmwareText, "Firmware Version: 1.23");

        const char16_t longSerial[] = u"SERIAL-0123456789-0123456789-0123456789-0123456789";
        std::memcpy(link.m_SerialNumber, longSerial, sizeof longSerial);
        PublishConsoleIdentity(supervisor, QuillonAlto(), link);
        EXPECT_EQ(std::string(status->consoleDescription),
                  std::string("Quillon Alto (SERIAL-0123456789-0123456789-0123456789-012345678"));
        EXPECT_EQ(status->consoleDescription[63], 0);
    });
}

}  // namespace
