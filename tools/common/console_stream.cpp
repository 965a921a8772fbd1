#include "tools/common/console.h"

namespace klv::tools {

ConsoleStream::ConsoleStream(std::FILE* stream) : std::ostream(nullptr), buffer(stream) {
    rdbuf(&buffer);
}

ConsoleStream::~ConsoleStream() {
    buffer.pubsync();
}

int ConsoleStream::Buffer::sync() {
    if (!pending.empty()) {
        WriteText(stream, pending);
        pending.clear();
    }
    return 0;
}

ConsoleStream::Buffer::int_type ConsoleStream::Buffer::overflow(int_type c) {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
    }
    return traits_type::not_eof(c);
}

std::streamsize ConsoleStream::Buffer::xsputn(const char* text, std::streamsize count) {
    pending.append(text, static_cast<size_t>(count));
    // Whole lines only: a character cut in two would reach a console as two wrong ones.
    const size_t end = pending.rfind('\n');
    if (end != std::string::npos) {
        WriteText(stream, std::string_view(pending).substr(0, end + 1));
        pending.erase(0, end + 1);
    }
    return count;
}

}  // namespace klv::tools
