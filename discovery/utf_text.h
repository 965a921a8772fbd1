#pragma once
// UTF-8 <-> UTF-16 for device texts read from files and written to terminals. Malformed
// input becomes U+FFFD rather than being dropped silently.

#include <string>
#include <string_view>

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
