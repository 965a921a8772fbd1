#include "discovery/usb_instance_id.h"

#include <gtest/gtest.h>

namespace {

struct HexCase {
    const char* text;
    uint16_t value;
};

std::ostream& operator<<(std::ostream& os, const HexCase& c) {
    return os << '"' << c.text << '"';
}

class ParseHex16Table : public ::testing::TestWithParam<HexCase> {};

TEST_P(ParseHex16Table, ReadsAsStrtolBase16LowBits) {
    EXPECT_EQ(ParseHex16(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseHex16Table,
    ::testing::Values(HexCase{"0ABC&PID", 0x0ABC}, HexCase{"0abc", 0x0ABC},
                      HexCase{"12345", 0x2345}, HexCase{"", 0}, HexCase{"&PID_1234", 0},
                      HexCase{"0X1F", 0x1F}, HexCase{"0x", 0}, HexCase{"0XG", 0},
                      HexCase{" \t\n1F", 0x1F}, HexCase{"+1F", 0x1F}, HexCase{"-1", 0xFFFF},
                      HexCase{"-0X10", 0xFFF0}, HexCase{"- 1", 0}, HexCase{"ABCDZ", 0xABCD},
                      // Saturates at the 32-bit long range, as on Windows: a 64-bit
                      // strtol would give 0x0001 and 0x6789 here.
                      HexCase{"FFFF0001", 0xFFFF}, HexCase{"123456789", 0xFFFF},
                      HexCase{"7FFFFFFF", 0xFFFF}, HexCase{"-80000000", 0x0000},
                      HexCase{"-FFFFFFFFFFFFFFFFFFFF", 0x0000},
                      HexCase{"000000000000000000001234", 0x1234}));

TEST(FindUsbIds, NeedsBothMarkers) {
    EXPECT_FALSE(FindUsbIds("USB\\VID_0ABC\\X"));
    EXPECT_FALSE(FindUsbIds("USB\\PID_1234\\X"));
    const std::optional<UsbId> ids = FindUsbIds("USB\\VID_0ABC&PID_1234\\X");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendorId, 0x0ABC);
    EXPECT_EQ(ids->productId, 0x1234);
}

TEST(ReadUsbIds, UpperCasesBeforeSearching) {
    const std::optional<UsbId> ids = ReadUsbIds(u"usb\\pid_00ff&vid_0x1a\\abc");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendorId, 0x001A);
    EXPECT_EQ(ids->productId, 0x00FF);
}

}  // namespace
