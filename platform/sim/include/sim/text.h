// Conversions between the programs' UTF-16 strings and the machine's own std::string.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/sim/include/simwin/types.h"

namespace sim {
std::string Narrow(const WCHAR* text);            // UTF-16 to UTF-8
// UTF-16 to UTF-8 into a caller's buffer: returns the length in bytes; the text and a terminator are
// there when they fit in `capacity` bytes (a longer text leaves the buffer's contents unspecified).
std::size_t NarrowTo(const WCHAR* text, char* out, std::size_t capacity);
// UTF-16 held as little-endian bytes (a registry value's data; an odd last byte is ignored) to UTF-8,
// every unit converted, zeros too: returns the length in bytes, and writes the text (no terminator) only
// when it fits in `capacity` bytes.
std::size_t NarrowBytesTo(const unsigned char* bytes, std::size_t size, char* out, std::size_t capacity);
// The size in bytes of the UTF-16 text held in `bytes`, up to its first zero unit (or its end).
std::size_t Utf16TextBytes(const unsigned char* bytes, std::size_t size);
std::u16string Wide(const std::string& text);     // UTF-8 to UTF-16
// UTF-8 to UTF-16 into a caller's buffer: returns the length in units, and writes the text and a
// terminator only when they fit in `capacity` units.
std::size_t WideTo(const std::string& text, char16_t* out, std::size_t capacity);
std::string Lower(std::string text);              // ASCII lower case
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case, written with its terminator into `out`.
void GuidTextTo(const GUID& guid, char (&out)[39]);
// ASCII case-insensitive equality, without the copies two Lower calls would cost.
bool SameName(std::string_view a, std::string_view b);
}  // namespace sim
