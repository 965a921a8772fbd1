#pragma once
// Windows only: the tools hold texts as UTF-8 (or, for a package's bytes, in the ANSI
// code page); the system's wide functions take UTF-16.

#include <windows.h>

#include <string>
#include <string_view>

namespace klv::tools {

// text in codePage (CP_UTF8, CP_ACP) as UTF-16; bytes that are no character become U+FFFD.
inline std::wstring WideText(std::string_view text, UINT codePage = CP_UTF8) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), length, wide.data(), units);
    }
    return wide;
}

// UTF-16 as UTF-8.
inline std::string Utf8Text(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int length = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, text.data(), bytes, nullptr,
                            nullptr);
    }
    return text;
}

}  // namespace klv::tools
