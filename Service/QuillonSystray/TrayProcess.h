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

    // The icon in the notification area. ShowIcon adds it with its first notice; an add the shell refused
    // (no taskbar yet) is tried again on every tick, and a notice meanwhile replaces the one to show.
    void ShowIcon(ETrayNotice first);
    void Notify(ETrayNotice notice);
    // The taskbar was (re)created: every icon is gone; the tray's is added again, without a balloon
    // unless its notice has not been seen yet.
    void OnTaskbarCreated();
    // Loads the icon's images for the DPI of the menu owner window (the tray's top-level window) and
    // puts them on the icon; the images they replace are destroyed.
    void LoadIcons();

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
    UINT m_TaskbarCreated = 0;   // the registered "TaskbarCreated" message, 0 when unknown
    bool m_IconAdded = false;
    bool m_NoticeSeen = false;   // the current notice has been shown in a balloon
    ETrayNotice m_Notice = ETrayNotice::ServiceNotRunning;
    HICON m_SmallIcon = nullptr;  // the notification icon
    HICON m_LargeIcon = nullptr;  // the balloons'

private:
    void WriteSettings();
    void TryAddIcon();
};
