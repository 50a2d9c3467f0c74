// CVirtualDriverChannel: the service's side of the virtual audio driver's control channel. It opens the
// driver's control interface, registers the control block (five events and the period), opens and closes
// the sixteen driver streams whose sample buffers the driver maps into this process, and runs the
// notification thread that waits for the driver's fifth event.
#pragma once

#include "Service/Quillon/supervisor/Event.h"
#include "Service/Quillon/vdriver/VadProtocol.h"
#include "platform/win32.h"

struct DriverStreamSlot {
    std::int32_t m_nStreamIndex = 0;
    VAD_STREAM_OPEN_BLOCK m_OpenBlock{};  // the open request's record; holds the driver's answers
    HANDLE m_hSlotEvent = INVALID_HANDLE_VALUE;
    std::uint8_t m_bOpen = 0;
};

using DriverNotificationHandler = void (*)(std::uint64_t context, std::uint32_t value);

class CVirtualDriverChannel {
public:
    // Finds and opens the control interface, learns the endpoint identifiers, registers the control block
    // with multiplier 2 and starts the notification thread. Without the driver the channel stays closed.
    CVirtualDriverChannel();
    ~CVirtualDriverChannel();
    CVirtualDriverChannel(const CVirtualDriverChannel&) = delete;
    CVirtualDriverChannel& operator=(const CVirtualDriverChannel&) = delete;

    bool RegisterControlBlock(std::uint32_t multiplier);
    void ReleaseControlBlock();
    bool OpenStream(int index, std::uint32_t& length);
    bool CloseStream(int index);  // always false; callers ignore it
    void StartNotifier();
    void StopNotifier();
    // Whether the driver behind the channel's handle is gone (removed, or reinstalled behind it), asked
    // without relying on its clock: the driver's clock may rest while nothing streams, or follow the
    // service. A control request the driver must refuse (a registration without its record) tells: a
    // driver still there refuses the record, a handle to a driver that went fails as its device does.
    bool DriverGone();

    HANDLE DeviceHandle() const { return m_hDevice; }
    bool IsOpen() const { return m_hDevice != INVALID_HANDLE_VALUE; }
    std::uint32_t BufferFrames() const { return m_ControlBlock.BufferFrames; }
    const DriverStreamSlot& Slot(int index) const { return m_Slots[index]; }
    HANDLE ControlEvent(int number) const;  // events 1 to 5 of the control block
    HANDLE NotifierThread() const { return m_hNotifyThread; }

    // Endpoint identifiers (owned, null until known) and jack-subtype strings, per stream index.
    WCHAR* m_pEndpointIds[kVirtualStreamCount] = {};
    const WCHAR* m_pJackSubtypes[kVirtualStreamCount] = {};

private:
    static unsigned WINAPI NotifierThreadProc(void* argument);
    void NotifierLoop();
    bool SendRequest(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize);
    bool SendClosingRequest(DWORD code);
    void FindControlInterface();

    DriverStreamSlot m_Slots[kVirtualStreamCount];
    VAD_CONTROL_BLOCK m_ControlBlock{};
    DriverNotificationHandler m_pfnNotify = nullptr;
    std::uint64_t m_NotifyContext = 0;
    HANDLE m_hNotifyThread = INVALID_HANDLE_VALUE;
    unsigned m_NotifyThreadId = 0;
    CEvent m_StopEvent;
    HANDLE m_hDevice = INVALID_HANDLE_VALUE;
};
