// The endpoint store's registry form, its records and the virtual driver's sixteen endpoints.
#include "platform/sim/include/sim/endpoint_store.h"

#include <cstdio>
#include <cstring>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"

namespace sim {

namespace {

// {C166523C-FE0C-4A94-A586-F1A80CFBBF3E}: audio endpoints
constexpr GUID kAudioEndpointSetupClass = {0xc166523c, 0xfe0c, 0x4a94, {0xa5, 0x86, 0xf1, 0xa8, 0x0c, 0xfb, 0xbf, 0x3e}};

std::string Upper(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return text;
}

// The driver's endpoints: jack subtype, the text holding the channel's match key, the driver's own name.
struct DriverEndpoint {
    const char* jackSubtype;
    const char* matchText;
    const char* description;
};
constexpr DriverEndpoint kDriverEndpoints[16] = {
    {"{C6C5F546-7CBD-44DD-95DB-4FBB546DAF0F}", "Quillon System Input Wave", "Line 1"},
    {"{56B0A54E-843E-4546-8D54-954E72E8490E}", "Quillon Combo1 Wave", "Line 2"},
    {"{D7776638-9BFF-4355-9659-EADC6DAFEFEB}", "Quillon Combo2 Wave", "Line 3"},
    {"{2B85B538-1EDB-48D9-A11F-C99ED4313EA9}", "Quillon Combo3 Wave", "Line 4"},
    {"{43E8F4E1-70BA-4569-AC28-7B8342BFC3C3}", "Quillon Combo4 Wave", "Line 5"},
    {"{B4219E46-A141-40D1-A69A-98EFB4A0DB94}", "Quillon Bluetooth Wave", "Line 6"},
    {"{E46A3D10-AAC3-48CE-BB1D-26B1728BCF89}", "Quillon PadBank Wave", "Line 7"},
    {"{44FC45C2-7ADC-4687-B4E7-79DE79C5CB1F}", "Quillon USB1Main Wave", "Line 8"},
    {"{F4DC92B9-42C1-4B2F-A0C7-2CB98EF6B5DE}", "Quillon USB1Chat Wave", "Line 9"},
    {"{1188BBD7-ADE7-459C-A1FA-C5E1747E50DD}", "Quillon USB2 Wave", "Line 10"},
    {"{FE96DF93-78FA-4139-8551-169E3968B82C}", "Quillon Headset Wave", "Line 11"},
    {"{545B6798-0E2B-4789-9868-A04EF6272DAE}", "Quillon System Output Wave", "Speakers 1"},
    {"{44753EB7-176B-47B5-8966-553D6B25120F}", "Quillon Game Wave", "Speakers 2"},
    {"{65D7D69C-B502-42BA-90F8-8D1B1FEFD01F}", "Quillon Music Wave", "Speakers 3"},
    {"{89F338D9-857C-4E77-9807-D5723F4EFC14}", "Quillon Virtual A Wave", "Speakers 4"},
    {"{30ED9466-BC60-4EBE-B514-F6D98F0B7BB2}", "Quillon Virtual B Wave", "Speakers 5"},
};

}  // namespace

EndpointStore::EndpointStore(Machine& machine) : machine_(machine) {
    machine_.Reg().SetWriteHook(
        [this](const std::string& keyPath, std::string_view valueName) { AfterWrite(keyPath, valueName); });
}

EndpointStore::~EndpointStore() = default;  // the registry goes with the machine; nothing to undo

std::string EndpointStore::IdOf(Flow flow, const GUID& guid) {
    char text[39];
    GuidTextTo(guid, text);
    std::string id;
    id.reserve(std::strlen(IdPrefix(flow)) + sizeof text);
    (id += IdPrefix(flow)) += text;
    return id;
}

std::string EndpointStore::KeyPathOf(Flow flow, const GUID& guid) {
    char text[39];
    GuidTextTo(guid, text);
    std::string path;
    path.reserve(FlowPath(flow).size() + 1 + sizeof text);
    ((path += FlowPath(flow)) += '\\') += text;
    return path;
}

std::string EndpointStore::ValueName(const GUID& fmtid, DWORD pid) {
    char text[64];
    return std::string(ValueNameTo(fmtid, pid, text));
}

std::string_view EndpointStore::ValueNameTo(const GUID& fmtid, DWORD pid, char (&out)[64]) {
    char guid[39];
    GuidTextTo(fmtid, guid);
    const int n = std::snprintf(out, sizeof out, "%s,%lu", guid, static_cast<unsigned long>(pid));
    return std::string_view(out, static_cast<std::size_t>(n));
}

std::string EndpointStore::Add(const Endpoint& e) {
    const std::string id = IdOf(e.flow, e.guid);
    const std::string key = KeyPathOf(e.flow, e.guid);
    const std::string properties = key + "\\Properties";
    Registry& reg = machine_.Reg();
    reg.SetDword(key, "DeviceState", e.state);
    std::vector<std::pair<std::string, RegValue>> values;
    values.reserve(6);
    auto put = [&](const char* name, const std::string& value) {
        if (!value.empty()) values.emplace_back(name, Registry::StringValue(value));
    };
    put(kDescriptionValue, e.description);
    put("{83da6326-97a6-4088-9453-a1923f573b29},3", e.hardwareText);
    put("{233164c8-1b2c-4c7d-bc68-b671687a2567},1", e.matchText);
    put("{9c119480-ddc2-4954-a150-5bd240d454ad},2",
        e.instanceId.empty() ? "SWD\\MMDEVAPI\\" + Upper(id) : e.instanceId);
    put("{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},8", e.jackSubtype);
    put("{1da5d803-d492-4edd-8c23-e0c0ffee7f0e},4", e.endpointGuid.empty() ? Upper(DeviceTree::GuidText(e.guid))
                                                                          : e.endpointGuid);
    if (!values.empty()) reg.SetValues(properties, std::move(values));
    if (!e.topologyNode.empty()) {
        // As the topology reports it: "{2}." and the node's interface path, lower case.
        std::string path = "\\\\?\\" + Lower(e.topologyNode);
        for (std::size_t i = 4; i < path.size(); ++i)
            if (path[i] == '\\') path[i] = '#';
        const std::string device = "{2}." + path + "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave";
        std::lock_guard lock(mutex_);
        topology_[Lower(id)] = device;
        deviceNodes_[Lower(device)] = e.topologyNode;
    }
    return id;
}

void EndpointStore::MarkNotPresent(Flow flow, const GUID& guid) {
    if (machine_.Reg().GetDword(KeyPathOf(flow, guid), "DeviceState"))
        machine_.Reg().SetDword(KeyPathOf(flow, guid), "DeviceState", 4);  // DEVICE_STATE_NOTPRESENT
}

void EndpointStore::Remove(Flow flow, const GUID& guid) {
    machine_.Reg().DeleteKey(KeyPathOf(flow, guid));
    std::lock_guard lock(mutex_);
    auto it = topology_.find(Lower(IdOf(flow, guid)));
    if (it != topology_.end()) {
        deviceNodes_.erase(Lower(it->second));
        topology_.erase(it);
    }
}

std::optional<DWORD> EndpointStore::State(Flow flow, const GUID& guid) {
    return machine_.Reg().GetDword(KeyPathOf(flow, guid), "DeviceState");
}

std::vector<std::string> EndpointStore::Ids(Flow flow) {
    std::vector<std::string> ids;
    const char* prefix = IdPrefix(flow);
    machine_.Reg().VisitSubKeys(FlowPath(flow), {}, [&](const std::string& key, const RegValue*) {
        ids.push_back(prefix + key);
    });
    return ids;
}

const char* EndpointStore::IdPrefix(Flow flow) { return flow == Flow::Capture ? "{0.0.1.00000000}." : "{0.0.0.00000000}."; }

std::string_view EndpointStore::FlowPath(Flow flow) {
    static constexpr char kCapture[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Capture";
    static constexpr char kRender[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\Render";
    static_assert(std::string_view(kCapture).starts_with(kRootPath) && std::string_view(kRender).starts_with(kRootPath));
    return flow == Flow::Capture ? kCapture : kRender;
}

std::optional<std::string> EndpointStore::Name(Flow flow, const GUID& guid) {
    return machine_.Reg().GetString(KeyPathOf(flow, guid) + "\\Properties", kDescriptionValue);
}

std::optional<bool> EndpointStore::Visible(const std::string& endpointId) {
    std::lock_guard lock(mutex_);
    auto it = visible_.find(Lower(endpointId));
    if (it == visible_.end()) return std::nullopt;
    return it->second;
}

std::vector<EndpointStore::VisibilityCall> EndpointStore::VisibilityCalls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

void EndpointStore::ClearVisibilityCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

void EndpointStore::RecordVisibility(const WCHAR* id, BOOL visible) {
    VisibilityCall call;
    call.nullId = id == nullptr;
    call.id = id ? Narrow(id) : std::string();
    call.visible = visible != FALSE;
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    if (id) visible_[Lower(call.id)] = call.visible;
}

void EndpointStore::InterfereWithNameWrites(int writes, const std::string& otherName) {
    std::lock_guard lock(mutex_);
    interfere_ = writes;
    otherName_ = otherName;
}

int EndpointStore::InterferenceLeft() {
    std::lock_guard lock(mutex_);
    return interfere_;
}

void EndpointStore::AfterWrite(const std::string& keyPath, std::string_view valueName) {
    if (!SameName(valueName, kDescriptionValue)) return;
    const std::size_t root = sizeof kRootPath - 1;  // below the root: its path and a backslash
    if (keyPath.size() <= root || keyPath[root] != '\\' || !SameName(std::string_view(keyPath).substr(0, root), kRootPath)) return;
    std::string other;
    {
        std::lock_guard lock(mutex_);
        if (interfere_ <= 0) return;
        --interfere_;
        other = otherName_;
    }
    machine_.Reg().SetString(keyPath, std::string(valueName), other);
    machine_.AddNote("endpoints", "the audio service rewrote " + keyPath + " to \"" + other + "\"");
}

void EndpointStore::FailVolumeActivation(const std::string& endpointId, bool fail) {
    std::lock_guard lock(mutex_);
    volumeFails_[Lower(endpointId)] = fail;
}

bool EndpointStore::VolumeFails(const std::string& endpointId) {
    std::lock_guard lock(mutex_);
    auto it = volumeFails_.find(Lower(endpointId));
    return it != volumeFails_.end() && it->second;
}

std::string EndpointStore::ConnectedDeviceId(const std::string& endpointId) {
    std::lock_guard lock(mutex_);
    auto it = topology_.find(Lower(endpointId));
    return it == topology_.end() ? std::string() : it->second;
}

std::optional<std::string> EndpointStore::NodeOfDeviceId(const std::string& deviceId) {
    std::lock_guard lock(mutex_);
    auto it = deviceNodes_.find(Lower(deviceId));
    if (it == deviceNodes_.end()) return std::nullopt;
    return it->second;
}

// ---- the virtual driver's endpoints ----

GUID VirtualDriverEndpointGuid(int streamIndex) {
    return GUID{0x5e1a0000u + static_cast<ULONG>(streamIndex),
                0x7c3b,
                0x4d2a,
                {0x9e, 0x51, 0x0a, 0x6b, 0x2c, 0x3d, 0x4e, static_cast<UCHAR>(streamIndex)}};
}

std::string VirtualDriverEndpointId(int streamIndex) {
    return EndpointStore::IdOf(streamIndex < 11 ? EndpointStore::Flow::Capture : EndpointStore::Flow::Render,
                               VirtualDriverEndpointGuid(streamIndex));
}

void RegisterVirtualDriverEndpoints(Machine& machine, const std::string& driverInstanceId, std::uint32_t streams) {
    EndpointStore& store = EndpointStore::Of(machine);
    for (int n = 0; n < 16; ++n) {
        if (!(streams & (1u << n))) continue;
        EndpointStore::Endpoint e;
        e.flow = n < 11 ? EndpointStore::Flow::Capture : EndpointStore::Flow::Render;
        e.guid = VirtualDriverEndpointGuid(n);
        e.description = kDriverEndpoints[n].description;
        e.hardwareText = "{1}.ROOT\\QUILLON_VIRTUALAUDIO\\0000";
        e.matchText = kDriverEndpoints[n].matchText;
        e.jackSubtype = kDriverEndpoints[n].jackSubtype;
        const std::string id = store.Add(e);

        DeviceNode node;
        node.instanceId = "SWD\\MMDEVAPI\\" + Upper(id);
        node.hardwareIds = {"MMDEVAPI\\AudioEndpoints"};
        node.parent = driverInstanceId;
        node.setupClass = kAudioEndpointSetupClass;
        node.friendlyName = std::string(kDriverEndpoints[n].description) + " (Quillon Virtual Audio Device)";
        machine.Devices().AddDevice(node);
    }
}

void RemoveVirtualDriverEndpoints(Machine& machine) {
    EndpointStore& store = EndpointStore::Of(machine);
    for (int n = 0; n < 16; ++n)
        store.Remove(n < 11 ? EndpointStore::Flow::Capture : EndpointStore::Flow::Render, VirtualDriverEndpointGuid(n));
}

}  // namespace sim
