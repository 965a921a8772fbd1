// File and port checks on Linux and other POSIX systems.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/file_checks.h"
#include "tools/common/tool_exit.h"

namespace klv::tools {

const char* const kPrivateFileAccess = "mode 0600";

namespace {

std::string KindOf(const struct stat& info) {
    switch (info.st_mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFIFO:
            return "a FIFO (named pipe)";
        case S_IFSOCK:
            return "a socket";
        default:
            return "not a regular file";
    }
}

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }
    int release() {
        const int held = fd;
        fd = -1;
        return held;
    }

  private:
    int fd;
};

FileRead Refuse(const std::string& option, const std::string& path, const std::string& why,
                int status) {
    FileRead read;
    read.error = option + " " + path + ": " + why;
    read.exitStatus = status;
    return read;
}

}  // namespace

std::string DescribePath(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? "nothing" : std::strerror(errno);
    }
    return KindOf(info);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

FileRead ReadRegularFile(const std::string& option, const std::string& path, uint64_t limit) {
    if (path.empty()) {
        FileRead read;
        read.error = option + ": the file name is empty; name a package file";
        read.exitStatus = kExitUsage;
        return read;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return Refuse(option, path, "there is no such file", kExitUnreadable);
        }
        return Refuse(option, path, std::strerror(error), kExitUnreadable);
    }
    if (!S_ISREG(info.st_mode)) {
        return Refuse(option, path, "is " + KindOf(info) + ", not a package file",
                      kExitUnreadable);
    }
    // O_NONBLOCK: should the path be swapped for a FIFO after the check, the open does
    // not wait for a writer; fstat below refuses it.
    Fd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return Refuse(option, path, std::string("cannot be opened: ") + std::strerror(errno),
                      kExitUnreadable);
    }
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return Refuse(option, path, "is not a regular file", kExitUnreadable);
    }
    const std::string tooLarge = "is larger than " + std::to_string(limit >> 20) +
                                 " MiB, far more than any package; is it the right file?";
    if (static_cast<uint64_t>(info.st_size) > limit) {
        return Refuse(option, path, tooLarge, kExitUnreadable);
    }
    FileRead read;
    read.bytes.resize(static_cast<size_t>(info.st_size));
    size_t have = 0;
    // The file may grow while it is read: one byte past the limit is enough to refuse.
    for (;;) {
        if (have == read.bytes.size()) {
            if (have > limit) {
                return Refuse(option, path, tooLarge, kExitUnreadable);
            }
            read.bytes.resize(have + 64 * 1024);
        }
        const ssize_t n = ::read(fd.get(), read.bytes.data() + have, read.bytes.size() - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Refuse(option, path, std::string("read failed: ") + std::strerror(errno),
                          kExitUnreadable);
        }
        if (n == 0) {
            break;
        }
        have += static_cast<size_t>(n);
    }
    if (have > limit) {
        return Refuse(option, path, tooLarge, kExitUnreadable);
    }
    read.bytes.resize(have);
    read.ok = true;
    return read;
}

PortCheck CheckTerminalDevice(const std::string& option, const std::string& path) {
    PortCheck check;
    if (path.empty()) {
        check.result = PortCheck::Result::EmptyName;
        check.error = option +
                      ": the device name is empty; name the instrument's serial device (for "
                      "example /dev/ttyACM0)";
        return check;
    }
    const std::string expected =
        ", not a serial device; name the instrument's serial device (for example "
        "/dev/ttyACM0)";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        check.result = PortCheck::Result::CannotOpen;
        return check;
    }
    if (!S_ISCHR(info.st_mode)) {
        check.result = PortCheck::Result::NotTerminal;
        check.error = option + " " + path + ": is " + KindOf(info) + expected;
        return check;
    }
    // O_NOCTTY: the device never becomes this process's controlling terminal;
    // O_NONBLOCK: a modem line without carrier does not hold the open up.
    Fd fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        check.result = PortCheck::Result::CannotOpen;
        return check;
    }
    termios settings{};
    if (fstat(fd.get(), &info) != 0 || !S_ISCHR(info.st_mode) ||
        tcgetattr(fd.get(), &settings) != 0) {
        check.result = PortCheck::Result::NotTerminal;
        check.error = option + " " + path + ": is a character device but no terminal" + expected;
        return check;
    }
    check.result = PortCheck::Result::Terminal;
    return check;
}

namespace {

class PosixPortWatch final : public PortWatch {
  public:
    PosixPortWatch(std::string path, int fd, dev_t device)
        : path(std::move(path)), fd(fd), device(device) {}
    ~PosixPortWatch() override {
        if (fd >= 0) {
            close(fd);
        }
    }

    bool Lost() override {
        // Events 0: poll reports only a hang-up or an error, never data, so the watch
        // takes nothing from the line.
        if (fd >= 0) {
            pollfd watched{fd, 0, 0};
            if (poll(&watched, 1, 0) > 0 &&
                (watched.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                return true;
            }
        }
        struct stat info {};
        return stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode) ||
               info.st_rdev != device;
    }

  private:
    const std::string path;
    const int fd;
    const dev_t device;
};

}  // namespace

std::unique_ptr<PortWatch> PortWatch::Open(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    termios settings{};
    if (fd.get() >= 0 && fstat(fd.get(), &info) == 0 && S_ISCHR(info.st_mode) &&
        tcgetattr(fd.get(), &settings) == 0) {
        return std::make_unique<PosixPortWatch>(path, fd.release(), info.st_rdev);
    }
    // A port opened already keeps other openers out (TIOCEXCL) unless they are
    // privileged: then only the node is watched, which is what an unplugged USB
    // device takes away.
    if (stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        return std::make_unique<PosixPortWatch>(path, -1, info.st_rdev);
    }
    return nullptr;
}

}  // namespace klv::tools
