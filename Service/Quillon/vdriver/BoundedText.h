// Text helpers for strings that come from drivers, devices and the endpoint store: every one is bounded by
// the buffer it lives in, whether or not it is terminated.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Units before the first zero, at most `maxUnits`.
std::size_t BoundedLength(const WCHAR* text, std::size_t maxUnits);

// Converts at most `maxUnits` UTF-16 units (fewer when a zero comes first) to the system code page into
// `out` (`outSize` bytes, at least 1), cutting to what fits. `out` is always terminated; false (and an
// empty `out`) when the conversion fails.
bool NarrowBounded(const WCHAR* text, std::size_t maxUnits, char* out, std::size_t outSize);

// ASCII case folding only: the texts compared are registry names, GUID strings and device identifiers.
bool EqualsIgnoreCaseA(const char* a, const char* b);
// Whether `needle`, lowered character by character, occurs in `haystack` lowered the same way.
bool ContainsIgnoreCaseA(const char* haystack, const char* needle);
// Whether two terminated texts are the same, compared ordinally (CompareStringOrdinal: code unit by code
// unit, with the system's simple upper-casing when ignoreCase): identifiers and names never compare by
// the user's locale.
bool SameTextOrdinal(const WCHAR* a, const WCHAR* b, bool ignoreCase);
// Whether `needle` occurs in `haystack` ignoring ASCII case; an empty needle occurs everywhere.
bool ContainsIgnoreCaseW(const WCHAR* haystack, const WCHAR* needle);
