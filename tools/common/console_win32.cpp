// The Windows console: UTF-16 through WriteConsoleW, the wide command line, the ANSI code
// page for a package's version text.

#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include "tools/common/console.h"
#include "tools/common/printable_text.h"
#include "tools/common/wide_text_win32.h"

namespace klv::tools {

namespace {

HANDLE HandleOf(std::FILE* stream) {
    const int fd = _fileno(stream);
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

}  // namespace

std::vector<std::string> ToolArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(Utf8Text(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

void WriteText(std::FILE* stream, std::string_view text) {
    const HANDLE handle = HandleOf(stream);
    if (!IsConsole(handle)) {
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);  // whatever went through the C library first comes first
    const std::wstring wide = WideText(text, CP_UTF8);
    const wchar_t* at = wide.data();
    size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(left < 8192 ? left : 8192);
        if (!WriteConsoleW(handle, at, piece, &written, nullptr) || written == 0) {
            return;
        }
        at += written;
        left -= written;
    }
}

bool IsTerminal(std::FILE* stream) {
    return IsConsole(HandleOf(stream));
}

bool EnableTerminalSequences(std::FILE* stream) {
    const HANDLE handle = HandleOf(stream);
    DWORD mode = 0;
    if (!IsConsole(handle) || !GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = HandleOf(stream);
    if (!IsConsole(handle) || !GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

std::string ShownText(std::string_view text) {
    std::string shown;
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        if (lead == '\\') {
            shown += '\\';
            ++at;
            continue;
        }
        // A whole UTF-8 character outside ASCII stays, unless it is a C1 control.
        size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xC2 && lead <= 0xDF ? 2
                                                       : 0;
        if (length > 0 && at + length <= text.size()) {
            const std::wstring wide = WideText(text.substr(at, length), CP_UTF8);
            const bool valid = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data() + at,
                                                   static_cast<int>(length), nullptr, 0) > 0;
            if (valid && !(wide.size() == 1 && wide[0] >= 0x80 && wide[0] < 0xA0)) {
                shown.append(text.substr(at, length));
                at += length;
                continue;
            }
        }
        shown += Printable(text.substr(at, 1));
        ++at;
    }
    return shown;
}

std::string DisplayVersionText(std::string_view bytes) {
    // ASCII and control bytes as everywhere; a run of other bytes converted from the ANSI
    // code page as a whole (a double-byte code page needs both bytes of a character).
    std::string shown;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = at;
        while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) >= 0x80) {
            ++end;
        }
        if (end == at) {
            shown += Printable(bytes.substr(at, 1));
            ++at;
            continue;
        }
        const std::wstring wide = WideText(bytes.substr(at, end - at), CP_ACP);
        std::wstring plain;  // kept whole, so that a surrogate pair stays together
        for (const wchar_t unit : wide) {
            // A C1 control character is escaped like the C0 ones.
            if (unit >= 0x80 && unit < 0xA0) {
                shown += Utf8Text(plain);
                plain.clear();
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
                shown += escaped;
            } else {
                plain += unit;
            }
        }
        shown += Utf8Text(plain);
        at = end;
    }
    return shown;
}

}  // namespace klv::tools
