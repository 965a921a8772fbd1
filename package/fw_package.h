#pragma once
// The firmware package that the updater installs, as read from the embedded container.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

// An owned byte block and its length; empty when length is 0.
struct FWImage {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;

    bool empty() const { return length == 0; }
};

using ModelId = std::array<uint8_t, 4>;  // compared as stored

struct VersionPrefix {
    uint8_t prefixLength = 0;  // 1 to 32
    uint8_t prefix[32] = {};
};

struct UsbId {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
};

class FWPackage {
public:
    static constexpr uint32_t kTrailerSize = 18;
    static constexpr uint32_t kMinimumSize = 22;  // head (4) + trailer (18)
    static constexpr uint32_t kVersionTextMax = 49;
    static constexpr uint32_t kPrefixMax = 32;

    bool valid = false;
    FWImage image1;
    FWImage image2;
    char versionText[kVersionTextMax + 1] = {};  // zero-terminated
    std::vector<ModelId> modelIds;
    std::vector<VersionPrefix> versionPrefixes;
    std::vector<UsbId> usbIds;

    FWPackage() = default;
    FWPackage(const FWPackage&) = delete;
    FWPackage& operator=(const FWPackage&) = delete;

    // Reads the package embedded in this program and parses it. False when there is
    // none (or it is empty); true otherwise, whatever the package's validity.
    bool LoadFromResource();
    // Fills an empty descriptor from a container; the input is never written.
    void Parse(const uint8_t* bytes, uint32_t size);
    bool IsUsable() const;
    bool MatchVersionPrefix(const uint8_t* text, int32_t textLength) const;
    void Release();

    // Undoes the scrambling of a container in place (a working copy, never the
    // resource). Leaves the buffer unchanged when the trailer does not describe a
    // region that lies inside it.
    static void Unscramble(uint8_t* buffer, uint32_t size);
};
