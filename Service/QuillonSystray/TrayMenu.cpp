#include "Service/QuillonSystray/TrayMenu.h"

static_assert(kTrayMenuFlags == 0x1A0);

void ShowTrayMenu(CTrayProcess& tray, int x, int y) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    const bool statusRead = tray.ReadStatus();
    HMENU latency = CreatePopupMenu();

    const WCHAR* lines[3];
    tray.StatusLines(lines);
    const CTrayMenuModel model(statusRead, latency != nullptr, tray.m_Enabled, tray.m_LatencyLow, lines);

    for (std::size_t i = 0; i < model.LatencyCount(); ++i) {
        const TrayMenuEntry& entry = model.Latency(i);
        AppendMenuW(latency, entry.flags, entry.id, entry.text);
    }
    bool latencyAttached = false;
    for (std::size_t i = 0; i < model.MainCount(); ++i) {
        const TrayMenuEntry& entry = model.Main(i);
        if (entry.flags & MF_POPUP)
            latencyAttached = AppendMenuW(menu, entry.flags, reinterpret_cast<UINT_PTR>(latency), entry.text) != FALSE;
        else
            AppendMenuW(menu, entry.flags, entry.id, entry.text);
    }

    // The menu's owner must be the foreground window for the menu to take the keyboard and to close on
    // a click elsewhere; afterwards a benign message lets the owner's thread leave the menu mode cleanly.
    HWND owner = tray.m_MenuOwner.Get(tray.m_hInstance, tray.m_hWnd);
    SetForegroundWindow(owner);
    const UINT_PTR chosen = static_cast<UINT_PTR>(TrackPopupMenu(menu, kTrayMenuFlags, x, y, 0, owner, nullptr));
    PostMessageW(owner, WM_NULL, 0, 0);
    // Dismissed with Escape (the owner kept the foreground; a click elsewhere gives it to that window):
    // the keyboard goes back to the icon, where the user left it.
    if (chosen == 0 && GetForegroundWindow() == owner) tray.m_Icon.ReturnFocus();
    tray.Apply(model.CommandFor(chosen));

    // Destroying the main menu destroys the submenu attached to it; a submenu that could not be attached
    // is destroyed on its own.
    DestroyMenu(menu);
    if (latency && !latencyAttached) DestroyMenu(latency);
}
