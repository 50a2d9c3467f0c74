#include "Service/Quillon/ks/KsDebug.h"

ULONG g_ulKsDebugLevel = 0;

namespace {

// Appends to a line without ever passing its last unit, which is kept for the NUL.
class LineWriter {
public:
    LineWriter(WCHAR* line, std::size_t units) : m_line(line), m_units(units) {}
    void Put(WCHAR unit) {
        if (m_used + 1 < m_units) m_line[m_used++] = unit;
    }
    void Repeat(WCHAR unit, std::size_t times) {
        for (std::size_t i = 0; i < times; ++i) Put(unit);
    }
    std::size_t Finish() {
        if (m_units) m_line[m_used < m_units ? m_used : m_units - 1] = 0;
        return m_used;
    }

private:
    WCHAR* m_line;
    std::size_t m_units;
    std::size_t m_used = 0;
};

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
};

// Writes text (already converted to units) padded to the field width.
void PutField(LineWriter& out, const Spec& spec, const WCHAR* prefix, std::size_t prefixLen, const WCHAR* digits,
              std::size_t digitsLen, std::size_t zeros) {
    const std::size_t len = prefixLen + zeros + digitsLen;
    const std::size_t pad = spec.width > len ? spec.width - len : 0;
    if (!spec.left && !spec.zero) out.Repeat(u' ', pad);
    for (std::size_t i = 0; i < prefixLen; ++i) out.Put(prefix[i]);
    if (!spec.left && spec.zero) out.Repeat(u'0', pad);
    out.Repeat(u'0', zeros);
    for (std::size_t i = 0; i < digitsLen; ++i) out.Put(digits[i]);
    if (spec.left) out.Repeat(u' ', pad);
}

void PutNumber(LineWriter& out, Spec spec, WCHAR conv, const KsLogArg& arg) {
    bool negative = false;
    ULONGLONG value = 0;
    const bool isSigned = conv == u'd' || conv == u'i';
    if (arg.kind == KsLogArg::Kind::Pointer || arg.kind == KsLogArg::Kind::Narrow ||
        arg.kind == KsLogArg::Kind::Wide) {
        value = reinterpret_cast<ULONG_PTR>(arg.p);
    } else if (isSigned) {
        LONGLONG v = arg.kind == KsLogArg::Kind::Signed ? arg.s : static_cast<LONGLONG>(arg.u);
        if (!arg.wide64) v = static_cast<LONG>(v);
        negative = v < 0;
        value = negative ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
    } else {
        value = arg.u;
        if (!arg.wide64 && arg.kind != KsLogArg::Kind::Pointer) value &= 0xFFFFFFFFull;
    }
    const unsigned base = (conv == u'x' || conv == u'X' || conv == u'p') ? 16 : 10;
    const char* set = conv == u'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR digits[24];
    std::size_t n = 0;
    WCHAR reversed[24];
    do {
        reversed[n++] = static_cast<WCHAR>(set[value % base]);
        value /= base;
    } while (value && n < 24);
    const bool zeroValue = n == 1 && reversed[0] == u'0';
    if (spec.hasPrecision && spec.precision == 0 && zeroValue) n = 0;
    for (std::size_t i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
    WCHAR prefix[3];
    std::size_t prefixLen = 0;
    if (negative) prefix[prefixLen++] = u'-';
    else if (isSigned && spec.plus) prefix[prefixLen++] = u'+';
    else if (isSigned && spec.space) prefix[prefixLen++] = u' ';
    if (base == 16 && spec.alt && !zeroValue) {
        prefix[prefixLen++] = u'0';
        prefix[prefixLen++] = conv == u'X' ? u'X' : u'x';
    }
    std::size_t zeros = 0;
    if (spec.hasPrecision) {
        zeros = spec.precision > n ? spec.precision - n : 0;
        spec.zero = false;
    }
    PutField(out, spec, prefix, prefixLen, digits, n, zeros);
}

void PutString(LineWriter& out, const Spec& spec, const KsLogArg& arg) {
    static const char kNull[] = "(null)";
    const bool wide = arg.kind == KsLogArg::Kind::Wide;
    const char* narrow = nullptr;
    const WCHAR* units = nullptr;
    if (wide) units = arg.w;
    else if (arg.kind == KsLogArg::Kind::Narrow) narrow = arg.n;
    if (!units && !narrow) narrow = kNull;
    std::size_t len = 0;
    const std::size_t limit = spec.hasPrecision ? spec.precision : static_cast<std::size_t>(-1);
    while (len < limit && (units ? units[len] != 0 : narrow[len] != 0)) ++len;
    const std::size_t pad = spec.width > len ? spec.width - len : 0;
    if (!spec.left) out.Repeat(u' ', pad);
    for (std::size_t i = 0; i < len; ++i)
        out.Put(units ? units[i] : static_cast<WCHAR>(static_cast<unsigned char>(narrow[i])));
    if (spec.left) out.Repeat(u' ', pad);
}

}  // namespace

std::size_t KsFormatLine(WCHAR* line, std::size_t units, const WCHAR* format, const KsLogArg* args,
                         std::size_t count) {
    LineWriter out(line, units);
    for (const char* p = "\n[KS]:"; *p; ++p) out.Put(static_cast<WCHAR>(*p));
    std::size_t next = 0;
    const KsLogArg none;
    auto take = [&]() -> const KsLogArg& { return next < count ? args[next++] : none; };
    for (const WCHAR* f = format ? format : WSTR(""); *f; ++f) {
        if (*f != u'%') {
            out.Put(*f);
            continue;
        }
        const WCHAR* start = f++;
        if (*f == u'%') {
            out.Put(u'%');
            continue;
        }
        Spec spec;
        for (;; ++f) {
            if (*f == u'-') spec.left = true;
            else if (*f == u'+') spec.plus = true;
            else if (*f == u' ') spec.space = true;
            else if (*f == u'#') spec.alt = true;
            else if (*f == u'0') spec.zero = true;
            else break;
        }
        if (*f == u'*') {
            const KsLogArg& w = take();
            spec.width = static_cast<std::size_t>(w.s < 0 ? 0 : w.s) & 0xFFF;
            ++f;
        }
        while (*f >= u'0' && *f <= u'9') spec.width = (spec.width * 10 + (*f++ - u'0')) & 0xFFFF;
        if (*f == u'.') {
            spec.hasPrecision = true;
            ++f;
            while (*f >= u'0' && *f <= u'9') spec.precision = (spec.precision * 10 + (*f++ - u'0')) & 0xFFFF;
        }
        for (;;) {  // size modifiers say nothing here: the argument carries its own type
            if (*f == u'I' && ((f[1] == u'6' && f[2] == u'4') || (f[1] == u'3' && f[2] == u'2'))) f += 3;
            else if (*f == u'h' || *f == u'l' || *f == u'L' || *f == u'z' || *f == u'I' || *f == u'j' || *f == u't')
                ++f;
            else break;
        }
        switch (*f) {
        case u'd': case u'i': case u'u': case u'x': case u'X':
            PutNumber(out, spec, *f, take());
            break;
        case u'p': {
            Spec pointer = spec;
            if (!pointer.hasPrecision) {
                pointer.hasPrecision = true;
                pointer.precision = 16;
            }
            KsLogArg value = take();
            value.wide64 = true;
            PutNumber(out, pointer, u'X', value);
            break;
        }
        case u's': case u'S':
            PutString(out, spec, take());
            break;
        case u'c': case u'C':
            out.Put(static_cast<WCHAR>(take().u));
            break;
        case 0:
            --f;  // a lone '%' at the end: written as is
            out.Put(u'%');
            break;
        default:  // unknown conversion: written as it stands
            for (const WCHAR* c = start; c <= f; ++c) out.Put(*c);
            break;
        }
    }
    return out.Finish();
}

void KsDebugWrite(const WCHAR* format, const KsLogArg* args, std::size_t count) {
    WCHAR line[kKsLogLineUnits];
    KsFormatLine(line, kKsLogLineUnits, format, args, count);
    OutputDebugStringW(line);
}
