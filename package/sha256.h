#pragma once
// SHA-256 from the system: OpenSSL's libcrypto on Linux, CNG on Windows. One
// implementation per OS (sha256_posix.cpp, sha256_win32.cpp); no hash of our own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace klv::package {

using Sha256Digest = std::array<uint8_t, 32>;

// Feeds bytes in pieces; Final gives the digest once. A hash that the system could not
// set up or that failed on the way gives nothing.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const uint8_t* bytes, size_t length);
    std::optional<Sha256Digest> Final();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digest of one block of bytes.
std::optional<Sha256Digest> Sha256Of(const uint8_t* bytes, size_t length);

}  // namespace klv::package
