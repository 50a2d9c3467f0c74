#include "Service/common/SharedBlock.h"

#include <cstring>

void WriteSharedText(char (&field)[kSharedTextSize], const char* text) {
    std::size_t i = 0;
    for (; text && i < kSharedTextSize - 1 && text[i]; ++i) field[i] = text[i];
    for (; i < kSharedTextSize - 1; ++i) field[i] = 0;
}

void ReadSharedText(const char (&field)[kSharedTextSize], char (&out)[kSharedTextSize + 1]) {
    std::size_t i = 0;
    for (; i < kSharedTextSize && field[i]; ++i) out[i] = field[i];
    out[i] = 0;
}
