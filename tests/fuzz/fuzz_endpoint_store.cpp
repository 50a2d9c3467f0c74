// The endpoint store as the service reads it, from fuzz input: endpoint keys with names of any content
// and length, their property values (device description, hardware and match texts, instance id, jack
// subtype, endpoint GUID, device state) of any registry type, size and encoding, endpoints whose topology
// leads to a device node with a container id of any property type, the console filter's candidate
// strings, and failures of the store's COM and registry calls. Then the service's own code walks it: the
// endpoint-id walk, naming (registry and property store), showing and hiding, and the console endpoint
// search, from a supervisor running in a simulated service process.
//
// Keys:
//   70 an endpoint key. mode bit 0: Render (else Capture); bit 1: a device node below the driver's node
//      whose instance id is "SWD\MMDEVAPI\" + the endpoint's id (so the id walk follows it); bit 2: the
//      instance-id value names that node; bit 3: the driver's values for stream bits 4-7 (jack subtype,
//      hardware and match texts, endpoint GUID = the key name). bytes: 1 byte n, n UTF-16 units of the key
//      name, then values, each [selector][registry type][length, 2 bytes LE][bytes] (kValues), written
//      after the ones the mode asks for, so they override them
//   71 an endpoint whose topology leads to a device node. mode bit 0: Render; bit 1: its id is among the
//      candidates; bit 2: the node is gone. bytes: 16 bytes GUID, 1 byte property type (fuzz::PropertyType)
//      of the node's container id, the container id's bytes
//   72 a candidate string (UTF-16 units, terminated by the harness)
//   73 the script. mode % 7: the console model (6: none). bytes: one operation each (at most 32):
//      bits 0-3 stream index or record number, bits 4-6 the operation (kOperations), bit 7 unused
//   74 failures: pairs [call (kCalls index)][n]: the n-th call (from 1) of it fails with a realistic error
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/supervisor/RegistrySettings.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/Quillon/vdriver/VirtualDriverChannel.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/fault_errors.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"
#include "tests/fuzz/FuzzAnswers.h"
#include "tests/fuzz/FuzzDriver.h"
#include "tests/fuzz/FuzzRepeat.h"
#include "tests/fuzz/FuzzSupervisor.h"

namespace {

constexpr std::uint8_t kEndpointKey = 70;
constexpr std::uint8_t kTopologyKey = 71;
constexpr std::uint8_t kCandidateKey = 72;
constexpr std::uint8_t kScriptKey = 73;
constexpr std::uint8_t kFailureKey = 74;

const char kStoreRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\";
const char kDriverNode[] = "ROOT\\MEDIA\\0000";

// The values the service reads below an endpoint's key (selector % 7); the last is on the key itself.
const char* const kValues[] = {
    "{a45c254e-df1c-4efd-8020-67d146a850e0},2",  // PKEY_Device_DeviceDesc
    "{83da6326-97a6-4088-9453-a1923f573b29},3",  // hardware id text
    "{233164c8-1b2c-4c7d-bc68-b671687a2567},1",  // match-key text
    "{9c119480-ddc2-4954-a150-5bd240d454ad},2",  // device instance id
    "{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},8",  // jack subtype
    "{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},4",  // PKEY_AudioEndpoint_GUID
    "DeviceState",
};
constexpr std::size_t kValueCount = sizeof kValues / sizeof kValues[0];

// The calls a failure can hit.
const char* const kCalls[] = {
    "CoCreateInstance",
    "IMMDeviceEnumerator::EnumAudioEndpoints",
    "IMMDeviceEnumerator::GetDevice",
    "IMMDeviceCollection::GetCount",
    "IMMDeviceCollection::Item",
    "IMMDevice::OpenPropertyStore",
    "IMMDevice::GetId",
    "IMMDevice::Activate",
    "IPropertyStore::GetValue",
    "IPropertyStore::SetValue",
    "IDeviceTopology::GetConnector",
    "IConnector::GetDeviceIdConnectedTo",
    "IPolicyConfig::SetEndpointVisibility",
    "CoTaskMemAlloc",
    "RegOpenKeyExW",
    "RegOpenKeyExA",
    "RegEnumKeyExW",
    "RegEnumKeyExA",
    "RegGetValueW",
    "RegGetValueA",
    "RegSetValueExA",
    "SetupDiGetDevicePropertyW",
};
constexpr std::size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

enum Operation { kShow, kHide, kRename, kRefresh, kFindRender, kFindCapture, kRenameInStore, kFindStream };

// Every record of a key, in input order.
std::vector<const fuzz::Answer*> All(fuzz::Answers& answers, std::uint8_t key) {
    std::vector<const fuzz::Answer*> all;
    for (const fuzz::Answer* a = answers.Next(key); a && (all.empty() || a != all.back()); a = answers.Next(key))
        all.push_back(a);
    return all;
}

std::u16string Wide(const std::string& text) {
    std::u16string wide;
    for (const char c : text) wide.push_back(static_cast<unsigned char>(c));
    return wide;
}

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

void SetValue(HKEY key, const char16_t* name, DWORD type, const std::uint8_t* bytes, std::size_t size) {
    RegSetValueExW(key, W(name), 0, type, size ? bytes : nullptr, static_cast<DWORD>(size));
}

void SetText(HKEY key, const std::u16string& name, const std::u16string& text) {
    SetValue(key, name.c_str(), REG_SZ, reinterpret_cast<const std::uint8_t*>(text.c_str()), (text.size() + 1) * 2);
}

// One endpoint key (key 70); returns its key name.
std::u16string AddEndpointKey(sim::Machine& machine, const fuzz::Answer& a) {
    const std::vector<std::uint8_t>& b = a.bytes;
    const std::size_t units = b.empty() ? 0 : std::min<std::size_t>(b[0], (b.size() - 1) / 2);
    std::u16string name;
    for (std::size_t i = 0; i < units; ++i) name.push_back(static_cast<char16_t>(b[1 + 2 * i] | (b[2 + 2 * i] << 8)));
    if (name.empty()) name = u"{fuzz}";
    const bool render = a.mode & 1;
    const std::u16string keyPath = Wide(std::string(kStoreRoot) + (render ? "Render\\" : "Capture\\")) + name;
    HKEY endpoint = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(keyPath), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &endpoint, nullptr) !=
        ERROR_SUCCESS)
        return name;
    HKEY properties = nullptr;
    if (RegCreateKeyExW(endpoint, W(u"Properties"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &properties, nullptr) !=
        ERROR_SUCCESS) {
        RegCloseKey(endpoint);
        return name;
    }
    const std::u16string id = (render ? u"{0.0.0.00000000}." : u"{0.0.1.00000000}.") + name;
    const std::string child = "SWD\\MMDEVAPI\\" + Upper(sim::Narrow(W(id)));
    if (a.mode & 2) {
        sim::DeviceNode node;
        node.instanceId = child;
        node.parent = kDriverNode;
        node.hardwareIds = {"MMDEVAPI\\AudioEndpoints"};
        machine.Devices().AddDevice(node);
    }
    if (a.mode & 4) SetText(properties, Wide(kValues[3]), sim::Wide(child));
    if (a.mode & 8) {
        const int stream = a.mode >> 4;
        const EndpointChannel* row = EndpointChannelRow(stream);
        SetText(properties, Wide(kValues[4]), reinterpret_cast<const char16_t*>(JackSubtypeString(stream)));
        SetText(properties, Wide(kValues[1]), u"{1}.ROOT\\QUILLON_VIRTUALAUDIO\\0000");
        SetText(properties, Wide(kValues[2]), u"Quillon " + Wide(row->m_pszMatchKey) + u" Wave");
        SetText(properties, Wide(kValues[5]), name);
    }
    for (std::size_t at = 1 + 2 * units; at + 4 <= b.size();) {
        const std::size_t length = std::min<std::size_t>(b[at + 2] | (b[at + 3] << 8), b.size() - at - 4);
        const std::size_t which = b[at] % kValueCount;
        const std::u16string valueName = Wide(kValues[which]);
        SetValue(which + 1 == kValueCount ? endpoint : properties, valueName.c_str(), b[at + 1] % 12,
                 b.data() + at + 4, length);
        at += 4 + length;
    }
    RegCloseKey(properties);
    RegCloseKey(endpoint);
    return name;
}

// One endpoint whose topology leads to a device node with a container id (key 71); its id when listed.
std::string AddTopologyEndpoint(sim::Machine& machine, const fuzz::Answer& a, int number) {
    sim::EndpointStore::Endpoint e;
    e.flow = (a.mode & 1) ? sim::EndpointStore::Flow::Render : sim::EndpointStore::Flow::Capture;
    if (!a.bytes.empty()) std::memcpy(&e.guid, a.bytes.data(), std::min(a.bytes.size(), sizeof e.guid));
    e.description = "Fuzzed console";
    e.topologyNode = "USB\\VID_7A3E&PID_0072&MI_00\\FUZZ" + std::to_string(number);
    const std::string id = sim::EndpointStore::Of(machine).Add(e);
    if (!(a.mode & 4)) {
        sim::DeviceNode node;
        node.instanceId = e.topologyNode;
        if (a.bytes.size() > sizeof(GUID)) {
            const auto* from = a.bytes.data() + sizeof(GUID);
            node.properties.push_back({DEVPKEY_Device_ContainerId, fuzz::PropertyType(from[0]),
                                       std::vector<std::uint8_t>(from + 1, a.bytes.data() + a.bytes.size())});
        }
        machine.Devices().AddDevice(node);
    }
    return (a.mode & 2) ? "SWD\\MMDEVAPI\\" + Upper(id) : std::string();
}

const CUSBDevice* Model(std::uint8_t mode) {
    switch (mode % 7) {
    case 0: return &QuillonAlto();
    case 1: return &QuillonAltoAlt();
    case 2: return &QuillonAlto2026();
    case 3: return &QuillonBasso();
    case 4: return &QuillonBassoAlt();
    case 5: return &QuillonBasso2026();
    default: return nullptr;
    }
}

void FindConsole(int flow, const std::vector<std::u16string>& candidates) {
    std::vector<const WCHAR*> pointers;
    for (const auto& c : candidates) pointers.push_back(W(c));
    IAudioEndpointVolume* volume = nullptr;
    GUID container{};
    FindConsoleEndpoint(flow, pointers.data(), pointers.size(), &volume, &container);
    if (volume) {
        float level = 0;
        volume->GetMasterVolumeLevelScalar(&level);
        volume->Release();
    }
}

// Fails the chosen calls: the n-th call of each, counted from when the body starts.
class Failures {
public:
    explicit Failures(const fuzz::Answer* a) {
        for (std::size_t at = 0; a && at + 2 <= a->bytes.size() && at < 32; at += 2)
            chosen_[kCalls[a->bytes[at] % kCallCount]].failing.push_back(a->bytes[at + 1]);
    }
    void Install(sim::Machine& machine) {
        if (chosen_.empty()) return;
        machine.SetCallObserver([this](sim::Process&, const char* function, std::uint64_t) {
            sim::Machine::CallFate fate;
            std::lock_guard lock(mutex_);
            auto it = chosen_.find(std::string_view(function));  // every call of the body comes here
            if (it == chosen_.end()) return fate;
            const std::uint64_t n = ++it->second.calls;
            const std::vector<std::uint64_t>& failing = it->second.failing;
            if (std::find(failing.begin(), failing.end(), n) == failing.end()) return fate;
            const std::vector<DWORD> errors = sim::RealisticErrors(function);
            fate.fail = true;
            fate.error = errors.empty() ? static_cast<DWORD>(E_FAIL) : errors[n % errors.size()];
            return fate;
        });
    }

private:
    struct Chosen {
        std::vector<std::uint64_t> failing;  // the numbers of the calls that fail
        std::uint64_t calls = 0;             // calls so far
    };
    std::map<std::string, Chosen, std::less<>> chosen_;
    std::mutex mutex_;
};

std::string RunOne(const std::uint8_t* data, std::size_t size) {
    fuzz::Answers answers(data, size);
    sim::Machine machine;
    sim::VirtualAudioDriver driver{machine};
    fuzz::InstallDriver(driver);
    // Bridging off: the supervisor's loop must not start streams of its own before it is stopped.
    machine.Reg().SetDword(std::string("HKLM\\") + kSettingsKeyPath, kEnableValueName, 0);

    std::vector<std::u16string> names;
    for (const fuzz::Answer* a : All(answers, kEndpointKey)) names.push_back(AddEndpointKey(machine, *a));
    std::vector<std::u16string> candidates;
    int number = 0;
    for (const fuzz::Answer* a : All(answers, kTopologyKey)) {
        const std::string listed = AddTopologyEndpoint(machine, *a, number++);
        if (!listed.empty()) candidates.push_back(sim::Wide(listed));
    }
    for (const fuzz::Answer* a : All(answers, kCandidateKey)) {
        std::u16string text;
        for (std::size_t i = 0; i + 1 < a->bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(a->bytes[i] | (a->bytes[i + 1] << 8)));
        candidates.push_back(text);
    }
    const fuzz::Answer* script = answers.Next(kScriptKey);
    std::vector<std::uint8_t> steps = script ? script->bytes : std::vector<std::uint8_t>{0x20, 0x01, 0x11, 0x40, 0x50};
    if (steps.size() > 32) steps.resize(32);
    const CUSBDevice* model = Model(script ? script->mode : 0);
    Failures failures(answers.Next(kFailureKey));

    fuzz::RunWithSupervisor(
        machine,
        [&](CConsoleSupervisor& supervisor) {
            supervisor.m_pCurrentModel = model;
            failures.Install(machine);
            for (const std::uint8_t step : steps) {
                const int index = step & 15;
                switch ((step >> 4) & 7) {
                case kShow: ShowEndpoint(supervisor, index); break;
                case kHide: HideEndpoint(supervisor, index); break;
                case kRename: RenameEndpoint(supervisor, index); break;
                case kRefresh: RefreshEndpointIds(supervisor.m_Channel); break;
                case kFindRender: FindConsole(eRender, candidates); break;
                case kFindCapture: FindConsole(eCapture, candidates); break;
                case kRenameInStore:
                    if (!names.empty()) {
                        const std::string name = sim::Narrow(W(names[index % names.size()]));
                        RenameInPropertyStore(name.c_str(), EndpointChannelRow(index)->m_pszDisplayName);
                    }
                    break;
                case kFindStream:
                    if (!names.empty()) {
                        const std::u16string child = u"SWD\\MMDEVAPI\\{0.0.1.00000000}." + names[index % names.size()];
                        HKEY root = nullptr;
                        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio",
                                          0, KEY_ENUMERATE_SUB_KEYS, &root) == ERROR_SUCCESS) {
                            FindStreamForEndpoint(supervisor.m_Channel, W(child), root, W(u"Capture"));
                            FindStreamForEndpoint(supervisor.m_Channel, W(child), root, W(u"Render"));
                            RegCloseKey(root);
                        }
                    }
                    break;
                }
            }
        },
        [&] { machine.SetCallObserver({}); });  // the supervisor hid every endpoint as it went
    // Whatever the store answered, the service released every object and string it was handed.
    sim::EndpointStore& store = sim::EndpointStore::Of(machine);
    if (store.LiveObjects() != 0 || store.LiveTaskMemory() != 0) {
        std::fprintf(stderr, "fuzz: %ld COM objects and %ld task-memory blocks left\n", store.LiveObjects(),
                     store.LiveTaskMemory());
        std::abort();
    }
    return fuzz::Trace(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzz::RunChecked(data, size, RunOne);
}
