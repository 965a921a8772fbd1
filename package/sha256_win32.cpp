// SHA-256 through CNG (bcrypt.dll, part of every Windows since Vista): a hash object
// fed in pieces, so that a package can be hashed without a copy of it.
#include <windows.h>

#include <bcrypt.h>

#include <vector>

#include "package/sha256.h"

namespace klv::package {

namespace {
bool Succeeded(NTSTATUS status) {
    return status >= 0;
}
}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;
    bool failed = false;
    ~State() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.failed = true;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        s.algorithm = nullptr;
        return;
    }
    DWORD objectLength = 0;
    ULONG written = 0;
    if (!Succeeded(BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH,
                                     reinterpret_cast<PUCHAR>(&objectLength), sizeof(objectLength),
                                     &written, 0))) {
        return;
    }
    s.object.resize(objectLength);
    if (!Succeeded(BCryptCreateHash(s.algorithm, &s.hash, s.object.data(), objectLength, nullptr,
                                    0, 0))) {
        s.hash = nullptr;
        return;
    }
    s.failed = false;
}

Sha256::~Sha256() = default;

void Sha256::Update(const uint8_t* bytes, size_t length) {
    State& s = *state_;
    // BCryptHashData takes at most 4 GiB - 1 at a time.
    while (!s.failed && length > 0) {
        const ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        s.failed = !Succeeded(BCryptHashData(s.hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        length -= piece;
    }
}

std::optional<Sha256Digest> Sha256::Final() {
    State& s = *state_;
    if (s.failed) {
        return std::nullopt;
    }
    s.failed = true;
    Sha256Digest digest{};
    if (!Succeeded(BCryptFinishHash(s.hash, digest.data(), static_cast<ULONG>(digest.size()), 0))) {
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
