#include "tools/sim/memory_link.h"

#include <algorithm>
#include <chrono>

MemoryLink::MemoryLink() : hostEnd(*this, 0), deviceEnd(*this, 1) {}

int MemoryLink::End::Read(uint8_t* buffer, int count, int timeoutMs) {
    if (count <= 0) {
        return 0;
    }
    std::unique_lock lock(link.mutex);
    auto& in = link.queue[side];
    auto ready = [&] { return !in.empty() || !link.connected; };
    if (timeoutMs < 0) {
        link.changed.wait(lock, ready);
    } else if (!link.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return 0;
    }
    if (!link.connected) {
        return -1;
    }
    const int n = static_cast<int>(std::min<size_t>(in.size(), static_cast<size_t>(count)));
    std::copy_n(in.begin(), n, buffer);
    in.erase(in.begin(), in.begin() + n);
    return n;
}

bool MemoryLink::End::Write(const uint8_t* data, int count) {
    {
        std::lock_guard lock(link.mutex);
        if (!link.connected) {
            return false;
        }
        auto& out = link.queue[1 - side];
        out.insert(out.end(), data, data + std::max(count, 0));
    }
    link.changed.notify_all();
    return true;
}

size_t MemoryLink::End::Pending() {
    std::lock_guard lock(link.mutex);
    return link.queue[side].size();
}

void MemoryLink::End::Discard() {
    std::lock_guard lock(link.mutex);
    link.queue[side].clear();
}

void MemoryLink::Disconnect() {
    {
        std::lock_guard lock(mutex);
        connected = false;
        queue[0].clear();
        queue[1].clear();
    }
    changed.notify_all();
}

bool MemoryLink::IsConnected() {
    std::lock_guard lock(mutex);
    return connected;
}
