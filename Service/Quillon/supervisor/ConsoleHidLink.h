// ConsoleHidLink: one open HID interface of the console, and the exchanges the supervisor makes over it
// (publishing the console's identity, polling its channel mask).
#pragma once

#include <cstddef>
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

inline constexpr DWORD kHidExchangeTimeoutMs = 2000;
inline constexpr std::size_t kHidRequestBytes = 64;
inline constexpr std::size_t kHidReplyBufferBytes = 256;
inline constexpr std::size_t kConsoleTextBytes = 64;  // the status block's text fields

// Opens the HID interface whose device node has `containerId` as its base container; false (and the
// link unchanged) when there is none or it cannot be opened.
bool OpenByContainerId(const GUID& containerId, ConsoleHidLink& link);
// Cancels pending I/O, closes both handles and clears the path.
void CloseLink(ConsoleHidLink& link);
// Makes `destination` an independent copy of `source` (its own handles, path and fields).
void CopyFrom(ConsoleHidLink& destination, const ConsoleHidLink& source);
// One channel-mask request and reply; shows and hides the render endpoints whose mask bits changed and
// keeps the mask as the supervisor's last one. False when the exchange did not give a mask.
bool PollChannelMask(CConsoleSupervisor& supervisor, ConsoleHidLink& link);
// Marks the console connected in the status block and writes its description and firmware text.
void PublishConsoleIdentity(CConsoleSupervisor& supervisor, const CUSBDevice& model, ConsoleHidLink& link);

// The stream index a channel-mask bit (0-15) shows, or -1 for a bit that stands for no endpoint.
int StreamForMaskBit(int bit);
// "Firmware Version: 1.23" from the release number 0x0123, into `out` (64 bytes).
void FormatFirmwareText(std::uint16_t version, char (&out)[kConsoleTextBytes]);
// "<model name> (<serial>)", cut to 63 bytes, into `out`; the serial is at most 127 units and need not
// be terminated.
void FormatConsoleDescription(const char* modelName, const WCHAR* serial, char (&out)[kConsoleTextBytes]);
