// The KS debug log: printf-style lines, each "\n[KS]:" and the message, written with OutputDebugStringW
// when their level is at or below g_ulKsDebugLevel (0 by default: nothing is written). Levels: 1 errors,
// 3 information, 4 warnings, 5 details, 6 Enter/Leave traces.
//
// KsDebugPrint tests the level before anything else, so a disabled line costs one comparison. The
// arguments are typed: "%s" takes a narrow or a UTF-16 string, whichever is passed; "%d %u %x %X %p %c"
// with the flags "-+ #0", a width and a precision work as in printf.
#pragma once

#include <cstddef>
#include <type_traits>

#include "platform/win32.h"

extern ULONG g_ulKsDebugLevel;

inline constexpr std::size_t kKsLogLineUnits = 264;

// One argument of a log line, as the formatter sees it.
struct KsLogArg {
    enum class Kind { Signed, Unsigned, Pointer, Narrow, Wide };
    Kind kind = Kind::Signed;
    bool wide64 = false;  // integers: the argument had 64 bits (otherwise %x shows its 32 bits)
    union {
        LONGLONG s;
        ULONGLONG u;
        const void* p;
        const char* n;
        const WCHAR* w;
    };

    KsLogArg() : s(0) {}
    template <class T>
        requires(std::is_integral_v<T> || std::is_enum_v<T>)
    KsLogArg(T value) : wide64(sizeof(T) > 4) {
        if constexpr (std::is_enum_v<T>) {
            kind = Kind::Signed;
            s = static_cast<LONGLONG>(value);
        } else if constexpr (std::is_signed_v<T>) {
            kind = Kind::Signed;
            s = value;
        } else {
            kind = Kind::Unsigned;
            u = value;
        }
    }
    KsLogArg(const char* text) : kind(Kind::Narrow), n(text) {}
    KsLogArg(const WCHAR* text) : kind(Kind::Wide), w(text) {}
    KsLogArg(const void* pointer) : kind(Kind::Pointer), p(pointer) {}
};

// Formats "\n[KS]:" and the message into line (units elements, NUL included), cutting the message so that
// everything fits. Returns the number of units written before the NUL.
std::size_t KsFormatLine(WCHAR* line, std::size_t units, const WCHAR* format, const KsLogArg* args,
                         std::size_t count);

// Formats one line into a local 264-unit buffer and hands it to OutputDebugStringW.
void KsDebugWrite(const WCHAR* format, const KsLogArg* args, std::size_t count);

template <class... Args>
inline void KsDebugPrint(int level, const WCHAR* format, Args... args) {
    if (level < 0 || static_cast<ULONG>(level) > g_ulKsDebugLevel) return;
    const KsLogArg list[sizeof...(Args) + 1] = {KsLogArg(args)...};
    KsDebugWrite(format, list, sizeof...(Args));
}

// The Enter/Leave traces every method of the KS layer writes at level 6.
inline void KsTraceEnter(const char* name) { KsDebugPrint(6, WSTR("%s Enter"), name); }
inline void KsTraceLeave(const char* name) { KsDebugPrint(6, WSTR("%s Leave"), name); }
inline void KsTraceLeave(const char* name, HRESULT hr) { KsDebugPrint(6, WSTR("%s Leave, returning %#08x"), name, hr); }
