#include "Service/QuillonSystray/NotifyIcon.h"

#include <cstddef>

#include "Service/QuillonSystray/TrayText.h"

// The record the shell reads: Windows x64, version-4 layout.
static_assert(sizeof(NOTIFYICONDATAW) == 976);
static_assert(offsetof(NOTIFYICONDATAW, hWnd) == 8 && offsetof(NOTIFYICONDATAW, uID) == 16 &&
              offsetof(NOTIFYICONDATAW, uFlags) == 20 && offsetof(NOTIFYICONDATAW, uCallbackMessage) == 24 &&
              offsetof(NOTIFYICONDATAW, hIcon) == 32 && offsetof(NOTIFYICONDATAW, szTip) == 40 &&
              offsetof(NOTIFYICONDATAW, szInfo) == 304 && offsetof(NOTIFYICONDATAW, uVersion) == 816 &&
              offsetof(NOTIFYICONDATAW, szInfoTitle) == 820 && offsetof(NOTIFYICONDATAW, dwInfoFlags) == 948 &&
              offsetof(NOTIFYICONDATAW, guidItem) == 952 && offsetof(NOTIFYICONDATAW, hBalloonIcon) == 968);
static_assert(CTrayNotifyIcon::kFlags == 0x97 && CTrayNotifyIcon::kCallbackMessage == 0x465);
static_assert(kBalloonFlags == 0x34);

void CTrayNotifyIcon::Fill(HWND window, HICON icon, HICON balloonIcon) {
    m_Data = NOTIFYICONDATAW{};
    m_Data.cbSize = sizeof(NOTIFYICONDATAW);
    m_Data.hWnd = window;
    m_Data.uID = kIconId;
    m_Data.uFlags = kFlags;
    m_Data.uCallbackMessage = kCallbackMessage;
    m_Data.hIcon = icon;
    m_Data.hBalloonIcon = balloonIcon;
    CopyToField(m_Data.szTip, kTrayTitle);
    CopyToField(m_Data.szInfoTitle, kTrayTitle);
    m_Data.dwInfoFlags = kBalloonFlags;
}

void CTrayNotifyIcon::SetNotice(ETrayNotice notice) {
    CopyToField(m_Data.szInfo, NoticeText(notice));
}

BOOL CTrayNotifyIcon::Add(ETrayNotice first) {
    SetNotice(first);
    return Shell_NotifyIconW(NIM_ADD, &m_Data);
}

BOOL CTrayNotifyIcon::AddQuietly() {
    NOTIFYICONDATAW copy = m_Data;
    copy.uFlags &= ~static_cast<UINT>(NIF_INFO);
    return Shell_NotifyIconW(NIM_ADD, &copy);
}

BOOL CTrayNotifyIcon::SetIcons(HICON icon, HICON balloonIcon, bool shown) {
    m_Data.hIcon = icon;
    m_Data.hBalloonIcon = balloonIcon;
    if (!shown) return TRUE;
    NOTIFYICONDATAW copy = m_Data;
    copy.uFlags = NIF_ICON;
    return Shell_NotifyIconW(NIM_MODIFY, &copy);
}

BOOL CTrayNotifyIcon::ReturnFocus() {
    NOTIFYICONDATAW copy = m_Data;
    copy.uFlags = 0;
    return Shell_NotifyIconW(NIM_SETFOCUS, &copy);
}

BOOL CTrayNotifyIcon::UseVersion4() {
    NOTIFYICONDATAW copy = m_Data;
    copy.uVersion = NOTIFYICON_VERSION_4;
    return Shell_NotifyIconW(NIM_SETVERSION, &copy);
}

BOOL CTrayNotifyIcon::Show(ETrayNotice notice) {
    SetNotice(notice);
    return Shell_NotifyIconW(NIM_MODIFY, &m_Data);
}

BOOL CTrayNotifyIcon::Remove() { return Shell_NotifyIconW(NIM_DELETE, &m_Data); }
