// The MMDevice API objects of the endpoint store and the policy-configuration object. Every method counts
// as a call of "Interface::Method" on the machine (CallCount) and fails with an injected HRESULT
// (InjectFailure with the HRESULT as the error).
#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/registry.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/com.h"
// After the COM declarations it builds on.
#include "platform/policy_config.h"

namespace sim {

namespace {

// True (with the HRESULT in *hr) when an injected failure applies to this call.
bool Fails(EndpointStore& store, const char* method, HRESULT* hr) {
    DWORD err;
    if (!store.machine().TakeFailure(method, &err)) return false;
    *hr = static_cast<HRESULT>(err) < 0 ? static_cast<HRESULT>(err) : HRESULT_FROM_WIN32(err);
    return true;
}

LPWSTR TaskString(const std::string& text) {
    const std::size_t units = WideTo(text, nullptr, 0);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((units + 1) * sizeof(WCHAR)));
    if (copy) WideTo(text, copy, units + 1);
    return copy;
}

// Task memory holding `size` bytes of UTF-16 text, terminated.
LPWSTR TaskStringOf(const BYTE* bytes, std::size_t size) {
    const std::size_t units = size / 2;
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((units + 1) * sizeof(WCHAR)));
    if (!copy) return nullptr;
    if (units) std::memcpy(copy, bytes, units * sizeof(WCHAR));
    copy[units] = 0;
    return copy;
}

template <class Interface, const GUID* Iid>
class ComObject : public Interface {
public:
    explicit ComObject(EndpointStore& store) : store_(store) { store_.ObjectCreated(); }
    virtual ~ComObject() { store_.ObjectDestroyed(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == *Iid) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

protected:
    EndpointStore& store_;

private:
    std::atomic<ULONG> refs_{1};
};

// Hands a new object's one reference to the caller.
template <class Interface, class Object>
HRESULT Give(Object* object, Interface** out) {
    *out = object;
    return S_OK;
}

// A property store over an endpoint's "Properties" key. As on Windows, SetValue changes only this store
// object: GetValue on it sees the value, the key (and every other store) only after Commit; a store
// released without Commit drops what was set.
class RegistryPropertyStore final : public ComObject<IPropertyStore, &IID_IPropertyStore> {
public:
    RegistryPropertyStore(EndpointStore& store, std::string path, bool writable)
        : ComObject(store), path_(std::move(path)), writable_(writable) {}

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        HRESULT hr;
        if (Fails(store_, "IPropertyStore::GetCount", &hr)) return hr;
        if (!count) return E_POINTER;
        *count = static_cast<DWORD>(store_.machine().Reg().ValueCount(path_));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value) return E_POINTER;
        PropVariantInit(value);  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IPropertyStore::GetValue", &hr)) return hr;
        char nameText[64];
        const std::string_view name = EndpointStore::ValueNameTo(key.fmtid, key.pid, nameText);
        if (auto set = pending_.find(name); set != pending_.end()) {
            if (set->second.isString) {
                value->pwszVal = TaskString(set->second.text);
                if (!value->pwszVal) return E_OUTOFMEMORY;
                value->vt = VT_LPWSTR;
            } else {
                value->ulVal = set->second.number;
                value->vt = VT_UI4;
            }
            return S_OK;
        }
        // What the value holds is copied out under the registry's lock (a text of the usual length into
        // `local`) and handed over in task memory after it.
        DWORD type = REG_NONE;
        DWORD number = 0;
        BYTE local[256];
        std::vector<BYTE> longer;
        const BYTE* text = local;
        std::size_t textSize = 0;
        store_.machine().Reg().ReadValue(path_, name, [&](const RegValue* stored) {
            if (!stored) return;
            type = stored->type;
            if (type == REG_SZ || type == REG_EXPAND_SZ) {
                textSize = Utf16TextBytes(stored->bytes.data(), stored->bytes.size());
                if (textSize > sizeof local) {
                    longer.assign(stored->bytes.begin(), stored->bytes.begin() + static_cast<std::ptrdiff_t>(textSize));
                    text = longer.data();
                } else if (textSize) {
                    std::memcpy(local, stored->bytes.data(), textSize);
                }
            } else if (type == REG_DWORD && stored->bytes.size() == 4) {
                std::memcpy(&number, stored->bytes.data(), 4);
            } else {
                type = REG_NONE;  // shown as VT_EMPTY
            }
        });
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            value->pwszVal = TaskStringOf(text, textSize);
            if (!value->pwszVal) return E_OUTOFMEMORY;
            value->vt = VT_LPWSTR;
        } else if (type == REG_DWORD) {
            value->ulVal = number;
            value->vt = VT_UI4;
        }
        return S_OK;  // VT_EMPTY when the endpoint has no such property
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override {
        HRESULT hr;
        if (Fails(store_, "IPropertyStore::SetValue", &hr)) return hr;
        if (!writable_) return STG_E_ACCESSDENIED;
        const std::string name = EndpointStore::ValueName(key.fmtid, key.pid);
        if (value.vt == VT_LPWSTR && value.pwszVal) {
            pending_[name] = {true, Narrow(value.pwszVal), 0};
        } else if (value.vt == VT_UI4) {
            pending_[name] = {false, {}, value.ulVal};
        } else {
            return E_INVALIDARG;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Commit() override {
        HRESULT hr;
        if (Fails(store_, "IPropertyStore::Commit", &hr)) return hr;
        if (!writable_) return STG_E_ACCESSDENIED;
        for (const auto& [name, value] : pending_) {
            if (value.isString)
                store_.machine().Reg().SetString(path_, name, value.text);
            else
                store_.machine().Reg().SetDword(path_, name, value.number);
            store_.AfterWrite(path_, name);
        }
        pending_.clear();
        return S_OK;
    }

private:
    struct Pending {
        bool isString = false;
        std::string text;
        DWORD number = 0;
    };
    std::string path_;
    bool writable_;
    std::map<std::string, Pending, std::less<>> pending_;  // set on this object, not yet committed
};

// The read-only property store of the device a topology leads to: its device node's properties.
class NodePropertyStore final : public ComObject<IPropertyStore, &IID_IPropertyStore> {
public:
    NodePropertyStore(EndpointStore& store, std::string node) : ComObject(store), node_(std::move(node)) {}

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value) return E_POINTER;
        PropVariantInit(value);  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IPropertyStore::GetValue", &hr)) return hr;
        auto property = store_.machine().Devices().Property(node_, DEVPROPKEY{key.fmtid, key.pid});
        if (!property) return S_OK;
        if (property->type == DEVPROP_TYPE_GUID && property->data.size() == sizeof(GUID)) {
            value->puuid = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(GUID)));
            if (!value->puuid) return E_OUTOFMEMORY;
            std::memcpy(value->puuid, property->data.data(), sizeof(GUID));
            value->vt = VT_CLSID;
        } else if (property->type == DEVPROP_TYPE_STRING) {
            value->pwszVal = TaskStringOf(property->data.data(), Utf16TextBytes(property->data.data(), property->data.size()));
            if (!value->pwszVal) return E_OUTOFMEMORY;
            value->vt = VT_LPWSTR;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Commit() override { return S_OK; }

private:
    std::string node_;
};

class EndpointVolume final : public ComObject<IAudioEndpointVolume, &IID_IAudioEndpointVolume> {
public:
    using ComObject::ComObject;
    HRESULT STDMETHODCALLTYPE GetChannelCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 2;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMasterVolumeLevelScalar(float level, const GUID*) override {
        if (level < 0.0f || level > 1.0f) return E_INVALIDARG;
        level_ = level;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMasterVolumeLevelScalar(float* level) override {
        if (!level) return E_POINTER;
        *level = level_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetMute(BOOL mute, const GUID*) override {
        mute_ = mute;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMute(BOOL* mute) override {
        if (!mute) return E_POINTER;
        *mute = mute_;
        return S_OK;
    }

private:
    float level_ = 1.0f;
    BOOL mute_ = FALSE;
};

class Connector final : public ComObject<IConnector, &IID_IConnector> {
public:
    Connector(EndpointStore& store, std::string target) : ComObject(store), target_(std::move(target)) {}
    HRESULT STDMETHODCALLTYPE IsConnected(BOOL* connected) override {
        if (!connected) return E_POINTER;
        *connected = TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectedDeviceId(LPWSTR* id) override { return GetDeviceIdConnectedTo(id); }
    HRESULT STDMETHODCALLTYPE GetDeviceIdConnectedTo(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IConnector::GetDeviceIdConnectedTo", &hr)) return hr;
        *id = TaskString(target_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::string target_;
};

class DeviceTopology final : public ComObject<IDeviceTopology, &IID_IDeviceTopology> {
public:
    DeviceTopology(EndpointStore& store, std::string id, std::string target)
        : ComObject(store), id_(std::move(id)), target_(std::move(target)) {}
    HRESULT STDMETHODCALLTYPE GetConnectorCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = target_.empty() ? 0 : 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnector(UINT index, IConnector** connector) override {
        if (!connector) return E_POINTER;
        *connector = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IDeviceTopology::GetConnector", &hr)) return hr;
        if (index != 0 || target_.empty()) return E_INVALIDARG;
        return Give<IConnector>(new Connector(store_, target_), connector);
    }
    HRESULT STDMETHODCALLTYPE GetDeviceId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = TaskString(id_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::string id_;
    std::string target_;
};

// An endpoint (a key below Capture or Render), or the device a topology leads to (node set).
class MMDevice final : public ComObject<IMMDevice, &IID_IMMDevice> {
public:
    MMDevice(EndpointStore& store, std::string id, std::string keyPath, std::string node)
        : ComObject(store), id_(std::move(id)), keyPath_(std::move(keyPath)), node_(std::move(node)) {}

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDevice::Activate", &hr)) return hr;
        if (!node_.empty()) return E_NOINTERFACE;
        if (iid == IID_IAudioEndpointVolume) {
            if (store_.VolumeFails(id_)) return E_FAIL;
            *object = static_cast<IAudioEndpointVolume*>(new EndpointVolume(store_));
            return S_OK;
        }
        if (iid == IID_IDeviceTopology) {
            *object = static_cast<IDeviceTopology*>(new DeviceTopology(store_, id_, store_.ConnectedDeviceId(id_)));
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** properties) override {
        if (!properties) return E_POINTER;
        *properties = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDevice::OpenPropertyStore", &hr)) return hr;
        if (!node_.empty()) return Give<IPropertyStore>(new NodePropertyStore(store_, node_), properties);
        const bool writable = (access & (STGM_WRITE | STGM_READWRITE)) != 0;
        return Give<IPropertyStore>(new RegistryPropertyStore(store_, keyPath_ + "\\Properties", writable),
                                    properties);
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        *id = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDevice::GetId", &hr)) return hr;
        *id = TaskString(id_);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override {
        if (!state) return E_POINTER;
        *state = node_.empty() ? store_.machine().Reg().GetDword(keyPath_, "DeviceState").value_or(DEVICE_STATE_ACTIVE)
                               : DEVICE_STATE_ACTIVE;
        return S_OK;
    }

private:
    std::string id_;
    std::string keyPath_;
    std::string node_;
};

struct EndpointEntry {
    std::string id;
    std::string keyPath;
};

class DeviceCollection final : public ComObject<IMMDeviceCollection, &IID_IMMDeviceCollection> {
public:
    DeviceCollection(EndpointStore& store, std::vector<EndpointEntry> entries)
        : ComObject(store), entries_(std::move(entries)) {}
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        HRESULT hr;
        if (Fails(store_, "IMMDeviceCollection::GetCount", &hr)) return hr;
        if (!count) return E_POINTER;
        *count = static_cast<UINT>(entries_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        if (!device) return E_POINTER;
        *device = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDeviceCollection::Item", &hr)) return hr;
        if (index >= entries_.size()) return E_INVALIDARG;
        return Give<IMMDevice>(new MMDevice(store_, entries_[index].id, entries_[index].keyPath, ""), device);
    }

private:
    std::vector<EndpointEntry> entries_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator, &IID_IMMDeviceEnumerator> {
public:
    using ComObject::ComObject;

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** devices) override {
        if (!devices) return E_POINTER;
        *devices = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDeviceEnumerator::EnumAudioEndpoints", &hr)) return hr;
        if (flow < eRender || flow > eAll || (mask & ~DEVICE_STATEMASK_ALL) != 0) return E_INVALIDARG;
        std::vector<EndpointEntry> entries;
        // Render endpoints come first, as Windows lists them for eAll.
        for (auto f : {EndpointStore::Flow::Render, EndpointStore::Flow::Capture}) {
            if (flow != eAll && static_cast<int>(f) != static_cast<int>(flow)) continue;
            const std::string_view flowPath = EndpointStore::FlowPath(f);
            store_.machine().Reg().VisitSubKeys(flowPath, "DeviceState", [&](const std::string& name, const RegValue* v) {
                DWORD state = DEVICE_STATE_ACTIVE;
                if (v && v->type == REG_DWORD && v->bytes.size() == 4) std::memcpy(&state, v->bytes.data(), 4);
                if (state & mask) entries.push_back({EndpointStore::IdPrefix(f) + name, KeyOf(flowPath, name)});
            });
        }
        return Give<IMMDeviceCollection>(new DeviceCollection(store_, std::move(entries)), devices);
    }

    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR wideId, IMMDevice** device) override {
        if (!device || !wideId) return E_POINTER;
        *device = nullptr;  // on every failure, injected ones too
        HRESULT hr;
        if (Fails(store_, "IMMDeviceEnumerator::GetDevice", &hr)) return hr;
        const std::string id = Narrow(wideId);
        for (auto f : {EndpointStore::Flow::Render, EndpointStore::Flow::Capture}) {
            // An endpoint's id is its flow's prefix and its key's name: compared in those two parts.
            const std::string_view prefix = EndpointStore::IdPrefix(f);
            if (id.size() <= prefix.size() || !SameName(std::string_view(id).substr(0, prefix.size()), prefix)) continue;
            const std::string_view keyName = std::string_view(id).substr(prefix.size());
            const std::string_view flowPath = EndpointStore::FlowPath(f);
            std::string known;
            store_.machine().Reg().VisitSubKeys(flowPath, {}, [&](const std::string& name, const RegValue*) {
                if (known.empty() && SameName(name, keyName)) known = name;
            });
            if (!known.empty())
                return Give<IMMDevice>(new MMDevice(store_, EndpointStore::IdPrefix(f) + known, KeyOf(flowPath, known), ""), device);
        }
        if (auto node = store_.NodeOfDeviceId(id)) {
            if (!store_.machine().Devices().Node(*node)) return E_NOTFOUND;  // unplugged since
            return Give<IMMDevice>(new MMDevice(store_, id, "", *node), device);
        }
        return E_NOTFOUND;
    }

private:
    static std::string KeyOf(std::string_view flowPath, const std::string& name) {
        std::string path;
        path.reserve(flowPath.size() + 1 + name.size());
        ((path += flowPath) += '\\') += name;
        return path;
    }
};

class PolicyConfig final : public ComObject<IPolicyConfig, &IID_IPolicyConfig> {
public:
    using ComObject::ComObject;
    HRESULT STDMETHODCALLTYPE Unused04() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused05() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused06() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused07() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused08() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused09() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused13() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEndpointVisibility(LPCWSTR id, BOOL visible) override {
        HRESULT hr;
        if (Fails(store_, "IPolicyConfig::SetEndpointVisibility", &hr)) return hr;
        store_.RecordVisibility(id, visible);
        // The real object reads the string it is given: a null id is an access violation in the caller's
        // process. Recorded (nullId) and refused here so a test sees it without the process ending.
        return id ? S_OK : static_cast<HRESULT>(0xC0000005L);
    }
};

}  // namespace

HRESULT EndpointStore::CreateInstance(const GUID& clsid, const GUID& iid, void** object) {
    IUnknown* created = nullptr;
    if (clsid == CLSID_MMDeviceEnumerator)
        created = static_cast<IMMDeviceEnumerator*>(new DeviceEnumerator(*this));
    else if (clsid == CLSID_PolicyConfig)
        created = static_cast<IPolicyConfig*>(new PolicyConfig(*this));
    else
        return REGDB_E_CLASSNOTREG;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

}  // namespace sim
