// Filter enumeration over the machine's device tree: aliases, friendly names, bus relations, filters
// that cannot be opened; and the KS log level an administrator sets for the service.
#include <gtest/gtest.h>

#include <string>

#include "Service/Quillon/ks/KsEnumFilters.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "platform/sim/include/sim/debug_output.h"
#include "platform/sim/include/sim/text.h"
#include "tests/harness/Programs.h"
#include "tests/ks/KsTestDevices.h"

namespace {

using kstest::PinSpec;
using kstest::TestFilter;
using harness::InstallService;
using harness::StartService;
using harness::StopService;

struct Plugged {
    std::shared_ptr<TestFilter> filter;
    std::string instance;
    std::u16string audioPath;
    std::u16string aliasPath;
};

// A USB audio function: its node (with a child, so it has bus relations) and one KS filter registered
// under KSCATEGORY_AUDIO and, as its alias, KSCATEGORY_RENDER.
Plugged PlugAudio(sim::Machine& machine, const std::string& serial, bool alias = true, const char* friendly = "Mixer") {
    Plugged p;
    p.filter = std::make_shared<TestFilter>(machine);
    p.filter->pins = {PinSpec{}};
    p.instance = "USB\\VID_7A3E&PID_0072&MI_00\\" + serial;
    p.audioPath = sim::DeviceTree::InterfacePath(p.instance, KSCATEGORY_AUDIO, "global");
    p.aliasPath = sim::DeviceTree::InterfacePath(p.instance, KSCATEGORY_RENDER, "global");
    std::vector<sim::DeviceInterface> interfaces = {{KSCATEGORY_AUDIO, p.audioPath, p.filter, SPINT_ACTIVE, ""}};
    if (alias) interfaces.push_back({KSCATEGORY_RENDER, p.aliasPath, p.filter, SPINT_ACTIVE, ""});
    machine.Devices().AddDevice({p.instance, {}, "", {}, {}, "Audio " + serial, 0, {}}, interfaces);
    machine.Devices().AddDevice({"SWD\\MMDEVAPI\\" + serial, {}, p.instance, {}, {}, "Endpoint", 0, {}});
    if (friendly) {
        HKEY key = nullptr;
        const std::string keyPath = sim::DeviceTree::InterfaceKeyPath(p.audioPath, KSCATEGORY_AUDIO);
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, "FriendlyName", 0, REG_SZ, reinterpret_cast<const BYTE*>(friendly),
                       static_cast<DWORD>(std::strlen(friendly) + 1));
        RegCloseKey(key);
    }
    return p;
}

std::vector<std::string> Paths(const CKsEnumFilters& filters) {
    std::vector<std::string> paths;
    for (auto* node = filters.m_listFilters.GetHead(); node; node = node->pNext)
        paths.push_back(sim::Narrow(node->pItem->m_szFilterName));
    return paths;
}

bool Logged(sim::Machine& machine, const std::string& message) {
    const auto lines = sim::DebugOutput(machine);
    return std::find(lines.begin(), lines.end(), "\n[KS]:" + message) != lines.end();
}

class KsEnum : public ::testing::Test {
protected:
    void TearDown() override { g_ulKsDebugLevel = 0; }
    sim::Machine machine;
};

TEST_F(KsEnum, KeepsTheOpenableFiltersThatHaveTheAliasWithTheirNamesAndRelations) {
    g_ulKsDebugLevel = 5;
    const Plugged first = PlugAudio(machine, "A1");
    const Plugged refused = PlugAudio(machine, "B2");
    refused.filter->refuseOpen = ERROR_ACCESS_DENIED;
    const Plugged third = PlugAudio(machine, "C3", true, nullptr);
    const Plugged noAlias = PlugAudio(machine, "D4", false);
    const Plugged disabled = PlugAudio(machine, "E5");
    machine.Devices().SetInterfaceFlags(disabled.aliasPath, 0);
    const Plugged removed = PlugAudio(machine, "F6");
    machine.Devices().SetInterfaceFlags(removed.aliasPath, SPINT_ACTIVE | SPINT_REMOVED);
    machine.Devices().SetProperty(third.instance, {DEVPKEY_Device_BusRelations, DEVPROP_TYPE_EMPTY, {}});

    CKsEnumFilters filters;
    EXPECT_TRUE(filters.EnumRenderFilters());
    EXPECT_EQ(Paths(filters), (std::vector<std::string>{sim::Narrow(first.audioPath.c_str()),
                                                        sim::Narrow(third.audioPath.c_str())}) );
    CKsFilter* a = filters.m_listFilters.GetHead()->pItem;
    CKsFilter* c = filters.m_listFilters.GetTail()->pItem;
    EXPECT_EQ(a->GetType(), EKsFilterType::eRender);
    EXPECT_STREQ(a->m_szFriendlyName, "Mixer");
    EXPECT_EQ(sim::Narrow(a->m_mszBusRelations), "SWD\\MMDEVAPI\\A1");
    EXPECT_EQ(a->m_mszBusRelations[std::string("SWD\\MMDEVAPI\\A1").size() + 1], 0);
    EXPECT_EQ(a->m_listInSinkPins.GetCount(), 1u);
    EXPECT_STREQ(c->m_szFriendlyName, "");
    EXPECT_EQ(c->m_mszBusRelations[0], 0);

    EXPECT_TRUE(Logged(machine, "Failed to get requested DeviceInterfaceAlias"));
    EXPECT_TRUE(Logged(machine, "DeviceInterfaceAlias disabled."));
    EXPECT_TRUE(Logged(machine, "Failed to create filter for " + sim::Narrow(refused.audioPath.c_str())));
    EXPECT_EQ(machine.HandleCount("DevInfoSet"), 0u);

    // A second run holds only what it found itself; the capture search finds none of these.
    machine.Devices().RemoveDevice(first.instance);
    EXPECT_EQ(filters.EnumFilters(EKsFilterType::eRender, std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_RENDER}.data()), S_OK);
    EXPECT_EQ(filters.m_listFilters.GetCount(), 1u);
    EXPECT_FALSE(filters.EnumCaptureFilters());
    EXPECT_TRUE(filters.m_listFilters.IsEmpty());
}

TEST_F(KsEnum, BusRelationsWithoutTheirEndStayInsideBothBuffers) {
    // 2048 units, exactly the buffer they are read into: one whole string, then text without an end.
    std::vector<BYTE> raw(4096);
    for (std::size_t i = 0; i < raw.size(); i += 2) raw[i] = 'R';
    raw[6] = 0;  // "RRR" and its NUL
    const Plugged unended = PlugAudio(machine, "A1");
    machine.Devices().SetProperty(unended.instance, {DEVPKEY_Device_BusRelations, DEVPROP_TYPE_STRING_LIST, raw});

    CKsEnumFilters filters;
    ASSERT_TRUE(filters.EnumRenderFilters());
    const WCHAR* list = filters.m_listFilters.GetHead()->pItem->m_mszBusRelations;
    EXPECT_EQ(sim::Narrow(list), "RRR");
    EXPECT_EQ(list[4], 0);  // the list ends after the last whole string
}

TEST_F(KsEnum, NoCategoryMeansNoSetupCallAndNothingFound) {
    PlugAudio(machine, "A1");
    CKsEnumFilters filters;
    const auto calls = machine.CallCount("SetupDiGetClassDevsW");
    EXPECT_EQ(filters.EnumFilters(EKsFilterType::eRender, nullptr), E_FAIL);
    const GUID none[2] = {GUID_NULL, KSCATEGORY_RENDER};
    EXPECT_EQ(filters.EnumFilters(EKsFilterType::eRender, none), E_FAIL);
    EXPECT_EQ(machine.CallCount("SetupDiGetClassDevsW"), calls);

    machine.InjectFailure("SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY);
    g_ulKsDebugLevel = 4;
    EXPECT_FALSE(filters.EnumRenderFilters());
    EXPECT_TRUE(Logged(machine, "No devices found"));
    EXPECT_TRUE(filters.m_listFilters.IsEmpty());
}

TEST_F(KsEnum, TheServiceTakesItsKsLogLevelFromTheDiagnosticsKeyAndNeverWritesIt) {
    g_ulKsDebugLevel = 9;  // a start without the value resets it
    InstallService(machine);
    ASSERT_TRUE(StartService(machine));
    EXPECT_EQ(g_ulKsDebugLevel, 0u);
    ASSERT_TRUE(StopService(machine));
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDiagnosticsKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDiagnosticsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD level = 3;
    RegSetValueExA(key, kKsLogLevelValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof level);
    RegCloseKey(key);
    ASSERT_TRUE(StartService(machine));
    EXPECT_EQ(g_ulKsDebugLevel, 3u);
    ASSERT_TRUE(StopService(machine));

    // A value of the wrong type counts as absent.
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDiagnosticsKeyPath, 0, KEY_ALL_ACCESS, &key);
    RegSetValueExA(key, kKsLogLevelValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>("6"), 2);
    RegCloseKey(key);
    ASSERT_TRUE(StartService(machine));
    EXPECT_EQ(g_ulKsDebugLevel, 0u);
    ASSERT_TRUE(StopService(machine));
}

}  // namespace
