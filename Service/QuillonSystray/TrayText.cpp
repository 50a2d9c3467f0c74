#include "Service/QuillonSystray/TrayText.h"

void WidenSharedText(const char (&field)[kSharedTextSize], StatusLine& line) {
    char text[kSharedTextSize + 1];
    ReadSharedText(field, text);
    std::size_t i = 0;
    for (; i < kStatusLineUnits && text[i]; ++i) line[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    line[i] = 0;
}
