// The digest record: SHA-256 from the system, the sealing rule, and that no single bit
// of a sealed package can change unnoticed while the reader still reads the package as
// it reads one without the record.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_integrity.h"
#include "package/package_layout.h"
#include "package/package_writer.h"
#include "package/sha256.h"
#include "tests/package/package_test_support.h"

namespace {

using namespace klv::package;
using Package = std::vector<uint8_t>;

std::string Hex(const std::optional<Sha256Digest>& digest) {
    if (!digest) {
        return "none";
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : *digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

// --- SHA-256 from the system -------------------------------------------------------

struct HashCase {
    const char* name;
    std::string input;
    size_t piece;  // fed in pieces of this size (0: all at once)
    const char* digest;
};

void PrintTo(const HashCase& c, std::ostream* os) {
    *os << c.name;
}

class Sha256Known : public testing::TestWithParam<HashCase> {};

TEST_P(Sha256Known, GivesTheStandardDigest) {
    const HashCase& c = GetParam();
    Sha256 hash;
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.input.data());
    if (c.piece == 0) {
        hash.Update(bytes, c.input.size());
    } else {
        for (size_t at = 0; at < c.input.size(); at += c.piece) {
            hash.Update(bytes + at, std::min(c.piece, c.input.size() - at));
        }
    }
    EXPECT_EQ(Hex(hash.Final()), c.digest);
}

const HashCase kHashCases[] = {
    {"Empty", "", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"Abc", "abc", 0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"TwoBlocksInOddPieces", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7,
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"MillionAsInPieces", std::string(1'000'000, 'a'), 4096,
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

INSTANTIATE_TEST_SUITE_P(Vectors, Sha256Known, testing::ValuesIn(kHashCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sha256, FinalGivesTheDigestOnlyOnce) {
    Sha256 hash;
    EXPECT_TRUE(hash.Final().has_value());
    EXPECT_FALSE(hash.Final().has_value());
}

// --- Sealed packages ---------------------------------------------------------------

// A signer that needs no cryptography: the portable tests only need the record's
// bytes to be there and covered.
PackageContents::Signer FakeSigner() {
    PackageContents::Signer signer;
    for (size_t i = 0; i < signer.fingerprint.size(); ++i) {
        signer.fingerprint[i] = static_cast<uint8_t>(0xA0 + i);
    }
    signer.sign = [](const Sha256Digest& digest) {
        std::array<uint8_t, 64> signature{};
        for (size_t i = 0; i < signature.size(); ++i) {
            signature[i] = static_cast<uint8_t>(digest[i % 32] ^ i);
        }
        return std::optional(signature);
    };
    return signer;
}

PackageContents SmallContents() {
    PackageContents contents;
    contents.image1 = Filled(9, 0x11);
    contents.image2 = Filled(3, 0x51);
    contents.modelIds = {{'K', 'L', 'V', '2'}};
    contents.usbIds = {{0x0ABC, 0x1234}};
    contents.versionPrefixes = {"R20P-03."};
    contents.versionText = "V1";
    return contents;
}

struct Descriptor {
    bool valid;
    bool usable;
    std::vector<uint8_t> image1;
    std::vector<uint8_t> image2;
    std::string versionText;
    std::vector<std::string> models;
    std::vector<std::string> prefixes;
    std::vector<std::pair<uint16_t, uint16_t>> usb;
    bool operator==(const Descriptor&) const = default;
};

Descriptor Read(const Package& bytes) {
    FWPackage package;
    package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
    Descriptor d{package.valid, package.IsUsable(), {}, {}, package.versionText,
                 ModelIdsOf(package), PrefixesOf(package), UsbIdsOf(package)};
    d.image1.assign(package.image1.data.get(), package.image1.data.get() + package.image1.length);
    d.image2.assign(package.image2.data.get(), package.image2.data.get() + package.image2.length);
    return d;
}

Integrity VerdictOf(const Package& bytes) {
    return CheckIntegrity(bytes.data(), static_cast<uint32_t>(bytes.size())).verdict;
}

// A package whose scrambled region starts one byte into the body: the digest field
// then straddles rotated words, which the rule must still cover bit for bit.
Package SealedWithOffsetRegion() {
    PackageWriter writer;
    writer.Raw(DigestRecordBytes()).ModelIdRecord({'K', 'L', 'V', '2'}).Image(1, Filled(7));
    const auto length = static_cast<uint32_t>(writer.BodySize() - 1);
    Package bytes = writer.Build({kScrambleFlag, length, length, true});
    EXPECT_TRUE(SealPackage(bytes));
    return bytes;
}

struct SealedCase {
    const char* name;
    bool scrambled;
    bool signedToo;
};

void PrintTo(const SealedCase& c, std::ostream* os) {
    *os << c.name;
}

Package BuildSealed(const SealedCase& c) {
    PackageContents contents = SmallContents();
    contents.scrambled = c.scrambled;
    if (c.signedToo) {
        contents.signer = FakeSigner();
    }
    return BuildPackage(contents);
}

class Sealed : public testing::TestWithParam<SealedCase> {};

TEST_P(Sealed, ReadsAsWithoutTheRecordAndVerifies) {
    PackageContents plainContents = SmallContents();
    plainContents.scrambled = GetParam().scrambled;
    plainContents.digest = false;
    const Package without = BuildPackage(plainContents);
    const Package with = BuildSealed(GetParam());

    EXPECT_EQ(Read(with), Read(without));
    EXPECT_TRUE(Read(with).usable);
    EXPECT_EQ(VerdictOf(with), Integrity::Verified);
    EXPECT_EQ(VerdictOf(without), Integrity::Absent);
    const IntegrityReport report =
        CheckIntegrity(with.data(), static_cast<uint32_t>(with.size()), true);
    EXPECT_EQ(report.signature.has_value(), GetParam().signedToo);
    EXPECT_EQ(report.signedDigest.has_value(), GetParam().signedToo);
}

// Every bit of the package in turn: the reader refuses it, or the digest no longer
// matches. Never "verified", never "absent".
TEST_P(Sealed, EverySingleBitFlipIsNoticed) {
    const Package sealed = BuildSealed(GetParam());
    Package damaged = sealed;
    int unnoticed = 0;
    for (size_t at = 0; at < damaged.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            damaged[at] ^= static_cast<uint8_t>(1 << bit);
            if (Read(damaged).valid && VerdictOf(damaged) != Integrity::Mismatch) {
                ADD_FAILURE() << "bit " << bit << " of byte " << at << " of " << damaged.size();
                ++unnoticed;
            }
            damaged[at] = sealed[at];
        }
    }
    EXPECT_EQ(unnoticed, 0);
}

const SealedCase kSealedCases[] = {
    {"Scrambled", true, false},
    {"Plain", false, false},
    {"ScrambledAndSigned", true, true},
    {"PlainAndSigned", false, true},
};

INSTANTIATE_TEST_SUITE_P(Packages, Sealed, testing::ValuesIn(kSealedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SealedOffsetRegion, VerifiesAndNoticesEveryBitFlip) {
    const Package sealed = SealedWithOffsetRegion();
    ASSERT_TRUE(Read(sealed).usable);
    ASSERT_EQ(VerdictOf(sealed), Integrity::Verified);
    Package damaged = sealed;
    for (size_t at = 0; at < damaged.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            damaged[at] ^= static_cast<uint8_t>(1 << bit);
            EXPECT_FALSE(Read(damaged).valid && VerdictOf(damaged) != Integrity::Mismatch)
                << "bit " << bit << " of byte " << at;
            damaged[at] = sealed[at];
        }
    }
}

// How the records are told apart from an older package, and what counts as damage.
struct RecordCase {
    const char* name;
    std::function<void(Package&)> change;  // applied to a sealed plain package
    Integrity verdict;
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << c.name;
}

class Records : public testing::TestWithParam<RecordCase> {};

TEST_P(Records, GiveTheVerdict) {
    PackageContents contents = SmallContents();
    contents.scrambled = false;
    Package bytes = BuildPackage(contents);
    GetParam().change(bytes);
    const IntegrityReport report = CheckIntegrity(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(report.verdict, GetParam().verdict) << report.reason;
    EXPECT_EQ(report.reason.empty(), GetParam().verdict != Integrity::Mismatch);
}

// Offsets into the plain package: head 0-3, digest record 4-43 (field 12-43).
const RecordCase kRecordCases[] = {
    {"AsBuilt", [](Package&) {}, Integrity::Verified},
    {"HeadMarkCleared", [](Package& p) { p[2] = p[3] = '0'; }, Integrity::Mismatch},
    {"RecordTagChangedHeadMarked", [](Package& p) { p[5 + 1] = 'X'; }, Integrity::Mismatch},
    {"NeitherMarkNorRecord",
     [](Package& p) {
         p[2] = p[3] = '0';
         p[6] = 'X';
     },
     Integrity::Absent},
    {"UnknownDigestFormat", [](Package& p) { p[10] = 2; }, Integrity::Mismatch},
    {"RecordLengthChanged", [](Package& p) { p[5] = 37; }, Integrity::Mismatch},
    {"DigestChanged", [](Package& p) { p[kDigestFieldOffset + 31] ^= 1; }, Integrity::Mismatch},
    {"ImageByteChanged", [](Package& p) { p[p.size() - 20] ^= 0x80; }, Integrity::Mismatch},
    {"ResealedAfterAChange",
     [](Package& p) {
         p[p.size() - 20] ^= 0x80;
         SealPackage(p);
     },
     Integrity::Verified},
    {"CutToTheHead", [](Package& p) { p.resize(4); }, Integrity::Mismatch},
};

INSTANTIATE_TEST_SUITE_P(Cases, Records, testing::ValuesIn(kRecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Records, NoPackageAtAllIsAbsent) {
    EXPECT_EQ(CheckIntegrity(nullptr, 0).verdict, Integrity::Absent);
    const uint8_t tiny[3] = {'K', 'L', '0'};
    EXPECT_EQ(CheckIntegrity(tiny, 3).verdict, Integrity::Absent);
}

TEST(Records, SignedPackageNeedsItsDigest) {
    PackageContents contents = SmallContents();
    contents.digest = false;
    contents.signer = FakeSigner();
    EXPECT_FALSE(CheckContents(contents).empty());
    EXPECT_THROW(BuildPackage(contents), std::invalid_argument);
}

TEST(Records, FailedSigningWritesNoPackage) {
    PackageContents contents = SmallContents();
    contents.signer = FakeSigner();
    contents.signer->sign = [](const Sha256Digest&) { return std::optional<Signature>(); };
    EXPECT_THROW(BuildPackage(contents), std::runtime_error);
}

// The worked example of docs/package-format.md, byte for byte.
TEST(WorkedExample, MatchesTheDocument) {
    PackageContents contents;
    contents.image1 = {0x01, 0x02, 0x03, 0x04};
    contents.modelIds = {{0x4B, 0x4C, 0x56, 0x32}};
    contents.scrambled = false;
    const Package bytes = BuildPackage(contents);
    const std::string expected =
        "4b4c4447"                                  // "KL" "DG"
        "0026" "4b4c4447" "01" "00"                 // digest record: type 0, L 38, "KLDG", 1, 0
        "81b164b97b98a8cf25e39df64a8c4ee8" "0055421e1d7d3fa33204ed121b575c50"  // the digest
        "1004" "4b4c5632"                           // model id
        "0100" "04000000" "01020304"                // image1
        "12345678abcd" "0000" "00000000" "00000000" "4c56";  // trailer, plain
    std::string hex;
    for (uint8_t b : bytes) {
        static constexpr char kDigits[] = "0123456789abcdef";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    EXPECT_EQ(hex, expected);
    Package zeroed = bytes;
    std::fill(zeroed.begin() + kDigestFieldOffset, zeroed.begin() + kDigestFieldOffset + 32, 0);
    EXPECT_EQ(Hex(Sha256Of(zeroed.data(), zeroed.size())), hex.substr(24, 64));
}

}  // namespace
