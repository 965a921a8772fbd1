// MatchVersionPrefix and LoadFromResource.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_writer.h"
#include "package/testing/fake_package_resource.h"
#include "tests/package/package_test_support.h"

namespace {

struct MatchCase {
    const char* name;
    std::vector<std::string> prefixes;
    std::string text;
    int32_t textLength;
    bool matches;
};

const MatchCase kMatchCases[] = {
    {"LongerTextBeginningWithPrefix", {"R2P"}, "R2P-", 4, true},
    {"TextEqualToPrefix", {"R2P"}, "R2P", 3, true},
    {"TextShorterThanPrefix", {"R2P"}, "R2", 2, false},
    {"LengthCutsTextShort", {"R2P"}, "R2P-", 2, false},
    {"PrefixFurtherIn", {"R2P"}, "XR2P", 4, false},
    {"CaseDiffers", {"R2P"}, "r2p-", 4, false},
    {"ZeroLength", {"R2P"}, "R2P", 0, false},
    {"NegativeLength", {"R2P"}, "R2P", -1, false},
    {"EmptyList", {}, "R2P", 3, false},
    {"SecondEntryMatches", {"R20P-02.", "R20P-03."}, "R20P-03.0100", 12, true},
    {"LongEntrySkippedShortOneMatches", {"R20P-03.0100X", "R20"}, "R20P", 4, true},
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

class MatchVersionPrefixTest : public testing::TestWithParam<MatchCase> {};

TEST_P(MatchVersionPrefixTest, ComparesLeadingBytes) {
    const MatchCase& c = GetParam();
    klv::package::PackageWriter writer;
    for (const std::string& prefix : c.prefixes) {
        writer.PrefixRecord(prefix);
    }
    const std::vector<uint8_t> bytes = writer.Record(0, {}).Plain();
    FWPackage package;
    package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
    ASSERT_EQ(package.versionPrefixes.size(), c.prefixes.size());

    const auto* text = reinterpret_cast<const uint8_t*>(c.text.data());
    EXPECT_EQ(package.MatchVersionPrefix(text, c.textLength), c.matches);
}

INSTANTIATE_TEST_SUITE_P(Texts, MatchVersionPrefixTest, testing::ValuesIn(kMatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

class LoadFromResourceTest : public testing::Test {
  protected:
    void TearDown() override { SetFakeEmbeddedPackage(nullptr, 0); }
};

TEST_F(LoadFromResourceTest, NoPackageLeavesDescriptorEmpty) {
    SetFakeEmbeddedPackage(nullptr, 0);
    FWPackage package;
    EXPECT_FALSE(package.LoadFromResource());
    EXPECT_FALSE(package.valid);
}

TEST_F(LoadFromResourceTest, EmptyPackageIsNoPackage) {
    static const uint8_t kByte = 0;
    SetFakeEmbeddedPackage(&kByte, 0);
    FWPackage package;
    EXPECT_FALSE(package.LoadFromResource());
    EXPECT_FALSE(package.valid);
}

TEST_F(LoadFromResourceTest, ParsesWhatItFinds) {
    const std::vector<uint8_t> bytes =
        klv::package::PackageWriter().Image(1, Filled(9)).VersionTextRecord("V9").Scrambled();
    SetFakeEmbeddedPackage(bytes.data(), static_cast<uint32_t>(bytes.size()));
    FWPackage package;
    ASSERT_TRUE(package.LoadFromResource());
    EXPECT_TRUE(package.IsUsable());
    EXPECT_STREQ(package.versionText, "V9");
}

TEST_F(LoadFromResourceTest, InvalidPackageStillLoads) {
    const std::vector<uint8_t> bytes = klv::package::PackageWriter().Record(3, {}).Plain();
    SetFakeEmbeddedPackage(bytes.data(), static_cast<uint32_t>(bytes.size()));
    FWPackage package;
    EXPECT_TRUE(package.LoadFromResource());
    EXPECT_FALSE(package.valid);
}

}  // namespace
