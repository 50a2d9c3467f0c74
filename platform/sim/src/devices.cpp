// The device tree, SetupAPI over it, and device files with their I/O requests.
#include "platform/sim/include/sim/devices.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/include/sim/named_pipe.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/ks.h"
#include "platform/sim/src/block_pool.h"

namespace sim {

namespace {

// How a completion status travels in OVERLAPPED.Internal: 0, or a Win32 error in the NTSTATUS form.
constexpr ULONG_PTR kWin32StatusBase = 0xC0070000;

ULONG_PTR StatusOf(DWORD error) { return error == ERROR_SUCCESS ? 0 : (kWin32StatusBase | (error & 0xFFFF)); }

DWORD ErrorOf(ULONG_PTR status) {
    if (status == 0) return ERROR_SUCCESS;
    if ((status & 0xFFFF0000) == kWin32StatusBase) return static_cast<DWORD>(status & 0xFFFF);
    return ERROR_GEN_FAILURE;
}

char16_t LowerChar(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool SameText(const std::u16string& a, std::size_t length, const char16_t* b) {
    for (std::size_t i = 0; i < length; ++i)
        if (LowerChar(a[i]) != LowerChar(b[i])) return false;
    return true;
}

// A snapshot of interfaces, as SetupDiGetClassDevsW returns it.
class DevInfoSet final : public Object {
public:
    const char* TypeName() const override { return "DevInfoSet"; }
    struct Entry {
        GUID interfaceClass;
        std::u16string path;
        DWORD flags;
        DWORD devInst;
        GUID setupClass;
        std::string instanceId;
    };
    std::vector<Entry> entries;
    // The device information elements, as SetupDiEnumDeviceInfo walks them: for an interface set the
    // devices that own its interfaces, in order of first appearance; for a device set every present node
    // of the class, with or without interfaces.
    struct DeviceEntry {
        DWORD devInst;
        GUID setupClass;
    };
    std::vector<DeviceEntry> devices;

    void AddDevice(DWORD devInst, const GUID& setupClass) {
        for (auto& d : devices)
            if (d.devInst == devInst) return;
        devices.push_back({devInst, setupClass});
    }
};

bool SameKey(const DEVPROPKEY& a, const DEVPROPKEY& b) { return a.fmtid == b.fmtid && a.pid == b.pid; }

bool UnderEnumerator(const std::string& instanceId, const std::string& enumerator) {
    const std::string id = Lower(instanceId), e = Lower(enumerator);
    return id == e || (id.size() > e.size() && id.compare(0, e.size(), e) == 0 && id[e.size()] == '\\');
}

}  // namespace

// ---- requests ----

bool IoRequest::CompleteLocked(DWORD error, DWORD bytes) {
    if (completed_) return false;
    completed_ = true;
    error_ = error;
    information = bytes;
    if (ov_) {
        ov_->Internal = StatusOf(error);
        ov_->InternalHigh = bytes;
        if (ovEvent_) machine_->SetEventLocked(*ovEvent_);
    }
    machine_->SetEventLocked(done_);
    return true;
}

bool IoRequest::Complete(DWORD error, DWORD bytes) {
    std::lock_guard lock(machine_->Mutex());
    return CompleteLocked(error, bytes);
}

// ---- device properties ----

DeviceProperty DeviceProperty::Guid(const DEVPROPKEY& key, const GUID& value) {
    DeviceProperty p{key, DEVPROP_TYPE_GUID, {}};
    p.data.resize(sizeof(GUID));
    std::memcpy(p.data.data(), &value, sizeof(GUID));
    return p;
}

namespace {
// Appends `text` as terminated UTF-16 to `data`, converted in place.
void AppendWide(std::vector<BYTE>& data, const std::string& text) {
    const std::size_t units = WideTo(text, nullptr, 0) + 1;
    const std::size_t at = data.size();
    data.resize(at + units * sizeof(char16_t));
    WideTo(text, reinterpret_cast<char16_t*>(data.data() + at), units);
}
}  // namespace

DeviceProperty DeviceProperty::String(const DEVPROPKEY& key, const std::string& value) {
    DeviceProperty p{key, DEVPROP_TYPE_STRING, {}};
    AppendWide(p.data, value);
    return p;
}

DeviceProperty DeviceProperty::StringList(const DEVPROPKEY& key, const std::vector<std::string>& values) {
    DeviceProperty p{key, DEVPROP_TYPE_STRING_LIST, {}};
    for (auto& v : values) AppendWide(p.data, v);
    p.data.resize(p.data.size() + sizeof(char16_t));  // the empty string that ends the list
    return p;
}

// ---- device defaults ----

DWORD Device::Open(File&) { return ERROR_SUCCESS; }
void Device::Close(File&) {}

DWORD Device::Io(File& file, const std::shared_ptr<IoRequest>& r) {
    switch (r->kind) {
        case IoRequest::Kind::Control:
            return Control(file, r->code, r->in, r->inSize, r->out, r->outSize, &r->information);
        case IoRequest::Kind::Read: return Read(file, r->out, r->outSize, &r->information);
        case IoRequest::Kind::Write: return Write(file, r->in, r->inSize, &r->information);
    }
    return ERROR_INVALID_FUNCTION;
}

DWORD Device::Control(File&, DWORD, const void*, DWORD, void*, DWORD, DWORD*) { return ERROR_INVALID_FUNCTION; }
DWORD Device::Read(File&, void*, DWORD, DWORD*) { return ERROR_INVALID_FUNCTION; }
DWORD Device::Write(File&, const void*, DWORD, DWORD*) { return ERROR_INVALID_FUNCTION; }
void Device::CancelLocked(File&, IoRequest&) {}
void Device::Removed() {}
DWORD Device::CreatePin(File&, void*, ACCESS_MASK, std::shared_ptr<Device>*) { return ERROR_NOT_SUPPORTED; }

// ---- files ----

File::~File() {
    if (closed_ || !device) return;
    // The last handle went: the cleanup cancels what is still pending, then the device sees the close.
    if (!pending_.empty()) {
        Machine* machine = pending_.front()->machine_;
        std::lock_guard lock(machine->Mutex());
        for (auto& r : pending_) {
            if (r->completed_) continue;
            device->CancelLocked(*this, *r);
            r->CompleteLocked(ERROR_OPERATION_ABORTED, 0);
        }
        pending_.clear();
    }
    device->Close(*this);
}

bool File::Disconnected() const {
    for (const File* f = this; f; f = f->parent.get())
        if (f->device && f->device->IsRemoved()) return true;
    return false;
}

// ---- the tree ----

DeviceTree::DeviceTree(Machine& machine) : machine_(machine), requestBlocks_(std::make_shared<BlockPool>()) {}

DeviceTree::~DeviceTree() {
    // Devices stop their timers and see their files closed while the machine still stands; what is left
    // in the handle table afterwards is released without calling back.
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<std::shared_ptr<File>> files;
    {
        std::lock_guard lock(machine_.Mutex());
        for (auto& i : interfaces_)
            if (i.device && !i.device->removed_.exchange(true)) devices.push_back(i.device);
        for (auto& weak : files_)
            if (auto f = weak.lock(); f && !f->closed_) files.push_back(f);
    }
    for (auto& d : devices) d->Removed();
    for (auto& f : files) {
        f->closed_ = true;
        f->device->Close(*f);
    }
}

std::u16string DeviceTree::InterfacePath(const std::string& instanceId, const GUID& interfaceClass,
                                         const std::string& reference) {
    std::string id = instanceId;
    for (char& c : id)
        if (c == '\\') c = '#';
    std::string path = "\\\\?\\" + id + "#" + GuidText(interfaceClass);
    if (!reference.empty()) path += "\\" + reference;
    return Wide(path);
}

std::string DeviceTree::GuidText(const GUID& g) {
    char text[39];
    GuidTextTo(g, text);
    return text;
}

bool DeviceTree::AddDevice(DeviceNode node, std::vector<DeviceInterface> interfaces) {
    const std::string id = node.instanceId;
    {
        std::lock_guard lock(machine_.Mutex());
        for (auto& n : nodes_)
            if (SameName(n.instanceId, id)) return false;
        node.devInst = nextDevInst_++;
        nodes_.push_back(std::move(node));
        for (auto& i : interfaces) {
            i.instanceId = id;
            // A device object kept across an unplug (the console's HID interface) is present again.
            if (i.device) i.device->removed_.store(false);
            interfaces_.push_back(std::move(i));
        }
    }
    machine_.AddNote("devices", "plugged " + id);
    return true;
}

bool DeviceTree::AddInterface(const std::string& instanceId, DeviceInterface iface) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& n : nodes_) {
        if (!SameName(n.instanceId, instanceId)) continue;
        iface.instanceId = n.instanceId;
        interfaces_.push_back(std::move(iface));
        return true;
    }
    return false;
}

bool DeviceTree::RemoveDevice(const std::string& instanceId) {
    std::vector<std::shared_ptr<Device>> removed;
    std::vector<std::string> ids;
    {
        std::lock_guard lock(machine_.Mutex());
        for (auto& n : nodes_)
            if (SameName(n.instanceId, instanceId)) ids.push_back(Lower(n.instanceId));
        if (ids.empty()) return false;
        for (std::size_t i = 0; i < ids.size(); ++i)  // the nodes below, breadth first
            for (auto& n : nodes_)
                if (SameName(n.parent, ids[i])) ids.push_back(Lower(n.instanceId));
        auto gone = [&](const std::string& id) { return std::find(ids.begin(), ids.end(), Lower(id)) != ids.end(); };
        std::erase_if(nodes_, [&](const DeviceNode& n) { return gone(n.instanceId); });
        std::erase_if(interfaces_, [&](const DeviceInterface& i) {
            if (!gone(i.instanceId)) return false;
            if (i.device && !i.device->removed_.exchange(true)) removed.push_back(i.device);
            return true;
        });
        std::erase_if(files_, [](const std::weak_ptr<File>& f) { return f.expired(); });
        for (auto& weak : files_) {
            auto f = weak.lock();
            if (!f || !f->Disconnected()) continue;
            for (auto& r : f->pending_) r->CompleteLocked(ERROR_DEVICE_NOT_CONNECTED, 0);
            f->pending_.clear();
        }
    }
    for (auto& d : removed) d->Removed();
    machine_.AddNote("devices", "unplugged " + instanceId);
    return true;
}

std::optional<DeviceNode> DeviceTree::Node(const std::string& instanceId) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& n : nodes_)
        if (SameName(n.instanceId, instanceId)) return n;
    return std::nullopt;
}

std::vector<DeviceNode> DeviceTree::Nodes() {
    std::lock_guard lock(machine_.Mutex());
    return nodes_;
}

std::vector<DeviceNode> DeviceTree::Children(const std::string& instanceId) {
    std::lock_guard lock(machine_.Mutex());
    std::vector<DeviceNode> out;
    for (auto& n : nodes_)
        if (SameName(n.parent, instanceId)) out.push_back(n);
    return out;
}

std::vector<DeviceInterface> DeviceTree::Interfaces() {
    std::lock_guard lock(machine_.Mutex());
    return interfaces_;
}

std::vector<DeviceInterface> DeviceTree::Interfaces(const GUID& interfaceClass) {
    std::lock_guard lock(machine_.Mutex());
    std::vector<DeviceInterface> out;
    for (auto& i : interfaces_)
        if (i.interfaceClass == interfaceClass) out.push_back(i);
    return out;
}

std::size_t DeviceTree::OpenFileCount() {
    std::lock_guard lock(machine_.Mutex());
    std::size_t count = 0;
    for (auto& weak : files_)
        if (auto f = weak.lock(); f && !f->closed_) ++count;
    return count;
}

std::shared_ptr<File> DeviceTree::FileFor(HANDLE handle) { return machine_.LookupAs<File>(handle); }

HANDLE DeviceTree::RegisterFile(std::shared_ptr<File> file, DWORD* error) {
    if (!file->device) {
        file->closed_ = true;
        *error = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const DWORD status = file->Disconnected() ? ERROR_DEVICE_NOT_CONNECTED : file->device->Open(*file);
    if (status != ERROR_SUCCESS) {
        file->closed_ = true;  // refused: no Close for it
        *error = status;
        return INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard lock(machine_.Mutex());
        files_.push_back(file);
    }
    *error = ERROR_SUCCESS;
    return machine_.AddHandle(std::move(file));
}

HANDLE DeviceTree::OpenFile(std::shared_ptr<Device> device, std::shared_ptr<File> parent, DWORD access, DWORD flags,
                            DWORD* error) {
    auto file = std::make_shared<File>();
    file->device = std::move(device);
    if (parent) {
        file->path = parent->path;
        file->interfaceClass = parent->interfaceClass;
        file->instanceId = parent->instanceId;
    }
    file->parent = std::move(parent);
    file->access = access;
    file->flags = flags;
    DWORD ignored;
    return RegisterFile(std::move(file), error ? error : &ignored);
}

// ---- SetupAPI ----

HDEVINFO DeviceTree::GetClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags) {
    const bool allClasses = flags & DIGCF_ALLCLASSES;
    if (!classGuid && !allClasses) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string filter = enumerator ? Narrow(enumerator) : std::string();
    auto set = std::make_shared<DevInfoSet>();
    {
        std::lock_guard lock(machine_.Mutex());
        for (auto& i : interfaces_) {
            const DeviceNode* node = nullptr;
            for (auto& n : nodes_)
                if (n.instanceId == i.instanceId) node = &n;
            if (!node || (!filter.empty() && !UnderEnumerator(node->instanceId, filter))) continue;
            // An interface set selects by interface class; a device set by the nodes' setup class.
            const GUID& selector = (flags & DIGCF_DEVICEINTERFACE) ? i.interfaceClass : node->setupClass;
            if (!allClasses && selector != *classGuid) continue;
            if ((flags & DIGCF_DEVICEINTERFACE) && (flags & DIGCF_PRESENT) && !(i.flags & SPINT_ACTIVE)) continue;
            set->entries.push_back({i.interfaceClass, i.path, i.flags, node->devInst, node->setupClass, node->instanceId});
            if (flags & DIGCF_DEVICEINTERFACE) set->AddDevice(node->devInst, node->setupClass);
        }
        if (!(flags & DIGCF_DEVICEINTERFACE))
            for (auto& n : nodes_)
                if ((allClasses || n.setupClass == *classGuid) &&
                    (filter.empty() || UnderEnumerator(n.instanceId, filter)))
                    set->AddDevice(n.devInst, n.setupClass);
    }
    return machine_.AddHandle(set);
}

BOOL DeviceTree::EnumInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, const GUID* interfaceClass, DWORD index,
                                PSP_DEVICE_INTERFACE_DATA data) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!interfaceClass) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD seen = 0;
    for (std::size_t e = 0; e < set->entries.size(); ++e) {
        const auto& entry = set->entries[e];
        if (entry.interfaceClass != *interfaceClass || (devInfo && devInfo->DevInst != entry.devInst)) continue;
        if (seen++ != index) continue;
        data->InterfaceClassGuid = entry.interfaceClass;
        data->Flags = entry.flags;
        data->Reserved = e + 1;
        return TRUE;
    }
    SetError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL DeviceTree::InterfaceDetail(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize, PDWORD required,
                                 PSP_DEVINFO_DATA devInfo) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->entries.size()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) || (!detail && detailSize != 0) ||
        (devInfo && devInfo->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const auto& entry = set->entries[data->Reserved - 1];
    constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const DWORD needed = kPathOffset + static_cast<DWORD>((entry.path.size() + 1) * sizeof(WCHAR));
    if (required) *required = needed;
    if (devInfo) {
        devInfo->ClassGuid = entry.setupClass;
        devInfo->DevInst = entry.devInst;
        devInfo->Reserved = 0;
    }
    if (!detail || detailSize < needed) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(reinterpret_cast<BYTE*>(detail) + kPathOffset, entry.path.c_str(),
                (entry.path.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL DeviceTree::EnumDeviceInfo(HDEVINFO setHandle, DWORD index, PSP_DEVINFO_DATA devInfo) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!devInfo || devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->devices.size()) {
        SetError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    devInfo->ClassGuid = set->devices[index].setupClass;
    devInfo->DevInst = set->devices[index].devInst;
    devInfo->Reserved = 0;
    return TRUE;
}

std::optional<DeviceProperty> DeviceTree::PropertyLocked(const DeviceNode& node, const DEVPROPKEY& key) {
    for (auto& p : node.properties)
        if (SameKey(p.key, key)) {
            if (p.type == DEVPROP_TYPE_EMPTY) return std::nullopt;
            return p;
        }
    if (SameKey(key, DEVPKEY_Device_HardwareIds) && !node.hardwareIds.empty())
        return DeviceProperty::StringList(key, node.hardwareIds);
    if (SameKey(key, DEVPKEY_Device_BaseContainerId) && node.baseContainerId != GUID{})
        return DeviceProperty::Guid(key, node.baseContainerId);
    if ((SameKey(key, DEVPKEY_Device_ContainerId) || SameKey(key, DEVPKEY_Device_BaseContainerId)) &&
        node.containerId != GUID{})
        return DeviceProperty::Guid(key, node.containerId);
    if (SameKey(key, DEVPKEY_Device_FriendlyName) && !node.friendlyName.empty())
        return DeviceProperty::String(key, node.friendlyName);
    if (SameKey(key, DEVPKEY_Device_BusRelations)) {
        std::vector<std::string> children;
        for (auto& n : nodes_)
            if (SameName(n.parent, node.instanceId)) children.push_back(n.instanceId);
        if (!children.empty()) return DeviceProperty::StringList(key, children);
    }
    return std::nullopt;
}

std::optional<DeviceProperty> DeviceTree::Property(const std::string& instanceId, const DEVPROPKEY& key) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& n : nodes_)
        if (SameName(n.instanceId, instanceId)) return PropertyLocked(n, key);
    return std::nullopt;
}

bool DeviceTree::SetProperty(const std::string& instanceId, DeviceProperty property) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& n : nodes_) {
        if (!SameName(n.instanceId, instanceId)) continue;
        std::erase_if(n.properties, [&](const DeviceProperty& p) { return SameKey(p.key, property.key); });
        n.properties.push_back(std::move(property));
        return true;
    }
    return false;
}

BOOL DeviceTree::GetDevicePropertyW(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, const DEVPROPKEY* key,
                                    DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required, DWORD flags) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (flags != 0) {
        SetError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    if (!devInfo || devInfo->cbSize != sizeof(SP_DEVINFO_DATA) || !key || !type) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!buffer && size != 0) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::optional<sim::DeviceProperty> property;
    bool known = false;
    {
        std::lock_guard lock(machine_.Mutex());
        for (auto& d : set->devices)
            if (d.devInst == devInfo->DevInst) known = true;
        if (known)
            for (auto& n : nodes_)
                if (n.devInst == devInfo->DevInst) property = PropertyLocked(n, *key);
    }
    if (!known) {
        SetError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (!property) {
        SetError(ERROR_NOT_FOUND);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(property->data.size());
    *type = property->type;
    if (required) *required = needed;
    if (size < needed) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (needed) std::memcpy(buffer, property->data.data(), needed);
    return TRUE;
}

bool DeviceTree::SetInterfaceFlags(const std::u16string& path, DWORD flags) {
    std::lock_guard lock(machine_.Mutex());
    for (auto& i : interfaces_)
        if (i.path.size() == path.size() && SameText(i.path, path.size(), path.c_str())) {
            i.flags = flags;
            return true;
        }
    return false;
}

namespace {

// The reference string of an interface path: what follows the "\" after "\\?\...#{guid}".
std::u16string ReferenceOf(const std::u16string& path) {
    const std::size_t slash = path.find(u'\\', 4);
    return slash == std::u16string::npos ? std::u16string() : path.substr(slash + 1);
}

std::u16string Lower16(std::u16string text) {
    for (auto& c : text) c = LowerChar(c);
    return text;
}

}  // namespace

std::string DeviceTree::InterfaceKeyPath(const std::u16string& path, const GUID& interfaceClass) {
    const std::size_t slash = path.find(u'\\', 4);
    std::string link = Narrow(path.substr(0, slash).c_str());
    for (char& c : link)
        if (c == '\\') c = '#';
    const std::string reference = Narrow(ReferenceOf(path).c_str());
    return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + GuidText(interfaceClass) + "\\" + link +
           "\\#" + reference + "\\Device Parameters";
}

BOOL DeviceTree::InterfaceAlias(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data, const GUID* aliasClass,
                                PSP_DEVICE_INTERFACE_DATA alias) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->entries.size() || !aliasClass) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!alias || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::lock_guard lock(machine_.Mutex());
    const auto entry = set->entries[data->Reserved - 1];
    const std::u16string reference = Lower16(ReferenceOf(entry.path));
    // An alias is an interface of the other class on the same device with the same reference string.
    for (auto& i : interfaces_) {
        if (i.interfaceClass != *aliasClass || !SameName(i.instanceId, entry.instanceId) ||
            Lower16(ReferenceOf(i.path)) != reference)
            continue;
        std::size_t index = 0;
        for (std::size_t e = 0; e < set->entries.size() && !index; ++e)
            if (set->entries[e].path == i.path && set->entries[e].interfaceClass == i.interfaceClass) index = e + 1;
        if (!index) {
            set->entries.push_back({i.interfaceClass, i.path, i.flags, entry.devInst, entry.setupClass, i.instanceId});
            index = set->entries.size();
        }
        alias->InterfaceClassGuid = i.interfaceClass;
        alias->Flags = i.flags;
        alias->Reserved = index;
        return TRUE;
    }
    SetError(ERROR_NO_SUCH_INTERFACE_DEVICE);
    return FALSE;
}

HKEY DeviceTree::OpenInterfaceKey(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data, REGSAM sam) {
    auto set = machine_.LookupAs<DevInfoSet>(setHandle);
    if (!set) {
        SetError(ERROR_INVALID_HANDLE);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->entries.size()) {
        SetError(ERROR_INVALID_PARAMETER);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    const auto& entry = set->entries[data->Reserved - 1];
    HKEY key = nullptr;
    const LSTATUS status =
        machine_.Reg().Open(HKEY_LOCAL_MACHINE, InterfaceKeyPath(entry.path, entry.interfaceClass).c_str(), sam, &key);
    if (status != ERROR_SUCCESS) {
        SetError(static_cast<DWORD>(status));
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}

BOOL DeviceTree::DestroyList(HDEVINFO setHandle) {
    if (!machine_.LookupAs<DevInfoSet>(setHandle) || !machine_.CloseHandleValue(setHandle)) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- files and requests ----

HANDLE DeviceTree::CreateFile(LPCWSTR pathArg, DWORD access, DWORD flags) {
    if (!pathArg) {
        SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string path = pathArg;
    auto file = std::make_shared<File>();
    {
        std::lock_guard lock(machine_.Mutex());
        const DeviceInterface* best = nullptr;
        for (auto& i : interfaces_) {
            const std::size_t n = i.path.size();
            if (n == 0 || n > path.size() || !SameText(path, n, i.path.c_str())) continue;
            if (n < path.size() && path[n] != u'\\') continue;
            if (!best || n > best->path.size()) best = &i;
        }
        if (!best) {
            SetError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        file->device = best->device;
        file->interfaceClass = best->interfaceClass;
        file->instanceId = best->instanceId;
        if (best->path.size() < path.size()) file->reference = Narrow(path.c_str() + best->path.size() + 1);
    }
    if (!file->device) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    file->path = path;
    file->access = access;
    file->flags = flags;
    DWORD error;
    HANDLE handle = RegisterFile(std::move(file), &error);
    SetError(error);
    return handle;
}

BOOL DeviceTree::Io(HANDLE handle, IoRequest::Kind kind, DWORD code, void* in, DWORD inSize, void* out,
                    DWORD outSize, LPDWORD returned, LPOVERLAPPED ov) {
    auto file = FileFor(handle);
    if (!file) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool overlapped = file->Overlapped();
    // Windows needs an OVERLAPPED on an overlapped handle, and a byte count for a synchronous call.
    if ((overlapped && !ov) || (!overlapped && !returned)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (file->Disconnected()) {
        SetError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    auto request = std::allocate_shared<IoRequest>(PoolAllocator<IoRequest>(requestBlocks_));
    request->kind = kind;
    request->code = code;
    request->in = in;
    request->inSize = inSize;
    request->out = out;
    request->outSize = outSize;
    request->overlapped = overlapped;
    if (ThreadRec* thread = machine_.CurrentThread()) request->thread = thread->id;
    request->machine_ = &machine_;
    if (overlapped) {
        request->ov_ = ov;
        // The low-order bit of the event handle only keeps the completion away from a completion port.
        HANDLE eventHandle = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1});
        if (eventHandle) {
            request->ovEvent_ = machine_.LookupAs<Event>(eventHandle);
            if (!request->ovEvent_) {
                SetError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
        }
        std::lock_guard lock(machine_.Mutex());
        if (request->ovEvent_) request->ovEvent_->signaled = false;  // reset when the request is issued
        ov->Internal = STATUS_PENDING;  // DeviceIoControl's own doing; InternalHigh is left to the completion
        std::erase_if(file->pending_, [](const auto& r) { return r->completed_; });
        file->pending_.push_back(request);
    }
    const DWORD result = file->device->Io(*file, request);
    DWORD error;
    DWORD bytes;
    {
        std::lock_guard lock(machine_.Mutex());
        if (result != ERROR_IO_PENDING) {
            // An error at once is not reported through the OVERLAPPED: no status, no count, no event.
            // Success and the ERROR_MORE_DATA warning are.
            if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) {
                request->ov_ = nullptr;
                request->ovEvent_.reset();
                request->information = 0;
            }
            request->CompleteLocked(result, request->information);
        }
    }
    if (result == ERROR_IO_PENDING) {
        if (overlapped) {
            SetError(ERROR_IO_PENDING);
            return FALSE;
        }
        machine_.WaitObject(IoRequest::DoneOf(request), kNever);
    }
    {
        std::lock_guard lock(machine_.Mutex());
        error = request->error_;
        bytes = request->information;
    }
    // The count of a failed request is 0, except for the ERROR_MORE_DATA warning (the bytes the driver
    // returned, or for a size query the size it needs).
    if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) bytes = 0;
    if (returned) *returned = bytes;
    if (error != ERROR_SUCCESS) {
        SetError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL DeviceTree::OverlappedResult(HANDLE handle, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait) {
    auto file = FileFor(handle);
    if (!file) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!ov || !bytes) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<Waitable> waitOn;
    {
        std::lock_guard lock(machine_.Mutex());
        if (ov->Internal == STATUS_PENDING) {
            if (!wait) {
                SetError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            // Windows waits on the OVERLAPPED's event, or on the file when there is none.
            HANDLE eventHandle = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1});
            if (eventHandle) {
                waitOn = std::dynamic_pointer_cast<Waitable>(machine_.LookupLocked(eventHandle));
                if (!waitOn) {
                    SetError(ERROR_INVALID_HANDLE);
                    return FALSE;
                }
            } else {
                for (auto& r : file->pending_)
                    if (r->ov_ == ov && !r->completed_) waitOn = IoRequest::DoneOf(r);
            }
        }
    }
    if (waitOn) machine_.WaitObject(waitOn, kNever);
    std::lock_guard lock(machine_.Mutex());
    std::erase_if(file->pending_, [](const auto& r) { return r->completed_; });
    if (ov->Internal == STATUS_PENDING) {  // never issued on this file, failed at once, or still running
        SetError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    *bytes = static_cast<DWORD>(ov->InternalHigh);
    const DWORD error = ErrorOf(ov->Internal);
    if (error != ERROR_SUCCESS) {
        SetError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL DeviceTree::Cancel(HANDLE handle) {
    auto file = FileFor(handle);
    if (!file) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only the requests the calling thread issued on this handle; other threads' stay pending.
    ThreadRec* thread = machine_.CurrentThread();
    const DWORD caller = thread ? thread->id : 0;
    std::lock_guard lock(machine_.Mutex());
    for (auto& r : file->pending_) {
        if (r->completed_ || r->thread != caller) continue;
        file->device->CancelLocked(*file, *r);
        r->CompleteLocked(ERROR_OPERATION_ABORTED, 0);
    }
    std::erase_if(file->pending_, [](const auto& r) { return r->completed_; });
    return TRUE;
}

DWORD DeviceTree::CreatePin(HANDLE filter, void* connect, ACCESS_MASK access, PHANDLE pin) {
    auto file = FileFor(filter);
    if (!file) return ERROR_INVALID_HANDLE;
    if (!pin) return ERROR_INVALID_PARAMETER;
    if (file->Disconnected()) return ERROR_DEVICE_NOT_CONNECTED;
    std::shared_ptr<Device> device;
    if (DWORD error = file->device->CreatePin(*file, connect, access, &device)) return error;
    if (!device) return ERROR_GEN_FAILURE;
    DWORD error;
    HANDLE handle = OpenFile(std::move(device), file, access, file->flags, &error);
    if (handle == INVALID_HANDLE_VALUE) return error;
    *pin = handle;
    return ERROR_SUCCESS;
}

}  // namespace sim

// ---- the Win32 functions ----

namespace {

sim::DeviceTree& Tree() { return sim::Machine::Current().Devices(); }

bool Failing(const char* function, DWORD* error = nullptr) {
    DWORD err;
    if (!sim::Machine::Current().TakeFailure(function, &err)) return false;
    sim::SetError(err);
    if (error) *error = err;
    return true;
}

// A request refused before it started transferred nothing: its byte count reads 0, as Windows reports it.
bool FailingIo(const char* function, LPDWORD bytes) {
    if (!Failing(function)) return false;
    if (bytes) *bytes = 0;
    return true;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
    if (Failing("SetupDiGetClassDevsW")) return INVALID_HANDLE_VALUE;
    return Tree().GetClassDevs(ClassGuid, Enumerator, Flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    if (Failing("SetupDiEnumDeviceInterfaces")) return FALSE;
    return Tree().EnumInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex, DeviceInterfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    if (Failing("SetupDiGetDeviceInterfaceDetailW")) return FALSE;
    return Tree().InterfaceDetail(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                                  DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    if (Failing("SetupDiEnumDeviceInfo")) return FALSE;
    return Tree().EnumDeviceInfo(DeviceInfoSet, MemberIndex, DeviceInfoData);
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const DEVPROPKEY* PropertyKey,
                               DEVPROPTYPE* PropertyType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                               PDWORD RequiredSize, DWORD Flags) {
    if (Failing("SetupDiGetDevicePropertyW")) return FALSE;
    return Tree().GetDevicePropertyW(DeviceInfoSet, DeviceInfoData, PropertyKey, PropertyType, PropertyBuffer,
                                     PropertyBufferSize, RequiredSize, Flags);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (Failing("SetupDiDestroyDeviceInfoList")) return FALSE;
    return Tree().DestroyList(DeviceInfoSet);
}

BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                    const GUID* AliasInterfaceClassGuid,
                                    PSP_DEVICE_INTERFACE_DATA AliasDeviceInterfaceData) {
    if (Failing("SetupDiGetDeviceInterfaceAlias")) return FALSE;
    return Tree().InterfaceAlias(DeviceInfoSet, DeviceInterfaceData, AliasInterfaceClassGuid, AliasDeviceInterfaceData);
}

HKEY SetupDiOpenDeviceInterfaceRegKey(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData, DWORD,
                                      REGSAM samDesired) {
    if (Failing("SetupDiOpenDeviceInterfaceRegKey")) return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    return Tree().OpenInterfaceKey(DeviceInfoSet, DeviceInterfaceData, samDesired);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD dwFlagsAndAttributes, HANDLE) {
    if (Failing("CreateFileW")) return INVALID_HANDLE_VALUE;
    if (sim::IsPipePath(lpFileName)) return sim::OpenPipeClient(lpFileName, dwDesiredAccess, dwFlagsAndAttributes);
    return Tree().CreateFile(lpFileName, dwDesiredAccess, dwFlagsAndAttributes);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (FailingIo("DeviceIoControl", lpBytesReturned)) return FALSE;
    return Tree().Io(hDevice, sim::IoRequest::Kind::Control, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                     nOutBufferSize, lpBytesReturned, lpOverlapped);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (FailingIo("ReadFile", lpNumberOfBytesRead)) return FALSE;
    return Tree().Io(hFile, sim::IoRequest::Kind::Read, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead,
                     lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (FailingIo("WriteFile", lpNumberOfBytesWritten)) return FALSE;
    return Tree().Io(hFile, sim::IoRequest::Kind::Write, 0, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                     nullptr, 0, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    // An injected failure is the request's own: reported as Windows reports a request that failed, once it
    // has completed, never while the device may still use its buffer.
    DWORD error;
    const bool failing = sim::Machine::Current().TakeFailure("GetOverlappedResult", &error);
    const BOOL done = Tree().OverlappedResult(hFile, lpOverlapped, lpNumberOfBytesTransferred, bWait);
    if (!failing || !done) return done;
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = 0;
    sim::SetError(error);
    return FALSE;
}

BOOL CancelIo(HANDLE hFile) {
    if (Failing("CancelIo")) return FALSE;
    return Tree().Cancel(hFile);
}

DWORD KsCreatePin(HANDLE FilterHandle, KSPIN_CONNECT* Connect, ACCESS_MASK DesiredAccess, PHANDLE ConnectionHandle) {
    DWORD error;
    if (Failing("KsCreatePin", &error)) return error;
    return Tree().CreatePin(FilterHandle, Connect, DesiredAccess, ConnectionHandle);
}

// ksuser answers KsCreatePin2 in HRESULTs; a filter without pin support says E_NOTIMPL.
HRESULT KsCreatePin2(HANDLE FilterHandle, KSPIN_CONNECT* Connect, ACCESS_MASK DesiredAccess, PHANDLE ConnectionHandle) {
    DWORD error;
    if (Failing("KsCreatePin2", &error)) return static_cast<HRESULT>(error) < 0 ? static_cast<HRESULT>(error)
                                                                                : HRESULT_FROM_WIN32(error);
    error = Tree().CreatePin(FilterHandle, Connect, DesiredAccess, ConnectionHandle);
    if (error == ERROR_NOT_SUPPORTED) return E_NOTIMPL;
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}
