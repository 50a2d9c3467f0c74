// Device information elements and device properties (SetupDiEnumDeviceInfo, SetupDiGetDevicePropertyW),
// and the device nodes a plugged console adds.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace {

DEFINE_GUID(kMediaClass, 0x4D36E96C, 0xE325, 0x11CE, 0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18);
DEFINE_GUID(kTestInterface, 0x11112222, 0x3333, 0x4444, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x88);

std::vector<std::string> ReadStringList(const BYTE* data, DWORD size) {
    std::vector<std::string> out;
    const auto* text = reinterpret_cast<const WCHAR*>(data);
    const DWORD count = size / sizeof(WCHAR);
    for (DWORD i = 0; i < count && text[i] != 0;) {
        std::u16string one;
        while (i < count && text[i] != 0) one += text[i++];
        out.push_back(sim::Narrow(one.c_str()));
        ++i;
    }
    return out;
}

class DevicePropertiesTest : public ::testing::Test {
protected:
    sim::Machine machine;
    sim::DeviceTree& tree = machine.Devices();

    // The devices of a present media-class device set, with the property read for each.
    std::vector<DWORD> MediaDevices(HDEVINFO set) {
        std::vector<DWORD> out;
        SP_DEVINFO_DATA info{sizeof info, {}, 0, 0};
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) out.push_back(info.DevInst);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return out;
    }
};

TEST_F(DevicePropertiesTest, DeviceSetHoldsNodesWithoutInterfacesAndReportsDerivedProperties) {
    sim::DeviceNode root{"ROOT\\MEDIA\\0000", {"Root\\Quillon_VirtualAudio", "Other"}, "", {}, kMediaClass, "", 0, {}};
    sim::DeviceNode child{"SWD\\MMDEVAPI\\{0.0.1.00000000}.{AB}", {}, "ROOT\\MEDIA\\0000", {}, {}, "", 0, {}};
    ASSERT_TRUE(tree.AddDevice(root));
    ASSERT_TRUE(tree.AddDevice(child));

    HDEVINFO set = SetupDiGetClassDevsW(&kMediaClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    auto devices = MediaDevices(set);
    ASSERT_EQ(devices.size(), 1u);

    SP_DEVINFO_DATA info{sizeof info, {}, devices[0], 0};
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    // Size query: no buffer, ERROR_INSUFFICIENT_BUFFER and the needed size.
    EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_HardwareIds, &type, nullptr, 0, &required, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const DWORD expected = (26 + 6 + 1) * sizeof(WCHAR);  // two terminated strings and the list's end
    EXPECT_EQ(required, expected);
    std::vector<BYTE> buffer(required);
    ASSERT_TRUE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_HardwareIds, &type, buffer.data(), required,
                                          &required, 0));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING_LIST));
    EXPECT_EQ(ReadStringList(buffer.data(), required),
              (std::vector<std::string>{"Root\\Quillon_VirtualAudio", "Other"}));

    // Bus relations are the child nodes.
    BYTE relations[512] = {};
    ASSERT_TRUE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_BusRelations, &type, relations,
                                          sizeof relations, nullptr, 0));
    EXPECT_EQ(ReadStringList(relations, sizeof relations),
              (std::vector<std::string>{"SWD\\MMDEVAPI\\{0.0.1.00000000}.{AB}"}));

    // A node without a container id has none; flags must be 0.
    EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_BaseContainerId, &type, relations,
                                           sizeof relations, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_HardwareIds, &type, relations,
                                           sizeof relations, nullptr, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(DevicePropertiesTest, OverriddenAndHiddenPropertiesAreWhatTheNodeReports) {
    const GUID container = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    sim::DeviceNode node{"HID\\VID_7A3E&PID_0072&MI_03\\8&1&0&0000", {"HID\\VID_7A3E"}, "", container, {}, "", 0, {}};
    ASSERT_TRUE(tree.AddDevice(node, {{kTestInterface, u"\\\\?\\hid#x", nullptr, SPINT_ACTIVE, ""}}));
    ASSERT_TRUE(tree.Property(node.instanceId, DEVPKEY_Device_BaseContainerId).has_value());

    // Replaced by a string: the type says so.
    ASSERT_TRUE(tree.SetProperty(node.instanceId,
                                 sim::DeviceProperty::String(DEVPKEY_Device_BaseContainerId, "not a guid")));
    HDEVINFO set = SetupDiGetClassDevsW(&kTestInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA info{sizeof info, {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &info));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &info));
    info.cbSize = sizeof info;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &info));
    BYTE buffer[2048];
    DEVPROPTYPE type = 0;
    ASSERT_TRUE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_BaseContainerId, &type, buffer, sizeof buffer,
                                          nullptr, 0));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));

    // Hidden: the node has no such property any more.
    ASSERT_TRUE(tree.SetProperty(node.instanceId, {DEVPKEY_Device_BaseContainerId, DEVPROP_TYPE_EMPTY, {}}));
    EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_BaseContainerId, &type, buffer, sizeof buffer,
                                           nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(ConsoleNodes, PlugAddsTheModelsNodesAndEndpointsUnplugRemovesThem) {
    sim::Machine machine;
    for (const auto& model : sim::AllModels()) {
        sim::ConsoleConfig config;
        config.model = model.model;
        sim::Console console(machine, config);
        const std::size_t before = machine.Devices().Nodes().size();
        console.Plug();
        EXPECT_TRUE(console.Plugged());
        auto relations = machine.Devices().Property(console.AudioInstanceId(), DEVPKEY_Device_BusRelations);
        ASSERT_TRUE(relations.has_value()) << model.name;
        auto ids = ReadStringList(relations->data.data(), static_cast<DWORD>(relations->data.size()));
        std::vector<std::string> expected;
        if (model.captureChannels) expected.push_back(sim::Console::EndpointInstanceId(console.CaptureEndpointId()));
        expected.push_back(sim::Console::EndpointInstanceId(console.RenderEndpointId()));
        EXPECT_EQ(ids, expected) << model.name;
        EXPECT_NE(console.AudioInstanceId().find(console.VidPid() + "&MI_00"), std::string::npos);
        console.Unplug();
        EXPECT_EQ(machine.Devices().Nodes().size(), before);
    }
    EXPECT_EQ(sim::ModelInfo(sim::ConsoleModel::Basso2026).productId, 0x0095);
}

}  // namespace
