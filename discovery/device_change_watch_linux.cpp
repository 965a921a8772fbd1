#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "discovery/device_change_watch.h"

namespace {

constexpr int kSliceMs = 100;
constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;

bool IsSerialName(const char* name) {
    return std::strncmp(name, "tty", 3) == 0;
}

}  // namespace

struct DeviceChangeWatch::State {
    int fd = -1;

    ~State() {
        if (fd >= 0) {
            close(fd);
        }
    }

    // Reads every queued event; true when one concerns a serial device. A full queue
    // (IN_Q_OVERFLOW) may have hidden one, so it counts as a change too.
    bool Drain() const {
        bool changed = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                return changed;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_Q_OVERFLOW) != 0 ||
                    (event->len > 0 && IsSerialName(event->name))) {
                    changed = true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }
};

DeviceChangeWatch::DeviceChangeWatch() : DeviceChangeWatch("/dev") {}

DeviceChangeWatch::DeviceChangeWatch(const std::string& deviceFolder)
    : state_(std::make_unique<State>()) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return;
    }
    state_->fd = fd;
    if (inotify_add_watch(fd, deviceFolder.c_str(), kEvents | IN_ONLYDIR) < 0) {
        close(fd);
        state_->fd = -1;
    }
}

DeviceChangeWatch::~DeviceChangeWatch() = default;

bool DeviceChangeWatch::IsWatching() const {
    return state_->fd >= 0;
}

DeviceChangeWatch::Result DeviceChangeWatch::WaitForChange(int timeoutMs,
                                                           const std::atomic<bool>& stop) {
    if (!IsWatching()) {
        return Result::Failed;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (stop.load()) {
            return Result::Stopped;
        }
        int slice = kSliceMs;
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            slice = static_cast<int>(std::clamp<long long>(left, 0, kSliceMs));
        }
        pollfd waiting{state_->fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, slice);
        if (ready < 0 && errno != EINTR) {
            return Result::Failed;
        }
        if (ready > 0 && state_->Drain()) {
            return Result::Changed;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline) {
            return Result::TimedOut;
        }
    }
}
