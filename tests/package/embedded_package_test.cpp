// The package linked into this test program (as the product links its own): found,
// parsed and, for the demo package, usable with the demo's identifiers. The same
// source is built a second time around the unusable package.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_integrity.h"
#include "package/package_resource.h"
#include "tests/package/package_test_support.h"

namespace {

constexpr bool kDemoPackage = KLV_EMBEDS_DEMO_PACKAGE;

TEST(KLV_EMBEDDED_SUITE, IsFoundAndLoads) {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(FindEmbeddedPackage(&bytes, &size));
    ASSERT_GE(size, FWPackage::kMinimumSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 2), "KL");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes) + size - 2, 2), "LV");

    FWPackage package;
    ASSERT_TRUE(package.LoadFromResource());
    EXPECT_TRUE(package.valid);
    EXPECT_EQ(package.IsUsable(), kDemoPackage);
}

// The values res/demo/CMakeLists.txt and make_demo_images give the demo package.
TEST(KLV_EMBEDDED_SUITE, CarriesTheDemoContents) {
    FWPackage package;
    ASSERT_TRUE(package.LoadFromResource());
    EXPECT_EQ(package.image1.length, kDemoPackage ? 1'441'793u : 0u);
    EXPECT_EQ(package.image2.length, 307'202u);
    EXPECT_STREQ(package.versionText, "Ver. 03.0100");
    EXPECT_EQ(ModelIdsOf(package), (std::vector<std::string>{"KLV2", "KLV3"}));
    EXPECT_EQ(PrefixesOf(package), (std::vector<std::string>{"R20P-02.", "R20P-03."}));
    EXPECT_EQ(UsbIdsOf(package),
              (std::vector<std::pair<uint16_t, uint16_t>>{{0x0ABC, 0x1234}, {0x0ABC, 0x1235}}));
}

// The demo package is built with its digest; the unusable one is written without.
TEST(KLV_EMBEDDED_SUITE, DigestIsVerifiedOrAbsent) {
    EXPECT_EQ(klv::package::EmbeddedPackageIntegrity(),
              kDemoPackage ? klv::package::Integrity::Verified : klv::package::Integrity::Absent);
}

#if KLV_EMBEDS_DEMO_PACKAGE
// A sample of single-bit changes across the whole demo package: the head, the digest
// record, the identifiers, both images, their ends and the trailer, and evenly spread
// positions in between. Each one leaves the package invalid or its digest unmatched.
TEST(KLV_EMBEDDED_SUITE, SampledBitFlipsAreNoticed) {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(FindEmbeddedPackage(&bytes, &size));
    std::vector<uint8_t> damaged(bytes, bytes + size);
    std::vector<uint32_t> positions;
    for (uint32_t at = 0; at < 160; at += 3) {
        positions.push_back(at);  // head, digest record, identifiers
    }
    for (uint32_t at = size - 40; at < size; ++at) {
        positions.push_back(at);  // the end of image1 and the trailer
    }
    for (uint32_t k = 1; k < 48; ++k) {
        positions.push_back(static_cast<uint32_t>(uint64_t{size} * k / 48));
    }
    for (uint32_t at : positions) {
        const int bit = static_cast<int>(at % 8);
        damaged[at] ^= static_cast<uint8_t>(1 << bit);
        FWPackage package;
        package.Parse(damaged.data(), size);
        const auto verdict = klv::package::CheckIntegrity(damaged.data(), size).verdict;
        EXPECT_TRUE(!package.valid || verdict == klv::package::Integrity::Mismatch)
            << "bit " << bit << " of byte " << at;
        damaged[at] = bytes[at];
    }
}
#endif  // the unusable package carries no digest

}  // namespace
