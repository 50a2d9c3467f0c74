#include "Service/Quillon/vdriver/VirtualDriverChannel.h"

#include <cstdlib>

#include "Service/Quillon/vdriver/EndpointControl.h"

namespace {

HANDLE CreateAutoResetEvent() {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event ? event : INVALID_HANDLE_VALUE;
}

bool IsValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

void CloseIfValid(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

std::uint64_t ToWire(HANDLE handle) { return reinterpret_cast<std::uint64_t>(handle); }
HANDLE FromWire(std::uint64_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

CVirtualDriverChannel::CVirtualDriverChannel() {
    for (DriverStreamSlot& slot : m_Slots) {
        slot.m_hSlotEvent = CreateAutoResetEvent();
        slot.m_OpenBlock.SlotEvent = ToWire(slot.m_hSlotEvent);
    }
    for (int i = 0; i < kVirtualStreamCount; ++i) m_pJackSubtypes[i] = JackSubtypeString(i);

    m_ControlBlock.Header = kVadControlHeader;
    m_ControlBlock.Event1 = ToWire(CreateAutoResetEvent());
    m_ControlBlock.Event2 = ToWire(CreateAutoResetEvent());
    m_ControlBlock.Event3 = ToWire(CreateAutoResetEvent());
    m_ControlBlock.Event4 = ToWire(CreateAutoResetEvent());
    m_ControlBlock.Event5 = ToWire(CreateAutoResetEvent());
    m_ControlBlock.BufferFrames = 0;

    FindControlInterface();
    if (m_hDevice == INVALID_HANDLE_VALUE) return;

    RefreshEndpointIds(*this);
    RegisterControlBlock(2);
    StartNotifier();
}

void CVirtualDriverChannel::FindControlInterface() {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_VAD_CONTROL, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD member = 0; m_hDevice == INVALID_HANDLE_VALUE &&
                           SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_VAD_CONTROL, member, &data);
         ++member) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, required));
        if (!detail) continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
            HANDLE device = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            if (device != INVALID_HANDLE_VALUE) m_hDevice = device;
        }
        std::free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
}

CVirtualDriverChannel::~CVirtualDriverChannel() {
    StopNotifier();
    ReleaseControlBlock();
    for (int i = 0; i < kVirtualStreamCount; ++i) CloseStream(i);
    CloseIfValid(m_hDevice);
    for (int n = 1; n <= 5; ++n) {
        HANDLE event = ControlEvent(n);
        CloseIfValid(event);
    }
    for (WCHAR*& id : m_pEndpointIds) {
        std::free(id);
        id = nullptr;
    }
    for (DriverStreamSlot& slot : m_Slots) CloseIfValid(slot.m_hSlotEvent);
}

HANDLE CVirtualDriverChannel::ControlEvent(int number) const {
    switch (number) {
        case 1: return FromWire(m_ControlBlock.Event1);
        case 2: return FromWire(m_ControlBlock.Event2);
        case 3: return FromWire(m_ControlBlock.Event3);
        case 4: return FromWire(m_ControlBlock.Event4);
        case 5: return FromWire(m_ControlBlock.Event5);
        default: return INVALID_HANDLE_VALUE;
    }
}

bool CVirtualDriverChannel::SendRequest(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(m_hDevice, code, in, inSize, out, outSize, &returned, nullptr) != FALSE;
}

bool CVirtualDriverChannel::RegisterControlBlock(std::uint32_t multiplier) {
    if (m_hDevice == INVALID_HANDLE_VALUE) return false;
    if (m_ControlBlock.BufferFrames != 0) return true;
    // An event that could not be created holds -1, the current process's pseudo handle: the driver must
    // never be given it to signal.
    for (int n = 1; n <= 5; ++n)
        if (!IsValid(ControlEvent(n))) return false;
    m_ControlBlock.BufferFrames = multiplier * kVadFramesPerMultiplier;
    if (!SendRequest(IOCTL_VAD_CONTROL_REGISTER, &m_ControlBlock, sizeof(m_ControlBlock), &m_ControlBlock,
                     sizeof(m_ControlBlock))) {
        m_ControlBlock.BufferFrames = 0;
        return false;
    }
    return true;
}

bool CVirtualDriverChannel::DriverGone() {
    if (m_hDevice == INVALID_HANDLE_VALUE) return true;
    if (SendRequest(IOCTL_VAD_CONTROL_REGISTER, nullptr, 0, nullptr, 0)) return false;
    switch (GetLastError()) {
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_NO_SUCH_DEVICE:
        case ERROR_DEV_NOT_EXIST:
            return true;
        default:
            return false;
    }
}

// The service forgets a registration or an open stream whatever the driver answers, and the driver
// counts the close requests of a flow rather than naming streams: a request it refused once is sent
// once more, so that a passing failure leaves the two agreeing.
bool CVirtualDriverChannel::SendClosingRequest(DWORD code) {
    return SendRequest(code, nullptr, 0, nullptr, 0) || SendRequest(code, nullptr, 0, nullptr, 0);
}

void CVirtualDriverChannel::ReleaseControlBlock() {
    if (m_ControlBlock.BufferFrames == 0 || m_hDevice == INVALID_HANDLE_VALUE) return;
    SendClosingRequest(IOCTL_VAD_CONTROL_RELEASE);
    m_ControlBlock.BufferFrames = 0;
}

bool CVirtualDriverChannel::OpenStream(int index, std::uint32_t& length) {
    if (m_hDevice == INVALID_HANDLE_VALUE || index < 0 || index >= kVirtualStreamCount || m_Slots[index].m_bOpen)
        return false;
    DriverStreamSlot& slot = m_Slots[index];
    // A slot event that could not be created is created now (an open is tried again by the supervisor).
    if (!IsValid(slot.m_hSlotEvent)) {
        slot.m_hSlotEvent = CreateAutoResetEvent();
        slot.m_OpenBlock.SlotEvent = ToWire(slot.m_hSlotEvent);
        if (!IsValid(slot.m_hSlotEvent)) return false;
    }
    VAD_STREAM_OPEN_BLOCK& block = slot.m_OpenBlock;
    block.LocalIndex = DriverLocalIndex(index);
    block.SampleRate = kVadSampleRate;
    block.Channels = StreamChannelCount(index);
    block.BufferAddress = 0;
    block.BufferLength = 0;
    block.StatusAddress = 0;
    const DWORD code = IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_OPEN : IOCTL_VAD_RENDER_OPEN;
    if (!SendRequest(code, &block, sizeof(block), &block, sizeof(block))) {
        // Whatever the driver left in the record is not ours to use.
        block.BufferAddress = 0;
        block.BufferLength = 0;
        block.StatusAddress = 0;
        return false;
    }
    length = block.BufferLength;
    slot.m_nStreamIndex = index;
    slot.m_bOpen = 1;
    return true;
}

bool CVirtualDriverChannel::CloseStream(int index) {
    if (m_hDevice == INVALID_HANDLE_VALUE || index < 0 || index >= kVirtualStreamCount || !m_Slots[index].m_bOpen)
        return false;
    SendClosingRequest(IsCaptureStream(index) ? IOCTL_VAD_CAPTURE_CLOSE : IOCTL_VAD_RENDER_CLOSE);
    m_Slots[index].m_bOpen = 0;
    return false;
}

void CVirtualDriverChannel::StartNotifier() {
    // A closed channel has nothing to be notified of; and a thread that could not be told to stop (no stop
    // event) or would wait on no event must not start.
    if (m_hDevice == INVALID_HANDLE_VALUE || !IsValid(m_StopEvent.Handle()) || !IsValid(ControlEvent(5))) return;
    if (m_hNotifyThread == INVALID_HANDLE_VALUE) {
        // A stop requested while no thread ran must not end the new thread at once.
        WaitForSingleObject(m_StopEvent.Handle(), 0);
        const uintptr_t thread = _beginthreadex(nullptr, 0, NotifierThreadProc, this, 0, &m_NotifyThreadId);
        m_hNotifyThread = thread ? reinterpret_cast<HANDLE>(thread) : INVALID_HANDLE_VALUE;
    }
    if (m_hNotifyThread != INVALID_HANDLE_VALUE) SetThreadPriority(m_hNotifyThread, THREAD_PRIORITY_TIME_CRITICAL);
}

void CVirtualDriverChannel::StopNotifier() {
    if (IsValid(m_StopEvent.Handle())) SetEvent(m_StopEvent.Handle());
    if (m_hNotifyThread == INVALID_HANDLE_VALUE) return;
    WaitForSingleObject(m_hNotifyThread, INFINITE);
    CloseHandle(m_hNotifyThread);
    m_hNotifyThread = INVALID_HANDLE_VALUE;
    m_NotifyThreadId = 0;
}

unsigned WINAPI CVirtualDriverChannel::NotifierThreadProc(void* argument) {
    static_cast<CVirtualDriverChannel*>(argument)->NotifierLoop();
    return 0;
}

void CVirtualDriverChannel::NotifierLoop() {
    DWORD taskIndex = 0;
    HANDLE task = AvSetMmThreadCharacteristicsW(WSTR("Pro Audio"), &taskIndex);
    if (task) AvSetMmThreadPriority(task, AVRT_PRIORITY_HIGH);

    const HANDLE notification = FromWire(m_ControlBlock.Event5);
    while (WaitForSingleObject(m_StopEvent.Handle(), 0) == WAIT_TIMEOUT) {
        if (WaitForSingleObject(notification, 100) != WAIT_OBJECT_0) continue;
        const std::uint64_t status = m_ControlBlock.StatusAddress;
        if (m_pfnNotify && status) {
            const auto* word = reinterpret_cast<const std::uint32_t*>(status + kVadStatusPositionOffset);
            m_pfnNotify(m_NotifyContext, *word);
        }
    }
    if (task) AvRevertMmThreadCharacteristics(task);
}
