#pragma once
// The tools hold paths as UTF-8 strings. std::filesystem takes a plain string in the
// system's narrow encoding, which on Windows is the ANSI code page, not UTF-8: these two
// convert explicitly, so that a folder with any name works on both systems.

#include <filesystem>
#include <string>

namespace klv::tools {

inline std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace klv::tools
