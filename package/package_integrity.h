#pragma once
// The digest and signature records: how a package carries a SHA-256 digest of itself
// (and, optionally, a signature over it), and the check of that digest. Every reader
// skips type-0 records, so a package that carries them reads exactly as one without.
// docs/package-format.md describes the records and the rule with a worked example.
//
// The first record of the body is the digest record; a signature record, if any,
// follows it at once. Head bytes 2-3 say "DG" in a package that carries the digest, so
// that damage which makes the record unreadable is told apart from a package that
// never had one.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/sha256.h"

namespace klv::package {

inline constexpr uint8_t kSealedHeadMark[2] = {'D', 'G'};

// Digest record: type 0, L 38, "KLDG", format 1 (SHA-256), a zero byte, the digest.
inline constexpr uint8_t kDigestTag[4] = {'K', 'L', 'D', 'G'};
inline constexpr uint8_t kDigestFormatSha256 = 1;
inline constexpr uint32_t kDigestRecordOffset = 4;  // right after the head
inline constexpr uint32_t kDigestRecordSize = 40;
inline constexpr uint32_t kDigestFieldOffset = kDigestRecordOffset + 8;

// Signature record: type 0, L 102, "KLSG", scheme 1 (ECDSA P-256), a zero byte, the
// signer's key fingerprint (SHA-256 of its DER SubjectPublicKeyInfo), the signature as
// r || s (32 bytes each, big-endian).
inline constexpr uint8_t kSignatureTag[4] = {'K', 'L', 'S', 'G'};
inline constexpr uint8_t kSignatureSchemeEcdsaP256 = 1;
inline constexpr uint32_t kSignatureRecordOffset = kDigestRecordOffset + kDigestRecordSize;
inline constexpr uint32_t kSignatureRecordSize = 104;
inline constexpr uint32_t kFingerprintOffset = kSignatureRecordOffset + 8;
inline constexpr uint32_t kSignatureFieldOffset = kFingerprintOffset + 32;

using Signature = std::array<uint8_t, 64>;

enum class Integrity {
    Absent,    // no digest record and no mark: an older package, or built without one
    Verified,  // the digest matches every byte of the package
    Mismatch,  // damaged: the digest does not match, or the record is missing or unreadable
};

// "absent", "verified", "mismatch".
const char* IntegrityName(Integrity verdict);

struct SignatureRecord {
    Sha256Digest fingerprint{};
    Signature signature{};
};

struct IntegrityReport {
    Integrity verdict = Integrity::Absent;
    std::string reason;  // for a mismatch: what was found
    std::optional<Sha256Digest> stored;
    std::optional<Sha256Digest> computed;
    std::optional<SignatureRecord> signature;
    // What the signature signs: the package's digest with the signature's own bytes
    // counted as zeros too. Only computed when asked for and the package is signed.
    std::optional<Sha256Digest> signedDigest;
};

// The verdict on a package as stored (scrambled or not). Never changes what the reader
// makes of the package.
IntegrityReport CheckIntegrity(const uint8_t* bytes, uint32_t size, bool withSignedDigest = false);

// A plain byte range of the package (as the reader sees it after unscrambling).
struct PlainRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// SHA-256 of the package as stored, computed as if the plain bytes of `zeroed` had been
// zero when it was scrambled. Nothing when the system's hash failed.
std::optional<Sha256Digest> DigestWithZeroedFields(const uint8_t* bytes, uint32_t size,
                                                   std::span<const PlainRange> zeroed);

// Writes plain bytes into a package as stored, scrambling them as its trailer says.
void StorePlainBytes(std::vector<uint8_t>& package, uint64_t offset,
                     std::span<const uint8_t> bytes);

// The records a sealed package starts with, digest (and signature) still zero.
std::vector<uint8_t> DigestRecordBytes();
std::vector<uint8_t> SignatureRecordBytes(const Sha256Digest& fingerprint);

// Marks the head and stores the digest of a package whose body starts with the digest
// record. False when the system's hash failed.
bool SealPackage(std::vector<uint8_t>& package);

}  // namespace klv::package
