// The console's simulated HID interface through the Win32 and hid.dll calls: its node and identity, the
// channel-mask exchange on the machine clock, and unplugging with requests in flight.
#include <gtest/gtest.h>

#include <cstring>

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

    void Open() {
        const auto interfaces = machine.Devices().Interfaces(sim::kHidInterfaceClass);
        ASSERT_EQ(interfaces.size(), 1u);
        file = CreateFileW(interfaces[0].path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
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
    EXPECT_EQ(machine.Devices().Property(console.HidInstanceId(), DEVPKEY_Device_BaseContainerId)->data.size(), 16u);
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
    EXPECT_EQ(caps.OutputReportByteLength, 64);
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
    BYTE request[64] = {0x01, 0x49};
    const auto start = machine.NowMs();
    EXPECT_FALSE(WriteFile(file, request, sizeof request, nullptr, &ov));
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

    // An output report other than the request gets no reply; a read then waits until unplugged.
    BYTE other[64] = {0x01, 0x50};
    EXPECT_FALSE(WriteFile(file, other, sizeof other, nullptr, &ov));
    EXPECT_FALSE(ReadFile(file, reply, sizeof reply, nullptr, &readOv));
    EXPECT_EQ(WaitForSingleObject(readOv.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    console.Unplug();
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &readOv, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(readOv.hEvent);
    EXPECT_EQ(console.Hid().RequestsReceived(), 1u);
}

}  // namespace
