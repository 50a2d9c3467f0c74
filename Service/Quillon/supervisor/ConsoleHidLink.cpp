#include "Service/Quillon/supervisor/ConsoleHidLink.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Service/Quillon/supervisor/ConsoleModels.h"
#include "Service/Quillon/supervisor/ConsoleSupervisor.h"
#include "Service/Quillon/vdriver/BoundedText.h"
#include "Service/Quillon/vdriver/EndpointControl.h"
#include "Service/common/SharedBlock.h"

namespace {

constexpr DWORD kContainerPropertyBytes = 2048;
constexpr std::size_t kDevicePathBytes = 260;
constexpr std::size_t kSerialUnits = sizeof(ConsoleHidLink::m_SerialNumber) / sizeof(WCHAR);
constexpr BYTE kRequestReportId = 0x01;
constexpr BYTE kRequestCommand = 0x49;  // 'I'
constexpr BYTE kReplyReportId = 0x02;
constexpr BYTE kReplyCommand = 0x41;    // 'A'

// Mask bit → stream index; -1: the bit has no endpoint.
constexpr int kMaskStreams[16] = {-1, -1, -1, -1, -1, -1, -1, 11, -1, -1, -1, -1, 12, 13, 14, 15};

bool Valid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

void CloseHandles(ConsoleHidLink& link) {
    if (Valid(link.m_hFile)) {
        CancelIo(link.m_hFile);
        CloseHandle(link.m_hFile);
    }
    link.m_hFile = INVALID_HANDLE_VALUE;
    if (Valid(link.m_Overlapped.hEvent)) CloseHandle(link.m_Overlapped.hEvent);
    link.m_Overlapped.hEvent = INVALID_HANDLE_VALUE;
    std::free(link.m_pszDevicePath);
    link.m_pszDevicePath = nullptr;
}

HANDLE Duplicate(HANDLE source) {
    if (!Valid(source)) return INVALID_HANDLE_VALUE;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
        !copy)
        return INVALID_HANDLE_VALUE;
    return copy;
}

// Finishes a write or read started through the link's overlapped record. The end of the wait says only
// that the request completed: its outcome is the completion's. A request still pending after the time-out
// is cancelled, and its completion awaited, before the caller's buffer goes away.
bool FinishIo(ConsoleHidLink& link, BOOL started) {
    if (started) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        const DWORD wait = WaitForSingleObject(link.m_Overlapped.hEvent, kHidExchangeTimeoutMs);
        DWORD bytes = 0;
        if (wait == WAIT_OBJECT_0) return GetOverlappedResult(link.m_hFile, &link.m_Overlapped, &bytes, FALSE) != FALSE;
        CancelIo(link.m_hFile);
        GetOverlappedResult(link.m_hFile, &link.m_Overlapped, &bytes, TRUE);
        return false;
    }
    if (error == ERROR_INVALID_USER_BUFFER) CancelIo(link.m_hFile);
    return false;
}

void ResetOverlapped(ConsoleHidLink& link) {
    HANDLE event = link.m_Overlapped.hEvent;
    link.m_Overlapped = OVERLAPPED{};
    link.m_Overlapped.hEvent = event;
}

}  // namespace

ConsoleHidLink::~ConsoleHidLink() { CloseLink(*this); }

int StreamForMaskBit(int bit) { return (bit >= 0 && bit < 16) ? kMaskStreams[bit] : -1; }

void FormatFirmwareText(std::uint16_t v, char (&out)[kConsoleTextBytes]) {
    const unsigned d3 = v >> 12, d2 = (v >> 8) & 15, d1 = (v >> 4) & 15, d0 = v & 15;
    if (v >= 0x1000)
        std::snprintf(out, sizeof out, "Firmware Version: %u%u.%u%u", d3, d2, d1, d0);
    else
        std::snprintf(out, sizeof out, "Firmware Version: %u.%u%u", d2, d1, d0);
}

void FormatConsoleDescription(const char* modelName, const WCHAR* serial, char (&out)[kConsoleTextBytes]) {
    char serialText[kSerialUnits + 1];
    NarrowBounded(serial, kSerialUnits, serialText, sizeof serialText);
    // The parts one after another, cut at the field's last byte.
    std::size_t at = 0;
    for (const char* part : {modelName ? modelName : "", " (", static_cast<const char*>(serialText), ")"})
        for (; *part && at + 1 < sizeof out; ++part) out[at++] = *part;
    out[at] = 0;
}

namespace {

// Whether a device node of the set belongs to the container: its DEVPKEY_Device_ContainerId, or, only
// when the node has none, its base container id (which may differ from the container a node is
// grouped in, so it is not compared while the container id is there).
bool InContainer(HDEVINFO set, SP_DEVINFO_DATA& info, const GUID& containerId, BYTE* property) {
    for (const DEVPROPKEY* key : {&DEVPKEY_Device_ContainerId, &DEVPKEY_Device_BaseContainerId}) {
        DEVPROPTYPE type = 0;
        DWORD size = 0;
        std::memset(property, 0, kContainerPropertyBytes);
        if (!SetupDiGetDevicePropertyW(set, &info, key, &type, property, kContainerPropertyBytes, &size, 0)) continue;
        return (type & DEVPROP_MASK_TYPE) == DEVPROP_TYPE_GUID && size >= sizeof(GUID) &&
               std::memcmp(property, &containerId, sizeof(GUID)) == 0;
    }
    return false;
}

// Whether the collection's value reports include `reportId` of that type.
bool CarriesReport(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type, BYTE reportId) {
    HIDP_VALUE_CAPS caps[8];
    USHORT count = static_cast<USHORT>(sizeof caps / sizeof caps[0]);
    const NTSTATUS status = HidP_GetValueCaps(type, caps, &count, preparsed);
    if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_BUFFER_TOO_SMALL) return false;
    for (USHORT i = 0; i < count && i < sizeof caps / sizeof caps[0]; ++i)
        if (caps[i].ReportID == reportId) return true;
    return false;
}

// Whether a collection carries the channel-mask request (output report 1) and reply (input report 2).
enum class Reports { Carried, Unknown, Absent };

// Opens the HID interface of one device node into `opened` and reads its identity and `reports`
// (Unknown when its capabilities cannot be read).
bool OpenInterface(HDEVINFO set, SP_DEVINFO_DATA& info, const GUID& hidClass, ConsoleHidLink& opened, Reports* reports) {
    *reports = Reports::Unknown;
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof(iface);
    DWORD required = 0;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = nullptr;
    if (SetupDiEnumDeviceInterfaces(set, &info, &hidClass, 0, &iface)) {
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &required, nullptr);
        if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, required + sizeof(WCHAR)));
        if (detail) {
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, required, nullptr, nullptr)) {
                std::free(detail);
                detail = nullptr;
            }
        }
    }
    if (!detail) return false;

    opened.m_pszDevicePath = static_cast<char*>(std::calloc(1, kDevicePathBytes));
    if (opened.m_pszDevicePath)
        NarrowBounded(detail->DevicePath, kDevicePathBytes, opened.m_pszDevicePath, kDevicePathBytes);
    opened.m_hFile = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    std::free(detail);
    if (opened.m_hFile == INVALID_HANDLE_VALUE || !opened.m_hFile) {
        opened.m_hFile = INVALID_HANDLE_VALUE;
        CloseHandles(opened);
        return false;
    }

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    opened.m_Overlapped.hEvent = event ? event : INVALID_HANDLE_VALUE;

    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(opened.m_hFile, &preparsed)) {
        HIDP_CAPS caps{};
        if (HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
            opened.m_InputReportLength = caps.InputReportByteLength;
            opened.m_OutputReportLength = caps.OutputReportByteLength;
            *reports = CarriesReport(preparsed, HidP_Output, kRequestReportId) &&
                               CarriesReport(preparsed, HidP_Input, kReplyReportId)
                           ? Reports::Carried
                           : Reports::Absent;
        }
        HidD_FreePreparsedData(preparsed);
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (HidD_GetAttributes(opened.m_hFile, &attributes)) {
        opened.m_VendorId = attributes.VendorID;
        opened.m_ProductId = attributes.ProductID;
        opened.m_VersionNumber = attributes.VersionNumber;
    }
    if (!HidD_GetSerialNumberString(opened.m_hFile, opened.m_SerialNumber, sizeof(opened.m_SerialNumber)))
        std::memset(opened.m_SerialNumber, 0, sizeof(opened.m_SerialNumber));
    return true;
}

}  // namespace

bool OpenByContainerId(const GUID& containerId, ConsoleHidLink& link) {
    GUID hidClass{};
    HidD_GetHidGuid(&hidClass);
    HDEVINFO set = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;

    // A console's HID interface may have several top-level collections, each its own device node in the
    // same container: the one used carries the channel-mask reports. Without such a collection, the
    // first whose capabilities could not be read, else the first of the container that opens.
    BYTE* property = static_cast<BYTE*>(std::calloc(1, kContainerPropertyBytes));
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    ConsoleHidLink first;
    Reports firstReports = Reports::Absent;
    bool haveFirst = false, found = false;
    for (DWORD member = 0; property && !found && SetupDiEnumDeviceInfo(set, member, &info); ++member) {
        if (!InContainer(set, info, containerId, property)) continue;
        ConsoleHidLink opened;
        Reports reports = Reports::Absent;
        if (!OpenInterface(set, info, hidClass, opened, &reports)) continue;
        if (reports == Reports::Carried) {
            CopyFrom(link, opened);
            found = true;
        } else if (!haveFirst || (reports == Reports::Unknown && firstReports == Reports::Absent)) {
            CopyFrom(first, opened);
            firstReports = reports;
            haveFirst = true;
        }
        CloseLink(opened);
    }
    std::free(property);
    SetupDiDestroyDeviceInfoList(set);
    if (!found && haveFirst) {
        CopyFrom(link, first);
        found = true;
    }
    CloseLink(first);
    return found;
}

void CloseLink(ConsoleHidLink& link) { CloseHandles(link); }

void CopyFrom(ConsoleHidLink& destination, const ConsoleHidLink& source) {
    if (&destination == &source) return;  // closing the destination would close the source
    CloseHandles(destination);
    destination.m_hFile = Duplicate(source.m_hFile);
    destination.m_Overlapped = OVERLAPPED{};
    destination.m_Overlapped.hEvent = Duplicate(source.m_Overlapped.hEvent);
    if (source.m_pszDevicePath) {
        destination.m_pszDevicePath = static_cast<char*>(std::calloc(1, kDevicePathBytes));
        if (destination.m_pszDevicePath)
            for (std::size_t i = 0; i + 1 < kDevicePathBytes && source.m_pszDevicePath[i]; ++i)
                destination.m_pszDevicePath[i] = source.m_pszDevicePath[i];
    }
    destination.m_InputReportLength = source.m_InputReportLength;
    destination.m_OutputReportLength = source.m_OutputReportLength;
    destination.m_VendorId = source.m_VendorId;
    destination.m_ProductId = source.m_ProductId;
    destination.m_VersionNumber = source.m_VersionNumber;
    std::memcpy(destination.m_SerialNumber, source.m_SerialNumber, sizeof(destination.m_SerialNumber));
}

bool PollChannelMask(CConsoleSupervisor& supervisor, ConsoleHidLink& link) {
    // Without its event the link cannot wait for an exchange; a reply longer than the buffer, or none at
    // all, makes the device unusable for the poll. Nothing is sent then.
    if (!link.IsOpen() || !Valid(link.m_Overlapped.hEvent)) return false;
    if (link.m_InputReportLength == 0 || link.m_InputReportLength > kHidReplyBufferBytes) return false;
    // A write is exactly the output report length the capabilities give (the report id and its bytes):
    // Windows refuses one byte more or less. Without a length that fits, nothing is sent.
    const DWORD requestLength = link.m_OutputReportLength ? link.m_OutputReportLength : kHidRequestBytes;
    if (requestLength < 2 || requestLength > kHidReplyBufferBytes) return false;

    // Input reports wait per handle: a reply to an earlier request that was given up on may still be
    // queued, and would be read as the answer to this one.
    HidD_FlushQueue(link.m_hFile);
    BYTE request[kHidReplyBufferBytes] = {kRequestReportId, kRequestCommand};
    ResetOverlapped(link);
    if (!FinishIo(link, WriteFile(link.m_hFile, request, requestLength, nullptr, &link.m_Overlapped))) return false;

    BYTE reply[kHidReplyBufferBytes] = {};
    ResetOverlapped(link);
    if (!FinishIo(link, ReadFile(link.m_hFile, reply, link.m_InputReportLength, nullptr, &link.m_Overlapped)))
        return false;
    if (reply[0] != kReplyReportId || reply[1] != kReplyCommand) return false;

    const std::uint16_t mask = static_cast<std::uint16_t>(reply[2] | (reply[3] << 8));
    const std::uint16_t last = supervisor.m_ChannelMask;
    if (mask == last) return true;
    for (int bit = 0; bit < 16; ++bit) {
        const int stream = StreamForMaskBit(bit);
        const std::uint16_t flag = static_cast<std::uint16_t>(1u << bit);
        if (stream < 0 || ((mask ^ last) & flag) == 0) continue;
        if (mask & flag)
            ShowEndpoint(supervisor, stream);
        else
            HideEndpoint(supervisor, stream);
    }
    supervisor.m_ChannelMask = mask;
    return true;
}

void PublishConsoleIdentity(CConsoleSupervisor& supervisor, const CUSBDevice& model, ConsoleHidLink& link) {
    QuillonSharedBlock* status = supervisor.StatusView();
    if (!status) return;
    status->stateFlags |= kStateConsoleConnected;
    char text[kConsoleTextBytes];
    FormatConsoleDescription(model.DisplayName(), link.m_SerialNumber, text);
    WriteSharedText(status->consoleDescription, text);
    FormatFirmwareText(link.m_VersionNumber, text);
    WriteSharedText(status->firmwareText, text);
}
