// Keys and signatures through the system's library (OpenSSL natively, CNG under Wine),
// checked against keys and a signature OpenSSL made once (data/README.md): a package
// signed on Linux must verify on Windows, and a key has one fingerprint everywhere.
#include "package/package_signing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

namespace klv::package {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string kData = KLV_SIGNING_TEST_DATA;

std::string Data(const std::string& name) {
    return kData + "/" + name;
}

// SHA-256 of the DER of data/p256_public.pem, from
// openssl pkey -pubin -in p256_public.pem -outform DER | sha256sum
constexpr char kFingerprint[] = "4818c6ce3cfff02f8a84e8cb87f70b030be292a096fb131c7db7e58d99a12c17";

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename Bytes>
Bytes ReadFixed(const std::string& name) {
    const std::string text = ReadFile(Data(name));
    Bytes bytes{};
    EXPECT_EQ(text.size(), bytes.size()) << name;
    std::copy_n(text.begin(), std::min(text.size(), bytes.size()), bytes.begin());
    return bytes;
}

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
  public:
    TempDir() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("klv-signing-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(Utf8(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PackageSigning, OpenSslSignatureVerifiesAndAnyChangeFailsIt) {
    std::string error;
    const auto key = PublicKey::Load(Data("p256_public.pem"), error);
    ASSERT_TRUE(key) << error;
    const auto digest = ReadFixed<Sha256Digest>("digest.bin");
    const auto signature = ReadFixed<Signature>("signature.bin");

    struct Case {
        const char* name;
        std::function<void(Sha256Digest&, Signature&)> change;
        bool verifies;
    };
    const Case cases[] = {
        {"as OpenSSL made it", [](Sha256Digest&, Signature&) {}, true},
        {"first digest bit", [](Sha256Digest& d, Signature&) { d[0] ^= 0x80; }, false},
        {"last digest bit", [](Sha256Digest& d, Signature&) { d[31] ^= 0x01; }, false},
        {"a bit of r", [](Sha256Digest&, Signature& s) { s[0] ^= 0x01; }, false},
        {"a bit of s", [](Sha256Digest&, Signature& s) { s[63] ^= 0x01; }, false},
        {"r and s swapped",
         [](Sha256Digest&, Signature& s) {
             std::swap_ranges(s.begin(), s.begin() + 32, s.begin() + 32);
         },
         false},
        {"all zero", [](Sha256Digest&, Signature& s) { s.fill(0); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sha256Digest d = digest;
        Signature s = signature;
        c.change(d, s);
        EXPECT_EQ(key->Verifies(d, s), c.verifies);
    }
}

// Every form OpenSSL writes the one key in gives its fingerprint, and a private key
// signs so that the public key verifies it.
TEST(PackageSigning, OpenSslKeysLoadWithTheirFingerprint) {
    std::string error;
    const auto publicKey = PublicKey::Load(Data("p256_public.pem"), error);
    ASSERT_TRUE(publicKey) << error;
    EXPECT_EQ(FingerprintHex(publicKey->Fingerprint()), kFingerprint);

    const auto digest = ReadFixed<Sha256Digest>("digest.bin");
    for (const char* name : {"p256_private.pem", "p256_ec_private.pem"}) {
        SCOPED_TRACE(name);
        error.clear();
        const auto pair = KeyPair::Load(Data(name), error);
        ASSERT_TRUE(pair) << error;
        EXPECT_EQ(FingerprintHex(pair->Fingerprint()), kFingerprint);
        const auto signature = pair->Sign(digest);
        ASSERT_TRUE(signature);
        EXPECT_TRUE(publicKey->Verifies(digest, *signature));
    }
}

TEST(PackageSigning, RefusedKeyFilesSayWhy) {
    enum Kind { Public, Private };
    struct Case {
        const char* file;
        Kind kind;
        const char* error;  // after the path
    };
    const char* const kNotPemPublic = " is not a PEM public key (make one with klvpkg keygen)";
    const char* const kNotPemPrivate = " is not a PEM private key (make one with klvpkg keygen)";
    const Case cases[] = {
        {"p384_public.pem", Public, " is not an ECDSA P-256 public key"},
        {"p384_private.pem", Private, " is not an ECDSA P-256 private key"},
        {"rsa_public.pem", Public, " is not an ECDSA P-256 public key"},
        {"rsa_private.pem", Private, " is not an ECDSA P-256 private key"},
        {"garbage_public.pem", Public, kNotPemPublic},
        {"garbage_private.pem", Private, kNotPemPrivate},
        {"p256_private.pem", Public, kNotPemPublic},
        {"p256_public.pem", Private, kNotPemPrivate},
        {"digest.bin", Public, kNotPemPublic},
        {"missing.pem", Public, " does not exist"},
        {"missing.pem", Private, " does not exist"},
        {"", Public, " is not a regular file"},
    };
    for (const Case& c : cases) {
        const std::string path = Data(c.file);
        SCOPED_TRACE(path);
        std::string error;
        const bool loaded = c.kind == Public ? PublicKey::Load(path, error).has_value()
                                             : KeyPair::Load(path, error).has_value();
        EXPECT_FALSE(loaded);
        EXPECT_EQ(error, path + c.error);
    }
}

// OpenSSL works the public point out itself; where the system's library cannot, the key
// is refused plainly, never taken with a wrong point.
TEST(PackageSigning, PrivateKeyWithoutItsPointLoadsRightOrIsRefused) {
    std::string error;
    const auto pair = KeyPair::Load(Data("p256_private_no_public.pem"), error);
    if (pair) {
        EXPECT_EQ(FingerprintHex(pair->Fingerprint()), kFingerprint);
    } else {
        EXPECT_THAT(error, HasSubstr("does not hold its public key"));
    }
}

// In a folder whose name is not ASCII: the files get that name, not a mangled one.
TEST(PackageSigning, NewKeySavedLoadsAndSigns) {
    TempDir temp;
    const fs::path folder = temp.path() / fs::path(u8"Prüfung-ключ");
    fs::create_directories(folder);
    const std::string privatePath = Utf8(folder / "release.key");
    const std::string publicPath = Utf8(folder / u8"release-öffentlich.pem");

    std::string error;
    const auto made = KeyPair::Generate(error);
    ASSERT_TRUE(made) << error;
    const auto other = KeyPair::Generate(error);
    ASSERT_TRUE(other) << error;
    EXPECT_NE(made->Fingerprint(), other->Fingerprint());
    ASSERT_TRUE(made->Save(privatePath, publicPath, false, error)) << error;
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"release-öffentlich.pem", "release.key"}));

    const auto publicKey = PublicKey::Load(publicPath, error);
    ASSERT_TRUE(publicKey) << error;
    const auto loaded = KeyPair::Load(privatePath, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(publicKey->Fingerprint(), made->Fingerprint());
    EXPECT_EQ(loaded->Fingerprint(), made->Fingerprint());

    const auto digest = ReadFixed<Sha256Digest>("digest.bin");
    for (const KeyPair* signer : {&*made, &*loaded}) {
        const auto signature = signer->Sign(digest);
        ASSERT_TRUE(signature);
        EXPECT_TRUE(publicKey->Verifies(digest, *signature));
        Sha256Digest changed = digest;
        changed[5] ^= 0x10;
        EXPECT_FALSE(publicKey->Verifies(changed, *signature));
    }
    const auto foreign = other->Sign(digest);
    ASSERT_TRUE(foreign);
    EXPECT_FALSE(publicKey->Verifies(digest, *foreign));
}

// What Save writes is what OpenSSL wrote for the same key, byte for byte.
TEST(PackageSigning, SaveWritesTheFilesOpenSslWrites) {
    const std::string expectedPrivate = ReadFile(Data("p256_private.pem"));
    const std::string expectedPublic = ReadFile(Data("p256_public.pem"));
    for (const char* name : {"p256_private.pem", "p256_ec_private.pem"}) {
        SCOPED_TRACE(name);
        TempDir temp;
        std::string error;
        const auto pair = KeyPair::Load(Data(name), error);
        ASSERT_TRUE(pair) << error;
        ASSERT_TRUE(
            pair->Save(Utf8(temp.path() / "k.key"), Utf8(temp.path() / "k.pem"), false, error))
            << error;
        EXPECT_EQ(ReadFile(temp.path() / "k.key"), expectedPrivate);
        EXPECT_EQ(ReadFile(temp.path() / "k.pem"), expectedPublic);
    }
}

TEST(PackageSigning, SaveKeepsAnExistingFileUnlessToldToReplaceIt) {
    std::string error;
    const auto pair = KeyPair::Load(Data("p256_private.pem"), error);
    ASSERT_TRUE(pair) << error;
    for (const char* existing : {"k.key", "k.pem"}) {
        SCOPED_TRACE(existing);
        TempDir temp;
        const fs::path privatePath = temp.path() / "k.key";
        const fs::path publicPath = temp.path() / "k.pem";
        std::ofstream(temp.path() / existing, std::ios::binary) << "not a key\n";

        EXPECT_FALSE(pair->Save(Utf8(privatePath), Utf8(publicPath), false, error));
        EXPECT_EQ(error,
                  Utf8(temp.path() / existing) + " already exists; pass --force to replace it");
        EXPECT_EQ(ReadFile(temp.path() / existing), "not a key\n");
        EXPECT_EQ(Names(temp.path()), std::vector<std::string>{existing});

        ASSERT_TRUE(pair->Save(Utf8(privatePath), Utf8(publicPath), true, error)) << error;
        EXPECT_EQ(ReadFile(privatePath), ReadFile(Data("p256_private.pem")));
        EXPECT_EQ(ReadFile(publicPath), ReadFile(Data("p256_public.pem")));
        EXPECT_EQ(Names(temp.path()), (std::vector<std::string>{"k.key", "k.pem"}));
    }
}

}  // namespace
}  // namespace klv::package
