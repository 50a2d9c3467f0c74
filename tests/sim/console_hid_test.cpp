// The console's simulated HID interface through the Win32 and hid.dll calls: its node and identity, the
// channel-mask exchange on the machine clock, and unplugging with requests in flight.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/simwin/simwin.h"

namespace {

class ConsoleHidTest : public ::testing::Test {
protected:
    ConsoleHidTest() { console.Plug(); }
    ~ConsoleHidTest() override {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }

    // Opens the vendor collection (the second of the interface's two top-level collections).
    void Open() {
        file = OpenCollection(1);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE OpenCollection(std::size_t index) {
        const auto interfaces = machine.Devices().Interfaces(sim::kHidInterfaceClass);
        EXPECT_EQ(interfaces.size(), 2u);
        if (interfaces.size() <= index) return INVALID_HANDLE_VALUE;
        return CreateFileW(interfaces[index].path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    // The report ids of a collection's value caps of one type.
    static std::vector<int> ReportIds(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type) {
        HIDP_VALUE_CAPS caps[4];
        USHORT count = 4;
        EXPECT_EQ(HidP_GetValueCaps(type, caps, &count, preparsed), HIDP_STATUS_SUCCESS);
        std::vector<int> ids;
        for (USHORT i = 0; i < count; ++i) ids.push_back(caps[i].ReportID);
        return ids;
    }

    sim::Machine machine;
    sim::ConsoleConfig config = [] {
        sim::ConsoleConfig c;
        c.model = sim::ConsoleModel::Alto2026;
        c.firmwareVersion = 0x1234;
        return c;
    }();
    sim::Console console{machine, config};
    HANDLE file = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
};

TEST_F(ConsoleHidTest, TheHidNodeCarriesTheConsolesContainerAndAnswersTheIdentityCalls) {
    // Both collections are in the console's container; their base container id differs from it.
    for (const std::string& node : {console.ConsumerControlInstanceId(), console.HidInstanceId()}) {
        const auto container = machine.Devices().Property(node, DEVPKEY_Device_ContainerId);
        const auto base = machine.Devices().Property(node, DEVPKEY_Device_BaseContainerId);
        ASSERT_TRUE(container && base);
        ASSERT_EQ(container->data.size(), 16u);
        EXPECT_EQ(std::memcmp(container->data.data(), &config.containerId, 16), 0);
        EXPECT_NE(container->data, base->data);
    }
    // The consumer-control collection, listed first, has input report 3 and no output report.
    HANDLE consumer = OpenCollection(0);
    ASSERT_NE(consumer, INVALID_HANDLE_VALUE);
    PHIDP_PREPARSED_DATA consumerData = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(consumer, &consumerData));
    HIDP_CAPS consumerCaps{};
    EXPECT_EQ(HidP_GetCaps(consumerData, &consumerCaps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(consumerCaps.UsagePage, 0x0C);
    EXPECT_EQ(consumerCaps.OutputReportByteLength, 0);
    EXPECT_EQ(ReportIds(consumerData, HidP_Input), (std::vector<int>{3}));
    EXPECT_TRUE(ReportIds(consumerData, HidP_Output).empty());
    HidD_FreePreparsedData(consumerData);
    CloseHandle(consumer);
    Open();
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    ASSERT_TRUE(HidD_GetAttributes(file, &attributes));
    EXPECT_EQ(attributes.VendorID, 0x7A3E);
    EXPECT_EQ(attributes.ProductID, 0x0094);
    EXPECT_EQ(attributes.VersionNumber, 0x1234);
    WCHAR serial[127];
    std::memset(serial, 0xEE, sizeof serial);
    ASSERT_TRUE(HidD_GetSerialNumberString(file, serial, sizeof serial));
    EXPECT_EQ(std::u16string(serial), u"QA26000172");
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(HidD_GetPreparsedData(file, &preparsed));
    HIDP_CAPS caps{};
    EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_EQ(caps.InputReportByteLength, 64);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_EQ(ReportIds(preparsed, HidP_Input), (std::vector<int>{2}));
    EXPECT_EQ(ReportIds(preparsed, HidP_Output), (std::vector<int>{1}));
    USHORT none = 0;  // no room: the count is what fits, and the status says more exist
    EXPECT_EQ(HidP_GetValueCaps(HidP_Input, nullptr, &none, preparsed), HIDP_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sim::LivePreparsedData(), 1);
    EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
    EXPECT_EQ(sim::LivePreparsedData(), 0);

    // A serial as long as the caller's buffer comes back without a terminator, as Windows copies it.
    console.Hid().SetSerial(std::u16string(127, u'7'));
    std::memset(serial, 0, sizeof serial);
    ASSERT_TRUE(HidD_GetSerialNumberString(file, serial, sizeof serial));
    EXPECT_EQ(serial[126], u'7');
}

TEST_F(ConsoleHidTest, ARequestIsAnsweredOnTheClockWithTheMaskOfThatMoment) {
    Open();
    console.Hid().SetChannelMask(0x1080);
    // A write one byte short or long of the 65-byte output report is refused at once.
    BYTE request[66] = {0x01, 0x49};
    for (const DWORD length : {64u, 66u}) {
        EXPECT_FALSE(WriteFile(file, request, length, nullptr, &ov));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(console.Hid().WritesRefusedForLength(), 2u);
    EXPECT_EQ(console.Hid().RequestsReceived(), 0u);
    const auto start = machine.NowMs();
    EXPECT_FALSE(WriteFile(file, request, 65, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    BYTE reply[64] = {};
    OVERLAPPED readOv{};
    readOv.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(ReadFile(file, reply, sizeof reply, nullptr, &readOv));
    console.Hid().SetChannelMask(0x2080);  // pressed before the console answered
    EXPECT_EQ(WaitForSingleObject(readOv.hEvent, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(machine.NowMs() - start, 4u);
    EXPECT_EQ(reply[0], 0x02);
    EXPECT_EQ(reply[1], 0x41);
    EXPECT_EQ(reply[2] | (reply[3] << 8), 0x2080);

    // Every open handle gets each report in a queue of its own; flushing one leaves the others.
    HANDLE second = OpenCollection(1);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(file, request, 65, nullptr, &ov));
    machine.RunFor(10);
    EXPECT_EQ(console.Hid().QueuedReplies(), 2u);
    EXPECT_TRUE(HidD_FlushQueue(file));
    EXPECT_EQ(console.Hid().QueuedReplies(), 1u);
    BYTE queued[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(second, queued, sizeof queued, &read, &readOv));
    EXPECT_EQ(read, 64u);
    EXPECT_EQ(queued[0], 0x02);
    CloseHandle(second);

    // An output report other than the request gets no reply; a read then waits until unplugged.
    BYTE other[65] = {0x01, 0x50};
    EXPECT_FALSE(WriteFile(file, other, sizeof other, nullptr, &ov));
    EXPECT_FALSE(ReadFile(file, reply, sizeof reply, nullptr, &readOv));
    EXPECT_EQ(WaitForSingleObject(readOv.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    console.Unplug();
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &readOv, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(readOv.hEvent);
    EXPECT_EQ(console.Hid().RequestsReceived(), 2u);
}

}  // namespace
