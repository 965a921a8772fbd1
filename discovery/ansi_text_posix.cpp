#include "discovery/ansi_text.h"

std::string ToAnsiText(const char16_t* text) {
    std::string out;
    for (const char16_t* unit = text; *unit != u'\0'; ++unit) {
        out.push_back(*unit < 0x80 ? static_cast<char>(*unit) : '?');
    }
    return out;
}
