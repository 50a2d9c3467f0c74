// The diagnostics view as text, like pw-top: a header on the bridge, then one line per driver stream.
// Pure: the record and the present time (GetTickCount64) in, lines out; none wider than kDiagTableWidth.
#pragma once

#include <cstdint>
#include <string>

#include "Service/common/DiagnosticsBlock.h"

inline constexpr std::size_t kDiagTableWidth = 110;

// "no console", "opening", "streaming"; "idle", "copy", "locking", "resampling".
const char* DiagBridgeStateText(std::uint32_t state);
const char* DiagPathStateText(std::uint32_t state);
// "16 ch 24-bit looped", "10 ch 24-in-32-bit standard", "none".
std::string DiagFormatText(const DiagFormat& format);

// The header and the table, every line ended by '\n'.
std::string FormatDiagnosticsTable(const DiagnosticsRecord& record, std::uint64_t nowMs);
