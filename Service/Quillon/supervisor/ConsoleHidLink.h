// ConsoleHidLink: one open HID interface of the console, and the exchanges the supervisor makes over it
// (publishing the console's identity, polling its channel mask).
#pragma once

#include <cstdint>

#include "platform/win32.h"

class CConsoleSupervisor;
class CUSBDevice;

struct ConsoleHidLink {
    char* m_pszDevicePath = nullptr;  // owned; at most 260 bytes
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    OVERLAPPED m_Overlapped{};  // its hEvent is the link's event; INVALID_HANDLE_VALUE when closed
    std::uint32_t m_InputReportLength = 0;
    std::uint32_t m_OutputReportLength = 0;
    std::uint16_t m_VendorId = 0;
    std::uint16_t m_ProductId = 0;
    std::uint16_t m_VersionNumber = 0;
    WCHAR m_SerialNumber[127] = {};

    ConsoleHidLink() { m_Overlapped.hEvent = INVALID_HANDLE_VALUE; }
    ~ConsoleHidLink();
    ConsoleHidLink(const ConsoleHidLink&) = delete;
    ConsoleHidLink& operator=(const ConsoleHidLink&) = delete;

    bool IsOpen() const { return m_hFile != INVALID_HANDLE_VALUE; }
};

bool OpenByContainerId(const GUID& containerId, ConsoleHidLink& link);
void CloseLink(ConsoleHidLink& link);
bool PollChannelMask(CConsoleSupervisor& supervisor, ConsoleHidLink& link);
void PublishConsoleIdentity(CConsoleSupervisor& supervisor, const CUSBDevice& model, ConsoleHidLink& link);
