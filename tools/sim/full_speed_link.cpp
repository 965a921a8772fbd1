#include "tools/sim/full_speed_link.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

int UsbPackets(int bytes) {
    return std::max(1, (bytes + FrameSchedule::kPacketBytes - 1) / FrameSchedule::kPacketBytes);
}

int64_t FrameOf(double ms) {
    return static_cast<int64_t>(std::floor(ms));
}

// A host packet: the 4-byte header and the payload its length announces.
size_t PacketSize(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 4) {
        return 0;
    }
    return 4 + (static_cast<size_t>(bytes[2]) | static_cast<size_t>(bytes[3]) << 8);
}

}  // namespace

int64_t FrameSchedule::Direction::Place(int64_t from, int packets) {
    if (from > frame) {
        frame = from;
        used = 0;
    }
    while (packets > 0) {
        if (used == kPacketsPerFrame) {
            ++frame;
            used = 0;
        }
        const int take = std::min(packets, kPacketsPerFrame - used);
        used += take;
        packets -= take;
    }
    return frame;
}

double FrameSchedule::Inbound(double firstMs, double lastMs, int bytes) {
    const int64_t last = in_.Place(FrameOf(firstMs), UsbPackets(bytes));
    return static_cast<double>(std::max(last, FrameOf(lastMs)) + 1);
}

double FrameSchedule::Outbound(double writtenMs, int bytes) {
    const int64_t last = out_.Place(FrameOf(writtenMs) + 1, UsbPackets(bytes));
    return static_cast<double>(last + 1);
}

FullSpeedLink::FullSpeedLink(ByteStream& line) : line_(line) {
    waitUntil = [](Clock::time_point t) { std::this_thread::sleep_until(t); };
}

double FullSpeedLink::Ms(Clock::time_point t) const {
    return std::chrono::duration<double, std::milli>(t - origin_).count();
}

FullSpeedLink::Clock::time_point FullSpeedLink::At(double ms) const {
    return origin_ + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double, std::milli>(ms));
}

int FullSpeedLink::Pull(int timeoutMs) {
    uint8_t chunk[4096];
    const int n = line_.Read(chunk, sizeof chunk, timeoutMs);
    if (n <= 0) {
        return n;
    }
    const Clock::time_point arrived = now();
    if (!started_) {
        // Frames are counted from the first byte the host sent.
        started_ = true;
        origin_ = arrived;
    }
    if (pending_.empty()) {
        pendingFirstMs_ = Ms(arrived);
    }
    pending_.insert(pending_.end(), chunk, chunk + n);
    size_t size = PacketSize(pending_);
    while (size > 0 && pending_.size() >= size) {
        const int bytes = static_cast<int>(size);
        const double due = paced_.Inbound(pendingFirstMs_, Ms(arrived), bytes);
        // The ideal host sends as soon as it may (back-to-back packets share frames); the
        // ideal instrument answers the moment it has the packet.
        idealInstrumentMs_ = ideal_.Inbound(idealHostMs_, idealHostMs_, bytes);
        ++figures_.hostPackets;
        if (Ms(now()) < due) {
            waitUntil(At(due));
        }
        ready_.insert(ready_.end(), pending_.begin(), pending_.begin() + bytes);
        pending_.erase(pending_.begin(), pending_.begin() + bytes);
        pendingFirstMs_ = Ms(arrived);
        size = PacketSize(pending_);
    }
    return n;
}

int FullSpeedLink::Read(uint8_t* buffer, int count, int timeoutMs) {
    if (readyAt_ == ready_.size()) {
        ready_.clear();
        readyAt_ = 0;
        const Clock::time_point deadline = now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        while (ready_.empty()) {
            int left = timeoutMs;
            if (timeoutMs >= 0) {
                left = static_cast<int>(std::max<int64_t>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now())
                           .count()));
            }
            const int n = Pull(left);
            if (n < 0) {
                return -1;
            }
            if (n == 0 && ready_.empty()) {
                return 0;
            }
        }
    }
    const int n = static_cast<int>(std::min<size_t>(ready_.size() - readyAt_, count));
    std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readyAt_), n, buffer);
    readyAt_ += static_cast<size_t>(n);
    return n;
}

bool FullSpeedLink::Write(const uint8_t* data, int count) {
    if (!started_) {
        started_ = true;
        origin_ = now();
    }
    const double due = paced_.Outbound(Ms(now()), count);
    idealHostMs_ = std::max(idealHostMs_, ideal_.Outbound(idealInstrumentMs_, count));
    if (Ms(now()) < due) {
        waitUntil(At(due));
    }
    ++figures_.replies;
    lastReplyMs_ = due;
    return line_.Write(data, count);
}

FullSpeedLink::Figures FullSpeedLink::Report() const {
    Figures figures = figures_;
    figures.actualSeconds = lastReplyMs_ / 1000.0;
    figures.minimumSeconds = idealHostMs_ / 1000.0;
    return figures;
}
