#include "Service/Quillon/vdriver/EndpointControl.h"

#include <cstdlib>
#include <cstring>

#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/vdriver/BoundedText.h"
#include "Service/Quillon/vdriver/ComPtr.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"

namespace {

const EndpointChannel kChannels[kVirtualStreamCount] = {
    {"Capture", "system input", "System"}, {"Capture", "combo1", "Combo1"},
    {"Capture", "combo2", "Combo2"},       {"Capture", "combo3", "Combo3"},
    {"Capture", "combo4", "Combo4"},       {"Capture", "bluetooth", "Bluetooth"},
    {"Capture", "padbank", "PadBank"},     {"Capture", "usb1main", "USB1Main"},
    {"Capture", "usb1chat", "USB1Chat"},   {"Capture", "usb2", "USB2"},
    {"Capture", "headset", "Headset"},     {"Render", "system output", "System"},
    {"Render", "game", "Game"},            {"Render", "music", "Music"},
    {"Render", "virtual a", "Virtual A"},  {"Render", "virtual b", "Virtual B"},
};

const WCHAR* const kJackSubtypes[kVirtualStreamCount] = {
    WSTR("{C6C5F546-7CBD-44dd-95DB-4FBB546DAF0F}"), WSTR("{56B0A54E-843E-4546-8D54-954E72E8490E}"),
    WSTR("{D7776638-9BFF-4355-9659-EADC6DAFEFEB}"), WSTR("{2B85B538-1EDB-48d9-A11F-C99ED4313EA9}"),
    WSTR("{43E8F4E1-70BA-4569-AC28-7B8342BFC3C3}"), WSTR("{B4219E46-A141-40d1-A69A-98EFB4A0DB94}"),
    WSTR("{E46A3D10-AAC3-48ce-BB1D-26B1728BCF89}"), WSTR("{44FC45C2-7ADC-4687-B4E7-79DE79C5CB1F}"),
    WSTR("{F4DC92B9-42C1-4b2f-A0C7-2CB98EF6B5DE}"), WSTR("{1188BBD7-ADE7-459c-A1FA-C5E1747E50DD}"),
    WSTR("{FE96DF93-78FA-4139-8551-169E3968B82C}"), WSTR("{545B6798-0E2B-4789-9868-A04EF6272DAE}"),
    WSTR("{44753EB7-176B-47b5-8966-553D6B25120F}"), WSTR("{65D7D69C-B502-42ba-90F8-8D1B1FEFD01F}"),
    WSTR("{89F338D9-857C-4e77-9807-D5723F4EFC14}"), WSTR("{30ED9466-BC60-4ebe-B514-F6D98F0B7BB2}"),
};

const WCHAR kDriverHardwareIdW[] = WSTR("Root\\Quillon_VirtualAudio");
const char kDriverHardwareIdA[] = "Root\\Quillon_VirtualAudio";
const WCHAR kStoreRootW[] = WSTR("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio");
const char kStoreRootA[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";
const WCHAR kPropertiesW[] = WSTR("Properties");
const char kPropertiesA[] = "Properties";
const WCHAR kInstanceIdValue[] = WSTR("{9c119480-ddc2-4954-a150-5bd240d454ad},2");
const WCHAR kJackSubtypeValue[] = WSTR("{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},8");
const char kHardwareIdValue[] = "{83da6326-97a6-4088-9453-a1923f573b29},3";
const char kMatchKeyValue[] = "{233164c8-1b2c-4c7d-bc68-b671687a2567},1";
const char kDeviceDescValue[] = "{a45c254e-df1c-4efd-8020-67d146a850e0},2";

constexpr DWORD kIdentifierValueBytes = 256;
constexpr DWORD kNamingValueBytes = 16384;
constexpr int kNameWriteAttempts = 5;
constexpr int kTextUnits = 260;

bool SendIndexRequest(const CVirtualDriverChannel& channel, DWORD code, int index) {
    DWORD local = DriverLocalIndex(index);
    DWORD returned = 0;
    return DeviceIoControl(channel.DeviceHandle(), code, &local, sizeof(local), nullptr, 0, &returned, nullptr) !=
           FALSE;
}

// An open registry key, closed when the owner ends.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (m_hKey) RegCloseKey(m_hKey);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* Put() { return &m_hKey; }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

// A device property read into a zero-filled block. Two zero units past the property's own bytes keep a
// string list terminated even when the device did not terminate it.
class PropertyBlock {
public:
    PropertyBlock(HDEVINFO set, SP_DEVINFO_DATA& info, const DEVPROPKEY& key) {
        DEVPROPTYPE type = 0;
        DWORD size = 0;
        SetupDiGetDevicePropertyW(set, &info, &key, &type, nullptr, 0, &size, 0);
        if (size == 0) return;
        m_pBlock = static_cast<BYTE*>(std::calloc(1, size + 2 * sizeof(WCHAR)));
        if (!m_pBlock) return;
        if (!SetupDiGetDevicePropertyW(set, &info, &key, &type, m_pBlock, size, nullptr, 0)) {
            std::free(m_pBlock);
            m_pBlock = nullptr;
            return;
        }
        m_Units = size / sizeof(WCHAR);
    }
    ~PropertyBlock() { std::free(m_pBlock); }
    PropertyBlock(const PropertyBlock&) = delete;
    PropertyBlock& operator=(const PropertyBlock&) = delete;

    explicit operator bool() const { return m_pBlock != nullptr; }
    const WCHAR* Strings() const { return reinterpret_cast<const WCHAR*>(m_pBlock); }
    std::size_t Units() const { return m_Units; }  // the property's own length

private:
    BYTE* m_pBlock = nullptr;
    std::size_t m_Units = 0;
};

// A copy of `childId` from its first "{" (all of it when there is none), in a block sized for the whole
// identifier and its terminator.
WCHAR* EndpointIdFrom(const WCHAR* childId) {
    const std::size_t length = BoundedLength(childId, static_cast<std::size_t>(-1) / 4);
    auto* copy = static_cast<WCHAR*>(std::calloc(length + 1, sizeof(WCHAR)));
    if (!copy) return nullptr;
    std::size_t from = 0;
    while (from < length && childId[from] != '{') ++from;
    if (from == length) from = 0;
    std::memcpy(copy, childId + from, (length - from) * sizeof(WCHAR));
    return copy;
}

// Reads a REG_SZ value into `buffer` (`size` bytes); the registry terminates what it returns.
template <class Char>
bool ReadString(HKEY key, const Char* name, Char* buffer, DWORD size);
template <>
bool ReadString<WCHAR>(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD size) {
    return RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS;
}
template <>
bool ReadString<char>(HKEY key, const char* name, char* buffer, DWORD size) {
    return RegGetValueA(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS;
}

// Writes `name` to the endpoint's device description until it reads back unchanged, at most five
// times. Returns how many read-backs differed, plus one when the name was never confirmed (every write
// or read failed): a name that was never seen in place is not a completed rename.
int WriteNameUntilConfirmed(HKEY properties, const char* name, char* buffer) {
    const DWORD bytes = static_cast<DWORD>(std::strlen(name) + 1);
    int failures = 0;
    for (int attempt = 0; attempt < kNameWriteAttempts; ++attempt) {
        if (RegSetValueExA(properties, kDeviceDescValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), bytes) !=
            ERROR_SUCCESS)
            continue;
        if (!ReadString(properties, kDeviceDescValue, buffer, kNamingValueBytes)) continue;
        if (std::memcmp(buffer, name, bytes) == 0) return failures;
        ++failures;
    }
    return failures + 1;
}

}  // namespace

const EndpointChannel* EndpointChannelRow(int index) {
    return (index >= 0 && index < kVirtualStreamCount) ? &kChannels[index] : nullptr;
}

const WCHAR* JackSubtypeString(int index) {
    return (index >= 0 && index < kVirtualStreamCount) ? kJackSubtypes[index] : nullptr;
}

bool RefreshEndpointIds(CVirtualDriverChannel& channel) {
    if (!channel.IsOpen()) return true;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_MEDIA, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return true;

    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD member = 0; SetupDiEnumDeviceInfo(set, member, &info); ++member) {
        PropertyBlock hardwareIds(set, info, DEVPKEY_Device_HardwareIds);
        if (!hardwareIds || !SameTextOrdinal(hardwareIds.Strings(), kDriverHardwareIdW, false)) continue;
        PropertyBlock children(set, info, DEVPKEY_Device_BusRelations);
        if (!children) continue;

        // The list ends at an empty string or at the end of the property, whichever comes first.
        const WCHAR* list = children.Strings();
        for (std::size_t at = 0; at < children.Units() && list[at];) {
            const WCHAR* child = list + at;
            at += BoundedLength(child, children.Units() - at) + 1;

            RegKey root;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStoreRootW, 0, KEY_ENUMERATE_SUB_KEYS, root.Put()) !=
                ERROR_SUCCESS)
                continue;
            int index = FindStreamForEndpoint(channel, child, root.Get(), WSTR("Capture"));
            if (index == kNoStreamIndex) index = FindStreamForEndpoint(channel, child, root.Get(), WSTR("Render"));
            if (index >= kNoStreamIndex) continue;
            std::free(channel.m_pEndpointIds[index]);
            channel.m_pEndpointIds[index] = EndpointIdFrom(child);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

int FindStreamForEndpoint(const CVirtualDriverChannel& channel, const WCHAR* childId, HKEY storeRoot,
                          const WCHAR* dataFlowKey) {
    RegKey flow;
    if (!childId || RegOpenKeyExW(storeRoot, dataFlowKey, 0, KEY_ENUMERATE_SUB_KEYS, flow.Put()) != ERROR_SUCCESS)
        return kNoStreamIndex;

    int result = kNoStreamIndex;
    WCHAR name[256];
    WCHAR value[kIdentifierValueBytes / sizeof(WCHAR)];
    for (DWORD i = 0; result == kNoStreamIndex; ++i) {
        DWORD chars = 256;
        const LSTATUS status = RegEnumKeyExW(flow.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // a name too long for the buffer is no endpoint of ours
        if (status != ERROR_SUCCESS) break;
        RegKey endpoint;
        if (RegOpenKeyExW(flow.Get(), name, 0, KEY_ENUMERATE_SUB_KEYS, endpoint.Put()) != ERROR_SUCCESS) continue;
        RegKey properties;
        if (RegOpenKeyExW(endpoint.Get(), kPropertiesW, 0, KEY_QUERY_VALUE, properties.Put()) != ERROR_SUCCESS)
            continue;
        if (!ReadString(properties.Get(), kInstanceIdValue, value, kIdentifierValueBytes) ||
            !SameTextOrdinal(value, childId, true))
            continue;
        if (!ReadString(properties.Get(), kJackSubtypeValue, value, kIdentifierValueBytes)) continue;
        for (int n = 0; n < kVirtualStreamCount; ++n)
            if (channel.m_pJackSubtypes[n] && SameTextOrdinal(value, channel.m_pJackSubtypes[n], true)) {
                result = n;
                break;
            }
    }
    return result;
}

void RenameEndpoint(CConsoleSupervisor& supervisor, int index) {
    const EndpointChannel* row = EndpointChannelRow(index);
    if (!row) return;
    std::uint8_t& pending = supervisor.m_RenamePending[index];

    RegKey root;
    RegKey flow;
    char* buffer = static_cast<char*>(std::malloc(kNamingValueBytes));
    if (!buffer || RegOpenKeyExA(HKEY_LOCAL_MACHINE, kStoreRootA, 0, KEY_ENUMERATE_SUB_KEYS, root.Put()) != ERROR_SUCCESS ||
        RegOpenKeyExA(root.Get(), row->m_pszDataFlowKey, 0, KEY_ENUMERATE_SUB_KEYS, flow.Put()) != ERROR_SUCCESS) {
        std::free(buffer);
        pending = 1;
        return;
    }

    bool found = false;
    int failures = 0;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD chars = sizeof(name);
        if (RegEnumKeyExA(flow.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        RegKey endpoint;
        if (RegOpenKeyExA(flow.Get(), name, 0, KEY_ENUMERATE_SUB_KEYS, endpoint.Put()) != ERROR_SUCCESS) continue;
        RegKey properties;
        if (RegOpenKeyExA(endpoint.Get(), kPropertiesA, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, properties.Put()) !=
            ERROR_SUCCESS)
            continue;
        if (!ReadString(properties.Get(), kHardwareIdValue, buffer, kNamingValueBytes) ||
            !ContainsIgnoreCaseA(buffer, kDriverHardwareIdA))
            continue;
        if (!ReadString(properties.Get(), kMatchKeyValue, buffer, kNamingValueBytes) ||
            !ContainsIgnoreCaseA(buffer, row->m_pszMatchKey))
            continue;
        found = true;
        failures += WriteNameUntilConfirmed(properties.Get(), row->m_pszDisplayName, buffer);
        if (!RenameInPropertyStore(name, row->m_pszDisplayName)) ++failures;
    }
    std::free(buffer);
    pending = (found && failures == 0) ? 0 : 1;
}

bool RenameInPropertyStore(const char* endpointKeyName, const char* name) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                enumerator.PutVoid())))
        return false;
    ComPtr<IMMDeviceCollection> endpoints;
    if (FAILED(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATEMASK_ALL, endpoints.Put()))) return false;
    UINT count = 0;
    if (FAILED(endpoints->GetCount(&count))) count = 0;

    int matched = 0;
    int confirmed = 0;
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        if (FAILED(endpoints->Item(i, device.Put())) || !device) continue;
        ComPtr<IPropertyStore> store;
        if (FAILED(device->OpenPropertyStore(STGM_READWRITE, store.Put())) || !store) continue;
        CoTaskString id;
        device->GetId(id.Put());
        PropVariant guid;
        char guidText[kTextUnits];
        if (FAILED(store->GetValue(PKEY_AudioEndpoint_GUID, guid.Put())) || !guid.String() ||
            !NarrowBounded(guid.String(), kTextUnits, guidText, sizeof guidText) ||
            !EqualsIgnoreCaseA(guidText, endpointKeyName))
            continue;
        ++matched;
        WCHAR wide[kTextUnits];
        if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kTextUnits) <= 0) continue;

        PROPVARIANT value;
        PropVariantInit(&value);
        const std::size_t bytes = (BoundedLength(wide, kTextUnits) + 1) * sizeof(WCHAR);
        value.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!value.pwszVal) continue;
        std::memcpy(value.pwszVal, wide, bytes);
        value.vt = VT_LPWSTR;
        // SetValue changes only this store object; Commit makes it the endpoint's. What the endpoint then
        // holds is read through a store of its own, not through the one that was written.
        const bool committed = SUCCEEDED(store->SetValue(PKEY_Device_DeviceDesc, value)) && SUCCEEDED(store->Commit());
        PropVariantClear(&value);
        if (!committed) continue;

        ComPtr<IPropertyStore> fresh;
        PropVariant back;
        if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, fresh.Put())) && fresh &&
            SUCCEEDED(fresh->GetValue(PKEY_Device_DeviceDesc, back.Put())) && back.String() &&
            SameTextOrdinal(back.String(), wide, false))
            ++confirmed;
    }
    return matched > 0 && matched == confirmed;
}

void ShowEndpoint(CConsoleSupervisor& supervisor, int index) {
    const CUSBDevice* model = supervisor.m_pCurrentModel;
    if (!model || !model->UsesStream(index)) return;
    CVirtualDriverChannel& channel = supervisor.m_Channel;
    bool enabled = false;
    if (channel.IsOpen() && index >= 0 && index < kVirtualStreamCount)
        enabled = SendIndexRequest(channel, IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_ENABLE : IOCTL_VAD_RENDER_ENABLE,
                                   index);
    if (enabled) RefreshEndpointIds(channel);
    RenameEndpoint(supervisor, index);

    ComPtr<IPolicyConfig> policy;
    if (SUCCEEDED(CoCreateInstance(CLSID_PolicyConfig, nullptr, CLSCTX_ALL, IID_IPolicyConfig, policy.PutVoid())) &&
        policy) {
        const WCHAR* id = (index >= 0 && index < kVirtualStreamCount) ? channel.m_pEndpointIds[index] : nullptr;
        // A stream whose endpoint id is unknown has nothing to show: the policy object reads the string.
        if (id) policy->SetEndpointVisibility(id, TRUE);
    }
}

void HideEndpoint(CConsoleSupervisor& supervisor, int index) {
    CVirtualDriverChannel& channel = supervisor.m_Channel;
    const bool known = index >= 0 && index < kVirtualStreamCount;
    // A stream whose endpoint id is unknown (the driver gave none) is skipped: the policy object reads the
    // string it is given.
    const WCHAR* id = known ? channel.m_pEndpointIds[index] : nullptr;
    ComPtr<IPolicyConfig> policy;
    if (id && SUCCEEDED(CoCreateInstance(CLSID_PolicyConfig, nullptr, CLSCTX_ALL, IID_IPolicyConfig, policy.PutVoid())) &&
        policy)
        policy->SetEndpointVisibility(id, FALSE);
    if (channel.IsOpen() && known)
        SendIndexRequest(channel, IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_DISABLE : IOCTL_VAD_RENDER_DISABLE,
                         index);
    if (known) supervisor.m_RenamePending[index] = 0;
}

void FindConsoleEndpoint(int dataFlow, const WCHAR* const* candidates, std::size_t count,
                         IAudioEndpointVolume** volume, GUID* containerId) {
    if (volume) *volume = nullptr;
    if (containerId) *containerId = GUID{};
    if (!volume || !containerId) return;

    ComPtr<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_IMMDeviceEnumerator,
                                enumerator.PutVoid())))
        return;
    ComPtr<IMMDeviceCollection> endpoints;
    if (FAILED(enumerator->EnumAudioEndpoints(static_cast<EDataFlow>(dataFlow), DEVICE_STATE_ACTIVE, endpoints.Put())))
        return;
    UINT total = 0;
    if (FAILED(endpoints->GetCount(&total))) total = 0;

    for (UINT i = 0; i < total && !*volume; ++i) {
        ComPtr<IMMDevice> device;
        if (FAILED(endpoints->Item(i, device.Put())) || !device) continue;
        CoTaskString id;
        {
            ComPtr<IPropertyStore> store;
            if (FAILED(device->OpenPropertyStore(STGM_READ, store.Put()))) continue;
            device->GetId(id.Put());
        }
        if (!id.Get()) continue;
        bool listed = false;
        for (std::size_t c = 0; c < count && !listed; ++c) listed = ContainsIgnoreCaseW(candidates[c], id.Get());
        if (!listed) continue;

        if (FAILED(device->Activate(IID_IAudioEndpointVolume, CLSCTX_INPROC_SERVER, nullptr,
                                    reinterpret_cast<void**>(volume))))
            *volume = nullptr;

        ComPtr<IDeviceTopology> topology;
        ComPtr<IConnector> connector;
        CoTaskString connectedId;
        ComPtr<IMMDevice> connected;
        ComPtr<IPropertyStore> store;
        PropVariant container;
        if (FAILED(device->Activate(IID_IDeviceTopology, CLSCTX_ALL, nullptr, topology.PutVoid())) || !topology ||
            FAILED(topology->GetConnector(0, connector.Put())) || !connector ||
            FAILED(connector->GetDeviceIdConnectedTo(connectedId.Put())) || !connectedId.Get() ||
            FAILED(enumerator->GetDevice(connectedId.Get(), connected.Put())) || !connected ||
            FAILED(connected->OpenPropertyStore(STGM_READ, store.Put())) || !store ||
            FAILED(store->GetValue(PKEY_Device_ContainerId, container.Put())))
            continue;
        if (container.Get().vt == VT_CLSID && container.Get().puuid) *containerId = *container.Get().puuid;
    }
}
