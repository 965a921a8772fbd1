#pragma once
// The file forms of ECDSA P-256 keys, read and written without a cryptography library:
// PEM framing, and the DER of a public key (SubjectPublicKeyInfo), of a private key
// (PKCS#8, and the older "EC PRIVATE KEY" form). Used where the system's library takes
// only raw key numbers (CNG on Windows). Base64 itself is left to the caller.
//
// What is written is byte for byte what OpenSSL writes for the same key, so that one
// key's fingerprint is the same on every system.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klv::package::keys {

using Point = std::array<uint8_t, 64>;   // X || Y, 32 bytes each, big-endian
using Scalar = std::array<uint8_t, 32>;  // the private number d, big-endian

// One PEM block: its label ("PUBLIC KEY"), and its body with the line breaks taken out
// (whether that is base64 is for the decoder to say). `headers` is set when the block
// carries header lines ("Proc-Type: ..."), as an encrypted key of the older form does.
struct PemBlock {
    std::string label;
    std::string base64;
    bool headers = false;
};

// The first block in `text` whose label `wanted` accepts; blocks of other labels are
// passed over. Nothing when there is none, or when that block has no END line.
std::optional<PemBlock> FindPem(std::string_view text, bool (*wanted)(std::string_view label));

// "-----BEGIN label-----", the base64 in lines of 64, "-----END label-----", each line
// ending in "\n".
std::string PemText(std::string_view label, std::string_view base64);

enum class KeyRead {
    Ok,
    NotKey,           // not DER of the expected form
    OtherAlgorithm,   // a well-formed key, but not ECDSA on P-256
    CompressedPoint,  // P-256, but its point is given compressed
    NoPublicPoint,    // a private key without its public point
};

// SubjectPublicKeyInfo: id-ecPublicKey, the named curve prime256v1, and the point.
KeyRead ReadPublicKeyInfo(const std::vector<uint8_t>& der, Point& point);
// PKCS#8 PrivateKeyInfo holding an ECPrivateKey.
KeyRead ReadPrivateKeyInfo(const std::vector<uint8_t>& der, Scalar& d, Point& point);
// A bare ECPrivateKey ("EC PRIVATE KEY"), which must name its curve.
KeyRead ReadEcPrivateKey(const std::vector<uint8_t>& der, Scalar& d, Point& point);

// The DER of the public key (91 bytes) and of the private key in PKCS#8 (138 bytes,
// the public point included).
std::vector<uint8_t> PublicKeyInfo(const Point& point);
std::vector<uint8_t> PrivateKeyInfo(const Scalar& d, const Point& point);

}  // namespace klv::package::keys
