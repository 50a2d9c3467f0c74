#include "platform/sim/include/sim/text.h"

#include <cstdio>

namespace sim {

namespace {

// The code point at `p` (a surrogate pair taken whole; a lone surrogate stands for itself) and the
// units it took.
char32_t CodePointAt(const WCHAR* p, int* units) {
    char32_t c = *p;
    *units = 1;
    if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
        *units = 2;
    }
    return c;
}

std::size_t Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

char* PutUtf8(char32_t c, char* q) {
    if (c < 0x80) {
        *q++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *q++ = static_cast<char>(0xC0 | (c >> 6));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *q++ = static_cast<char>(0xE0 | (c >> 12));
        *q++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *q++ = static_cast<char>(0xF0 | (c >> 18));
        *q++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *q++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return q;
}

// The same over `count` units stored as little-endian bytes: a pair is taken whole only when both
// halves are there.
char32_t CodePointIn(const unsigned char* bytes, std::size_t i, std::size_t count, int* units) {
    auto unit = [bytes](std::size_t k) { return static_cast<char32_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8)); };
    char32_t c = unit(i);
    *units = 1;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
        const char32_t low = unit(i + 1);
        if (low >= 0xDC00 && low < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            *units = 2;
        }
    }
    return c;
}

}  // namespace

// Sized first and written in place: the debug output and every W call's arguments come through here,
// and growing the string a character at a time cost several allocations for each.
std::string Narrow(const WCHAR* text) {
    std::string out;
    if (!text) return out;
    out.resize(NarrowTo(text, nullptr, 0));
    NarrowTo(text, out.data(), out.size() + 1);  // the string's own terminator slot takes the last byte
    return out;
}

std::size_t NarrowTo(const WCHAR* text, char* out, std::size_t capacity) {
    // One pass: each code point written while it and a terminator still fit, all of them counted.
    std::size_t length = 0;
    int units = 0;
    for (const WCHAR* p = text; *p; p += units) {
        const char32_t c = CodePointAt(p, &units);
        const std::size_t bytes = Utf8Length(c);
        if (length + bytes < capacity) PutUtf8(c, out + length);
        length += bytes;
    }
    if (length < capacity) out[length] = 0;
    return length;
}

std::size_t NarrowBytesTo(const unsigned char* bytes, std::size_t size, char* out, std::size_t capacity) {
    const std::size_t count = size / 2;
    std::size_t length = 0;
    int units = 0;
    for (std::size_t i = 0; i < count; i += units) length += Utf8Length(CodePointIn(bytes, i, count, &units));
    if (length > capacity) return length;
    for (std::size_t i = 0; i < count; i += units) out = PutUtf8(CodePointIn(bytes, i, count, &units), out);
    return length;
}

std::size_t Utf16TextBytes(const unsigned char* bytes, std::size_t size) {
    std::size_t n = 0;
    while (n + 1 < size && (bytes[n] | bytes[n + 1])) n += 2;
    return n;
}

namespace {

// Decodes `text` (lenient: a truncated or overlong sequence still gives one code point), handing each
// UTF-16 unit to `put`.
template <class Put>
void ForEachUnit(const std::string& text, Put put) {
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        char32_t c;
        int extra;
        if (b < 0x80) { c = b; extra = 0; }
        else if ((b >> 5) == 6) { c = b & 0x1F; extra = 1; }
        else if ((b >> 4) == 14) { c = b & 0x0F; extra = 2; }
        else { c = b & 0x07; extra = 3; }
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (c >> 10)));
            put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            put(static_cast<char16_t>(c));
        }
    }
}

}  // namespace

std::u16string Wide(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());  // never more UTF-16 units than UTF-8 bytes
    ForEachUnit(text, [&out](char16_t unit) { out += unit; });
    return out;
}

std::size_t WideTo(const std::string& text, char16_t* out, std::size_t capacity) {
    std::size_t length = 0;
    ForEachUnit(text, [&length](char16_t) { ++length; });
    if (length >= capacity) return length;
    ForEachUnit(text, [&out](char16_t unit) { *out++ = unit; });
    *out = 0;
    return length;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

void GuidTextTo(const GUID& g, char (&out)[39]) {
    std::snprintf(out, sizeof out, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<unsigned>(g.Data1),
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace sim
