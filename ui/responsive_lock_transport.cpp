#include "ui/responsive_lock_transport.h"

#include <chrono>

#include "ui/dialog_window.h"

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
    return port.Send(data, count, timeoutMs);
}

int ResponsiveLockTransport::Recv(uint8_t* buffer, int count, int* received, int timeoutMs) {
    return port.Recv(buffer, count, received, timeoutMs);
}

int ResponsiveLockTransport::Close() {
    return port.Close();
}

bool ResponsiveLockTransport::IsRecvEmpty() {
    return port.IsRecvEmpty();
}

void ResponsiveLockTransport::Purge() {
    port.Purge();
}
