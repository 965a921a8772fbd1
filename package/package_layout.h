#pragma once
// The container's fixed layout, shared by the reader and the writer. Multi-byte fields
// are little-endian whatever the host's order.

#include <cstdint>
#include <optional>

namespace klv::package {

inline constexpr uint32_t kHeadSize = 4;  // "KL" and two bytes nobody reads
inline constexpr uint32_t kTrailerSize = 18;
inline constexpr uint32_t kRecordHeadSize = 2;  // type, L
inline constexpr uint32_t kImageHeadSize = 6;   // type, one spare byte, N (u32)

// Trailer fields, counted back from the package's end.
inline constexpr uint32_t kTrailerScrambleFlagFromEnd = 12;
inline constexpr uint32_t kTrailerScrambleLengthFromEnd = 10;
inline constexpr uint32_t kTrailerScrambleCountFromEnd = 6;

inline constexpr uint16_t kScrambleFlag = 0x4000;
inline constexpr int kScrambleRotation = 17;  // scrambling rotates right, reading left

inline constexpr uint8_t kRecordSkip = 0;
inline constexpr uint8_t kRecordImage1 = 1;
inline constexpr uint8_t kRecordImage2 = 2;
inline constexpr uint8_t kRecordModelId = 16;
inline constexpr uint8_t kRecordVersionPrefix = 17;
inline constexpr uint8_t kRecordUsbId = 18;
inline constexpr uint8_t kRecordVersionText = 19;

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Caller guarantees size >= kHeadSize + kTrailerSize.
inline bool HasMagic(const uint8_t* buffer, uint32_t size) {
    return buffer[0] == 'K' && buffer[1] == 'L' && buffer[size - 2] == 'L' &&
           buffer[size - 1] == 'V';
}

struct Trailer {
    uint16_t scrambleFlag = 0;
    uint32_t scrambleLength = 0;
    uint32_t scrambleCount = 0;
};

inline Trailer ReadTrailer(const uint8_t* buffer, uint32_t size) {
    Trailer t;
    t.scrambleFlag = LoadLe16(buffer + size - kTrailerScrambleFlagFromEnd);
    t.scrambleLength = LoadLe32(buffer + size - kTrailerScrambleLengthFromEnd);
    t.scrambleCount = LoadLe32(buffer + size - kTrailerScrambleCountFromEnd);
    return t;
}

// The words that unscrambling rotates: `words` whole words from `start`. Nothing when
// the trailer describes no scrambled region inside the package (the body is then read
// as stored). Caller guarantees size >= kHeadSize + kTrailerSize and both magics.
struct RotatedWords {
    uint64_t start = 0;
    uint64_t words = 0;

    bool Holds(uint64_t offset) const { return offset >= start && offset < start + 4 * words; }
    // Where the word that holds `offset` begins (offset must be held).
    uint64_t WordStart(uint64_t offset) const { return offset - (offset - start) % 4; }
};

inline std::optional<RotatedWords> RotatedRegion(const uint8_t* buffer, uint32_t size) {
    const Trailer trailer = ReadTrailer(buffer, size);
    if (trailer.scrambleFlag != kScrambleFlag) {
        return std::nullopt;
    }
    const uint32_t length = trailer.scrambleLength;
    const uint32_t count = trailer.scrambleCount == 0 ? length : trailer.scrambleCount;
    const uint32_t room = size - kHeadSize - kTrailerSize;
    if (length > room || count > room) {
        return std::nullopt;
    }
    RotatedWords region;
    region.start = uint64_t{size} - kTrailerSize - length;
    // Words at k = 0, 4, ... below count - 4: floor((count - 1) / 4) of them, none for
    // a count of 4 or less.
    region.words = count > 4 ? (uint64_t{count} - 1) / 4 : 0;
    // A count well beyond the region would carry the rotation past the end of the
    // package; such a trailer does not describe this package.
    if (region.start + region.words * 4 > size) {
        return std::nullopt;
    }
    return region;
}

}  // namespace klv::package
