#include "tests/support/memory_transport.h"

#include <algorithm>
#include <chrono>

bool MemoryTransport::Lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock lock(lockState);
    const bool free = !failLock.load() &&
                      (owner == self ||
                       lockReleased.wait_for(lock, std::chrono::milliseconds(lockTimeoutMs.load()),
                                             [&] { return owner == std::thread::id{}; }));
    if (!free) {
        ++counters.lockFailures;
        return false;
    }
    owner = self;
    ++depth;
    ++counters.locks;
    return true;
}

bool MemoryTransport::Unlock() {
    {
        std::lock_guard lock(lockState);
        // Only the holder releases the lock.
        if (owner != std::this_thread::get_id()) {
            return false;
        }
        if (--depth == 0) {
            owner = std::thread::id{};
        }
        ++counters.unlocks;
    }
    lockReleased.notify_all();
    return true;
}

int MemoryTransport::Send(const uint8_t* data, int count, int /*timeoutMs*/) {
    ++counters.sends;
    if (closed.load()) {
        return kNotOpen;
    }
    if (!end.Write(data, count)) {
        return 1;
    }
    counters.bytesSent += std::max(count, 0);
    return 0;
}

int MemoryTransport::Recv(uint8_t* buffer, int count, int* received, int timeoutMs) {
    ++counters.recvs;
    int got = 0;
    int result = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    while (got < count) {
        if (closed.load()) {
            result = kNotOpen;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result = 2;
            break;
        }
        // Waits in short slices so that a Close from another thread ends the wait.
        const int slice = static_cast<int>(std::min<long long>(left.count(), kCloseSliceMs));
        const int n = end.Read(buffer + got, count - got, slice);
        if (n < 0) {
            result = 1;
            break;
        }
        got += n;
    }
    counters.bytesReceived += got;
    if (received != nullptr) {
        *received = got;
    }
    return result;
}

int MemoryTransport::Close() {
    ++counters.closes;
    closed.store(true);
    return 0;
}

bool MemoryTransport::IsRecvEmpty() {
    return end.Pending() == 0;
}

void MemoryTransport::Purge() {
    ++counters.purges;
    end.Discard();
}
