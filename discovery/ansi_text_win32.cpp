#include <windows.h>

#include "discovery/ansi_text.h"

std::string ToAnsiText(const char16_t* text) {
    const auto* wide = reinterpret_cast<const wchar_t*>(text);
    // Ask for the size first: in a double-byte code page one unit may become two bytes.
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(bytes), '\0');
    const int written =
        WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, out.data(), bytes, nullptr, nullptr);
    if (written <= 0) {
        return {};
    }
    out.resize(static_cast<std::size_t>(written - 1));  // drop the NUL
    return out;
}
