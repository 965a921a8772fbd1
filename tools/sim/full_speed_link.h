#pragma once
// A USB full-speed device's pace, laid over the simulated instrument's side of the line.
//
// A pseudo-terminal hands bytes over as fast as the processor copies them; a real
// instrument's virtual serial port moves them in 64-byte USB packets, at most 19 of them
// in each 1 ms frame in each direction, and what the instrument writes leaves in the frame
// after the one in which it was written. The link model holds every host packet until the
// frame that would have carried its last USB packet has ended, and every reply until the
// frames that would carry it have passed, so that what a host achieves over it is what a
// service bench sees.
//
// FrameSchedule is the accounting alone (times in ms since the link started), so that the
// same rules give both the paced times and the model's own minimum: the time the same
// packets would take with a host and an instrument that answer in no time at all.

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/sim/byte_stream.h"

class FrameSchedule {
  public:
    static constexpr int kPacketBytes = 64;
    static constexpr int kPacketsPerFrame = 19;

    // A host packet of bytes whose first byte was sent at firstMs and last at lastMs: the
    // time at which the instrument has all of it (the end of the frame that carries its
    // last USB packet; the frame in which its last byte was sent at the earliest).
    double Inbound(double firstMs, double lastMs, int bytes);
    // A reply of bytes written at writtenMs: the time at which the host has all of it.
    double Outbound(double writtenMs, int bytes);

  private:
    struct Direction {
        int64_t frame = -1;  // the last frame that carries packets
        int used = 0;        // packets in that frame
        // Places packets from frame `from` on and returns the last frame used.
        int64_t Place(int64_t from, int packets);
    };
    Direction in_;
    Direction out_;
};

class FullSpeedLink final : public ByteStream {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FullSpeedLink(ByteStream& line);

    int Read(uint8_t* buffer, int count, int timeoutMs) override;
    bool Write(const uint8_t* data, int count) override;

    struct Figures {
        int hostPackets = 0;
        int replies = 0;
        double actualSeconds = 0;   // first host byte to the last reply's arrival
        double minimumSeconds = 0;  // the same packets with no time spent at either end
    };
    Figures Report() const;

    // For the tests: the clock and the wait.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    std::function<void(Clock::time_point)> waitUntil;

  private:
    double Ms(Clock::time_point t) const;
    Clock::time_point At(double ms) const;
    // Pulls what the line has into pending_ and releases every complete packet.
    int Pull(int timeoutMs);

    ByteStream& line_;
    Clock::time_point origin_{};
    bool started_ = false;

    FrameSchedule paced_;
    FrameSchedule ideal_;
    double idealHostMs_ = 0;        // when the ideal host may send again
    double idealInstrumentMs_ = 0;  // when the ideal instrument had the last host packet

    std::vector<uint8_t> pending_;  // bytes of the host packet not yet complete
    double pendingFirstMs_ = 0;
    std::vector<uint8_t> ready_;  // bytes the instrument may read
    size_t readyAt_ = 0;

    Figures figures_;
    double lastReplyMs_ = 0;
};
