// CTrayProcess: the tray program's process-wide state and its dealings with the service through the two
// shared blocks: it opens them (the command block to write, the status block to read), reads the status,
// keeps the heartbeat going on each timer tick and writes the user's settings.
//
// One instance per process, reached through ProcessGlobal<CTrayProcess>(); its construction opens the
// blocks, before the program entry runs. Everything runs on the one message-loop thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Service/QuillonSystray/NotifyIcon.h"
#include "Service/QuillonSystray/TrayMenuOwner.h"
#include "Service/QuillonSystray/TrayMenuModel.h"
#include "Service/QuillonSystray/TrayText.h"
#include "Service/common/SharedMemory.h"
#include "platform/win32.h"

class CTrayProcess {
public:
    CTrayProcess();
    ~CTrayProcess();
    CTrayProcess(const CTrayProcess&) = delete;
    CTrayProcess& operator=(const CTrayProcess&) = delete;

    // Both blocks are open and mapped: the service is reachable.
    bool BlocksMapped() const;
    // Opens the status block, then the command block, each replacing what was there.
    void ReopenBlocks();
    // Releases both blocks (status first).
    void CloseBlocks();

    // Reads the status block into the local state and the status lines; false when a block is missing.
    bool ReadStatus();
    // One timer tick: the heartbeat and the console bit while the service is reachable, otherwise an
    // attempt to reach it again.
    void Poll();
    // Carries out a menu command on the local state and the command block.
    void Apply(ETrayCommand command);

    // The status lines in block order, for the menu.
    void StatusLines(const WCHAR* (&lines)[3]) const;

    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    std::unique_ptr<CSharedMemoryReader> m_pReader;  // status block
    std::unique_ptr<CSharedMemoryWriter> m_pWriter;  // command block
    std::uint8_t m_Connected = 0;
    std::uint32_t m_Enabled = 0;
    std::uint32_t m_LatencyLow = 0;
    StatusLine m_ConsoleLine = {};
    StatusLine m_FirmwareLine = {};
    StatusLine m_VersionLine = {};
    CTrayNotifyIcon m_Icon;
    CTrayMenuOwner m_MenuOwner;  // the popup menu's owner window

private:
    void WriteSettings();
};
