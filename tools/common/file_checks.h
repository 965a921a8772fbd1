#pragma once
// The checks every tool makes before it reads a file or opens a port that the operator
// named: a wrong argument must never be written to, read without end, or taken for the
// instrument. One implementation per OS (file_checks_posix.cpp).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace klv::tools {

// How a private key file is kept from other users: "mode 0600" (POSIX), "readable by you
// only" (Windows, an access list with the user alone).
extern const char* const kPrivateFileAccess;

// Far above any real package (a few MiB), far below what would exhaust the machine.
inline constexpr uint64_t kPackageSizeLimit = uint64_t{256} << 20;

struct FileRead {
    bool ok = false;
    std::vector<uint8_t> bytes;
    std::string error;   // "OPTION PATH: what it is; what was expected" when not ok
    int exitStatus = 0;  // kExitUsage for an empty name, kExitUnreadable otherwise
};

// Reads a whole regular file of at most limit bytes. option names the argument in the
// messages ("--package", "inspect"). A directory, a device, a FIFO, a socket, a missing
// or unreadable file, or one past the limit is refused with a message; nothing blocks.
FileRead ReadRegularFile(const std::string& option, const std::string& path, uint64_t limit);

// What a path names, for messages: "a regular file", "a directory", "a FIFO", ...
// "nothing" when it does not exist.
std::string DescribePath(const std::string& path);

// True when both paths name the same existing file (after links).
bool SameFile(const std::string& a, const std::string& b);

struct PortCheck {
    enum class Result {
        Terminal,     // a terminal device: may be opened as the port
        NotTerminal,  // exists but is no terminal (a file, a directory, /dev/null, a FIFO)
        CannotOpen,   // missing, no permission, busy: the port's own open says why
        EmptyName,
    };
    Result result = Result::CannotOpen;
    std::string error;  // for NotTerminal and EmptyName
};

// Whether path is a terminal device, found without writing a byte to it: opened without
// becoming its controlling terminal, fstat for a character device, tcgetattr.
PortCheck CheckTerminalDevice(const std::string& option, const std::string& path);

// Watches a port that is open elsewhere for the instrument going away: a hang-up on the
// device, or its node removed (or replaced). Holds a descriptor of its own that never
// reads or writes.
class PortWatch {
  public:
    // Nothing when path is no character device. Open it before the port itself opens
    // (which keeps other openers out); later only the node can be watched.
    static std::unique_ptr<PortWatch> Open(const std::string& path);
    virtual ~PortWatch() = default;
    // True once the device has hung up or its node is gone.
    virtual bool Lost() = 0;
};

}  // namespace klv::tools
