// Where "User Guide" in the tray menu leads: the one place the address is kept.
#pragma once

inline constexpr const char kUserGuideUrl[] = "https://quillon.example/support/user-guide";
