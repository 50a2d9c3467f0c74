#include "platform/sim/include/sim/console.h"

#include <cstdio>

#include "platform/sim/include/sim/console_ks.h"
#include "platform/sim/include/sim/console_hid.h"
#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/sim/endpoint_store.h"
#include "platform/sim/include/sim/text.h"

namespace sim {

namespace {

// {36FC9E60-C465-11CF-8056-444553540000}
constexpr GUID kUsbSetupClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
// {4D36E96C-E325-11CE-BFC1-08002BE10318}
constexpr GUID kMediaSetupClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// {C166523C-FE0C-4A94-A586-F1A80CFBBF3E}: audio endpoints
constexpr GUID kAudioEndpointSetupClass = {0xc166523c, 0xfe0c, 0x4a94,
                                           {0xa5, 0x86, 0xf1, 0xa8, 0x0c, 0xfb, 0xbf, 0x3e}};

constexpr std::array<ConsoleModelInfo, 6> kModels = {{
    {ConsoleModel::Alto, "Alto", 0x0072, 16, 10, "Quillon Alto"},
    {ConsoleModel::AltoAlt, "Alto_Alt", 0x0078, 0, 10, "Quillon Alto"},
    {ConsoleModel::Alto2026, "Alto_2026", 0x0094, 20, 10, "Quillon Alto"},
    {ConsoleModel::Basso, "Basso", 0x0073, 15, 10, "Quillon Basso"},
    {ConsoleModel::BassoAlt, "Basso_Alt", 0x0079, 0, 10, "Quillon Basso"},
    {ConsoleModel::Basso2026, "Basso_2026", 0x0095, 20, 10, "Quillon Basso"},
}};

}  // namespace

const std::array<ConsoleModelInfo, 6>& AllModels() { return kModels; }

const ConsoleModelInfo& ModelInfo(ConsoleModel model) { return kModels[static_cast<std::size_t>(model)]; }

Console::Console(Machine& machine, ConsoleConfig config)
    : machine_(machine),
      config_(std::move(config)),
      ks_(std::make_unique<ConsoleKs>(*this)),
      hid_(std::make_shared<ConsoleHid>(machine_, Model().productId, config_.firmwareVersion, Wide(config_.serial))),
      consumer_(std::make_shared<ConsumerControlHid>(Model().productId)) {}

Console::~Console() { Unplug(); }

std::string Console::VidPid() const {
    char text[24];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", kConsoleVendorId, Model().productId);
    return text;
}

std::string Console::CompositeInstanceId() const { return "USB\\" + VidPid() + "\\" + config_.serial; }

std::string Console::AudioInstanceId() const { return "USB\\" + VidPid() + "&MI_00\\7&2F1A0C3&0&0000"; }

std::string Console::CaptureEndpointId() const {
    return "{0.0.1.00000000}." + DeviceTree::GuidText(config_.captureEndpointGuid);
}

std::string Console::RenderEndpointId() const {
    return "{0.0.0.00000000}." + DeviceTree::GuidText(config_.renderEndpointGuid);
}

std::string Console::EndpointInstanceId(const std::string& endpointId) {
    std::string id = "SWD\\MMDEVAPI\\" + endpointId;
    for (char& c : id)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return id;
}

void Console::Plug() {
    if (plugged_) return;
    auto& tree = machine_.Devices();
    char revision[16];
    std::snprintf(revision, sizeof revision, "&REV_%04X", config_.firmwareVersion);
    const std::string usb = "USB\\" + VidPid();

    DeviceNode composite;
    composite.instanceId = CompositeInstanceId();
    composite.hardwareIds = {usb + revision, usb};
    composite.containerId = config_.containerId;
    composite.setupClass = kUsbSetupClass;
    composite.friendlyName = "USB Composite Device";
    tree.AddDevice(composite);

    DeviceNode audio;
    audio.instanceId = AudioInstanceId();
    audio.hardwareIds = {usb + revision + "&MI_00", usb + "&MI_00"};
    audio.parent = composite.instanceId;
    audio.containerId = config_.containerId;
    audio.setupClass = kMediaSetupClass;
    audio.friendlyName = Model().displayName;
    tree.AddDevice(audio);
    ks_->Plug();

    auto addEndpoint = [&](const std::string& endpointId, const char* name) {
        DeviceNode endpoint;
        endpoint.instanceId = EndpointInstanceId(endpointId);
        endpoint.hardwareIds = {"MMDEVAPI\\AudioEndpoints"};
        endpoint.parent = audio.instanceId;
        endpoint.containerId = config_.containerId;
        endpoint.setupClass = kAudioEndpointSetupClass;
        endpoint.friendlyName = std::string(name) + " (" + Model().displayName + ")";
        tree.AddDevice(endpoint);
    };
    if (HasCapture()) addEndpoint(CaptureEndpointId(), "Line");
    addEndpoint(RenderEndpointId(), "Speakers");

    // The HID function's two top-level collections; the consumer-control one comes first in the tree, as
    // Windows lists COL01 before COL02.
    auto addCollection = [&](const std::string& instanceId, const char* collection, const char* friendlyName,
                             const std::shared_ptr<Device>& device) {
        DeviceNode node;
        node.instanceId = instanceId;
        node.hardwareIds = {"HID\\" + VidPid() + "&MI_03&" + collection};
        node.parent = composite.instanceId;
        node.containerId = config_.containerId;
        node.baseContainerId = HidBaseContainerId();
        node.setupClass = kHidSetupClass;
        node.friendlyName = friendlyName;
        DeviceInterface nodeInterface;
        nodeInterface.interfaceClass = kHidInterfaceClass;
        nodeInterface.path = DeviceTree::InterfacePath(node.instanceId, kHidInterfaceClass);
        nodeInterface.device = device;
        tree.AddDevice(node, {nodeInterface});
    };
    addCollection(ConsumerControlInstanceId(), "Col01", "HID-compliant consumer control device", consumer_);
    addCollection(HidInstanceId(), "Col02", "HID-compliant vendor-defined device", hid_);

    // The console's own endpoints in the endpoint store; their topology leads to the audio function.
    auto storeEndpoint = [&](EndpointStore::Flow flow, const GUID& guid, const char* name) {
        EndpointStore::Endpoint e;
        e.flow = flow;
        e.guid = guid;
        e.description = name;
        e.hardwareText = "{1}." + audio.instanceId;
        e.matchText = name;
        e.jackSubtype = "{DFF21BE1-F70F-11D0-B917-00A0C9223196}";
        e.topologyNode = audio.instanceId;
        EndpointStore::Of(machine_).Add(e);
    };
    if (HasCapture()) storeEndpoint(EndpointStore::Flow::Capture, config_.captureEndpointGuid, "Line");
    storeEndpoint(EndpointStore::Flow::Render, config_.renderEndpointGuid, "Speakers");

    plugged_ = true;
    machine_.AddNote("console", std::string("plugged ") + Model().name);
}

void Console::Unplug() {
    if (!plugged_) return;
    machine_.Devices().RemoveDevice(CompositeInstanceId());
    EndpointStore& store = EndpointStore::Of(machine_);
    // Windows keeps a device's endpoints when it goes, marked not present.
    if (HasCapture()) store.MarkNotPresent(EndpointStore::Flow::Capture, config_.captureEndpointGuid);
    store.MarkNotPresent(EndpointStore::Flow::Render, config_.renderEndpointGuid);
    plugged_ = false;
    machine_.AddNote("console", std::string("unplugged ") + Model().name);
}

std::string Console::HidInstanceId() const { return "HID\\" + VidPid() + "&MI_03&COL02\\8&1C2D3E4F&0&0001"; }

bool ConsumerControlHid::HidIdentity(Identity* identity) {
    identity->vendorId = 0x7A3E;
    identity->productId = productId_;
    identity->versionNumber = 0x0100;
    identity->usagePage = 0x000C;  // consumer
    identity->usage = 0x0001;      // consumer control
    identity->inputReportLength = 3;
    identity->outputReportLength = 0;
    identity->inputReports = {0x03};
    return true;
}

std::string Console::ConsumerControlInstanceId() const {
    return "HID\\" + VidPid() + "&MI_03&COL01\\8&1C2D3E4F&0&0000";
}

GUID Console::HidBaseContainerId() const {
    GUID base = config_.containerId;
    base.Data1 ^= 0xB45EB45E;
    return base;
}

void Console::HideContainerId() {
    DeviceProperty hidden;
    hidden.key = DEVPKEY_Device_ContainerId;
    hidden.type = DEVPROP_TYPE_EMPTY;
    machine_.Devices().SetProperty(HidInstanceId(), hidden);
}

void Console::ContainerIdAsString() {
    machine_.Devices().SetProperty(
        HidInstanceId(), DeviceProperty::String(DEVPKEY_Device_ContainerId, DeviceTree::GuidText(config_.containerId)));
}

void Console::BaseContainerIsTheContainer() {
    machine_.Devices().SetProperty(HidInstanceId(), DeviceProperty::Guid(DEVPKEY_Device_BaseContainerId, config_.containerId));
}

}  // namespace sim
