// The package linked into this test program (as the product links its own): found,
// parsed and, for the demo package, usable with the demo's identifiers. The same
// source is built a second time around the unusable package.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/fw_package.h"
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

}  // namespace
