#pragma once
// Builds package containers: from a release's contents (what klvpkg makes), or record
// by record with free trailer fields (what tests need to make damaged packages).

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/sha256.h"

namespace klv::package {

// What a release carries, in package order.
struct PackageContents {
    std::vector<uint8_t> image1;
    std::vector<uint8_t> image2;  // empty: no type-2 record
    std::vector<ModelId> modelIds;
    std::vector<UsbId> usbIds;
    std::vector<std::string> versionPrefixes;
    std::string versionText;
    bool scrambled = true;  // whole body, as the product embeds it
    bool digest = true;     // starts with the digest record (package_integrity.h)

    // Signs a release: the key's fingerprint, and what signs a digest (r || s, or
    // nothing when signing failed). Needs the digest record.
    struct Signer {
        Sha256Digest fingerprint{};
        std::function<std::optional<std::array<uint8_t, 64>>(const Sha256Digest&)> sign;
    };
    std::optional<Signer> signer;
};

// Empty when the format can carry the contents; otherwise what stands in the way.
std::string CheckContents(const PackageContents& contents);

// The container for contents that passed CheckContents (throws std::invalid_argument
// otherwise; std::runtime_error when hashing or signing failed).
std::vector<uint8_t> BuildPackage(const PackageContents& contents);

// Trailer fields as they are to be stored. `rotate` scrambles the words that the
// reader would unscramble for these fields, when they lie inside the package.
struct TrailerFields {
    uint16_t scrambleFlag = 0;
    uint32_t scrambleLength = 0;
    uint32_t scrambleCount = 0;
    bool rotate = false;
};

class PackageWriter {
  public:
    // A record of one of the short types: type, L = data.size(), data.
    PackageWriter& Record(uint8_t type, std::span<const uint8_t> data);
    // A record whose length byte says `length` whatever data follows it.
    PackageWriter& RecordWithLength(uint8_t type, uint8_t length, std::span<const uint8_t> data);
    // An image record (type 1 or 2): type, spare byte, N = data.size(), data.
    PackageWriter& Image(uint8_t type, std::span<const uint8_t> data);
    // An image record whose N says `length` whatever data follows it.
    PackageWriter& ImageWithLength(uint8_t type, uint32_t length, std::span<const uint8_t> data);
    // Bytes appended to the body as they stand.
    PackageWriter& Raw(std::span<const uint8_t> bytes);

    PackageWriter& ModelIdRecord(const ModelId& id);
    PackageWriter& UsbIdRecord(uint16_t vendorId, uint16_t productId);
    PackageWriter& PrefixRecord(const std::string& prefix);
    PackageWriter& VersionTextRecord(const std::string& text);

    size_t BodySize() const { return body_.size(); }

    // Head, body and trailer with no scrambled region.
    std::vector<uint8_t> Plain() const;
    // Scrambled over the whole body: count = length = size - 22.
    std::vector<uint8_t> Scrambled() const;
    std::vector<uint8_t> Build(const TrailerFields& trailer) const;

  private:
    std::vector<uint8_t> body_;
};

// Rotates right, by the reader's rotation, each word the reader would rotate back for
// these trailer fields. False, and nothing changed, when those words do not lie inside
// the package.
bool ScrambleRegion(std::vector<uint8_t>& package, uint32_t scrambleLength, uint32_t scrambleCount);

}  // namespace klv::package
