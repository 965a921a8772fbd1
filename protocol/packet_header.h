#pragma once
// The 4-byte header that starts every packet in both directions.

#include <cstdint>

struct PacketHeader {
    static constexpr int kSize = 4;

    uint8_t command = 0;
    uint8_t subCommand = 0;
    uint16_t length = 0;  // payload bytes, little-endian on the wire

    static PacketHeader FromBytes(const uint8_t* bytes);
    void ToBytes(uint8_t* bytes) const;
    // Well formed: a listed command pair with its fixed length where it has one.
    bool IsValidHeader() const;
};
