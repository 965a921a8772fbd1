#include "package/fw_package.h"

#include <bit>
#include <cstring>
#include <memory>

#include "package/package_layout.h"

namespace {

using namespace klv::package;

// Offsets are carried in 64 bits: a record's end (offset + 6 + N with N up to 4 GiB)
// must not wrap around and land back inside the body.
using Offset = uint64_t;

void TakeImage(FWPackage& package, FWImage& image, const uint8_t* record, uint32_t length) {
    if (!image.empty()) {
        // A second image of the same kind: the package is ambiguous.
        package.valid = false;
        return;
    }
    FWImage taken;
    if (length > 0) {
        taken.data = std::make_unique_for_overwrite<uint8_t[]>(length);
        std::memcpy(taken.data.get(), record + kImageHeadSize, length);
    }
    taken.length = length;
    image = std::move(taken);
}

void TakePrefix(FWPackage& package, const uint8_t* data, uint8_t length) {
    uint8_t used = length;
    while (used > 0 && data[used - 1] == 0) {
        --used;
    }
    if (used == 0) {
        return;
    }
    VersionPrefix entry;
    entry.prefixLength = used;
    std::memcpy(entry.prefix, data, used);
    package.versionPrefixes.push_back(entry);
}

void TakeVersionText(FWPackage& package, const uint8_t* data, uint8_t length) {
    if (length == 0) {
        return;
    }
    // Clear the whole field so that no byte of an earlier text lingers after the
    // terminator.
    std::memset(package.versionText, 0, sizeof(package.versionText));
    std::memcpy(package.versionText, data, length);
}

// The hot loop of Parse. On a little-endian host the words are used as they stand in
// memory, which lets the compiler vectorise the loop.
void RotateWordsLeft(uint8_t* bytes, Offset words) {
    if constexpr (std::endian::native == std::endian::little) {
        for (Offset i = 0; i < words; ++i) {
            uint32_t word;
            std::memcpy(&word, bytes + 4 * i, sizeof(word));
            word = std::rotl(word, kScrambleRotation);
            std::memcpy(bytes + 4 * i, &word, sizeof(word));
        }
    } else {
        for (Offset i = 0; i < words; ++i) {
            StoreLe32(bytes + 4 * i, std::rotl(LoadLe32(bytes + 4 * i), kScrambleRotation));
        }
    }
}

// Handles the record at `offset` and returns where the next one starts. Every read
// stays inside the buffer: the walk only calls this for offset <= size - 18, so the
// type, the length byte and the four bytes after it always lie within the trailer at
// the latest; a record's data is only touched when it ends inside the package.
Offset WalkRecord(FWPackage& package, const uint8_t* buffer, uint32_t size, Offset offset) {
    const uint8_t* record = buffer + offset;
    const uint8_t type = record[0];

    if (type == kRecordImage1 || type == kRecordImage2) {
        const uint32_t length = LoadLe32(record + 2);
        const Offset end = offset + kImageHeadSize + length;
        // The data must end before the package's last byte.
        if (end < size) {
            TakeImage(package, type == kRecordImage1 ? package.image1 : package.image2, record,
                      length);
        }
        return end;
    }

    const uint8_t length = record[1];
    const Offset end = offset + kRecordHeadSize + length;
    const uint8_t* data = record + kRecordHeadSize;
    const bool dataInside = end <= size;

    switch (type) {
        case kRecordSkip:
            break;
        case kRecordModelId: {
            // The four bytes after the length byte, whatever the length says.
            ModelId id;
            std::memcpy(id.data(), data, id.size());
            package.modelIds.push_back(id);
            break;
        }
        case kRecordVersionPrefix:
            // A prefix longer than the descriptor can hold is skipped by its length
            // like an over-long version text: the record's own length is the only
            // sound account of where the next record starts.
            if (length <= FWPackage::kPrefixMax && dataInside) {
                TakePrefix(package, data, length);
            }
            break;
        case kRecordUsbId: {
            UsbId id;
            id.vendorId = LoadLe16(data);
            id.productId = LoadLe16(data + 2);
            package.usbIds.push_back(id);
            break;
        }
        case kRecordVersionText:
            if (length <= FWPackage::kVersionTextMax && dataInside) {
                TakeVersionText(package, data, length);
            }
            break;
        default:
            package.valid = false;
            break;
    }
    return end;
}

}  // namespace

void FWPackage::Parse(const uint8_t* bytes, uint32_t size) {
    if (bytes == nullptr || size < kMinimumSize) {
        valid = false;
        return;
    }
    valid = true;

    // One working copy: the caller's bytes (the resource's memory) are never written.
    auto work = std::make_unique_for_overwrite<uint8_t[]>(size);
    std::memcpy(work.get(), bytes, size);
    uint8_t* buffer = work.get();

    if (!HasMagic(buffer, size)) {
        valid = false;
        return;
    }

    Unscramble(buffer, size);

    const Offset bodyEnd = size - kTrailerSize;
    Offset offset = kHeadSize;
    for (;;) {
        const Offset next = WalkRecord(*this, buffer, size, offset);
        if (!valid) {
            break;
        }
        if (next == bodyEnd) {
            break;
        }
        if (next > bodyEnd) {
            valid = false;
            break;
        }
        offset = next;
    }
}

void FWPackage::Unscramble(uint8_t* buffer, uint32_t size) {
    if (buffer == nullptr || size < kMinimumSize || !HasMagic(buffer, size)) {
        return;
    }
    const std::optional<RotatedWords> region = RotatedRegion(buffer, size);
    if (!region) {
        return;
    }
    RotateWordsLeft(buffer + region->start, region->words);
    StoreLe16(buffer + size - kTrailerScrambleFlagFromEnd, 0);
}

bool FWPackage::IsUsable() const {
    return valid && !image1.empty();
}

bool FWPackage::MatchVersionPrefix(const uint8_t* text, int32_t textLength) const {
    if (text == nullptr || textLength < 1) {
        return false;
    }
    for (const VersionPrefix& entry : versionPrefixes) {
        if (entry.prefixLength > textLength) {
            continue;
        }
        if (std::memcmp(entry.prefix, text, entry.prefixLength) == 0) {
            return true;
        }
    }
    return false;
}

void FWPackage::Release() {
    image1 = FWImage{};
    image2 = FWImage{};
    std::vector<ModelId>().swap(modelIds);
    std::vector<VersionPrefix>().swap(versionPrefixes);
    std::vector<UsbId>().swap(usbIds);
}
