// Which words Unscramble turns back, and when it must leave the buffer alone.

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_layout.h"
#include "package/package_writer.h"
#include "tests/package/package_test_support.h"

namespace {

using klv::package::kScrambleFlag;
using klv::package::LoadLe32;
using klv::package::PackageWriter;
using klv::package::StoreLe32;

constexpr uint32_t kBody = 32;
constexpr int kUnchanged = -1;

struct UnscrambleCase {
    const char* name;
    uint16_t flag;
    uint32_t length;
    uint32_t count;
    int words;  // words rotated from the region's start, or kUnchanged
};

const UnscrambleCase kCases[] = {
    {"Count4RotatesNone", kScrambleFlag, kBody, 4, 0},
    {"Count5RotatesOne", kScrambleFlag, kBody, 5, 1},
    {"Count8RotatesOne", kScrambleFlag, kBody, 8, 1},
    {"Count9RotatesTwo", kScrambleFlag, kBody, 9, 2},
    {"Count32LeavesLastWholeWord", kScrambleFlag, kBody, 32, 7},
    {"CountZeroMeansLength", kScrambleFlag, kBody, 0, 7},
    {"LengthAndCountZero", kScrambleFlag, 0, 0, 0},
    {"RegionOfLastWordOnly", kScrambleFlag, 4, 0, 0},
    {"RegionOfLastFiveBytes", kScrambleFlag, 5, 0, 1},
    // From the last 4 body bytes: 5 words end 2 bytes before the package's end, 6
    // would end 2 bytes after it.
    {"CountCarryingIntoTrailer", kScrambleFlag, 4, 24, 5},
    {"CountCarryingPastTheEnd", kScrambleFlag, 4, 25, kUnchanged},
    {"RegionLongerThanBody", kScrambleFlag, kBody + 1, 4, kUnchanged},
    {"CountLongerThanBody", kScrambleFlag, 4, kBody + 1, kUnchanged},
    // The whole body as the region: one count above the body would still keep every
    // word inside the package, so only the count check refuses it.
    {"CountOneAboveBodyOverWholeBody", kScrambleFlag, kBody, kBody + 1, kUnchanged},
    {"CountOneWordAboveBodyOverWholeBody", kScrambleFlag, kBody, kBody + 5, kUnchanged},
    {"PlainFlag", 0, kBody, kBody, kUnchanged},
    {"OtherFlag", 0x4001, kBody, kBody, kUnchanged},
};

void PrintTo(const UnscrambleCase& c, std::ostream* os) {
    *os << c.name;
}

class UnscrambleTest : public testing::TestWithParam<UnscrambleCase> {};

TEST_P(UnscrambleTest, RotatesExactlyTheCoveredWords) {
    const UnscrambleCase& c = GetParam();
    const std::vector<uint8_t> stored = PackageWriter()
                                            .Record(0, Filled(kBody - 2, 0x21))
                                            .Build({c.flag, c.length, c.count, false});
    ASSERT_EQ(stored.size(), kBody + FWPackage::kMinimumSize);

    std::vector<uint8_t> expected = stored;
    if (c.words != kUnchanged) {
        const size_t start = stored.size() - FWPackage::kTrailerSize - c.length;
        for (int i = 0; i < c.words; ++i) {
            uint8_t* word = expected.data() + start + 4 * i;
            StoreLe32(word, std::rotl(LoadLe32(word), 17));
        }
        // The flag is cleared last, after any rotation that reached it.
        expected[expected.size() - 12] = 0;
        expected[expected.size() - 11] = 0;
    }

    std::vector<uint8_t> buffer = stored;
    FWPackage::Unscramble(buffer.data(), static_cast<uint32_t>(buffer.size()));
    EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, UnscrambleTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<UnscrambleCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p) {
                                 if (*p != ' ') {
                                     name += *p;
                                 }
                             }
                             return name;
                         });

TEST(UnscrambleTest, LeavesBufferWithoutMagicAlone) {
    std::vector<uint8_t> stored = PackageWriter().Record(0, Filled(10)).Scrambled();
    stored[0] = 'k';
    std::vector<uint8_t> buffer = stored;
    FWPackage::Unscramble(buffer.data(), static_cast<uint32_t>(buffer.size()));
    EXPECT_EQ(buffer, stored);
}

TEST(UnscrambleTest, UndoesWriterScrambling) {
    const PackageWriter writer = PackageWriter().Record(0, Filled(41)).Record(0, Filled(7));
    const std::vector<uint8_t> plain = writer.Plain();
    std::vector<uint8_t> buffer = writer.Scrambled();
    ASSERT_NE(buffer, plain);
    FWPackage::Unscramble(buffer.data(), static_cast<uint32_t>(buffer.size()));
    // Everything but the trailer's length and count fields, which a plain package
    // leaves at 0.
    buffer.resize(buffer.size() - 10);
    EXPECT_EQ(buffer, std::vector<uint8_t>(plain.begin(), plain.end() - 10));
}

// The writer scrambles exactly the words the reader turns back, and nothing for trailer
// fields the reader refuses.
TEST(ScrambleRegionTest, AgreesWithTheReaderAroundTheBodysEnd) {
    const std::vector<uint8_t> plain = PackageWriter().Record(0, Filled(kBody - 2, 0x21)).Plain();
    struct Case {
        uint32_t length;
        uint32_t count;
        bool scrambles;
    };
    for (const Case c : {Case{kBody, kBody, true}, Case{kBody, kBody + 1, false},
                         Case{kBody, kBody + 5, false}, Case{4, 25, false}}) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.count));
        std::vector<uint8_t> package = plain;
        StoreLe32(package.data() + package.size() - 10, c.length);
        StoreLe32(package.data() + package.size() - 6, c.count);
        package[package.size() - 12] = kScrambleFlag & 0xFF;
        package[package.size() - 11] = kScrambleFlag >> 8;
        const std::vector<uint8_t> stored = package;

        EXPECT_EQ(klv::package::ScrambleRegion(package, c.length, c.count), c.scrambles);
        if (!c.scrambles) {
            EXPECT_EQ(package, stored) << "refused, yet written";
            continue;
        }
        EXPECT_NE(package, stored);
        FWPackage::Unscramble(package.data(), static_cast<uint32_t>(package.size()));
        std::vector<uint8_t> expected = stored;
        expected[expected.size() - 12] = 0;
        expected[expected.size() - 11] = 0;
        EXPECT_EQ(package, expected);
    }
}

}  // namespace
