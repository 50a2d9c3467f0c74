// sim::EndpointStore: the machine's Windows audio endpoint store.
//
// Its truth is the registry form: HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\MMDevices\Audio"
// with the subkeys "Capture\{guid}" and "Render\{guid}", each with a "DeviceState" value and a "Properties" subkey whose values are named
// "{fmtid},pid". The MMDevice objects (CoCreateInstance of the enumerator) read and write it: a device's
// identifier is "{0.0.1.00000000}.{guid}" (capture) or "{0.0.0.00000000}.{guid}" (render), its property
// store is its "Properties" key. What the registry cannot hold lives here: which device an endpoint's
// topology leads to, endpoint visibility as the policy-configuration object last set it, the concurrent
// writer that stands in for the Windows audio service, and the count of live COM objects.
//
// The virtual driver's sixteen endpoints (RegisterVirtualDriverEndpoints) and the console's own two are
// added by the driver and the console when they are installed or plugged; tests may add others.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/include/sim/machine.h"

struct IUnknown;

namespace sim {

class EndpointStore {
public:
    enum class Flow { Render = 0, Capture = 1 };

    // One endpoint as it is added. Empty strings leave their value out of the registry form.
    struct Endpoint {
        Flow flow = Flow::Render;
        GUID guid{};
        std::string description;    // "{a45c254e-...},2", the name Windows shows
        std::string hardwareText;   // "{83da6326-...},3"
        std::string matchText;      // "{233164c8-...},1"
        std::string instanceId;     // "{9c119480-...},2"; empty: "SWD\MMDEVAPI\" + the id, upper case
        std::string jackSubtype;    // "{1da5d803-...},8"
        std::string endpointGuid;   // "{1da5d803-...},4"; empty: the key name
        DWORD state = 1;            // DEVICE_STATE_ACTIVE
        std::string topologyNode;   // device node the topology's connector 0 leads to; empty: none
    };

    struct VisibilityCall {
        bool nullId = false;
        std::string id;
        bool visible = false;
    };

    static constexpr char kRootPath[] = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";
    static constexpr char kDescriptionValue[] = "{a45c254e-df1c-4efd-8020-67d146a850e0},2";

    explicit EndpointStore(Machine& machine);
    ~EndpointStore();
    EndpointStore(const EndpointStore&) = delete;
    EndpointStore& operator=(const EndpointStore&) = delete;

    static EndpointStore& Of(Machine& machine) { return machine.Part<EndpointStore>(); }

    static std::string IdOf(Flow flow, const GUID& guid);  // "{0.0.1.00000000}.{guid}", lower case
    static const char* IdPrefix(Flow flow);                // "{0.0.1.00000000}." or "{0.0.0.00000000}."
    static std::string_view FlowPath(Flow flow);           // kRootPath + "\\Capture" or "\\Render"
    static std::string KeyPathOf(Flow flow, const GUID& guid);
    static std::string ValueName(const GUID& fmtid, DWORD pid);  // "{fmtid},pid", lower case
    // The same written into `out`: a view of it.
    static std::string_view ValueNameTo(const GUID& fmtid, DWORD pid, char (&out)[64]);

    // Adds the endpoint's registry form (and its topology link); returns its identifier.
    std::string Add(const Endpoint& endpoint);
    void Remove(Flow flow, const GUID& guid);
    // What Windows does when the endpoint's device goes: the endpoint stays, DEVICE_STATE_NOTPRESENT.
    void MarkNotPresent(Flow flow, const GUID& guid);
    std::optional<DWORD> State(Flow flow, const GUID& guid);
    std::vector<std::string> Ids(Flow flow);  // enumeration order

    // What applications see: the stored name and the last visibility set (nullopt: never set).
    std::optional<std::string> Name(Flow flow, const GUID& guid);
    std::optional<bool> Visible(const std::string& endpointId);
    std::vector<VisibilityCall> VisibilityCalls();
    void ClearVisibilityCalls();

    // The concurrent writer: the next `writes` name writes (to any endpoint's description, through the
    // registry or a property store) are overwritten at once with `otherName`, so their read-back differs.
    void InterfereWithNameWrites(int writes, const std::string& otherName = "Speakers");
    int InterferenceLeft();

    // Volume activation on this endpoint fails from now on (or works again).
    void FailVolumeActivation(const std::string& endpointId, bool fail = true);

    // COM objects handed out and not yet released, and CoTaskMemAlloc blocks not yet freed.
    long LiveObjects() const { return liveObjects_.load(); }
    long LiveTaskMemory() const { return liveTaskMemory_.load(); }

    // For the simulated COM objects and com.cpp.
    HRESULT CreateInstance(const GUID& clsid, const GUID& iid, void** object);
    void ObjectCreated() { ++liveObjects_; }
    void ObjectDestroyed() { --liveObjects_; }
    void TaskMemoryAllocated() { ++liveTaskMemory_; }
    void TaskMemoryFreed() { --liveTaskMemory_; }
    void RecordVisibility(const WCHAR* id, BOOL visible);
    bool VolumeFails(const std::string& endpointId);
    // The device id an endpoint's connector 0 leads to ("" when none), and the node behind such an id.
    std::string ConnectedDeviceId(const std::string& endpointId);
    std::optional<std::string> NodeOfDeviceId(const std::string& deviceId);
    // Applies the concurrent writer after a value write below the store.
    void AfterWrite(const std::string& keyPath, std::string_view valueName);
    Machine& machine() { return machine_; }

private:
    Machine& machine_;
    std::mutex mutex_;
    std::map<std::string, std::string> topology_;     // lower-case endpoint id -> connected device id
    std::map<std::string, std::string> deviceNodes_;  // lower-case connected device id -> node instance id
    std::map<std::string, bool> visible_;             // lower-case endpoint id
    std::vector<VisibilityCall> calls_;
    std::map<std::string, bool> volumeFails_;
    int interfere_ = 0;
    std::string otherName_;
    std::atomic<long> liveObjects_{0};
    std::atomic<long> liveTaskMemory_{0};
};

// The virtual audio driver's endpoints: GUID, identifier and instance identifier of stream index 0-15,
// and their registration below the driver's device node (registry form and child device nodes).
GUID VirtualDriverEndpointGuid(int streamIndex);
std::string VirtualDriverEndpointId(int streamIndex);
void RegisterVirtualDriverEndpoints(Machine& machine, const std::string& driverInstanceId,
                                     std::uint32_t streams = 0xFFFF);  // bit n: stream index n
void RemoveVirtualDriverEndpoints(Machine& machine);

}  // namespace sim
