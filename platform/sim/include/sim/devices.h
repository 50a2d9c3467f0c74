// The device tree: device nodes, device interfaces (SetupAPI) and the device objects CreateFileW opens.
//
// A device simulation (the virtual audio driver, a KS filter, a HID interface) derives from sim::Device
// and is attached to one or more interfaces of a node. CreateFileW on an interface path (case-insensitive,
// optionally followed by "\reference") opens a sim::File on it, a handle of type "File";
// DeviceIoControl, ReadFile and WriteFile on the handle become IoRequests to the device.
//
// Requests. Device::Io answers a request at once (NO_ERROR or an error, with request->information holding
// the bytes returned, also for ERROR_MORE_DATA) or returns ERROR_IO_PENDING and completes it later with
// IoRequest::CompleteLocked, typically from a machine timer (Machine::AddTimerLocked). On an overlapped
// handle the caller's OVERLAPPED is updated and its event (low-order bit masked) signalled at completion;
// on a synchronous handle the caller waits in the machine for it, so virtual time moves meanwhile.
//
// As on Windows, where the I/O manager treats errors and warnings differently:
// - a request that fails at once with an error leaves the caller's OVERLAPPED as DeviceIoControl set it
//   (Internal = STATUS_PENDING) and its event reset, and reports a byte count of 0; ERROR_MORE_DATA is a
//   warning (STATUS_BUFFER_OVERFLOW): its byte count is reported, the OVERLAPPED filled and the event set;
// - GetOverlappedResult with bWait waits on the OVERLAPPED's event (on the file without one), so it
//   consumes an auto-reset event, and returns at once when the request is no longer pending;
// - CancelIo cancels only the requests the calling thread issued on that handle;
// - closing the last handle of a file cancels its pending requests (ERROR_OPERATION_ABORTED, the event
//   set) before the device sees the close.
//
// Unplugging (RemoveDevice) removes the node, the nodes below it and their interfaces; files open on their
// devices then fail every request with ERROR_DEVICE_NOT_CONNECTED, pending requests complete with it, and
// each device is told through Removed().
//
// Locking. Open, Close, Io, Control, Read, Write, CreatePin and Removed are called without the machine lock
// (they may call public Machine methods); CancelLocked and timer callbacks run with it held. A Device's
// destructor must not call into the machine: the last reference may be dropped while the lock is held.
#pragma once
#include <atomic>
#include <optional>

#include "platform/sim/include/sim/machine.h"

namespace sim {

class File;
class DeviceTree;
class BlockPool;

// One DeviceIoControl, ReadFile or WriteFile call as a device sees it.
class IoRequest {
public:
    enum class Kind { Control, Read, Write };
    Kind kind = Kind::Control;
    DWORD code = 0;           // DeviceIoControl's control code
    void* in = nullptr;       // DeviceIoControl's input; WriteFile's data
    DWORD inSize = 0;
    void* out = nullptr;      // DeviceIoControl's output; ReadFile's buffer
    DWORD outSize = 0;
    bool overlapped = false;  // issued on an overlapped handle with an OVERLAPPED
    DWORD information = 0;    // bytes returned, set by the device
    DWORD thread = 0;         // id of the issuing thread (0: a thread unknown to the machine)

    // Completes a request left pending. Returns false when it was already completed (cancelled,
    // unplugged): the device then just drops it. CompleteLocked needs the machine lock held.
    bool CompleteLocked(DWORD error, DWORD bytes);
    bool Complete(DWORD error, DWORD bytes);
    bool IsCompletedLocked() const { return completed_; }

private:
    friend class DeviceTree;
    friend class File;
    Machine* machine_ = nullptr;
    OVERLAPPED* ov_ = nullptr;
    std::shared_ptr<Event> ovEvent_;
    Event done_{true, false};  // manual reset; set at completion
    // The completion event for a wait: shares ownership of the request it is part of.
    static std::shared_ptr<Waitable> DoneOf(const std::shared_ptr<IoRequest>& request) {
        return {request, &request->done_};
    }
    bool completed_ = false;
    DWORD error_ = ERROR_IO_PENDING;
};

class Device {
public:
    virtual ~Device() = default;
    virtual std::string Describe() const { return "device"; }
    // CreateFileW: NO_ERROR accepts the open; any other error refuses it and CreateFileW fails with it.
    // Per-open state may be kept in file.context.
    virtual DWORD Open(File& file);
    // The last handle of an accepted open was closed.
    virtual void Close(File& file);
    // The general entry for requests. The default hands them to Control, Read and Write, which complete
    // synchronously and fail with ERROR_INVALID_FUNCTION unless overridden.
    virtual DWORD Io(File& file, const std::shared_ptr<IoRequest>& request);
    virtual DWORD Control(File& file, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                          DWORD* returned);
    virtual DWORD Read(File& file, void* buffer, DWORD size, DWORD* read);
    virtual DWORD Write(File& file, const void* data, DWORD size, DWORD* written);
    // CancelIo on a file with this pending request; it is completed with ERROR_OPERATION_ABORTED right after.
    virtual void CancelLocked(File& file, IoRequest& request);
    // Unplugged, or the machine is going away: stop timers and let go of machine resources.
    virtual void Removed();
    // KsCreatePin/KsCreatePin2 on a file of this device: the device object of the new pin, which is then
    // opened like any device (its Open sees file.parent). Not supported by default.
    virtual DWORD CreatePin(File& filter, void* connect, ACCESS_MASK access, std::shared_ptr<Device>* pin);

    bool IsRemoved() const { return removed_.load(); }

private:
    friend class DeviceTree;
    std::atomic<bool> removed_{false};
};

// An open device file: the object behind a "File" handle.
class File final : public Object {
public:
    ~File() override;
    const char* TypeName() const override { return "File"; }
    bool Overlapped() const { return (flags & FILE_FLAG_OVERLAPPED) != 0; }
    // True when this file's device, or the device of a file it was created from, was unplugged.
    bool Disconnected() const;

    std::shared_ptr<Device> device;
    std::shared_ptr<File> parent;  // the filter file of a pin
    std::u16string path;           // as passed to CreateFileW
    std::string reference;         // what followed the interface path, without the backslash
    GUID interfaceClass{};
    std::string instanceId;
    DWORD access = 0;
    DWORD flags = 0;
    std::shared_ptr<void> context;  // the device's per-open state

private:
    friend class DeviceTree;
    std::vector<std::shared_ptr<IoRequest>> pending_;  // lock held
    bool closed_ = false;
};

// A device property as SetupDiGetDevicePropertyW reports it: its type and its raw bytes.
struct DeviceProperty {
    DEVPROPKEY key{};
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    std::vector<BYTE> data;

    static DeviceProperty Guid(const DEVPROPKEY& key, const GUID& value);
    static DeviceProperty String(const DEVPROPKEY& key, const std::string& value);
    // UTF-16 strings one after another, each terminated, the list ended by an empty string.
    static DeviceProperty StringList(const DEVPROPKEY& key, const std::vector<std::string>& values);
};

struct DeviceNode {
    std::string instanceId;  // "USB\VID_1234&PID_5678&MI_00\7&1A2B3C&0&0000"
    std::vector<std::string> hardwareIds;
    std::string parent;      // instance id of the parent (bus) node; empty for a root-enumerated device
    GUID containerId{};      // also the base container id; all zero: the node has neither property
    GUID setupClass{};
    std::string friendlyName;
    DWORD devInst = 0;       // assigned when plugged
    // Properties the node reports instead of the ones derived from the fields above and from the tree
    // (hardware ids, container ids, friendly name, bus relations = the child nodes' instance ids). An
    // entry of type DEVPROP_TYPE_EMPTY hides a derived property: the node then does not have it.
    std::vector<DeviceProperty> properties;
    // When not all zero, the node's base container id, differing from its container id (Windows may give
    // a device node a base container id other than the container it is grouped in).
    GUID baseContainerId{};
};

struct DeviceInterface {
    GUID interfaceClass{};
    std::u16string path;  // symbolic link, as SetupDiGetDeviceInterfaceDetailW reports it
    std::shared_ptr<Device> device;
    DWORD flags = SPINT_ACTIVE;
    std::string instanceId;  // the owning node (set when added)
};

class DeviceTree {
public:
    explicit DeviceTree(Machine& machine);
    ~DeviceTree();

    // Test and device side.
    // Plugs a node with its interfaces; false when a node of that instance id is present already.
    bool AddDevice(DeviceNode node, std::vector<DeviceInterface> interfaces = {});
    bool AddInterface(const std::string& instanceId, DeviceInterface iface);
    // Unplugs a node with the nodes below it; false when unknown.
    bool RemoveDevice(const std::string& instanceId);
    std::optional<DeviceNode> Node(const std::string& instanceId);
    std::vector<DeviceNode> Nodes();                          // plug order
    std::vector<DeviceNode> Children(const std::string& instanceId);
    std::vector<DeviceInterface> Interfaces();                // plug order
    std::vector<DeviceInterface> Interfaces(const GUID& interfaceClass);
    // Changes the SPINT_* flags of a registered interface (0: disabled, SPINT_REMOVED: removed); false when
    // no interface has that path. SetupDiGetClassDevsW with DIGCF_PRESENT lists active interfaces only;
    // SetupDiGetDeviceInterfaceAlias reports an alias with whatever flags it has.
    bool SetInterfaceFlags(const std::u16string& path, DWORD flags);
    // Sets (or, with DEVPROP_TYPE_EMPTY, hides) one property of a plugged node; false when unknown.
    bool SetProperty(const std::string& instanceId, DeviceProperty property);
    // The property as the node reports it now; nullopt when it has none.
    std::optional<DeviceProperty> Property(const std::string& instanceId, const DEVPROPKEY& key);
    std::size_t OpenFileCount();                              // files not yet closed

    // "\\?\USB#VID_1234&PID_5678#0001#{guid}\reference", as Windows forms interface paths.
    static std::u16string InterfacePath(const std::string& instanceId, const GUID& interfaceClass,
                                        const std::string& reference = "");
    static std::string GuidText(const GUID& guid);  // "{e4bc239c-...}", lower case
    // The registry key SetupDiOpenDeviceInterfaceRegKey opens for an interface (under HKLM):
    // "SYSTEM\CurrentControlSet\Control\DeviceClasses\{guid}\##?#USB#...#{guid}\#reference\Device Parameters".
    static std::string InterfaceKeyPath(const std::u16string& path, const GUID& interfaceClass);

    // For device simulations: open a file on a device that has no interface of its own (a pin), and
    // find the file behind a handle (null when the handle is not a device file).
    HANDLE OpenFile(std::shared_ptr<Device> device, std::shared_ptr<File> parent, DWORD access, DWORD flags,
                    DWORD* error);
    std::shared_ptr<File> FileFor(HANDLE handle);

    // Win32 side.
    HDEVINFO GetClassDevs(const GUID* classGuid, PCWSTR enumerator, DWORD flags);
    BOOL EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA devInfo, const GUID* interfaceClass, DWORD index,
                        PSP_DEVICE_INTERFACE_DATA data);
    BOOL InterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                         DWORD detailSize, PDWORD required, PSP_DEVINFO_DATA devInfo);
    BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA devInfo);
    BOOL GetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA devInfo, const DEVPROPKEY* key, DEVPROPTYPE* type,
                            PBYTE buffer, DWORD size, PDWORD required, DWORD flags);
    BOOL DestroyList(HDEVINFO set);
    BOOL InterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, const GUID* aliasClass,
                        PSP_DEVICE_INTERFACE_DATA alias);
    HKEY OpenInterfaceKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, REGSAM sam);
    HANDLE CreateFile(LPCWSTR path, DWORD access, DWORD flags);
    BOOL Io(HANDLE file, IoRequest::Kind kind, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
            LPDWORD returned, LPOVERLAPPED ov);
    BOOL OverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait);
    BOOL Cancel(HANDLE file);
    DWORD CreatePin(HANDLE filter, void* connect, ACCESS_MASK access, PHANDLE pin);

private:
    std::optional<DeviceProperty> PropertyLocked(const DeviceNode& node, const DEVPROPKEY& key);
    HANDLE RegisterFile(std::shared_ptr<File> file, DWORD* error);

    Machine& machine_;
    std::vector<DeviceNode> nodes_;
    std::vector<DeviceInterface> interfaces_;
    std::vector<std::weak_ptr<File>> files_;
    DWORD nextDevInst_ = 1;
    std::shared_ptr<BlockPool> requestBlocks_;  // the blocks of finished requests, reused by the next ones
};

}  // namespace sim
