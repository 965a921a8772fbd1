#pragma once
// Where the tools meet the operator's console. Texts inside the tools are UTF-8; a
// Windows console shows them only when they are handed over as UTF-16, while a file or a
// pipe gets the UTF-8 bytes. One implementation per OS (console_posix.cpp,
// console_win32.cpp).

#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace klv::tools {

// The command line as UTF-8, program name first. Windows reads the wide command line,
// so that a file name in any script survives; elsewhere argv is taken as it is.
std::vector<std::string> ToolArguments(int argc, char** argv);

// Writes text to stream: to a Windows console as UTF-16, elsewhere as the bytes. Flushes.
void WriteText(std::FILE* stream, std::string_view text);

// True when stream is a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);

// Lets the terminal behind stream take the escape sequences that move the cursor and
// clear a line (a Windows console must be told to); false when it cannot.
bool EnableTerminalSequences(std::FILE* stream);

// The width of the terminal behind stream in columns; 0 when it is none or unknown.
int TerminalColumns(std::FILE* stream);

// A message that holds a name the operator gave (a path, a port), made safe for the
// terminal: control bytes escaped as Printable does. Linux shows it exactly as Printable
// does. Windows keeps backslashes single (they separate the folders of every path) and
// shows text outside ASCII as it was typed when it is valid UTF-8.
std::string ShownText(std::string_view text);

// A package's version text (bytes) for display, with control bytes escaped as Printable
// does. Windows shows the other bytes as the window program shows them, in the ANSI code
// page; elsewhere they are escaped too.
std::string DisplayVersionText(std::string_view bytes);

// An ostream onto stdout or stderr that hands its text to WriteText line by line.
class ConsoleStream final : public std::ostream {
  public:
    explicit ConsoleStream(std::FILE* stream);
    ~ConsoleStream() override;

  private:
    class Buffer final : public std::streambuf {
      public:
        explicit Buffer(std::FILE* stream) : stream(stream) {}
        int sync() override;

      protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;

      private:
        std::FILE* const stream;
        std::string pending;
    };
    Buffer buffer;
};

}  // namespace klv::tools
