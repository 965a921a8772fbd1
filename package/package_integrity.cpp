#include "package/package_integrity.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "package/package_layout.h"

namespace klv::package {

namespace {

std::optional<RotatedWords> RegionOf(const uint8_t* bytes, uint32_t size) {
    if (bytes == nullptr || size < kHeadSize + kTrailerSize || !HasMagic(bytes, size)) {
        return std::nullopt;
    }
    return RotatedRegion(bytes, size);
}

// `base` holds the package's bytes from `baseOffset` on, as stored; a word that the
// trailer rotates is whole in it.
uint8_t PlainByte(const uint8_t* base, uint64_t baseOffset,
                  const std::optional<RotatedWords>& region, uint64_t offset) {
    if (!region || !region->Holds(offset)) {
        return base[offset - baseOffset];
    }
    const uint64_t wordStart = region->WordStart(offset);
    const uint32_t word = std::rotl(LoadLe32(base + (wordStart - baseOffset)), kScrambleRotation);
    return static_cast<uint8_t>(word >> (8 * (offset - wordStart)));
}

void SetPlainByte(uint8_t* base, uint64_t baseOffset, const std::optional<RotatedWords>& region,
                  uint64_t offset, uint8_t value) {
    if (!region || !region->Holds(offset)) {
        base[offset - baseOffset] = value;
        return;
    }
    const uint64_t wordStart = region->WordStart(offset);
    uint8_t* stored = base + (wordStart - baseOffset);
    uint32_t word = std::rotl(LoadLe32(stored), kScrambleRotation);
    const int shift = static_cast<int>(8 * (offset - wordStart));
    word = (word & ~(uint32_t{0xFF} << shift)) | (uint32_t{value} << shift);
    StoreLe32(stored, std::rotr(word, kScrambleRotation));
}

// The plain bytes [offset, offset + length), or nothing when they do not lie in the body.
std::optional<std::vector<uint8_t>> PlainBytes(const uint8_t* bytes, uint32_t size,
                                               const std::optional<RotatedWords>& region,
                                               uint64_t offset, uint64_t length) {
    if (offset + length > uint64_t{size} - kTrailerSize) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(length);
    for (uint64_t i = 0; i < length; ++i) {
        out[i] = PlainByte(bytes, 0, region, offset + i);
    }
    return out;
}

bool StartsWith(const std::vector<uint8_t>& record, uint8_t length, const uint8_t (&tag)[4]) {
    return record[0] == kRecordSkip && record[1] == length &&
           std::equal(std::begin(tag), std::end(tag), record.begin() + 2);
}

bool HasTag(const std::vector<uint8_t>& record, const uint8_t (&tag)[4]) {
    return std::equal(std::begin(tag), std::end(tag), record.begin() + 2);
}

constexpr PlainRange kDigestField{kDigestFieldOffset, 32};
constexpr PlainRange kSignatureField{kSignatureFieldOffset, 64};

IntegrityReport Mismatch(IntegrityReport report, std::string reason) {
    report.verdict = Integrity::Mismatch;
    report.reason = std::move(reason);
    return report;
}

}  // namespace

const char* IntegrityName(Integrity verdict) {
    switch (verdict) {
        case Integrity::Absent:
            return "absent";
        case Integrity::Verified:
            return "verified";
        case Integrity::Mismatch:
            return "mismatch";
    }
    return "mismatch";
}

std::optional<Sha256Digest> DigestWithZeroedFields(const uint8_t* bytes, uint32_t size,
                                                   std::span<const PlainRange> zeroed) {
    const std::optional<RotatedWords> region = RegionOf(bytes, size);
    struct Window {
        uint64_t begin;
        uint64_t end;
    };
    // Each field widened to whole rotated words: a stored word mixes the bits of its
    // four plain bytes.
    std::vector<Window> windows;
    for (const PlainRange& field : zeroed) {
        uint64_t begin = std::min<uint64_t>(field.offset, size);
        uint64_t end = std::min<uint64_t>(field.offset + field.length, size);
        if (begin >= end) {
            continue;
        }
        if (region && region->Holds(begin)) {
            begin = region->WordStart(begin);
        }
        if (region && region->Holds(end - 1)) {
            end = region->WordStart(end - 1) + 4;
        }
        windows.push_back({begin, end});
    }
    std::sort(windows.begin(), windows.end(),
              [](const Window& a, const Window& b) { return a.begin < b.begin; });
    std::vector<Window> merged;
    for (const Window& w : windows) {
        if (!merged.empty() && w.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, w.end);
        } else {
            merged.push_back(w);
        }
    }

    Sha256 hash;
    uint64_t cursor = 0;
    for (const Window& w : merged) {
        hash.Update(bytes + cursor, w.begin - cursor);
        std::vector<uint8_t> copy(bytes + w.begin, bytes + w.end);
        for (const PlainRange& field : zeroed) {
            const uint64_t from = std::max(field.offset, w.begin);
            const uint64_t to = std::min(field.offset + field.length, w.end);
            for (uint64_t at = from; at < to; ++at) {
                SetPlainByte(copy.data(), w.begin, region, at, 0);
            }
        }
        hash.Update(copy.data(), copy.size());
        cursor = w.end;
    }
    hash.Update(bytes + cursor, size - cursor);
    return hash.Final();
}

void StorePlainBytes(std::vector<uint8_t>& package, uint64_t offset,
                     std::span<const uint8_t> bytes) {
    if (package.size() > UINT32_MAX || offset + bytes.size() > package.size()) {
        return;
    }
    const std::optional<RotatedWords> region =
        RegionOf(package.data(), static_cast<uint32_t>(package.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        SetPlainByte(package.data(), 0, region, offset + i, bytes[i]);
    }
}

std::vector<uint8_t> DigestRecordBytes() {
    std::vector<uint8_t> record(kDigestRecordSize, 0);
    record[0] = kRecordSkip;
    record[1] = kDigestRecordSize - kRecordHeadSize;
    std::copy(std::begin(kDigestTag), std::end(kDigestTag), record.begin() + 2);
    record[6] = kDigestFormatSha256;
    return record;
}

std::vector<uint8_t> SignatureRecordBytes(const Sha256Digest& fingerprint) {
    std::vector<uint8_t> record(kSignatureRecordSize, 0);
    record[0] = kRecordSkip;
    record[1] = kSignatureRecordSize - kRecordHeadSize;
    std::copy(std::begin(kSignatureTag), std::end(kSignatureTag), record.begin() + 2);
    record[6] = kSignatureSchemeEcdsaP256;
    std::copy(fingerprint.begin(), fingerprint.end(), record.begin() + 8);
    return record;
}

bool SealPackage(std::vector<uint8_t>& package) {
    if (package.size() < kHeadSize + kTrailerSize || package.size() > UINT32_MAX) {
        return false;
    }
    package[2] = kSealedHeadMark[0];
    package[3] = kSealedHeadMark[1];
    const Sha256Digest zeros{};
    StorePlainBytes(package, kDigestFieldOffset, zeros);
    const PlainRange fields[] = {kDigestField};
    const auto digest =
        DigestWithZeroedFields(package.data(), static_cast<uint32_t>(package.size()), fields);
    if (!digest) {
        return false;
    }
    StorePlainBytes(package, kDigestFieldOffset, *digest);
    return true;
}

IntegrityReport CheckIntegrity(const uint8_t* bytes, uint32_t size, bool withSignedDigest) {
    IntegrityReport report;
    if (bytes == nullptr) {
        return report;
    }
    const bool marked = size >= kHeadSize && bytes[2] == kSealedHeadMark[0] &&
                        bytes[3] == kSealedHeadMark[1];
    const bool framed = size >= kHeadSize + kTrailerSize && HasMagic(bytes, size);
    if (!framed) {
        return marked ? Mismatch(report, "the head says the package carries a digest, but the "
                                         "package has no intact frame")
                      : report;
    }
    const std::optional<RotatedWords> region = RotatedRegion(bytes, size);
    const auto record =
        PlainBytes(bytes, size, region, kDigestRecordOffset, kDigestRecordSize);
    if (!record || !HasTag(*record, kDigestTag)) {
        return marked ? Mismatch(report, "the head says the package carries a digest, but its "
                                         "first record is not the digest record")
                      : report;
    }
    if (!StartsWith(*record, kDigestRecordSize - kRecordHeadSize, kDigestTag) ||
        (*record)[6] != kDigestFormatSha256 || (*record)[7] != 0) {
        return Mismatch(report, "the digest record is malformed");
    }
    Sha256Digest stored;
    std::copy(record->begin() + 8, record->end(), stored.begin());
    report.stored = stored;
    if (!marked) {
        return Mismatch(report, "the package's head lacks the mark of a package with a digest");
    }

    const auto signature =
        PlainBytes(bytes, size, region, kSignatureRecordOffset, kSignatureRecordSize);
    if (signature && HasTag(*signature, kSignatureTag)) {
        // The digest covers this record whatever it holds; a damaged one shows as a
        // mismatch below.
        if (StartsWith(*signature, kSignatureRecordSize - kRecordHeadSize, kSignatureTag) &&
            (*signature)[6] == kSignatureSchemeEcdsaP256) {
            SignatureRecord found;
            std::copy_n(signature->begin() + 8, 32, found.fingerprint.begin());
            std::copy_n(signature->begin() + 40, 64, found.signature.begin());
            report.signature = found;
        }
    }

    const PlainRange digestOnly[] = {kDigestField};
    report.computed = DigestWithZeroedFields(bytes, size, digestOnly);
    if (!report.computed) {
        return Mismatch(report, "the digest could not be computed");
    }
    if (*report.computed != stored) {
        return Mismatch(report, "the digest does not match the package's contents");
    }
    if (withSignedDigest && report.signature) {
        const PlainRange both[] = {kDigestField, kSignatureField};
        report.signedDigest = DigestWithZeroedFields(bytes, size, both);
    }
    report.verdict = Integrity::Verified;
    return report;
}

}  // namespace klv::package
