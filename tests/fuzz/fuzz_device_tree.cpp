// SetupAPI and endpoint-store input from fuzz data: a node with the virtual driver's hardware id whose
// hardware-id and bus-relation multi-strings have any type and content; endpoint keys under the store's
// Capture and Render keys with names and identifier values of any length, type and encoding; and a KS
// audio node whose bus relations and interface "FriendlyName" are fuzzed too, its filter answering from
// the same input (tests/fuzz/FuzzKsDevice.h keys). Then the endpoint-id walk and both filter enumerations.
//
// Keys: 60 hardware ids and 61 bus relations of the driver-like node (mode: fuzz::PropertyType; bytes: data),
// 62 endpoint keys (mode bit 0: Render, bit 1: jack subtype instead of instance id, bits 2-7: registry
// type; bytes: 1 byte n, n UTF-16 units of the key name, the rest the value), 64 the KS node's bus
// relations (mode: type), 65 its "FriendlyName" (mode: registry type), 66 the KS log level the
// enumeration runs at (mode % 6; without it nothing is logged). The log puts the paths, names and
// relations through its formatter; it is a fifth of an input's time, so the input chooses it.
#include <cstring>
#include <string>

#include "Service/Quillon/ks/KsDebug.h"
#include "Service/Quillon/ks/KsEnumFilters.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "tests/fuzz/FuzzDriver.h"
#include "tests/fuzz/FuzzKsDevice.h"
#include "tests/fuzz/FuzzProcess.h"
#include "tests/fuzz/FuzzRepeat.h"

namespace {

const char kStoreRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\";

void AddEndpointKey(const fuzz::Answer& a) {
    if (a.bytes.empty()) return;
    const std::size_t units = std::min<std::size_t>(a.bytes[0], (a.bytes.size() - 1) / 2);
    std::u16string name;
    for (std::size_t i = 0; i < units; ++i)
        name.push_back(static_cast<char16_t>(a.bytes[1 + 2 * i] | (a.bytes[2 + 2 * i] << 8)));
    if (name.empty()) name = u"{0.0.1.00000000}.{fuzz}";
    std::u16string path;
    for (const char c : std::string(kStoreRoot) + ((a.mode & 1) ? "Render\\" : "Capture\\")) path.push_back(c);
    path += name + u"\\Properties";
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const WCHAR*>(path.c_str()), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    const char16_t* value = (a.mode & 2) ? u"{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},8"
                                         : u"{9c119480-ddc2-4954-a150-5bd240d454ad},2";
    const std::size_t at = 1 + 2 * units;
    RegSetValueExW(key, reinterpret_cast<const WCHAR*>(value), 0, (a.mode >> 2) % 12,
                   at < a.bytes.size() ? a.bytes.data() + at : nullptr, static_cast<DWORD>(a.bytes.size() - at));
    RegCloseKey(key);
}

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    fuzz::InstallDriver(driver);

    sim::DeviceNode media;
    media.instanceId = "ROOT\\MEDIA\\0001";
    media.setupClass = GUID_DEVCLASS_MEDIA;
    media.friendlyName = "Fuzzed driver";
    media.hardwareIds = {"Root\\Quillon_VirtualAudio"};
    if (const fuzz::Answer* p = answers.Next(60)) media.properties.push_back({DEVPKEY_Device_HardwareIds, fuzz::PropertyType(p->mode), p->bytes});
    if (const fuzz::Answer* p = answers.Next(61)) media.properties.push_back({DEVPKEY_Device_BusRelations, fuzz::PropertyType(p->mode), p->bytes});
    machine.Devices().AddDevice(media, {});
    for (const fuzz::Answer* a = answers.Next(62); a && answers.Has(62);) {
        AddEndpointKey(*a);
        const fuzz::Answer* next = answers.Next(62);
        if (next == a) break;  // the last record repeats: every key is in
        a = next;
    }

    auto filter = std::make_shared<fuzz::FuzzFilter>(machine, answers);
    sim::DeviceNode audio;
    audio.instanceId = "USB\\VID_7A3E&PID_0072&MI_00\\7&FUZZ&0&0000";
    audio.friendlyName = "Fuzzed console";
    if (const fuzz::Answer* p = answers.Next(64)) audio.properties.push_back({DEVPKEY_Device_BusRelations, fuzz::PropertyType(p->mode), p->bytes});
    const std::u16string audioPath = sim::DeviceTree::InterfacePath(audio.instanceId, KSCATEGORY_AUDIO, "global");
    const std::u16string renderPath = sim::DeviceTree::InterfacePath(audio.instanceId, KSCATEGORY_RENDER, "global");
    const std::u16string capturePath = sim::DeviceTree::InterfacePath(audio.instanceId, KSCATEGORY_CAPTURE, "global");
    machine.Devices().AddDevice(audio, {{KSCATEGORY_AUDIO, audioPath, filter, SPINT_ACTIVE, ""},
                                        {KSCATEGORY_RENDER, renderPath, filter, SPINT_ACTIVE, ""},
                                        {KSCATEGORY_CAPTURE, capturePath, filter, SPINT_ACTIVE, ""}});
    if (const fuzz::Answer* p = answers.Next(65)) {
        HKEY key = nullptr;
        const std::string keyPath = sim::DeviceTree::InterfaceKeyPath(audioPath, KSCATEGORY_AUDIO);
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, "FriendlyName", 0, p->mode % 12, p->bytes.empty() ? nullptr : p->bytes.data(),
                           static_cast<DWORD>(p->bytes.size()));
            RegCloseKey(key);
        }
    }

    const fuzz::Answer* logLevel = answers.Next(66);
    g_ulKsDebugLevel = logLevel ? logLevel->mode % 6 : 0;
    fuzz::RunInProcess(machine, [&] {
        CVirtualDriverChannel channel;  // walks the endpoints once as it opens
        RefreshEndpointIds(channel);  // a second walk replaces what the first found
        CKsEnumFilters render;
        render.EnumRenderFilters();
        CKsEnumFilters capture;
        capture.EnumCaptureFilters();
    });
    g_ulKsDebugLevel = 0;
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
