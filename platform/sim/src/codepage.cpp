// WideCharToMultiByte and MultiByteToWideChar for the machine's system code page (CP_ACP: the Latin-1
// part of Windows-1252, one byte per UTF-16 unit up to 0xFF, '?' for the rest) and UTF-8.
#include <cstring>
#include <string>

#include "platform/sim/include/sim/machine.h"
#include "platform/sim/include/sim/text.h"
#include "platform/sim/include/simwin/api.h"

namespace {

bool Failing(const char* function) {
    DWORD err;
    if (!sim::Machine::Current().TakeFailure(function, &err)) return false;
    sim::SetError(err);
    return true;
}

}  // namespace

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar) {
    if (Failing("WideCharToMultiByte")) return 0;
    if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr)) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t units =
        cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1 : static_cast<std::size_t>(cchWideChar);
    std::string out;
    bool usedDefault = false;
    if (CodePage == CP_UTF8) {
        out = sim::Narrow(std::u16string(lpWideCharStr, units).c_str());
        if (cchWideChar < 0 || lpWideCharStr[units - 1] == 0) out.push_back('\0');
    } else {
        for (std::size_t i = 0; i < units; ++i) {
            const char16_t c = lpWideCharStr[i];
            if (c <= 0xFF) {
                out.push_back(static_cast<char>(c));
            } else {
                out.push_back(lpDefaultChar ? *lpDefaultChar : '?');
                usedDefault = true;
            }
        }
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (cbMultiByte == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<std::size_t>(cbMultiByte)) {
        // As on Windows: what fits is written, unterminated, and the call fails.
        std::memcpy(lpMultiByteStr, out.data(), static_cast<std::size_t>(cbMultiByte));
        sim::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
    if (Failing("MultiByteToWideChar")) return 0;
    if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr)) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t bytes =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    std::u16string out;
    if (CodePage == CP_UTF8) {
        const bool terminated = lpMultiByteStr[bytes - 1] == 0;
        out = sim::Wide(std::string(lpMultiByteStr, terminated ? bytes - 1 : bytes));
        if (terminated) out.push_back(u'\0');
    } else {
        for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(lpMultiByteStr[i]));
    }
    if (cchWideChar == 0) return static_cast<int>(out.size());
    if (out.size() > static_cast<std::size_t>(cchWideChar)) {
        std::memcpy(lpWideCharStr, out.data(), static_cast<std::size_t>(cchWideChar) * sizeof(WCHAR));
        sim::SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

int CompareStringOrdinal(LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2, int cchCount2, BOOL bIgnoreCase) {
    if (!lpString1 || !lpString2) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto length = [](LPCWSTR s, int count) {
        if (count >= 0) return static_cast<std::size_t>(count);
        std::size_t n = 0;
        while (s[n]) ++n;
        return n;
    };
    auto upper = [](WCHAR c) -> WCHAR {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<WCHAR>(c - 0x20);
        return c;
    };
    const std::size_t n1 = length(lpString1, cchCount1), n2 = length(lpString2, cchCount2);
    for (std::size_t i = 0; i < n1 && i < n2; ++i) {
        const WCHAR a = bIgnoreCase ? upper(lpString1[i]) : lpString1[i];
        const WCHAR b = bIgnoreCase ? upper(lpString2[i]) : lpString2[i];
        if (a != b) return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return n1 == n2 ? CSTR_EQUAL : n1 < n2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}
