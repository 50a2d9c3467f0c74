// CTrayNotifyIcon: the tray's one notification-area icon, as the shell's NOTIFYICONDATAW record (the
// 976-byte version-4 layout). Filled once, then modified for each balloon notice and each new pair of
// icon images (a DPI change). Balloons carry the product's own icon (NIIF_USER with the large image).
#pragma once

#include "Service/QuillonSystray/TrayNotices.h"
#include "platform/win32.h"

class CTrayNotifyIcon {
public:
    static constexpr UINT kIconId = 1;
    static constexpr UINT kCallbackMessage = WM_USER + 0x65;  // 0x465
    static constexpr UINT kFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO | NIF_SHOWTIP;  // 0x97

    // Fills the record: window, id, flags, callback message, icon and the balloon's, tooltip, title.
    void Fill(HWND window, HICON icon, HICON balloonIcon);
    // Adds the icon with `first` as its balloon (the notice shows at once: NIF_INFO is set).
    BOOL Add(ETrayNotice first);
    // Adds it again without a balloon (the taskbar was recreated: the user has seen the notice).
    BOOL AddQuietly();
    // Changes the images of the icon and of later balloons; `shown`: the icon is there, change it now.
    BOOL SetIcons(HICON icon, HICON balloonIcon, bool shown);
    // Gives the keyboard focus back to the icon (a menu was dismissed with Escape).
    BOOL ReturnFocus();
    // Sends NIM_SETVERSION with a copy of the record whose version is 4.
    BOOL UseVersion4();
    // Shows a notice on the existing icon.
    BOOL Show(ETrayNotice notice);
    BOOL Remove();

    const NOTIFYICONDATAW& Record() const { return m_Data; }

private:
    void SetNotice(ETrayNotice notice);

    NOTIFYICONDATAW m_Data{};
};
