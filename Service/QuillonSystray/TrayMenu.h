// The tray's context menu: built afresh from the current state, opened at the click point, and the
// chosen command carried out.
#pragma once

#include "Service/QuillonSystray/TrayProcess.h"

// Opens the menu at screen point (x, y) for the tray's window and acts on the choice. A menu that cannot
// be created shows nothing; without the latency submenu the latency choice is left out.
void ShowTrayMenu(CTrayProcess& tray, int x, int y);

inline constexpr UINT kTrayMenuFlags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_BOTTOMALIGN;  // 0x1A0
