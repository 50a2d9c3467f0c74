#include "Service/Quillon/supervisor/ConsoleHidLink.h"

#include <cstdlib>

ConsoleHidLink::~ConsoleHidLink() { CloseLink(*this); }

bool OpenByContainerId(const GUID&, ConsoleHidLink&) {
    // The HID lookup by container arrives with the console's HID interface; nothing opens before then.
    return false;
}

void CloseLink(ConsoleHidLink& link) {
    if (link.m_hFile != INVALID_HANDLE_VALUE) CloseHandle(link.m_hFile);
    link.m_hFile = INVALID_HANDLE_VALUE;
    if (link.m_Overlapped.hEvent != INVALID_HANDLE_VALUE && link.m_Overlapped.hEvent)
        CloseHandle(link.m_Overlapped.hEvent);
    link.m_Overlapped.hEvent = INVALID_HANDLE_VALUE;
    std::free(link.m_pszDevicePath);
    link.m_pszDevicePath = nullptr;
}

bool PollChannelMask(CConsoleSupervisor&, ConsoleHidLink&) {
    // The channel-mask exchange arrives with the console's HID interface; until then the request fails
    // and nothing changes.
    return false;
}

void PublishConsoleIdentity(CConsoleSupervisor&, const CUSBDevice&, ConsoleHidLink&) {}
