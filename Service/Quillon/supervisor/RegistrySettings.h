// The service's two settings in HKEY_LOCAL_MACHINE: "Enable" and "Latency", both REG_DWORD.
#pragma once

#include <cstdint>

inline constexpr const char kSettingsKeyPath[] = "SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver";
inline constexpr const char kEnableValueName[] = "Enable";
inline constexpr const char kLatencyValueName[] = "Latency";
// Diagnostics, set by an administrator and never written by the service: the KS log's level.
inline constexpr const char kDiagnosticsKeyPath[] =
    "SOFTWARE\\Arvel Rozezezezed\\Quillon Virtual Device Driver\\Diagnostics";
inline constexpr const char kKsLogLevelValueName[] = "KsLogLevel";

// True only when the key opened and the value is a REG_DWORD; `value` then holds it.
bool ReadSetting(const char* name, std::uint32_t& value);
// "KsLogLevel" of the Diagnostics subkey; 0 when it is absent or not a REG_DWORD.
std::uint32_t ReadKsLogLevel();

inline constexpr const char kDriftCorrectionValueName[] = "DriftCorrection";
// "DriftCorrection" of the Diagnostics subkey: 0 only when stored as a REG_DWORD 0 (the routing then
// copies sample for sample whatever the clocks do); 1 when absent, unreadable or any other value.
std::uint32_t ReadDriftCorrection();
// Creates the key on first use. True when the value was stored; callers may ignore it.
bool WriteSetting(const char* name, std::uint32_t value);
