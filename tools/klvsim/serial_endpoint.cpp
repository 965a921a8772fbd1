#include "tools/klvsim/serial_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

std::string Why(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return;  // not a terminal (a FIFO, say): nothing to set
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &settings);
}

}  // namespace

SerialEndpoint::~SerialEndpoint() {
    Close();
    if (signalFd >= 0) {
        ::close(signalFd);
    }
}

bool SerialEndpoint::WatchSignals(std::string* error) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        *error = Why("sigprocmask");
        return false;
    }
    signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd < 0) {
        *error = Why("signalfd");
        return false;
    }
    return true;
}

bool SerialEndpoint::OpenPseudoTerminal(const std::string& link, std::string* error) {
    if (!WatchSignals(error)) {
        return false;
    }
    fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = Why("posix_openpt");
        return false;
    }
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
        *error = Why("grantpt/unlockpt");
        return false;
    }
    const char* name = ptsname(fd);
    if (name == nullptr) {
        *error = Why("ptsname");
        return false;
    }
    hostPath = name;
    slaveFd = ::open(hostPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0) {
        *error = Why("open " + hostPath);
        return false;
    }
    // The line discipline sits on the slave side: raw there, so that no byte is echoed,
    // translated or held back before the host sets the line up itself.
    MakeRaw(slaveFd);
    MakeRaw(fd);
    if (link.empty()) {
        return true;
    }
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            *error = "--link " + link + ": exists and is not a symbolic link";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (symlink(hostPath.c_str(), link.c_str()) != 0) {
        *error = Why("symlink " + link);
        return false;
    }
    linkPath = link;
    return true;
}

bool SerialEndpoint::OpenDevice(const std::string& path, std::string* error) {
    if (!WatchSignals(error)) {
        return false;
    }
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = Why("open " + path);
        return false;
    }
    MakeRaw(fd);
    tcflush(fd, TCIOFLUSH);
    hostPath = path;
    return true;
}

void SerialEndpoint::Drain(int maxMs) {
    if (fd < 0) {
        return;
    }
    if (slaveFd < 0) {
        tcdrain(fd);
        return;
    }
    // Written bytes reach the slave's input queue a moment after the write returns, so
    // an empty queue means "read by the host" only once the bytes have had time to
    // arrive there: first wait briefly for them to show, then for the queue to empty.
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto arrived = start + std::chrono::milliseconds(std::min(maxMs, 200));
    const auto deadline = start + std::chrono::milliseconds(maxMs);
    bool seen = false;
    int waiting = 0;
    while (ioctl(slaveFd, TIOCINQ, &waiting) == 0) {
        seen = seen || waiting > 0;
        const auto now = Clock::now();
        if ((seen && waiting == 0) || (!seen && now >= arrived) || now >= deadline) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SerialEndpoint::RemoveLink() {
    if (linkPath.empty()) {
        return;
    }
    // Only our own link: someone may have pointed it elsewhere meanwhile.
    char target[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<size_t>(n)) == hostPath) {
        ::unlink(linkPath.c_str());
    }
    linkPath.clear();
}

void SerialEndpoint::Close() {
    RemoveLink();
    receivedAt = receivedEnd = 0;
    if (slaveFd >= 0) {
        ::close(slaveFd);
        slaveFd = -1;
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool SerialEndpoint::PauseUnlessSignalled(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (signal == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        if (signalFd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(left));
            return false;
        }
        pollfd watched{signalFd, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left)) > 0 && (watched.revents & POLLIN)) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info) {
                signal = static_cast<int>(info.ssi_signo);
            }
        }
    }
    return signal != 0;
}

int SerialEndpoint::Read(uint8_t* buffer, int count, int timeoutMs) {
    if (fd < 0 || signal != 0) {
        return -1;
    }
    if (count <= 0) {
        return 0;
    }
    if (receivedAt < receivedEnd) {
        const size_t n = std::min(receivedEnd - receivedAt, static_cast<size_t>(count));
        std::copy_n(received.data() + receivedAt, n, buffer);
        receivedAt += n;
        return static_cast<int>(n);
    }
    pollfd watched[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    const int ready = poll(watched, 2, timeoutMs);
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (watched[1].revents & POLLIN) {
        signalfd_siginfo info{};
        if (::read(signalFd, &info, sizeof info) == sizeof info) {
            signal = static_cast<int>(info.ssi_signo);
        }
        return -1;
    }
    if (ready == 0) {
        return 0;
    }
    const ssize_t n = ::read(fd, received.data(), received.size());
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    }
    if (n == 0) {
        return -1;  // 0 from a device means it has hung up
    }
    receivedAt = 0;
    receivedEnd = static_cast<size_t>(n);
    return Read(buffer, count, 0);
}

bool SerialEndpoint::Write(const uint8_t* data, int count) {
    int done = 0;
    while (done < count) {
        if (fd < 0 || signal != 0) {
            return false;
        }
        pollfd watched[2] = {{fd, POLLOUT, 0}, {signalFd, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (watched[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info) {
                signal = static_cast<int>(info.ssi_signo);
            }
            return false;
        }
        if (watched[0].revents & (POLLERR | POLLNVAL)) {
            return false;
        }
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        done += static_cast<int>(n);
    }
    return true;
}
