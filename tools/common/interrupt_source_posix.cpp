// SIGINT, SIGTERM and SIGHUP are blocked in every thread and read from a signalfd by one
// watcher thread, so a write to the instrument is never cut by a signal handler.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "tools/common/interrupt_source.h"

namespace klv::tools {

namespace {

class PosixInterruptSource final : public InterruptSource {
  public:
    PosixInterruptSource(Handler handler, sigset_t previous, int signalFd, int wakeFd)
        : handler(std::move(handler)), previous(previous), signalFd(signalFd), wakeFd(wakeFd) {
        watcher = std::thread([this] { Watch(); });
    }

    ~PosixInterruptSource() override {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd, &one, sizeof one);
        watcher.join();
        close(signalFd);
        close(wakeFd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

  private:
    void Watch() {
        for (;;) {
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
                continue;
            }
            handler(info.ssi_signo == SIGINT ? InterruptKind::Interrupt
                                             : InterruptKind::Terminate);
        }
    }

    const Handler handler;
    const sigset_t previous;
    const int signalFd;
    const int wakeFd;
    std::thread watcher;
};

}  // namespace

std::unique_ptr<InterruptSource> InterruptSource::Start(Handler handler) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) {
        return nullptr;
    }
    const int signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    const int wakeFd = eventfd(0, EFD_CLOEXEC);
    if (signalFd < 0 || wakeFd < 0) {
        if (signalFd >= 0) {
            close(signalFd);
        }
        if (wakeFd >= 0) {
            close(wakeFd);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return nullptr;
    }
    return std::make_unique<PosixInterruptSource>(std::move(handler), previous, signalFd,
                                                  wakeFd);
}

}  // namespace klv::tools
