#pragma once
// A duplex byte stream as the simulated instrument sees its side of the cable.

#include <cstdint>

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Reads up to count bytes, waiting at most timeoutMs for the first one (negative:
    // no limit). Returns the bytes read, 0 on time-out, -1 once the stream is closed.
    virtual int Read(uint8_t* buffer, int count, int timeoutMs) = 0;
    // Writes all count bytes; false once the stream is closed.
    virtual bool Write(const uint8_t* data, int count) = 0;
};
