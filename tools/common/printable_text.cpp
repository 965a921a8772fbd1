#include "tools/common/printable_text.h"

namespace klv::tools {

namespace {

std::string Escape(std::string_view bytes, bool quoteQuotes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size());
    for (const char raw : bytes) {
        const auto c = static_cast<unsigned char>(raw);
        if (c == '\\' || (quoteQuotes && c == '"')) {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kDigits[c >> 4];
            text += kDigits[c & 0x0F];
        }
    }
    return text;
}

}  // namespace

std::string Printable(std::string_view bytes) {
    return Escape(bytes, false);
}

std::string Printable(const uint8_t* bytes, size_t length) {
    return Escape(std::string_view(reinterpret_cast<const char*>(bytes), length), false);
}

std::string Quoted(std::string_view bytes) {
    std::string text = "\"";
    text += Escape(bytes, true);
    text += '"';
    return text;
}

}  // namespace klv::tools
