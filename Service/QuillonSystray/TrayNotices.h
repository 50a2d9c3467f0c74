// The notices the tray shows as balloons, with their texts and levels.
#pragma once

#include <cstdint>

#include "platform/win32.h"

enum class ETrayNotice {
    ServiceRunning,     // the service answers (at start, or after reconnecting to the blocks)
    ServiceNotRunning,  // not reachable at start, or its heartbeat was lost
    ConsoleConnected,   // the console-connected bit went to 1
    ConsoleRemoved,     // the bit went to 0
};

inline constexpr const WCHAR kTrayTitle[] = WSTR("Quillon Virtual Device Driver");

const WCHAR* NoticeText(ETrayNotice notice);

// The notice that goes with a status read at start (or a reconnection attempt): whether it succeeded.
ETrayNotice ServiceNotice(bool reachable);
// The notice for a console-connected bit that changed to `connected`.
ETrayNotice ConsoleNotice(std::uint8_t connected);

// Balloon flags: no sound, and the product's own icon (NIIF_USER: the record's balloon icon), large. The
// texts say which notices are bad news; the stock information and error icons would hide whose they are.
inline constexpr DWORD kBalloonFlags = NIIF_USER | NIIF_NOSOUND | NIIF_LARGE_ICON;  // 0x34
