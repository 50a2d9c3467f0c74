// Small helpers over WCHAR strings (UTF-16 on every platform the tray is built for).
#pragma once

#include <cstddef>

#include "Service/common/SharedBlock.h"
#include "platform/win32.h"

// A status line: one 64-byte text field of the status block, widened one byte to one code unit, cut at
// 64 units and always terminated.
inline constexpr std::size_t kStatusLineUnits = kSharedTextSize;
using StatusLine = WCHAR[kStatusLineUnits + 1];

// Widens a text field written by the service. Reads the field only, never past it, whether or not it is
// terminated; each byte becomes the code unit of the same value.
void WidenSharedText(const char (&field)[kSharedTextSize], StatusLine& line);

// Copies `text` into a fixed field of `units` code units, cut so that it stays terminated.
template <std::size_t N>
void CopyToField(WCHAR (&field)[N], const WCHAR* text) {
    lstrcpynW(field, text, static_cast<int>(N));
}
