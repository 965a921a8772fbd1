#include "protocol/packet_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

PacketHeader Header(uint8_t command, uint8_t subCommand, uint16_t length) {
    PacketHeader header;
    header.command = command;
    header.subCommand = subCommand;
    header.length = length;
    return header;
}

struct FixedLength {
    uint8_t command;
    uint8_t subCommand;
    uint16_t length;
};

constexpr FixedLength kFixed[] = {
    {0x00, 0x00, 16}, {0x00, 0x01, 16}, {0x00, 0x10, 14}, {0x00, 0x11, 14},
    {0x00, 0x20, 2},  {0x00, 0x21, 2},  {0x00, 0x30, 0},  {0x00, 0x31, 0},
    {0x03, 0x01, 2},  {0x03, 0x02, 2},  {0x03, 0xFE, 2},
};

TEST(PacketHeader, FixedLengthPairsNeedExactlyTheirLength) {
    for (const FixedLength& row : kFixed) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << int(row.command) << "/" << int(row.subCommand));
        EXPECT_TRUE(Header(row.command, row.subCommand, row.length).IsValidHeader());
        EXPECT_FALSE(Header(row.command, row.subCommand, row.length + 1).IsValidHeader());
        EXPECT_FALSE(Header(row.command, row.subCommand, 0xFFFF).IsValidHeader());
        if (row.length > 0) {
            EXPECT_FALSE(Header(row.command, row.subCommand, row.length - 1).IsValidHeader());
        }
    }
}

TEST(PacketHeader, DataGroupTakesAnyLength) {
    for (const uint8_t sub : {0x01, 0x02, 0x03, 0x04, 0x05, 0x10, 0x11, 0x12}) {
        for (const uint16_t length : {0, 1, 6, 0xFFFF}) {
            EXPECT_TRUE(Header(0x01, sub, length).IsValidHeader())
                << "01/" << std::hex << int(sub) << " length " << std::dec << length;
        }
    }
}

TEST(PacketHeader, UnlistedPairsAreMalformed) {
    const std::vector<std::pair<uint8_t, uint8_t>> unlisted = {
        {0x00, 0x02}, {0x00, 0x12}, {0x00, 0x22}, {0x00, 0x32}, {0x00, 0xFF}, {0x01, 0x00},
        {0x01, 0x06}, {0x01, 0x13}, {0x01, 0xFF}, {0x02, 0x01}, {0x02, 0x00}, {0x03, 0x00},
        {0x03, 0x03}, {0x03, 0xFF}, {0x04, 0x01}, {0x80, 0x01}, {0xFF, 0xFF},
    };
    for (const auto& [command, sub] : unlisted) {
        for (const uint16_t length : {0, 2, 14, 16}) {
            EXPECT_FALSE(Header(command, sub, length).IsValidHeader())
                << std::hex << int(command) << "/" << int(sub) << " length " << std::dec << length;
        }
    }
}

TEST(PacketHeader, LengthIsLittleEndianOnTheWire) {
    const uint8_t wire[4] = {0x01, 0x03, 0x34, 0x12};
    const PacketHeader header = PacketHeader::FromBytes(wire);
    EXPECT_EQ(header.command, 0x01);
    EXPECT_EQ(header.subCommand, 0x03);
    EXPECT_EQ(header.length, 0x1234);

    uint8_t out[4] = {};
    Header(0x03, 0x01, 0xFFFE).ToBytes(out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x03, 0x01, 0xFE, 0xFF}));
}

}  // namespace
