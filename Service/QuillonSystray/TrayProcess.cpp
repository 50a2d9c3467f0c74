#include "Service/QuillonSystray/TrayProcess.h"

#include <atomic>

#include "Service/QuillonSystray/HeartbeatRule.h"
#include "Service/QuillonSystray/UserGuide.h"
#include "Service/QuillonSystray/res/resource.h"

namespace {

// The blocks are shared with the service, which writes its side while the tray reads: whole aligned
// words, read and written as such.
std::uint32_t LoadWord(const std::uint32_t& word) {
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(word)).load(std::memory_order_relaxed);
}

void StoreWord(std::uint32_t& word, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_relaxed);
}

std::unique_ptr<CSharedMemoryReader> OpenStatusBlock() {
    return std::make_unique<CSharedMemoryReader>(kStatusBlockName, kReadOnlyAccess);
}

std::unique_ptr<CSharedMemoryWriter> OpenCommandBlock() {
    return std::make_unique<CSharedMemoryWriter>(SharedMemorySide::Open, kCommandBlockName, kReadWriteAccess);
}

}  // namespace

CTrayProcess::CTrayProcess() {
    // Either block may be missing (the service is not running): the first timer tick tries again.
    m_pWriter = OpenCommandBlock();
    m_pReader = OpenStatusBlock();
}

CTrayProcess::~CTrayProcess() {
    CloseBlocks();
    if (m_SmallIcon) DestroyIcon(m_SmallIcon);
    if (m_LargeIcon && m_LargeIcon != m_SmallIcon) DestroyIcon(m_LargeIcon);
}

void CTrayProcess::TryAddIcon() {
    if (m_IconAdded) return;
    if (!(m_NoticeSeen ? m_Icon.AddQuietly() : m_Icon.Add(m_Notice))) return;
    m_IconAdded = true;
    m_NoticeSeen = true;
    m_Icon.UseVersion4();
}

void CTrayProcess::ShowIcon(ETrayNotice first) {
    m_Notice = first;
    m_NoticeSeen = false;
    TryAddIcon();
}

void CTrayProcess::Notify(ETrayNotice notice) {
    m_Notice = notice;
    // Not shown (no icon yet, or the taskbar is gone until its "TaskbarCreated"): the next add shows it.
    m_NoticeSeen = m_IconAdded && m_Icon.Show(notice);
}

void CTrayProcess::OnTaskbarCreated() {
    m_IconAdded = false;
    TryAddIcon();
}

void CTrayProcess::LoadIcons() {
    const HWND owner = m_MenuOwner.Get(m_hInstance, nullptr);
    UINT dpi = owner ? GetDpiForWindow(owner) : 0;
    if (dpi == 0) dpi = USER_DEFAULT_SCREEN_DPI;
    // The group's image nearest the size (scaled when none matches); each load is the tray's own copy.
    const LPCWSTR id = MAKEINTRESOURCEW(IDI_QUILLON_TRAY);
    HICON smallIcon = static_cast<HICON>(LoadImageW(m_hInstance, id, IMAGE_ICON, GetSystemMetricsForDpi(SM_CXSMICON, dpi),
                                                    GetSystemMetricsForDpi(SM_CYSMICON, dpi), LR_DEFAULTCOLOR));
    HICON largeIcon = static_cast<HICON>(LoadImageW(m_hInstance, id, IMAGE_ICON, GetSystemMetricsForDpi(SM_CXICON, dpi),
                                                    GetSystemMetricsForDpi(SM_CYICON, dpi), LR_DEFAULTCOLOR));
    // Images that could not be loaded leave the ones there are; a balloon without a large image of its
    // own takes the small one.
    if (!smallIcon && !largeIcon) return;
    if (!smallIcon) smallIcon = m_SmallIcon ? m_SmallIcon : largeIcon;
    if (!largeIcon) largeIcon = m_LargeIcon ? m_LargeIcon : smallIcon;
    const HICON oldSmall = m_SmallIcon, oldLarge = m_LargeIcon;
    m_Icon.SetIcons(smallIcon, largeIcon, m_IconAdded);
    m_SmallIcon = smallIcon;
    m_LargeIcon = largeIcon;
    if (oldSmall && oldSmall != smallIcon && oldSmall != largeIcon) DestroyIcon(oldSmall);
    if (oldLarge && oldLarge != oldSmall && oldLarge != smallIcon && oldLarge != largeIcon) DestroyIcon(oldLarge);
}

bool CTrayProcess::BlocksMapped() const { return m_pReader && m_pReader->m_pView && m_pWriter && m_pWriter->m_pView; }

void CTrayProcess::ReopenBlocks() {
    m_pReader.reset();
    m_pReader = OpenStatusBlock();
    m_pWriter.reset();
    m_pWriter = OpenCommandBlock();
}

void CTrayProcess::CloseBlocks() {
    m_pReader.reset();
    m_pWriter.reset();
}

bool CTrayProcess::ReadStatus() {
    if (!BlocksMapped()) return false;
    const QuillonSharedBlock& status = *m_pReader->m_pView;
    const std::uint32_t settings = LoadWord(status.settings);
    m_Enabled = settings & kSettingEnable;
    m_LatencyLow = (settings & kSettingLatency) ? 1 : 0;
    m_Connected = (LoadWord(status.stateFlags) & kStateConsoleConnected) ? 1 : 0;
    WidenSharedText(status.consoleDescription, m_ConsoleLine);
    WidenSharedText(status.firmwareText, m_FirmwareLine);
    WidenSharedText(status.serviceVersion, m_VersionLine);
    return true;
}

void CTrayProcess::Poll() {
    TryAddIcon();
    if (BlocksMapped()) {
        QuillonSharedBlock& command = *m_pWriter->m_pView;
        const QuillonSharedBlock& status = *m_pReader->m_pView;
        const std::uint32_t counter = LoadWord(command.heartbeat);
        if (HeartbeatLost(counter, LoadWord(status.heartbeat))) {
            m_Connected = 0;
            Notify(ETrayNotice::ServiceNotRunning);
            CloseBlocks();
            return;
        }
        StoreWord(command.heartbeat, counter + 1);
        const std::uint8_t connected = (LoadWord(status.stateFlags) & kStateConsoleConnected) ? 1 : 0;
        if (connected != m_Connected) {
            m_Connected = connected;
            Notify(ConsoleNotice(connected));
        }
        return;
    }
    ReopenBlocks();
    if (BlocksMapped()) Notify(ETrayNotice::ServiceRunning);
}

void CTrayProcess::WriteSettings() {
    if (!m_pWriter || !m_pWriter->m_pView) return;
    std::uint32_t& settings = m_pWriter->m_pView->settings;
    std::uint32_t value = LoadWord(settings) & ~(kSettingEnable | kSettingLatency);
    if (m_Enabled) value |= kSettingEnable;
    if (m_LatencyLow) value |= kSettingLatency;
    StoreWord(settings, value);
}

void CTrayProcess::Apply(ETrayCommand command) {
    switch (command) {
        case ETrayCommand::Bypass:
            m_Enabled = m_Enabled ? 0 : 1;
            WriteSettings();
            break;
        case ETrayCommand::UltraLow:
            m_LatencyLow = 0;
            WriteSettings();
            break;
        case ETrayCommand::Low:
            m_LatencyLow = 1;
            WriteSettings();
            break;
        case ETrayCommand::UserGuide:
            ShellExecuteA(nullptr, "open", kUserGuideUrl, nullptr, nullptr, SW_SHOWNORMAL);
            break;
        case ETrayCommand::Quit:
            PostQuitMessage(0);
            break;
        case ETrayCommand::None:
            break;
    }
}

void CTrayProcess::StatusLines(const WCHAR* (&lines)[3]) const {
    lines[0] = m_ConsoleLine;
    lines[1] = m_FirmwareLine;
    lines[2] = m_VersionLine;
}
