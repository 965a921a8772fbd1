#include "package/package_writer.h"

#include <bit>
#include <stdexcept>

#include "package/package_integrity.h"
#include "package/package_layout.h"

namespace klv::package {

namespace {

// Bytes the reader never examines, kept as our releases have always had them.
constexpr uint8_t kHeadSpare[2] = {'0', '0'};
constexpr uint8_t kTrailerSpare[6] = {0x12, 0x34, 0x56, 0x78, 0xAB, 0xCD};

std::span<const uint8_t> AsBytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string CheckContents(const PackageContents& contents) {
    if (contents.image1.empty()) {
        return "image1 is missing or empty";
    }
    if (contents.image1.size() > UINT32_MAX || contents.image2.size() > UINT32_MAX) {
        return "an image is larger than 4 GiB";
    }
    if (contents.signer && !contents.digest) {
        return "a signed package needs its digest";
    }
    if (contents.versionText.size() > FWPackage::kVersionTextMax) {
        return "the version text has " + std::to_string(contents.versionText.size()) +
               " bytes; at most " + std::to_string(FWPackage::kVersionTextMax) + " fit";
    }
    if (contents.versionText.find('\0') != std::string::npos) {
        return "the version text holds a zero byte";
    }
    for (const std::string& prefix : contents.versionPrefixes) {
        if (prefix.empty()) {
            return "a version prefix is empty";
        }
        if (prefix.size() > FWPackage::kPrefixMax) {
            return "the version prefix \"" + prefix + "\" has " + std::to_string(prefix.size()) +
                   " bytes; at most " + std::to_string(FWPackage::kPrefixMax) + " fit";
        }
        if (prefix.back() == '\0') {
            // The reader drops trailing zero bytes; such a prefix would not survive.
            return "a version prefix ends in a zero byte";
        }
    }
    // Every record's head and the trailer, with room to spare for the lists.
    const uint64_t total = uint64_t{kHeadSize} + kTrailerSize + kImageHeadSize * 2 +
                           contents.image1.size() + contents.image2.size() +
                           (contents.modelIds.size() + contents.usbIds.size()) * 6 +
                           contents.versionPrefixes.size() * (2 + FWPackage::kPrefixMax) + 64;
    if (total > UINT32_MAX) {
        return "the package would be larger than 4 GiB";
    }
    return {};
}

std::vector<uint8_t> BuildPackage(const PackageContents& contents) {
    const std::string problem = CheckContents(contents);
    if (!problem.empty()) {
        throw std::invalid_argument(problem);
    }
    PackageWriter writer;
    if (contents.digest) {
        writer.Raw(DigestRecordBytes());
        if (contents.signer) {
            writer.Raw(SignatureRecordBytes(contents.signer->fingerprint));
        }
    }
    for (const ModelId& id : contents.modelIds) {
        writer.ModelIdRecord(id);
    }
    for (const UsbId& id : contents.usbIds) {
        writer.UsbIdRecord(id.vendorId, id.productId);
    }
    for (const std::string& prefix : contents.versionPrefixes) {
        writer.PrefixRecord(prefix);
    }
    if (!contents.versionText.empty()) {
        writer.VersionTextRecord(contents.versionText);
    }
    writer.Image(kRecordImage1, contents.image1);
    if (!contents.image2.empty()) {
        writer.Image(kRecordImage2, contents.image2);
    }
    std::vector<uint8_t> package = contents.scrambled ? writer.Scrambled() : writer.Plain();
    if (!contents.digest) {
        return package;
    }
    package[2] = kSealedHeadMark[0];
    package[3] = kSealedHeadMark[1];
    if (contents.signer) {
        // The signature signs every other byte; its own bytes and the digest's are zero
        // here, as the rule counts them.
        const PlainRange fields[] = {{kDigestFieldOffset, 32}, {kSignatureFieldOffset, 64}};
        const auto signedDigest =
            DigestWithZeroedFields(package.data(), static_cast<uint32_t>(package.size()), fields);
        if (!signedDigest) {
            throw std::runtime_error("the package's digest could not be computed");
        }
        const auto signature = contents.signer->sign ? contents.signer->sign(*signedDigest)
                                                     : std::nullopt;
        if (!signature) {
            throw std::runtime_error("the package could not be signed");
        }
        StorePlainBytes(package, kSignatureFieldOffset, *signature);
    }
    if (!SealPackage(package)) {
        throw std::runtime_error("the package's digest could not be computed");
    }
    return package;
}

PackageWriter& PackageWriter::Record(uint8_t type, std::span<const uint8_t> data) {
    if (data.size() > 255) {
        throw std::length_error("a record holds at most 255 bytes");
    }
    return RecordWithLength(type, static_cast<uint8_t>(data.size()), data);
}

PackageWriter& PackageWriter::RecordWithLength(uint8_t type, uint8_t length,
                                               std::span<const uint8_t> data) {
    body_.push_back(type);
    body_.push_back(length);
    return Raw(data);
}

PackageWriter& PackageWriter::Image(uint8_t type, std::span<const uint8_t> data) {
    if (data.size() > UINT32_MAX) {
        throw std::length_error("an image holds less than 4 GiB");
    }
    return ImageWithLength(type, static_cast<uint32_t>(data.size()), data);
}

PackageWriter& PackageWriter::ImageWithLength(uint8_t type, uint32_t length,
                                              std::span<const uint8_t> data) {
    uint8_t head[kImageHeadSize] = {type, 0};
    StoreLe32(head + 2, length);
    Raw(head);
    return Raw(data);
}

PackageWriter& PackageWriter::Raw(std::span<const uint8_t> bytes) {
    body_.insert(body_.end(), bytes.begin(), bytes.end());
    return *this;
}

PackageWriter& PackageWriter::ModelIdRecord(const ModelId& id) {
    return Record(kRecordModelId, id);
}

PackageWriter& PackageWriter::UsbIdRecord(uint16_t vendorId, uint16_t productId) {
    uint8_t data[4];
    StoreLe16(data, vendorId);
    StoreLe16(data + 2, productId);
    return Record(kRecordUsbId, data);
}

PackageWriter& PackageWriter::PrefixRecord(const std::string& prefix) {
    return Record(kRecordVersionPrefix, AsBytes(prefix));
}

PackageWriter& PackageWriter::VersionTextRecord(const std::string& text) {
    return Record(kRecordVersionText, AsBytes(text));
}

std::vector<uint8_t> PackageWriter::Plain() const {
    return Build({});
}

std::vector<uint8_t> PackageWriter::Scrambled() const {
    if (body_.size() > UINT32_MAX - kHeadSize - kTrailerSize) {
        throw std::length_error("a package holds less than 4 GiB");
    }
    const auto length = static_cast<uint32_t>(body_.size());
    return Build({kScrambleFlag, length, length, true});
}

std::vector<uint8_t> PackageWriter::Build(const TrailerFields& trailer) const {
    std::vector<uint8_t> out;
    out.reserve(kHeadSize + body_.size() + kTrailerSize);
    out.push_back('K');
    out.push_back('L');
    out.insert(out.end(), std::begin(kHeadSpare), std::end(kHeadSpare));
    out.insert(out.end(), body_.begin(), body_.end());
    out.insert(out.end(), std::begin(kTrailerSpare), std::end(kTrailerSpare));
    uint8_t fields[10];
    StoreLe16(fields, trailer.scrambleFlag);
    StoreLe32(fields + 2, trailer.scrambleLength);
    StoreLe32(fields + 6, trailer.scrambleCount);
    out.insert(out.end(), std::begin(fields), std::end(fields));
    out.push_back('L');
    out.push_back('V');
    if (trailer.rotate) {
        ScrambleRegion(out, trailer.scrambleLength, trailer.scrambleCount);
    }
    return out;
}

bool ScrambleRegion(std::vector<uint8_t>& package, uint32_t scrambleLength,
                    uint32_t scrambleCount) {
    if (package.size() < kHeadSize + kTrailerSize || package.size() > UINT32_MAX) {
        return false;
    }
    const uint64_t size = package.size();
    const uint64_t count = scrambleCount == 0 ? scrambleLength : scrambleCount;
    if (scrambleLength > size - kHeadSize - kTrailerSize) {
        return false;
    }
    // The reader leaves a package whose count reaches beyond the body as it is stored;
    // words scrambled for such a count would never be turned back.
    if (count > size - kHeadSize - kTrailerSize) {
        return false;
    }
    const uint64_t start = size - kTrailerSize - scrambleLength;
    const uint64_t words = count > 4 ? (count - 1) / 4 : 0;
    if (start + words * 4 > size) {
        return false;
    }
    uint8_t* word = package.data() + start;
    for (uint64_t i = 0; i < words; ++i, word += 4) {
        StoreLe32(word, std::rotr(LoadLe32(word), kScrambleRotation));
    }
    return true;
}

}  // namespace klv::package
