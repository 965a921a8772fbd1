#pragma once
// Signed releases: ECDSA P-256 keys, the signature record's signature, and the check of
// a package against the keys one trusts. The system does the cryptography: OpenSSL's
// libcrypto on Linux (package_signing_posix.cpp), CNG on Windows
// (package_signing_win32.cpp). The window program checks the digest, not the signature.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/package_integrity.h"
#include "package/package_writer.h"

namespace klv::package {

class KeyPair;

// A public key read from a PEM file.
class PublicKey {
  public:
    ~PublicKey();
    PublicKey(PublicKey&&) noexcept;
    PublicKey& operator=(PublicKey&&) noexcept;

    // Nothing, with `error` set, when the file is missing, unreadable or not an EC
    // P-256 public key.
    static std::optional<PublicKey> Load(const std::string& path, std::string& error);

    // SHA-256 of the key's DER SubjectPublicKeyInfo (what `openssl pkey -pubin
    // -outform DER | sha256sum` prints).
    const Sha256Digest& Fingerprint() const { return fingerprint_; }
    bool Verifies(const Sha256Digest& digest, const Signature& signature) const;

  private:
    struct Key;
    explicit PublicKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
    Sha256Digest fingerprint_{};
};

// A private key read from a PEM file (or just made).
class KeyPair {
  public:
    ~KeyPair();
    KeyPair(KeyPair&&) noexcept;
    KeyPair& operator=(KeyPair&&) noexcept;

    static std::optional<KeyPair> Load(const std::string& path, std::string& error);
    static std::optional<KeyPair> Generate(std::string& error);

    // Writes the private key (PKCS#8 PEM, readable by the user only: mode 0600, or an ACL
    // for the user alone on Windows) and the public key (PEM) beside it.
    // Without `overwrite` an existing file is refused; nothing is left half-written.
    bool Save(const std::string& privatePath, const std::string& publicPath, bool overwrite,
              std::string& error) const;

    const Sha256Digest& Fingerprint() const { return fingerprint_; }
    std::optional<Signature> Sign(const Sha256Digest& digest) const;
    // The writer's hook for BuildPackage.
    PackageContents::Signer Signer() const;

  private:
    struct Key;
    explicit KeyPair(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
    Sha256Digest fingerprint_{};
};

enum class Trust {
    NotChecked,    // no trusted key given
    Trusted,       // signed by one of the trusted keys, and the signature verifies
    Unsigned,      // the package carries no signature record
    OtherKey,      // signed by a key that is not trusted
    BadSignature,  // the signer is trusted but the signature does not verify
    Damaged,       // the digest does not match: nothing can be trusted
};

// "not checked", "trusted", "unsigned", "signed by another key", "bad signature",
// "damaged".
const char* TrustName(Trust trust);

// `report` from CheckIntegrity(..., true).
Trust CheckTrust(const IntegrityReport& report, const std::vector<PublicKey>& trusted);

std::string FingerprintHex(const Sha256Digest& fingerprint);

}  // namespace klv::package
