// SetupAPI enumeration over the device tree, and device files routed to a small test device.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace {

DEFINE_GUID(kAudioClass, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(kHidClass, 0x4D1E55B2, 0xF16F, 0x11CF, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30);
DEFINE_GUID(kMediaSetupClass, 0x4D36E96C, 0xE325, 0x11CE, 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18);

constexpr DWORD kEcho = CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kSlow = CTL_CODE(0x22, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kSize = CTL_CODE(0x22, 3, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Echoes its input; kSlow completes 5 ms later on the machine clock; kSize wants 64 bytes.
class EchoDevice : public sim::Device {
public:
    explicit EchoDevice(sim::Machine& m) : machine(m) {}
    DWORD Open(sim::File& file) override {
        opens.push_back(file.reference);
        return refuse;
    }
    void Close(sim::File&) override { ++closes; }
    DWORD Io(sim::File& file, const std::shared_ptr<sim::IoRequest>& r) override {
        codes.push_back(r->code);
        if (r->code == kSlow) {
            std::lock_guard lock(machine.Mutex());
            machine.AddTimerLocked(machine.Now() + 5 * sim::kTicksPerMs, [r] { r->CompleteLocked(ERROR_SUCCESS, 4); });
            return ERROR_IO_PENDING;
        }
        if (r->code == kSize) {
            r->information = 64;
            return ERROR_MORE_DATA;
        }
        return Device::Io(file, r);
    }
    DWORD Control(sim::File&, DWORD, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) override {
        const DWORD n = std::min(inSize, outSize);
        std::memcpy(out, in, n);
        *returned = n;
        return ERROR_SUCCESS;
    }
    void Removed() override { ++removals; }
    DWORD CreatePin(sim::File&, void*, ACCESS_MASK, std::shared_ptr<sim::Device>* pin) override {
        if (!pins) return ERROR_NOT_SUPPORTED;
        *pin = std::make_shared<EchoDevice>(machine);
        return ERROR_SUCCESS;
    }
    sim::Machine& machine;
    DWORD refuse = ERROR_SUCCESS;
    bool pins = false;
    std::vector<std::string> opens;
    std::vector<DWORD> codes;
    int closes = 0;
    int removals = 0;
};

struct Plugged {
    std::shared_ptr<EchoDevice> device;
    std::u16string path;
};

// A USB composite device with an audio child (one KS-style interface) and a HID child.
Plugged PlugConsole(sim::Machine& machine, const std::string& serial) {
    auto device = std::make_shared<EchoDevice>(machine);
    const std::string usb = "USB\\VID_1234&PID_0001\\" + serial;
    const std::string audio = "USB\\VID_1234&PID_0001&MI_00\\" + serial;
    machine.Devices().AddDevice({usb, {"USB\\VID_1234&PID_0001"}, "", {}, {}, "Console", 0, {}});
    const std::u16string path = sim::DeviceTree::InterfacePath(audio, kAudioClass, "global");
    machine.Devices().AddDevice({audio, {}, usb, {}, kMediaSetupClass, "Console Audio", 0, {}},
                                {{kAudioClass, path, device, SPINT_ACTIVE, ""}});
    const std::string hid = "HID\\VID_1234&PID_0001\\" + serial;
    machine.Devices().AddDevice({hid, {}, usb, {}, {}, "Console HID", 0, {}},
                                {{kHidClass, sim::DeviceTree::InterfacePath(hid, kHidClass), device, SPINT_ACTIVE, ""}});
    return {device, path};
}

std::vector<std::u16string> EnumeratePaths(const GUID& cls, DWORD* lastError = nullptr) {
    std::vector<std::u16string> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        if (lastError) *lastError = GetLastError();
        return paths;
    }
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        std::vector<BYTE> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    if (lastError) *lastError = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

TEST(SetupApi, EnumeratesThePresentInterfacesOfAClass) {
    sim::Machine machine;
    DWORD error = 0;
    EXPECT_TRUE(EnumeratePaths(kAudioClass, &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    const auto first = PlugConsole(machine, "A1");
    const auto second = PlugConsole(machine, "B2");
    EXPECT_EQ(EnumeratePaths(kAudioClass), (std::vector<std::u16string>{first.path, second.path}));
    EXPECT_EQ(sim::Narrow(first.path.c_str()),
              "\\\\?\\USB#VID_1234&PID_0001&MI_00#A1#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global");
    EXPECT_EQ(EnumeratePaths(kHidClass).size(), 2u);
    EXPECT_EQ(machine.HandleCount("DevInfoSet"), 0u);

    machine.InjectFailure("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(EnumeratePaths(kAudioClass, &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
}

TEST(SetupApi, DetailFollowsTheSizeProtocolAndASetIsASnapshot) {
    sim::Machine machine;
    const auto console = PlugConsole(machine, "A1");
    HDEVINFO set = SetupDiGetClassDevsW(&kAudioClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(machine.Devices().RemoveDevice("USB\\VID_1234&PID_0001\\A1"));  // the set keeps what it saw

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 30;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudioClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudioClass, 0, &data));
    EXPECT_EQ(data.InterfaceClassGuid, kAudioClass);
    EXPECT_EQ(data.Flags, static_cast<DWORD>(SPINT_ACTIVE));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4 + (console.path.size() + 1) * 2);

    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = 6;  // the size of the whole buffer is a classic mistake
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 2, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SP_DEVINFO_DATA devInfo{};
    devInfo.cbSize = sizeof devInfo;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &devInfo));
    EXPECT_EQ(std::u16string(detail->DevicePath), console.path);
    EXPECT_EQ(devInfo.ClassGuid, kMediaSetupClass);
    EXPECT_NE(devInfo.DevInst, 0u);

    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAudioClass, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(EnumeratePaths(kAudioClass).empty());
}

TEST(DeviceFiles, CreateFileRoutesToTheDeviceOfTheInterface) {
    sim::Machine machine;
    const auto console = PlugConsole(machine, "A1");
    std::u16string upper = console.path;
    for (auto& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    HANDLE file = CreateFileW((upper + u"\\pin0").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(console.device->opens, (std::vector<std::string>{"pin0"}));  // after the interface path

    char in[8] = "ping", out[8] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(file, kEcho, in, 5, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 5u);
    EXPECT_STREQ(out, "ping");
    EXPECT_FALSE(DeviceIoControl(file, kSize, nullptr, 0, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 64u);
    // A synchronous handle waits in the machine while the device completes on its clock.
    const DWORD before = timeGetTime();
    EXPECT_TRUE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(timeGetTime() - before, 5u);
    EXPECT_EQ(returned, 4u);

    EXPECT_EQ(CreateFileW(u"\\\\?\\USB#NOPE", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    console.device->refuse = ERROR_ACCESS_DENIED;
    EXPECT_EQ(CreateFileW(console.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(DeviceIoControl(event, kEcho, in, 5, out, 8, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    EXPECT_EQ(machine.HandleCount("File"), 1u);
    CloseHandle(file);
    EXPECT_EQ(console.device->closes, 1);  // a refused open is never closed
    EXPECT_EQ(machine.Devices().OpenFileCount(), 0u);
    CloseHandle(event);
}

TEST(DeviceFiles, OverlappedRequestsCompleteThroughTheEventAndCanBeCancelled) {
    sim::Machine machine;
    const auto console = PlugConsole(machine, "A1");
    HANDLE file = CreateFileW(console.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);  // no completion port
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    ASSERT_EQ(WaitForSingleObject(event, 100), WAIT_OBJECT_0);  // reset at issue, set at completion
    EXPECT_EQ(timeGetTime() - static_cast<DWORD>(sim::Machine::kDefaultClockStartMs), 5u);
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 4u);

    // Immediate completion on an overlapped handle still signals the event.
    ResetEvent(event);
    char in[4] = "abc", out[4] = {};
    EXPECT_TRUE(DeviceIoControl(file, kEcho, in, 4, out, 4, nullptr, &ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_TRUE(CancelIo(file));
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    machine.RunFor(10);  // the device's late completion is dropped
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    EXPECT_FALSE(DeviceIoControl(file, kEcho, in, 4, out, 4, nullptr, nullptr));  // overlapped handle needs one
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(file);
    CloseHandle(event);
}

TEST(DeviceFiles, UnplugRemovesNodesAndInterfacesAndDisconnectsOpenFiles) {
    sim::Machine machine;
    const auto console = PlugConsole(machine, "A1");
    HANDLE file = CreateFileW(console.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    EXPECT_FALSE(DeviceIoControl(file, kSlow, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(machine.Devices().Children("USB\\VID_1234&PID_0001\\A1").size(), 2u);

    ASSERT_TRUE(machine.Devices().RemoveDevice("usb\\vid_1234&pid_0001\\a1"));
    EXPECT_TRUE(machine.Devices().Nodes().empty());
    EXPECT_TRUE(machine.Devices().Interfaces().empty());
    EXPECT_EQ(console.device->removals, 1);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(DeviceIoControl(file, kEcho, nullptr, 0, nullptr, 0, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(CreateFileW(console.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(file);
    EXPECT_EQ(console.device->closes, 1);
    CloseHandle(event);

    PlugConsole(machine, "A1");  // plugging the same console again works
    EXPECT_EQ(EnumeratePaths(kAudioClass).size(), 1u);
}

TEST(DeviceFiles, KsCreatePinAsksTheFilterDevice) {
    sim::Machine machine;
    const auto console = PlugConsole(machine, "A1");
    HANDLE filter = CreateFileW(console.path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE pin = nullptr;
    EXPECT_EQ(KsCreatePin(filter, nullptr, GENERIC_READ, &pin), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(KsCreatePin2(filter, nullptr, GENERIC_READ, &pin), E_NOTIMPL);
    EXPECT_EQ(KsCreatePin(reinterpret_cast<HANDLE>(0x4321), nullptr, GENERIC_READ, &pin),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));

    console.device->pins = true;
    ASSERT_EQ(KsCreatePin2(filter, nullptr, GENERIC_READ, &pin), S_OK);
    auto pinFile = machine.Devices().FileFor(pin);
    ASSERT_NE(pinFile, nullptr);
    EXPECT_EQ(machine.Devices().FileFor(filter), pinFile->parent);
    char in[3] = "hi", out[3] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(pin, kEcho, in, 3, out, 3, &returned, nullptr));
    EXPECT_STREQ(out, "hi");

    machine.Devices().RemoveDevice("USB\\VID_1234&PID_0001\\A1");
    EXPECT_FALSE(DeviceIoControl(pin, kEcho, in, 3, out, 3, &returned, nullptr));  // goes with its filter
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(pin);
    CloseHandle(filter);
}

}  // namespace
