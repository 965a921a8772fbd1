#include "ui/responsive_lock_transport.h"

#include <chrono>

#include "ui/dialog_window.h"

namespace {
constexpr int kNotOpen = 4;
}

// Counts a call in before it looks at the closed flag, so that Close followed by
// ClosedWhileInUse sees every call that got past the flag.
class ResponsiveLockTransport::Use {
  public:
    explicit Use(ResponsiveLockTransport& owner) : owner(owner) {
        owner.inUse.fetch_add(1);
        open = !owner.closed.load();
    }
    ~Use() { owner.inUse.fetch_sub(1); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return open; }

  private:
    ResponsiveLockTransport& owner;
    bool open;
};

ResponsiveLockTransport::ResponsiveLockTransport(MTAccessInterface& port, DialogWindow& window)
    : port(port), window(window), guiThread(std::this_thread::get_id()) {}

bool ResponsiveLockTransport::Lock() {
    const bool acquired = std::this_thread::get_id() == guiThread
                              ? AcquireServingWindow()
                              : sequenceLock.Acquire(kLockLimitMs);
    if (!acquired) {
        return false;
    }
    // Nobody else takes the port's lock, so this does not wait.
    if (!port.Lock()) {
        sequenceLock.Release();
        return false;
    }
    return true;
}

bool ResponsiveLockTransport::AcquireServingWindow() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockLimitMs);
    for (;;) {
        window.ServeFor(0);
        if (sequenceLock.Acquire(kSliceMs)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

bool ResponsiveLockTransport::Unlock() {
    // Only the owner gets past the first release; nothing of the port is touched otherwise.
    if (!port.Unlock()) {
        return false;
    }
    sequenceLock.Release();
    return true;
}

int ResponsiveLockTransport::Send(const uint8_t* data, int count, int timeoutMs) {
    Use use(*this);
    return use ? port.Send(data, count, timeoutMs) : kNotOpen;
}

int ResponsiveLockTransport::Recv(uint8_t* buffer, int count, int* received, int timeoutMs) {
    Use use(*this);
    if (!use) {
        if (received != nullptr) {
            *received = 0;
        }
        return kNotOpen;
    }
    return port.Recv(buffer, count, received, timeoutMs);
}

int ResponsiveLockTransport::Close() {
    closed.store(true);
    return port.Close();
}

bool ResponsiveLockTransport::IsRecvEmpty() {
    // Nothing is read any more from a port that was let go of.
    Use use(*this);
    return !use || port.IsRecvEmpty();
}

void ResponsiveLockTransport::Purge() {
    Use use(*this);
    if (use) {
        port.Purge();
    }
}

bool ResponsiveLockTransport::ClosedWhileInUse() const {
    return closed.load() && inUse.load() > 0;
}
