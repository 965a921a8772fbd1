#include "tools/klvpkg/package_problem.h"

#include <cstring>
#include <memory>

#include "package/fw_package.h"
#include "package/package_layout.h"

using namespace klv::package;

namespace {

std::string ImageName(uint8_t type) {
    return type == kRecordImage1 ? "image 1" : "image 2";
}

}  // namespace

bool TrailerScramblingRecognised(const uint8_t* bytes, uint32_t size) {
    if (size < FWPackage::kMinimumSize) {
        return false;
    }
    const Trailer trailer = ReadTrailer(bytes, size);
    if (trailer.scrambleFlag != kScrambleFlag) {
        return false;
    }
    // The same bounds the reader checks before it undoes the scrambling.
    const uint32_t count = trailer.scrambleCount == 0 ? trailer.scrambleLength : trailer.scrambleCount;
    const uint32_t room = size - FWPackage::kMinimumSize;
    if (trailer.scrambleLength > room || count > room) {
        return false;
    }
    const uint64_t start = uint64_t{size} - kTrailerSize - trailer.scrambleLength;
    const uint64_t words = count > 4 ? (uint64_t{count} - 1) / 4 : 0;
    return start + words * 4 <= size;
}

std::optional<PackageProblem> FindPackageProblem(const uint8_t* bytes, uint64_t size) {
    if (size < FWPackage::kMinimumSize) {
        return PackageProblem{"shorter than the " + std::to_string(FWPackage::kMinimumSize) +
                                  " bytes of head and trailer",
                              std::nullopt};
    }
    if (size > UINT32_MAX) {
        return PackageProblem{"larger than a package can be (4 GiB)", std::nullopt};
    }
    if (bytes[0] != 'K' || bytes[1] != 'L') {
        return PackageProblem{"the head magic is not \"KL\"", 0};
    }
    if (bytes[size - 2] != 'L' || bytes[size - 1] != 'V') {
        return PackageProblem{"the tail magic is not \"LV\"", size - 2};
    }
    const auto size32 = static_cast<uint32_t>(size);
    auto work = std::make_unique<uint8_t[]>(size32);
    std::memcpy(work.get(), bytes, size32);
    FWPackage::Unscramble(work.get(), size32);
    const uint8_t* const buffer = work.get();

    const uint64_t bodyEnd = size - kTrailerSize;
    bool haveImage[3] = {false, false, false};
    uint64_t offset = kHeadSize;
    // As the reader: the first record is read even when the body is empty, so a package
    // of head and trailer alone takes the trailer's first bytes for a record.
    do {
        const uint8_t* record = buffer + offset;
        const uint8_t type = record[0];
        uint64_t end = 0;
        if (type == kRecordImage1 || type == kRecordImage2) {
            const uint32_t length = LoadLe32(record + 2);
            end = offset + kImageHeadSize + length;
            if (end < size) {
                if (haveImage[type]) {
                    return PackageProblem{"a second " + ImageName(type) + " record", offset};
                }
                haveImage[type] = length > 0;
            }
        } else {
            switch (type) {
                case kRecordSkip:
                case kRecordModelId:
                case kRecordVersionPrefix:
                case kRecordUsbId:
                case kRecordVersionText:
                    break;
                default:
                    return PackageProblem{"undefined record type " + std::to_string(type), offset};
            }
            end = offset + kRecordHeadSize + record[1];
        }
        if (end > bodyEnd) {
            return PackageProblem{"the record of type " + std::to_string(type) +
                                      " runs past the body (to " + std::to_string(end) +
                                      ", the body ends at " + std::to_string(bodyEnd) + ")",
                                  offset};
        }
        offset = end;
    } while (offset != bodyEnd);
    if (!haveImage[kRecordImage1]) {
        return PackageProblem{"no main image (image 1)", std::nullopt};
    }
    return std::nullopt;
}
