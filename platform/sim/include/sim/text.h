// Conversions between the programs' UTF-16 strings and the machine's own std::string.
#pragma once
#include <string>

#include "platform/sim/include/simwin/types.h"

namespace sim {
std::string Narrow(const WCHAR* text);            // UTF-16 to UTF-8
std::u16string Wide(const std::string& text);     // UTF-8 to UTF-16
std::string Lower(std::string text);              // ASCII lower case
}  // namespace sim
