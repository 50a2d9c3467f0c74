// The simulated endpoint store: the MMDevice objects over the registry form, topology, visibility, the
// concurrent writer, COM accounting; and the registry and kernel calls the endpoint code relies on.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32.h"
#include "platform/sim/include/sim/console.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/sim/virtual_audio_driver.h"
#include "platform/sim/include/simwin/simwin.h"

namespace {

using Flow = sim::EndpointStore::Flow;

std::string Narrowed(const WCHAR* text) { return sim::Narrow(text); }

class EndpointStoreTest : public ::testing::Test {
protected:
    EndpointStoreTest() {
        driver.Install();
        console.Plug();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void**>(&enumerator)),
                  S_OK);
    }
    ~EndpointStoreTest() override {
        if (enumerator) enumerator->Release();
        CoUninitialize();
        EXPECT_EQ(store().LiveObjects(), 0);
        EXPECT_EQ(store().LiveTaskMemory(), 0);
    }
    sim::EndpointStore& store() { return sim::EndpointStore::Of(machine); }

    std::vector<std::string> Ids(EDataFlow flow, DWORD mask) {
        std::vector<std::string> ids;
        IMMDeviceCollection* collection = nullptr;
        if (enumerator->EnumAudioEndpoints(flow, mask, &collection) != S_OK) return ids;
        UINT count = 0;
        collection->GetCount(&count);
        for (UINT i = 0; i < count; ++i) {
            IMMDevice* device = nullptr;
            LPWSTR id = nullptr;
            if (collection->Item(i, &device) == S_OK && device->GetId(&id) == S_OK) ids.push_back(Narrowed(id));
            CoTaskMemFree(id);
            if (device) device->Release();
        }
        collection->Release();
        return ids;
    }

    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    sim::Console console{machine};
    IMMDeviceEnumerator* enumerator = nullptr;
};

TEST_F(EndpointStoreTest, EnumerationFollowsFlowAndStateOverTheRegistryForm) {
    EXPECT_EQ(Ids(eCapture, DEVICE_STATE_ACTIVE).size(), 12u);  // eleven driver endpoints and the console's
    EXPECT_EQ(Ids(eRender, DEVICE_STATE_ACTIVE).size(), 6u);
    EXPECT_EQ(Ids(eAll, DEVICE_STATEMASK_ALL).size(), 18u);
    // A disabled endpoint is only listed when its state is asked for.
    machine.Reg().SetDword(sim::EndpointStore::KeyPathOf(Flow::Render, sim::VirtualDriverEndpointGuid(12)),
                           "DeviceState", DEVICE_STATE_DISABLED);
    EXPECT_EQ(Ids(eRender, DEVICE_STATE_ACTIVE).size(), 5u);
    EXPECT_EQ(Ids(eRender, DEVICE_STATE_DISABLED), (std::vector<std::string>{sim::VirtualDriverEndpointId(12)}));
    IMMDeviceCollection* collection = nullptr;
    EXPECT_EQ(enumerator->EnumAudioEndpoints(eRender, 0x10, &collection), E_INVALIDARG);
    // Unplugged, the console's endpoints stay in the store, not present, as Windows keeps them.
    console.Unplug();
    EXPECT_EQ(Ids(eAll, DEVICE_STATEMASK_ALL).size(), 18u);
    EXPECT_EQ(Ids(eAll, DEVICE_STATE_ACTIVE).size(), 15u);
    EXPECT_EQ(Ids(eAll, DEVICE_STATE_NOTPRESENT).size(), 2u);
    EXPECT_EQ(store().State(Flow::Render, console.Config().renderEndpointGuid), DWORD{DEVICE_STATE_NOTPRESENT});
    console.Plug();
    EXPECT_EQ(store().State(Flow::Render, console.Config().renderEndpointGuid), DWORD{DEVICE_STATE_ACTIVE});
    // A driver installed with some of its endpoints lists only those, each where its stream index says.
    driver.Remove();
    driver.Install((1u << 0) | (1u << 10) | (1u << 15));
    EXPECT_EQ(Ids(eCapture, DEVICE_STATE_ACTIVE).size(), 3u);
    EXPECT_EQ(Ids(eRender, DEVICE_STATE_ACTIVE).size(), 2u);
    EXPECT_EQ(store().State(Flow::Render, sim::VirtualDriverEndpointGuid(15)), DWORD{DEVICE_STATE_ACTIVE});
    EXPECT_EQ(store().State(Flow::Render, sim::VirtualDriverEndpointGuid(11)), std::nullopt);
}

TEST_F(EndpointStoreTest, PropertyStoresReadAndWriteTheEndpointsPropertiesKey) {
    IMMDevice* device = nullptr;
    const std::u16string id = sim::Wide(sim::VirtualDriverEndpointId(3));
    ASSERT_EQ(enumerator->GetDevice(reinterpret_cast<LPCWSTR>(id.c_str()), &device), S_OK);
    IPropertyStore* readOnly = nullptr;
    IPropertyStore* writable = nullptr;
    ASSERT_EQ(device->OpenPropertyStore(STGM_READ, &readOnly), S_OK);
    ASSERT_EQ(device->OpenPropertyStore(STGM_READWRITE, &writable), S_OK);

    PROPVARIANT value;
    ASSERT_EQ(readOnly->GetValue(PKEY_Device_DeviceDesc, &value), S_OK);
    ASSERT_EQ(value.vt, VT_LPWSTR);
    EXPECT_EQ(Narrowed(value.pwszVal), "Line 4");
    PropVariantClear(&value);
    ASSERT_EQ(readOnly->GetValue(PKEY_AudioEndpoint_GUID, &value), S_OK);
    EXPECT_EQ(sim::Lower(Narrowed(value.pwszVal)), sim::DeviceTree::GuidText(sim::VirtualDriverEndpointGuid(3)));
    PropVariantClear(&value);
    ASSERT_EQ(readOnly->GetValue(PKEY_Device_ContainerId, &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);  // an endpoint without the property
    // A description of any length reads back up to its terminator, or whole when it has none.
    const std::string properties = sim::EndpointStore::KeyPathOf(Flow::Capture, sim::VirtualDriverEndpointGuid(3)) +
                                   "\\Properties";
    for (const std::string& stored : {std::string(300, 'x'), std::string("ab")}) {
        std::vector<BYTE> bytes = sim::Registry::StringValue(stored).bytes;
        if (stored == "ab") bytes.resize(bytes.size() - 1);  // half a terminator
        machine.Reg().SetValue(properties, sim::EndpointStore::kDescriptionValue, REG_SZ, bytes);
        ASSERT_EQ(readOnly->GetValue(PKEY_Device_DeviceDesc, &value), S_OK);
        ASSERT_EQ(value.vt, VT_LPWSTR);
        EXPECT_EQ(Narrowed(value.pwszVal), stored);
        PropVariantClear(&value);
    }
    machine.Reg().SetString(properties, sim::EndpointStore::kDescriptionValue, "Line 4");
    // An id matches whatever its case; the device keeps the stored spelling.
    std::u16string shouted = id;
    for (char16_t& c : shouted)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    IMMDevice* same = nullptr;
    ASSERT_EQ(enumerator->GetDevice(reinterpret_cast<LPCWSTR>(shouted.c_str()), &same), S_OK);
    LPWSTR sameId = nullptr;
    ASSERT_EQ(same->GetId(&sameId), S_OK);
    EXPECT_EQ(Narrowed(sameId), sim::VirtualDriverEndpointId(3));
    CoTaskMemFree(sameId);
    same->Release();

    PROPVARIANT name;
    PropVariantInit(&name);
    const std::u16string text = u"Combo3";
    name.vt = VT_LPWSTR;
    name.pwszVal = const_cast<LPWSTR>(reinterpret_cast<LPCWSTR>(text.c_str()));
    EXPECT_EQ(readOnly->SetValue(PKEY_Device_DeviceDesc, name), STG_E_ACCESSDENIED);
    // Set on one store object, the value is that object's until Commit: the endpoint and every other
    // store keep the old one; a store released uncommitted drops it.
    auto nameIn = [&](IPropertyStore* store) {
        PROPVARIANT v;
        EXPECT_EQ(store->GetValue(PKEY_Device_DeviceDesc, &v), S_OK);
        const std::string text = v.vt == VT_LPWSTR ? Narrowed(v.pwszVal) : "";
        PropVariantClear(&v);
        return text;
    };
    IPropertyStore* dropped = nullptr;
    ASSERT_EQ(device->OpenPropertyStore(STGM_READWRITE, &dropped), S_OK);
    EXPECT_EQ(dropped->SetValue(PKEY_Device_DeviceDesc, name), S_OK);
    dropped->Release();
    EXPECT_EQ(writable->SetValue(PKEY_Device_DeviceDesc, name), S_OK);
    EXPECT_EQ(nameIn(writable), "Combo3");
    EXPECT_EQ(nameIn(readOnly), "Line 4");
    EXPECT_EQ(store().Name(Flow::Capture, sim::VirtualDriverEndpointGuid(3)), "Line 4");
    EXPECT_EQ(readOnly->Commit(), STG_E_ACCESSDENIED);
    EXPECT_EQ(writable->Commit(), S_OK);
    EXPECT_EQ(store().Name(Flow::Capture, sim::VirtualDriverEndpointGuid(3)), "Combo3");
    EXPECT_EQ(nameIn(readOnly), "Combo3");

    readOnly->Release();
    writable->Release();
    device->Release();
}

TEST_F(EndpointStoreTest, TheConsolesTopologyLeadsToItsContainerUntilItIsUnplugged) {
    IMMDevice* endpoint = nullptr;
    const std::u16string id = sim::Wide(console.RenderEndpointId());
    ASSERT_EQ(enumerator->GetDevice(reinterpret_cast<LPCWSTR>(id.c_str()), &endpoint), S_OK);
    IDeviceTopology* topology = nullptr;
    ASSERT_EQ(endpoint->Activate(IID_IDeviceTopology, CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&topology)), S_OK);
    IConnector* connector = nullptr;
    ASSERT_EQ(topology->GetConnector(0, &connector), S_OK);
    LPWSTR connected = nullptr;
    ASSERT_EQ(connector->GetDeviceIdConnectedTo(&connected), S_OK);
    IMMDevice* device = nullptr;
    ASSERT_EQ(enumerator->GetDevice(connected, &device), S_OK);
    IPropertyStore* properties = nullptr;
    ASSERT_EQ(device->OpenPropertyStore(STGM_READ, &properties), S_OK);
    PROPVARIANT value;
    ASSERT_EQ(properties->GetValue(PKEY_Device_ContainerId, &value), S_OK);
    ASSERT_EQ(value.vt, VT_CLSID);
    EXPECT_EQ(*value.puuid, console.Config().containerId);
    PropVariantClear(&value);
    properties->Release();
    device->Release();

    console.Unplug();
    EXPECT_EQ(enumerator->GetDevice(connected, &device), E_NOTFOUND);
    CoTaskMemFree(connected);
    connector->Release();
    topology->Release();
    endpoint->Release();
}

TEST_F(EndpointStoreTest, TheConcurrentWriterOverwritesTheNextNameWritesOnly) {
    HKEY key = nullptr;
    const std::string path = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render\\" +
                             sim::DeviceTree::GuidText(sim::VirtualDriverEndpointGuid(12)) + "\\Properties";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key), ERROR_SUCCESS);
    store().InterfereWithNameWrites(1, "Speakers");
    auto writeAndRead = [&](const char* name) {
        RegSetValueExA(key, sim::EndpointStore::kDescriptionValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                       static_cast<DWORD>(std::strlen(name) + 1));
        char back[64] = {};
        DWORD size = sizeof back;
        EXPECT_EQ(RegGetValueA(key, nullptr, sim::EndpointStore::kDescriptionValue, RRF_RT_REG_SZ, nullptr, back, &size),
                  ERROR_SUCCESS);
        return std::string(back);
    };
    EXPECT_EQ(writeAndRead("Game"), "Speakers");
    EXPECT_EQ(writeAndRead("Game"), "Game");
    // Other values of the same key are never touched.
    store().InterfereWithNameWrites(1);
    RegSetValueExA(key, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    EXPECT_EQ(store().InterferenceLeft(), 1);
    RegCloseKey(key);
}

TEST_F(EndpointStoreTest, VisibilityIsRecordedPerEndpointAndNullIdentifiersAreRefused) {
    IPolicyConfig* policy = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_PolicyConfig, nullptr, CLSCTX_ALL, IID_IPolicyConfig,
                               reinterpret_cast<void**>(&policy)),
              S_OK);
    const std::u16string id = sim::Wide(sim::Console::EndpointInstanceId(sim::VirtualDriverEndpointId(0)).substr(13));
    EXPECT_EQ(policy->SetEndpointVisibility(reinterpret_cast<LPCWSTR>(id.c_str()), TRUE), S_OK);
    // A null id is the access violation it would be on Windows: recorded, refused.
    EXPECT_EQ(policy->SetEndpointVisibility(nullptr, FALSE), static_cast<HRESULT>(0xC0000005L));
    EXPECT_EQ(store().Visible(sim::VirtualDriverEndpointId(0)), true);  // the id in either case
    EXPECT_EQ(store().Visible(sim::VirtualDriverEndpointId(1)), std::nullopt);
    const auto calls = store().VisibilityCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[1].nullId);
    policy->Release();

    IUnknown* unknown = nullptr;
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              REGDB_E_CLASSNOTREG);
}

TEST(ComApartment, ObjectsAreOnlyCreatedOnThreadsThatEnteredCom) {
    sim::Machine machine;
    IMMDeviceEnumerator* enumerator = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                               reinterpret_cast<void**>(&enumerator)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(enumerator, nullptr);
}

TEST(RegistryGetValue, RestrictsTheTypeTerminatesStringsAndReportsTheSizeNeeded) {
    sim::Machine machine;
    machine.Reg().SetDword("HKLM\\SOFTWARE\\T", "Number", 7);
    machine.Reg().SetValue("HKLM\\SOFTWARE\\T", "Bare", REG_SZ, {'a', 0, 'b', 0});  // no terminator
    machine.Reg().SetString("HKLM\\SOFTWARE\\T", "Long", std::string(300, 'z'));
    WCHAR buffer[128];
    DWORD size = sizeof buffer;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"Number", RRF_RT_REG_SZ, nullptr, buffer, &size),
              ERROR_UNSUPPORTED_TYPE);
    size = sizeof buffer;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"Bare", RRF_RT_REG_SZ, nullptr, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    size = 256;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\T", u"Long", RRF_RT_REG_SZ, nullptr, buffer, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 602u);
    EXPECT_EQ(machine.HandleCount("RegKey"), 0u);
}

// INVALID_HANDLE_VALUE is the current process's pseudo handle: waiting on it lasts until the process
// ends, which for its own threads is never; closing it does nothing.
TEST(ProcessPseudoHandle, AWaitOnMinusOneTimesOutAndClosingItDoesNothing) {
    sim::Machine machine;
    EXPECT_EQ(GetCurrentProcess(), INVALID_HANDLE_VALUE);
    const auto start = machine.NowMs();
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 250), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(machine.NowMs() - start, 250u);
    const auto handles = machine.HandleCount();
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(machine.HandleCount(), handles);

    sim::ProgramSpec program;
    program.imageName = "waiter.exe";
    DWORD result = 0;
    program.entry = [&](HINSTANCE) {
        result = WaitForSingleObject(INVALID_HANDLE_VALUE, 1000);
        return 0;
    };
    auto process = machine.StartProcess(program);
    ASSERT_TRUE(machine.WaitProcess(process, 5000));
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
