// The parts of signing that need no cryptography: the names of the trust verdicts, the
// verdict for a package from its integrity report, and the fingerprint as text. The keys
// themselves live in package_signing_posix.cpp (OpenSSL) and package_signing_win32.cpp (CNG).
#include "package/package_signing.h"

namespace klv::package {

PackageContents::Signer KeyPair::Signer() const {
    PackageContents::Signer signer;
    signer.fingerprint = fingerprint_;
    signer.sign = [this](const Sha256Digest& digest) { return Sign(digest); };
    return signer;
}

const char* TrustName(Trust trust) {
    switch (trust) {
        case Trust::NotChecked:
            return "not checked";
        case Trust::Trusted:
            return "trusted";
        case Trust::Unsigned:
            return "unsigned";
        case Trust::OtherKey:
            return "signed by another key";
        case Trust::BadSignature:
            return "bad signature";
        case Trust::Damaged:
            return "damaged";
    }
    return "damaged";
}

Trust CheckTrust(const IntegrityReport& report, const std::vector<PublicKey>& trusted) {
    if (trusted.empty()) {
        return Trust::NotChecked;
    }
    if (report.verdict == Integrity::Mismatch) {
        return Trust::Damaged;
    }
    if (report.verdict != Integrity::Verified || !report.signature) {
        return Trust::Unsigned;
    }
    for (const PublicKey& key : trusted) {
        if (key.Fingerprint() != report.signature->fingerprint) {
            continue;
        }
        if (report.signedDigest && key.Verifies(*report.signedDigest, report.signature->signature)) {
            return Trust::Trusted;
        }
        return Trust::BadSignature;
    }
    return Trust::OtherKey;
}

std::string FingerprintHex(const Sha256Digest& fingerprint) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : fingerprint) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace klv::package
