#include <sys/ioctl.h>
#include <unistd.h>

#include "tools/common/console.h"
#include "tools/common/printable_text.h"

namespace klv::tools {

std::vector<std::string> ToolArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void WriteText(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

bool EnableTerminalSequences(std::FILE* stream) {
    return IsTerminal(stream);
}

int TerminalColumns(std::FILE* stream) {
    winsize size{};
    if (!IsTerminal(stream) || ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

std::string ShownText(std::string_view text) {
    return Printable(text);
}

std::string DisplayVersionText(std::string_view bytes) {
    return Printable(bytes);
}

}  // namespace klv::tools
