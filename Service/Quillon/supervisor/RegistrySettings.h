// The service's two settings in HKEY_LOCAL_MACHINE: "Enable" and "Latency", both REG_DWORD.
#pragma once

#include <cstdint>

inline constexpr const char kSettingsKeyPath[] = "SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";
inline constexpr const char kEnableValueName[] = "Enable";
inline constexpr const char kLatencyValueName[] = "Latency";

// True only when the key opened and the value is a REG_DWORD; `value` then holds it.
bool ReadSetting(const char* name, std::uint32_t& value);
// Creates the key on first use. True when the value was stored; callers may ignore it.
bool WriteSetting(const char* name, std::uint32_t value);
