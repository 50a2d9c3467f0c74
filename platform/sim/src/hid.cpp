// hid.dll of the simulated machine: the HidD_*/HidP_* calls over sim::HidDevice.
#include "platform/sim/include/sim/hid.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/sim/include/simwin/api.h"
#include "platform/sim/include/simwin/hid.h"

namespace sim {

namespace {

std::atomic<long> g_livePreparsed{0};

constexpr ULONG kPreparsedMagic = 0x48494450;  // "HIDP"

struct Preparsed {
    ULONG magic = kPreparsedMagic;
    HidDevice::Identity identity;
};

class OtherHidDevice final : public HidDevice {
public:
    OtherHidDevice(USHORT vendor, USHORT product) : vendor_(vendor), product_(product) {}
    std::string Describe() const override { return "HID device"; }
    bool HidIdentity(Identity* identity) override {
        identity->vendorId = vendor_;
        identity->productId = product_;
        identity->versionNumber = 0x0100;
        identity->serial = u"OTHER0001";
        identity->inputReportLength = 8;
        identity->outputReportLength = 8;
        return true;
    }

private:
    USHORT vendor_;
    USHORT product_;
};

bool Failing(const char* function) {
    DWORD err;
    if (!Machine::Current().TakeFailure(function, &err)) return false;
    SetError(err);
    return true;
}

// The identity of the HID device behind a handle; false (with the last error set) when there is none.
bool IdentityOf(HANDLE handle, HidDevice::Identity* identity) {
    auto file = Machine::Current().Devices().FileFor(handle);
    if (!file) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    auto* hid = dynamic_cast<HidDevice*>(file->device.get());
    if (!hid) {
        SetError(ERROR_INVALID_FUNCTION);
        return false;
    }
    if (file->Disconnected()) {
        SetError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    if (!hid->HidIdentity(identity)) {
        SetError(ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

}  // namespace

long LivePreparsedData() { return g_livePreparsed.load(); }

void AddOtherHidDevice(Machine& machine, const std::string& instanceId, const GUID& containerId, USHORT vendorId,
                       USHORT productId) {
    DeviceNode node;
    node.instanceId = instanceId;
    node.hardwareIds = {"HID\\OTHER"};
    node.containerId = containerId;
    node.setupClass = kHidSetupClass;
    node.friendlyName = "HID-compliant device";
    DeviceInterface iface;
    iface.interfaceClass = kHidInterfaceClass;
    iface.path = DeviceTree::InterfacePath(instanceId, kHidInterfaceClass);
    iface.device = std::make_shared<OtherHidDevice>(vendorId, productId);
    machine.Devices().AddDevice(node, {iface});
}

}  // namespace sim

void HidD_GetHidGuid(LPGUID HidGuid) {
    DWORD ignored;
    sim::Machine::Current().TakeFailure("HidD_GetHidGuid", &ignored);  // counted; it cannot fail
    if (HidGuid) *HidGuid = sim::kHidInterfaceClass;
}

BOOLEAN HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes) {
    if (sim::Failing("HidD_GetAttributes")) return FALSE;
    if (!Attributes || Attributes->Size != sizeof(HIDD_ATTRIBUTES)) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::HidDevice::Identity identity;
    if (!sim::IdentityOf(HidDeviceObject, &identity)) return FALSE;
    Attributes->VendorID = identity.vendorId;
    Attributes->ProductID = identity.productId;
    Attributes->VersionNumber = identity.versionNumber;
    return TRUE;
}

BOOLEAN HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength) {
    if (sim::Failing("HidD_GetSerialNumberString")) return FALSE;
    if (!Buffer) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::HidDevice::Identity identity;
    if (!sim::IdentityOf(HidDeviceObject, &identity)) return FALSE;
    if (identity.serial.empty()) {
        sim::SetError(ERROR_INVALID_PARAMETER);  // the device has no serial-number string
        return FALSE;
    }
    // As the class driver copies a string descriptor: what fits, terminated only when there is room.
    const std::size_t room = BufferLength / sizeof(WCHAR);
    const std::size_t units = std::min(room, identity.serial.size() + 1);
    std::memcpy(Buffer, identity.serial.c_str(), units * sizeof(WCHAR));
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData) {
    if (sim::Failing("HidD_GetPreparsedData")) return FALSE;
    if (!PreparsedData) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::HidDevice::Identity identity;
    if (!sim::IdentityOf(HidDeviceObject, &identity)) return FALSE;
    auto* block = new sim::Preparsed();
    block->identity = identity;
    ++sim::g_livePreparsed;
    *PreparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData) {
    auto* block = reinterpret_cast<sim::Preparsed*>(PreparsedData);
    if (!block || block->magic != sim::kPreparsedMagic) return FALSE;
    block->magic = 0;
    delete block;
    --sim::g_livePreparsed;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA PreparsedData, PHIDP_CAPS Capabilities) {
    DWORD err;
    if (sim::Machine::Current().TakeFailure("HidP_GetCaps", &err)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    auto* block = reinterpret_cast<sim::Preparsed*>(PreparsedData);
    if (!block || block->magic != sim::kPreparsedMagic || !Capabilities) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::memset(Capabilities, 0, sizeof(*Capabilities));
    const sim::HidDevice::Identity& identity = block->identity;
    Capabilities->Usage = identity.usage;
    Capabilities->UsagePage = identity.usagePage;
    Capabilities->InputReportByteLength = identity.inputReportLength;
    Capabilities->OutputReportByteLength = identity.outputReportLength;
    Capabilities->NumberLinkCollectionNodes = 1;
    Capabilities->NumberInputValueCaps = static_cast<USHORT>(identity.inputReports.size());
    Capabilities->NumberOutputValueCaps = static_cast<USHORT>(identity.outputReports.size());
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE ReportType, PHIDP_VALUE_CAPS ValueCaps, USHORT* ValueCapsLength,
                           PHIDP_PREPARSED_DATA PreparsedData) {
    DWORD err;
    if (sim::Machine::Current().TakeFailure("HidP_GetValueCaps", &err)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    auto* block = reinterpret_cast<sim::Preparsed*>(PreparsedData);
    if (!block || block->magic != sim::kPreparsedMagic || !ValueCapsLength) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const sim::HidDevice::Identity& identity = block->identity;
    const std::vector<BYTE>* reports = ReportType == HidP_Input ? &identity.inputReports
                                       : ReportType == HidP_Output ? &identity.outputReports
                                                                   : nullptr;
    const USHORT length = ReportType == HidP_Input ? identity.inputReportLength : identity.outputReportLength;
    const std::size_t count = reports ? reports->size() : 0;
    const std::size_t room = ValueCaps ? *ValueCapsLength : 0;
    for (std::size_t i = 0; i < count && i < room; ++i) {
        HIDP_VALUE_CAPS caps{};
        caps.UsagePage = identity.usagePage;
        caps.ReportID = (*reports)[i];
        caps.LinkUsage = identity.usage;
        caps.LinkUsagePage = identity.usagePage;
        caps.IsAbsolute = TRUE;
        caps.BitSize = 8;
        caps.ReportCount = length > 1 ? static_cast<USHORT>(length - 1) : 0;  // the bytes after the report id
        caps.LogicalMax = 255;
        caps.Range.UsageMin = caps.Range.UsageMax = identity.usage;
        ValueCaps[i] = caps;
    }
    *ValueCapsLength = static_cast<USHORT>(std::min(count, room));
    return count > room ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

BOOLEAN HidD_FlushQueue(HANDLE HidDeviceObject) {
    if (sim::Failing("HidD_FlushQueue")) return FALSE;
    auto file = sim::Machine::Current().Devices().FileFor(HidDeviceObject);
    auto* hid = file ? dynamic_cast<sim::HidDevice*>(file->device.get()) : nullptr;
    if (!hid) {
        sim::SetError(file ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (file->Disconnected()) {
        sim::SetError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    hid->FlushInput(*file);
    return TRUE;
}
