#pragma once
// A cable in memory: two ends, each a ByteStream whose writes the other end reads.
// Used to run the host and the simulated instrument in one process.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "tools/sim/byte_stream.h"

class MemoryLink {
public:
    class End : public ByteStream {
    public:
        int Read(uint8_t* buffer, int count, int timeoutMs) override;
        bool Write(const uint8_t* data, int count) override;
        // Bytes waiting to be read at this end.
        size_t Pending();
        // Drops the bytes waiting at this end.
        void Discard();

    private:
        friend class MemoryLink;
        End(MemoryLink& link, int side) : link(link), side(side) {}
        MemoryLink& link;
        int side;
    };

    MemoryLink();
    MemoryLink(const MemoryLink&) = delete;
    MemoryLink& operator=(const MemoryLink&) = delete;

    End& host() { return hostEnd; }
    End& device() { return deviceEnd; }

    // Pulls the cable: both ends fail from now on and blocked reads return -1.
    void Disconnect();
    bool IsConnected();

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<uint8_t> queue[2];  // [0]: bytes for the host, [1]: bytes for the device
    bool connected = true;
    End hostEnd;
    End deviceEnd;
};
