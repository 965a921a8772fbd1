// SHA-256 through OpenSSL's libcrypto.
#include <openssl/evp.h>

#include "package/sha256.h"

namespace klv::package {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    state_->failed = state_->context == nullptr ||
                     EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const uint8_t* bytes, size_t length) {
    if (state_->failed || length == 0) {
        return;
    }
    state_->failed = EVP_DigestUpdate(state_->context, bytes, length) != 1;
}

std::optional<Sha256Digest> Sha256::Final() {
    if (state_->failed) {
        return std::nullopt;
    }
    Sha256Digest digest{};
    unsigned int length = 0;
    // A second Final is a failure, not the digest of nothing.
    state_->failed = true;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::optional<Sha256Digest> Sha256Of(const uint8_t* bytes, size_t length) {
    Sha256 hash;
    hash.Update(bytes, length);
    return hash.Final();
}

}  // namespace klv::package
