// The little JSON quillon-sim writes by hand: escaped strings, numbers and members.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quillon_sim::Json {

inline std::string String(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

inline std::string Real(double value, int decimals = 3) {
    if (!std::isfinite(value)) return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

inline std::string Count(std::uint64_t value) { return std::to_string(value); }
inline std::string Signed(std::int64_t value) { return std::to_string(value); }
inline std::string Bool(bool value) { return value ? "true" : "false"; }

inline std::string Member(const std::string& name, const std::string& value) { return String(name) + ": " + value; }

}  // namespace quillon_sim::Json
