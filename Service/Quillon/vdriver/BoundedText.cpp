#include "Service/Quillon/vdriver/BoundedText.h"

namespace {

char LowerA(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
WCHAR LowerW(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

template <class Char, class Lower>
bool Contains(const Char* haystack, const Char* needle, Lower lower) {
    if (!haystack || !needle) return false;
    for (const Char* start = haystack;; ++start) {
        std::size_t i = 0;
        while (needle[i] && start[i] && lower(start[i]) == lower(needle[i])) ++i;
        if (!needle[i]) return true;
        if (!*start) return false;
    }
}

}  // namespace

std::size_t BoundedLength(const WCHAR* text, std::size_t maxUnits) {
    std::size_t n = 0;
    if (text)
        while (n < maxUnits && text[n]) ++n;
    return n;
}

bool NarrowBounded(const WCHAR* text, std::size_t maxUnits, char* out, std::size_t outSize) {
    if (!out || outSize == 0) return false;
    out[0] = 0;
    std::size_t units = BoundedLength(text, maxUnits);
    if (units > outSize - 1) units = outSize - 1;  // a unit never makes less than one byte
    if (units == 0) return text != nullptr;
    const int written = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(units), out,
                                            static_cast<int>(outSize - 1), nullptr, nullptr);
    if (written <= 0) {
        out[0] = 0;
        return false;
    }
    out[written] = 0;
    return true;
}

bool SameTextOrdinal(const WCHAR* a, const WCHAR* b, bool ignoreCase) {
    if (!a || !b) return false;
    return CompareStringOrdinal(a, -1, b, -1, ignoreCase ? TRUE : FALSE) == CSTR_EQUAL;
}

bool EqualsIgnoreCaseA(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (LowerA(*a) != LowerA(*b)) return false;
    return *a == *b;
}

bool ContainsIgnoreCaseA(const char* haystack, const char* needle) { return Contains(haystack, needle, LowerA); }

bool ContainsIgnoreCaseW(const WCHAR* haystack, const WCHAR* needle) { return Contains(haystack, needle, LowerW); }
