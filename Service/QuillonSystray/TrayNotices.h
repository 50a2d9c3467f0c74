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
DWORD NoticeLevel(ETrayNotice notice);  // NIIF_INFO or NIIF_ERROR

// The notice that goes with a status read at start (or a reconnection attempt): whether it succeeded.
ETrayNotice ServiceNotice(bool reachable);
// The notice for a console-connected bit that changed to `connected`.
ETrayNotice ConsoleNotice(std::uint8_t connected);

// Balloon flags: no sound, large icon, and the notice's level in the low two bits.
inline constexpr DWORD kBalloonLevelMask = 0x3;
inline constexpr DWORD kBalloonBaseFlags = NIIF_NOSOUND | NIIF_LARGE_ICON;
DWORD BalloonFlags(DWORD currentFlags, ETrayNotice notice);
