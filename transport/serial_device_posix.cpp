// The serial device on Linux and other POSIX systems: a termios tty.
//
// It behaves as the Windows device does, seen from the port: an exclusive open, the
// line left at the speed and framing the driver has, no hardware output flow control,
// DTR and RTS raised, system reads that wait at most 100 ms and return early once all
// the asked bytes are in, and writes that go out whole.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "transport/serial_device.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadWaitMs = 100;
constexpr int kWriteWaitMs = 50000;  // as the Windows write time-out

// Port names are device paths (/dev/ttyACM0) held as UTF-16; the system wants UTF-8.
bool ToUtf8Path(const std::u16string& name, std::string& path) {
    path.clear();
    for (size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c == 0) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            path += static_cast<char>(c);
        } else if (c < 0x800) {
            path += static_cast<char>(0xC0 | (c >> 6));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            path += static_cast<char>(0xE0 | (c >> 12));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            path += static_cast<char>(0xF0 | (c >> 18));
            path += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return !path.empty();
}

int MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Raw bytes in both directions, but the speed, character size, parity and stop bits
// stay as the driver has them: the instrument's virtual port ignores them and a real
// adapter keeps whatever its owner configured.
void MakeRaw(termios& tio) {
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
#ifdef CRTSCTS
    tio.c_cflag &= ~CRTSCTS;
#endif
    tio.c_cc[VMIN] = 0;  // reads are paced by poll
    tio.c_cc[VTIME] = 0;
}

class PosixSerialDevice final : public SerialDevice {
  public:
    ~PosixSerialDevice() override { Close(); }

    bool Open(const std::u16string& portName) override {
        if (fd >= 0) {
            return false;
        }
        std::string path;
        if (!ToUtf8Path(portName, path)) {
            return false;
        }
        const int opened = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (opened < 0) {
            return false;
        }
        // Both locks: TIOCEXCL keeps other openers of the tty out (except privileged
        // ones), flock is what other serial programs check and binds root as well.
        if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
            close(opened);
            return false;
        }
        ioctl(opened, TIOCEXCL);
        fd = opened;
        wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);  // without it, reads just time out

        // Like the Windows device, configuration results are not examined; but a
        // termios that could not be read is never written back.
        termios tio{};
        if (tcgetattr(fd, &tio) == 0) {
            MakeRaw(tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        const int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &lines);
        tcflush(fd, TCIOFLUSH);
        return true;
    }

    void Close() override {
        if (fd < 0) {
            return;
        }
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
        close(fd);
        fd = -1;
        if (wake >= 0) {
            close(wake);
            wake = -1;
        }
    }

    void PrepareRead() override {}

    IoResult ReadSome(uint8_t* buffer, int count) override {
        // Waits until all count bytes are in or 100 ms have passed, whichever is first.
        // Bytes already queued are taken before any poll: a reply's payload usually
        // arrives together with its header.
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReadWaitMs);
        IoResult result{true, 0};
        while (result.bytes < count) {
            const ssize_t n = read(fd, buffer + result.bytes, count - result.bytes);
            if (n > 0) {
                result.bytes += static_cast<int>(n);
                continue;
            }
            // With VMIN and VTIME 0 an empty tty reads as 0 bytes, or EAGAIN.
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                result.ok = false;  // EIO once the other side has gone
                return result;
            }
            const int left = MsUntil(deadline);
            if (left == 0) {
                return result;  // the 100 ms are over
            }
            const int ready = WaitFor(POLLIN, left);
            if (ready < 0) {
                result.ok = false;  // woken by the close, or the device failed
                return result;
            }
            if (ready == 0) {
                return result;  // the 100 ms are over
            }
        }
        return result;
    }

    void PrepareWrite() override {}

    bool WriteSome(const uint8_t* data, int count) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
        int written = 0;
        while (written < count) {
            const ssize_t n = write(fd, data + written, count - written);
            if (n > 0) {
                written += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (WaitFor(POLLOUT, MsUntil(deadline)) <= 0) {
                    return false;  // output queue stuck for the whole write time-out
                }
                continue;
            }
            return false;
        }
        return true;
    }

    bool InputWaiting() override {
        // When the count cannot be had, something may be waiting: the caller purges.
        int waiting = 0;
        return ioctl(fd, FIONREAD, &waiting) != 0 || waiting > 0;
    }

    void Purge() override { tcflush(fd, TCIOFLUSH); }

    void Interrupt() override {
        if (wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(wake, &one, sizeof one);
        }
    }

  private:
    // 1 when the device is ready for events, 0 when waitMs passed, -1 when woken by
    // Interrupt or the device reports an error or hang-up.
    int WaitFor(short events, int waitMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        const nfds_t nfds = wake >= 0 ? 2 : 1;
        for (;;) {
            const int n = poll(fds, nfds, MsUntil(deadline));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return -1;
            }
            if (n == 0) {
                return 0;
            }
            if (nfds == 2 && fds[1].revents != 0) {
                return -1;
            }
            // The callers have just found nothing to read (or no room to write), so a
            // hang-up or error means there is nothing more to come.
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                return -1;
            }
            return 1;
        }
    }

    int fd = -1;
    int wake = -1;
};

}  // namespace

std::unique_ptr<SerialDevice> CreateSystemSerialDevice() {
    return std::make_unique<PosixSerialDevice>();
}
