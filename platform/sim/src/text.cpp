#include "platform/sim/include/sim/text.h"

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
    std::size_t length = 0;
    int units = 0;
    for (const WCHAR* p = text; *p; p += units) length += Utf8Length(CodePointAt(p, &units));
    if (length >= capacity) return length;
    char* q = out;
    for (const WCHAR* p = text; *p; p += units) {
        const char32_t c = CodePointAt(p, &units);
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
    }
    *q = 0;
    return length;
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
