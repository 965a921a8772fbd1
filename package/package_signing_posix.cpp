// Keys and signatures through OpenSSL's libcrypto.
#include "package/package_signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace klv::package {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

struct CtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

struct SigFree {
    void operator()(ECDSA_SIG* sig) const { ECDSA_SIG_free(sig); }
};
using EcdsaSig = std::unique_ptr<ECDSA_SIG, SigFree>;

bool IsP256(EVP_PKEY* key) {
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
        return false;
    }
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof(group), &length) != 1) {
        return false;
    }
    return std::strcmp(group, "prime256v1") == 0 || std::strcmp(group, "P-256") == 0;
}

std::optional<Sha256Digest> FingerprintOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    if (length <= 0) {
        return std::nullopt;
    }
    auto digest = Sha256Of(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    return digest;
}

std::optional<std::string> ReadText(const std::string& path, std::string& error) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code)) {
        error = path + (std::filesystem::exists(path, code) ? " is not a regular file"
                                                           : " does not exist");
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + " cannot be read";
        return std::nullopt;
    }
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = path + " cannot be read";
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> Pem(EVP_PKEY* key, bool privateKey) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        return std::nullopt;
    }
    const int done = privateKey ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                                           nullptr, nullptr)
                                : PEM_write_bio_PUBKEY(bio.get(), key);
    if (done != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

// Writes `text` to a new file of that mode beside `path`; returns its name, or nothing
// (with `error` set, and no file left) when it could not be written.
std::optional<std::string> WriteTemporary(const std::string& path, const std::string& text,
                                          mode_t mode, std::string& error) {
    const std::string temporary = path + ".tmp-klvpkg";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = path + ": cannot be written (" + std::strerror(errno) + ")";
        return std::nullopt;
    }
    // The mode asked for, whatever the umask lets through.
    bool ok = ::fchmod(fd, mode) == 0;
    size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        written += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        error = path + ": cannot be written (" + std::strerror(errno) + ")";
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    return temporary;
}

}  // namespace

struct PublicKey::Key {
    Pkey pkey;
};

struct KeyPair::Key {
    Pkey pkey;
};

PublicKey::PublicKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;

std::optional<PublicKey> PublicKey::Load(const std::string& path, std::string& error) {
    const auto text = ReadText(path, error);
    if (!text) {
        return std::nullopt;
    }
    Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
    Pkey pkey(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!pkey) {
        error = path + " is not a PEM public key (make one with klvpkg keygen)";
        return std::nullopt;
    }
    if (!IsP256(pkey.get())) {
        error = path + " is not an ECDSA P-256 public key";
        return std::nullopt;
    }
    const auto fingerprint = FingerprintOf(pkey.get());
    if (!fingerprint) {
        error = path + ": its fingerprint could not be computed";
        return std::nullopt;
    }
    PublicKey key(std::make_unique<Key>(Key{std::move(pkey)}));
    key.fingerprint_ = *fingerprint;
    return key;
}

bool PublicKey::Verifies(const Sha256Digest& digest, const Signature& signature) const {
    EcdsaSig sig(ECDSA_SIG_new());
    if (!sig) {
        return false;
    }
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (r == nullptr || s == nullptr || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0) {
        return false;
    }
    PkeyCtx ctx(EVP_PKEY_CTX_new(key_->pkey.get(), nullptr));
    const bool verified = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                          EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
                          EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength),
                                          digest.data(), digest.size()) == 1;
    OPENSSL_free(der);
    return verified;
}

KeyPair::KeyPair(std::unique_ptr<Key> key) : key_(std::move(key)) {}
KeyPair::~KeyPair() = default;
KeyPair::KeyPair(KeyPair&&) noexcept = default;
KeyPair& KeyPair::operator=(KeyPair&&) noexcept = default;

std::optional<KeyPair> KeyPair::Load(const std::string& path, std::string& error) {
    const auto text = ReadText(path, error);
    if (!text) {
        return std::nullopt;
    }
    Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
    Pkey pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!pkey) {
        error = path + " is not a PEM private key (make one with klvpkg keygen)";
        return std::nullopt;
    }
    if (!IsP256(pkey.get())) {
        error = path + " is not an ECDSA P-256 private key";
        return std::nullopt;
    }
    const auto fingerprint = FingerprintOf(pkey.get());
    if (!fingerprint) {
        error = path + ": its fingerprint could not be computed";
        return std::nullopt;
    }
    KeyPair key(std::make_unique<Key>(Key{std::move(pkey)}));
    key.fingerprint_ = *fingerprint;
    return key;
}

std::optional<KeyPair> KeyPair::Generate(std::string& error) {
    Pkey pkey(EVP_EC_gen("P-256"));
    if (!pkey) {
        error = "no P-256 key could be made";
        return std::nullopt;
    }
    const auto fingerprint = FingerprintOf(pkey.get());
    if (!fingerprint) {
        error = "the new key's fingerprint could not be computed";
        return std::nullopt;
    }
    KeyPair key(std::make_unique<Key>(Key{std::move(pkey)}));
    key.fingerprint_ = *fingerprint;
    return key;
}

bool KeyPair::Save(const std::string& privatePath, const std::string& publicPath, bool overwrite,
                   std::string& error) const {
    std::error_code code;
    for (const std::string& path : {privatePath, publicPath}) {
        if (!overwrite && std::filesystem::exists(std::filesystem::symlink_status(path, code))) {
            error = path + " already exists; pass --force to replace it";
            return false;
        }
    }
    const auto privatePem = Pem(key_->pkey.get(), true);
    const auto publicPem = Pem(key_->pkey.get(), false);
    if (!privatePem || !publicPem) {
        error = "the key could not be written as PEM";
        return false;
    }
    // Both files are written in full before either takes its name.
    const auto privateTemp = WriteTemporary(privatePath, *privatePem, 0600, error);
    if (!privateTemp) {
        return false;
    }
    const auto publicTemp = WriteTemporary(publicPath, *publicPem, 0644, error);
    if (!publicTemp || std::rename(privateTemp->c_str(), privatePath.c_str()) != 0 ||
        std::rename(publicTemp->c_str(), publicPath.c_str()) != 0) {
        if (publicTemp) {
            error = privatePath + ": cannot be written (" + std::strerror(errno) + ")";
            ::unlink(publicTemp->c_str());
        }
        ::unlink(privateTemp->c_str());
        return false;
    }
    return true;
}

std::optional<Signature> KeyPair::Sign(const Sha256Digest& digest) const {
    PkeyCtx ctx(EVP_PKEY_CTX_new(key_->pkey.get(), nullptr));
    size_t derLength = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &derLength, digest.data(), digest.size()) != 1) {
        return std::nullopt;
    }
    std::vector<unsigned char> der(derLength);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &derLength, digest.data(), digest.size()) != 1) {
        return std::nullopt;
    }
    const unsigned char* cursor = der.data();
    EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
    if (!sig) {
        return std::nullopt;
    }
    Signature raw{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32) {
        return std::nullopt;
    }
    return raw;
}

}  // namespace klv::package
