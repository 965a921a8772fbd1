// The record walk: what a package yields, as a table of packages and what the reader
// must make of them.

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_layout.h"
#include "package/package_writer.h"
#include "tests/package/package_test_support.h"

namespace {

using klv::package::kRecordImage1;
using klv::package::kRecordImage2;
using klv::package::kRecordModelId;
using klv::package::kRecordSkip;
using klv::package::kRecordUsbId;
using klv::package::kRecordVersionPrefix;
using klv::package::kRecordVersionText;
using klv::package::kScrambleFlag;
using klv::package::PackageWriter;
using klv::package::TrailerFields;

using Package = std::vector<uint8_t>;

struct Expected {
    bool valid = false;
    bool usable = false;
    uint32_t image1 = 0;
    uint32_t image2 = 0;
    std::string versionText;
    std::vector<std::string> modelIds;
    std::vector<std::string> prefixes;
    std::vector<std::pair<uint16_t, uint16_t>> usbIds;
};

struct ParseCase {
    const char* name;
    std::function<Package()> build;
    Expected expected;
};

const ModelId kModel{'K', 'L', 'V', '2'};

// A body that uses every record type, in the order releases have them.
PackageWriter FullBody() {
    PackageWriter writer;
    writer.ModelIdRecord(kModel)
        .UsbIdRecord(0x0ABC, 0x1234)
        .PrefixRecord("R20P-02.")
        .VersionTextRecord("Ver. 1")
        .Image(kRecordImage1, Filled(37))
        .Image(kRecordImage2, Filled(11));
    return writer;
}

const Expected kFull{true, true, 37, 11, "Ver. 1", {"KLV2"}, {"R20P-02."}, {{0x0ABC, 0x1234}}};

// A plain body whose last record is a 2-byte version text, at least 36 bytes long.
PackageWriter BodyEndingInText() {
    PackageWriter writer;
    writer.Record(kRecordSkip, Filled(30)).VersionTextRecord("AB");
    return writer;
}

uint32_t BodyOf(const PackageWriter& writer) {
    return static_cast<uint32_t>(writer.BodySize());
}

Package Shrunk(Package package, size_t size) {
    package.resize(size);
    return package;
}

Package WithByte(Package package, size_t at, uint8_t value) {
    package[at] = value;
    return package;
}

const std::vector<ParseCase>& Cases() {
    static const std::vector<ParseCase> cases = {
        // Size and magic.
        {"Only21Bytes",
         [] { return Shrunk(PackageWriter().Record(kRecordSkip, {}).Plain(), 21); },
         {}},
        // The first record is read at offset 4 even here: the trailer's first byte
        // (0x12) reads as a USB identifier record.
        {"Only22BytesIsNeverValid",
         [] { return PackageWriter().Plain(); },
         {.usbIds = {{0x7856, 0xCDAB}}}},
        {"SmallestValidIsOneEmptySkipRecord",
         [] { return PackageWriter().Record(kRecordSkip, {}).Plain(); },
         {.valid = true}},
        {"SmallestUsableHoldsOneImageByte",
         [] { return PackageWriter().Image(kRecordImage1, Filled(1)).Plain(); },
         {.valid = true, .usable = true, .image1 = 1}},
        {"BadHeadMagic", [] { return WithByte(FullBody().Plain(), 1, 'X'); }, {}},
        {"BadTailMagic",
         [] {
             Package p = FullBody().Plain();
             return WithByte(p, p.size() - 1, 'X');
         },
         {}},

        // Scrambling.
        {"Plain", [] { return FullBody().Plain(); }, kFull},
        {"ScrambledWholeBody", [] { return FullBody().Scrambled(); }, kFull},
        {"CountZeroMeansLength",
         [] {
             const PackageWriter w = FullBody();
             return w.Build({kScrambleFlag, BodyOf(w), 0, true});
         },
         kFull},
        {"RegionOfLastRecordsOnly",
         [] {
             const PackageWriter w = BodyEndingInText();
             return w.Build({kScrambleFlag, 8, 8, true});
         },
         {.valid = true, .versionText = "AB"}},
        {"OtherFlagLeavesScrambledBodyAsStored",
         [] {
             const PackageWriter w = FullBody();
             return w.Build({0x4001, BodyOf(w), BodyOf(w), true});
         },
         {}},
        {"RegionLongerThanBodyLeavesBodyAsStored",
         [] {
             const PackageWriter w = BodyEndingInText();
             return w.Build({kScrambleFlag, BodyOf(w) + 1, 8, false});
         },
         {.valid = true, .versionText = "AB"}},
        {"CountLongerThanBodyLeavesBodyAsStored",
         [] {
             const PackageWriter w = BodyEndingInText();
             return w.Build({kScrambleFlag, 4, BodyOf(w) + 1, false});
         },
         {.valid = true, .versionText = "AB"}},
        // Region = the last 4 body bytes; 8 words from there would run 10 bytes past the end.
        {"CountCarryingRotationPastTheEndLeavesBodyAsStored",
         [] {
             const PackageWriter w = BodyEndingInText();
             return w.Build({kScrambleFlag, 4, BodyOf(w), false});
         },
         {.valid = true, .versionText = "AB"}},

        // Where the walk ends.
        {"LastRecordOneBytePastTheBody",
         [] { return PackageWriter().RecordWithLength(kRecordSkip, 3, Filled(2)).Plain(); },
         {}},
        // Bytes after the last intended record are read as records.
        {"ZeroPaddingReadsAsSkipRecords",
         [] {
             return PackageWriter().ModelIdRecord(kModel).Raw(std::vector<uint8_t>(4, 0)).Plain();
         },
         {.valid = true, .modelIds = {"KLV2"}}},
        {"OddZeroPaddingRunsIntoTrailer",
         [] {
             return PackageWriter().ModelIdRecord(kModel).Raw(std::vector<uint8_t>(3, 0)).Plain();
         },
         {.modelIds = {"KLV2"}}},
        {"TrailingByteOfUndefinedType",
         [] {
             return PackageWriter().Record(kRecordSkip, {}).Raw(std::vector<uint8_t>{7, 0}).Plain();
         },
         {}},
        {"UndefinedType3KeepsEarlierRecords",
         [] { return PackageWriter().ModelIdRecord(kModel).Record(3, {}).Plain(); },
         {.modelIds = {"KLV2"}}},
        {"UndefinedType15", [] { return PackageWriter().Record(15, {}).Plain(); }, {}},
        {"UndefinedType20", [] { return PackageWriter().Record(20, {}).Plain(); }, {}},
        {"UndefinedType255", [] { return PackageWriter().Record(255, {}).Plain(); }, {}},

        // Images.
        {"Image2MissingIsStillUsable",
         [] { return PackageWriter().Image(kRecordImage1, Filled(5)).Plain(); },
         {.valid = true, .usable = true, .image1 = 5}},
        {"NoImage1IsNotUsable",
         [] { return PackageWriter().Image(kRecordImage2, Filled(5)).Plain(); },
         {.valid = true, .image2 = 5}},
        {"EmptyImage1IsNotUsable",
         [] { return PackageWriter().Image(kRecordImage1, {}).Plain(); },
         {.valid = true}},
        {"EmptyImage1IsReplacedBySecond",
         [] {
             return PackageWriter()
                 .Image(kRecordImage1, {})
                 .Image(kRecordImage1, Filled(3))
                 .Plain();
         },
         {.valid = true, .usable = true, .image1 = 3}},
        {"SecondImage1KeepsFirst",
         [] {
             return PackageWriter()
                 .Image(kRecordImage1, Filled(3))
                 .Image(kRecordImage1, Filled(4))
                 .Plain();
         },
         {.image1 = 3}},
        {"SecondImage2KeepsFirst",
         [] {
             return PackageWriter()
                 .Image(kRecordImage2, Filled(3))
                 .Image(kRecordImage2, Filled(4))
                 .Plain();
         },
         {.image2 = 3}},
        // Data ends 5 bytes into the trailer: taken, then the end test fails.
        {"ImageRunningIntoTrailerIsTakenButInvalid",
         [] { return PackageWriter().ImageWithLength(kRecordImage1, 8, Filled(3)).Plain(); },
         {.image1 = 8}},
        // 4 + 6 + 20 is one short of the package's size: the data ends just before its
        // last byte and is taken.
        {"ImageEndingBeforeLastByteIsTaken",
         [] { return PackageWriter().ImageWithLength(kRecordImage1, 3 + 17, Filled(3)).Plain(); },
         {.image1 = 3 + 17}},
        // 4 + 6 + 21 is the package's size: the data would end on its last byte.
        {"ImageReachingLastByteIsNotTaken",
         [] { return PackageWriter().ImageWithLength(kRecordImage1, 3 + 18, Filled(3)).Plain(); },
         {}},
        {"ImageLengthNear4GiB",
         [] {
             return PackageWriter().ImageWithLength(kRecordImage1, 0xFFFFFFF0u, Filled(3)).Plain();
         },
         {}},
        {"ImageLengthAllOnes",
         [] {
             return PackageWriter().ImageWithLength(kRecordImage1, 0xFFFFFFFFu, Filled(3)).Plain();
         },
         {}},
        // In 32 bits 4 + 6 + N wraps around to offset 4: the walk would never end.
        {"ImageLengthWrappingBackToItsOwnRecord",
         [] {
             return PackageWriter().ImageWithLength(kRecordImage1, 0xFFFFFFFAu, Filled(3)).Plain();
         },
         {}},
        {"ImageLengthWrappingToEarlierRecord",
         [] {
             return PackageWriter()
                 .Record(kRecordSkip, {})
                 .ImageWithLength(kRecordImage2, 0xFFFFFFF8u, Filled(3))
                 .Plain();
         },
         {}},

        // Heads in the last bytes of the body: their fields lie in the trailer.
        {"ImageHeadInLastBodyByte",
         [] {
             return PackageWriter()
                 .Record(kRecordSkip, {})
                 .Raw(std::vector<uint8_t>{kRecordImage1})
                 .Plain();
         },
         {}},
        {"ModelIdHeadInLastBodyByte",
         [] {
             return PackageWriter()
                 .Record(kRecordSkip, {})
                 .Raw(std::vector<uint8_t>{kRecordModelId})
                 .Plain();
         },
         {.modelIds = {"\x34\x56\x78\xAB"}}},
        {"TextHeadInLastBodyByte",
         [] {
             return PackageWriter()
                 .Record(kRecordSkip, {})
                 .Raw(std::vector<uint8_t>{kRecordVersionText})
                 .Plain();
         },
         {}},
        {"TextDataBeyondLastByteIsNotStored",
         [] {
             return PackageWriter().RecordWithLength(kRecordVersionText, 40, Bytes("Ver")).Plain();
         },
         {}},
        {"TextEndingInsideTrailerIsStoredButInvalid",
         [] {
             return PackageWriter().RecordWithLength(kRecordVersionText, 10, Bytes("Ver")).Plain();
         },
         {.versionText = "Ver\x12\x34\x56\x78\xAB\xCD"}},
        {"PrefixDataBeyondLastByteIsNotStored",
         [] {
             return PackageWriter()
                 .RecordWithLength(kRecordVersionPrefix, 30, Bytes("R20P"))
                 .Plain();
         },
         {}},

        // Model and USB identifiers take four bytes whatever L says.
        {"ModelIdLongerRecord",
         [] {
             return PackageWriter()
                 .Record(kRecordModelId, Bytes("KLV2xy"))
                 .Record(kRecordSkip, {})
                 .Plain();
         },
         {.valid = true, .modelIds = {"KLV2"}}},
        {"ModelIdShortRecordReadsOn",
         [] {
             return PackageWriter()
                 .Record(kRecordModelId, Bytes("KL"))
                 .Record(kRecordSkip, Bytes("V"))
                 .Plain();
         },
         {.valid = true, .modelIds = {std::string("KL\0\x01", 4)}}},
        {"UsbIdLongerRecord",
         [] {
             return PackageWriter()
                 .Record(kRecordUsbId, std::vector<uint8_t>{0xBC, 0x0A, 0x34, 0x12, 0xEE, 0xEE})
                 .Plain();
         },
         {.valid = true, .usbIds = {{0x0ABC, 0x1234}}}},
        {"DuplicatesKeptInOrder",
         [] {
             return PackageWriter()
                 .UsbIdRecord(1, 2)
                 .UsbIdRecord(1, 2)
                 .UsbIdRecord(3, 4)
                 .ModelIdRecord(kModel)
                 .ModelIdRecord(kModel)
                 .Plain();
         },
         {.valid = true, .modelIds = {"KLV2", "KLV2"}, .usbIds = {{1, 2}, {1, 2}, {3, 4}}}},

        // Version prefixes.
        {"PrefixShornOfTrailingZeros",
         [] {
             return PackageWriter()
                 .Record(kRecordVersionPrefix, std::vector<uint8_t>{'R', 0, 'P', 0, 0})
                 .Plain();
         },
         {.valid = true, .prefixes = {std::string("R\0P", 3)}}},
        {"PrefixAllZerosStoresNothing",
         [] {
             return PackageWriter()
                 .Record(kRecordVersionPrefix, std::vector<uint8_t>(5, 0))
                 .PrefixRecord("B")
                 .Plain();
         },
         {.valid = true, .prefixes = {"B"}}},
        {"PrefixEmptyStoresNothing",
         [] { return PackageWriter().Record(kRecordVersionPrefix, {}).Plain(); },
         {.valid = true}},
        {"Prefix32Bytes",
         [] { return PackageWriter().PrefixRecord(std::string(32, 'p')).Plain(); },
         {.valid = true, .prefixes = {std::string(32, 'p')}}},
        // Skipped by its length like an over-long version text.
        {"Prefix33BytesIsSkipped",
         [] {
             return PackageWriter().PrefixRecord(std::string(33, 'p')).PrefixRecord("B").Plain();
         },
         {.valid = true, .prefixes = {"B"}}},

        // Version text.
        {"Text49Bytes",
         [] { return PackageWriter().VersionTextRecord(std::string(49, 't')).Plain(); },
         {.valid = true, .versionText = std::string(49, 't')}},
        {"Text50BytesIsSkipped",
         [] {
             return PackageWriter()
                 .VersionTextRecord(std::string(50, 't'))
                 .ModelIdRecord(kModel)
                 .Plain();
         },
         {.valid = true, .modelIds = {"KLV2"}}},
        {"TextEndsAtFirstZero",
         [] {
             return PackageWriter()
                 .Record(kRecordVersionText, Bytes(std::string("AB\0CD", 5)))
                 .Plain();
         },
         {.valid = true, .versionText = "AB"}},
        {"LaterTextReplacesEarlier",
         [] {
             return PackageWriter().VersionTextRecord("Version 1").VersionTextRecord("V2").Plain();
         },
         {.valid = true, .versionText = "V2"}},
        {"EmptyTextKeepsEarlier",
         [] {
             return PackageWriter().VersionTextRecord("V1").Record(kRecordVersionText, {}).Plain();
         },
         {.valid = true, .versionText = "V1"}},
    };
    return cases;
}

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, YieldsExpectedDescriptor) {
    const ParseCase& c = GetParam();
    const Package bytes = c.build();
    const Package before = bytes;
    FWPackage package;
    package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));

    const Expected& e = c.expected;
    EXPECT_EQ(package.valid, e.valid);
    EXPECT_EQ(package.IsUsable(), e.usable);
    EXPECT_EQ(package.image1.length, e.image1);
    EXPECT_EQ(package.image2.length, e.image2);
    EXPECT_EQ(std::string(package.versionText), e.versionText);
    EXPECT_EQ(ModelIdsOf(package), e.modelIds);
    EXPECT_EQ(PrefixesOf(package), e.prefixes);
    EXPECT_EQ(UsbIdsOf(package), e.usbIds);
    EXPECT_EQ(bytes, before) << "the input was written";
}

std::string CaseName(const testing::TestParamInfo<ParseCase>& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) {
            name += *p;
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Packages, ParseTest, testing::ValuesIn(Cases()), CaseName);

// Text and prefix data that end exactly on the package's last byte lie inside it and
// are stored: the trailer's bytes become their tail.
TEST(ParseTest, TextAndPrefixEndingOnTheLastByteAreStored) {
    {
        // 4 + 2 + 21 = 27 bytes: "Ver" and the whole trailer.
        const Package bytes =
            PackageWriter().RecordWithLength(kRecordVersionText, 21, Bytes("Ver")).Plain();
        ASSERT_EQ(bytes.size(), 27u);
        FWPackage package;
        package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_FALSE(package.valid);
        // Up to the trailer's first zero byte.
        std::string expected = "Ver";
        for (size_t i = 9; i < bytes.size() && bytes[i] != 0; ++i) {
            expected += static_cast<char>(bytes[i]);
        }
        ASSERT_GT(expected.size(), 3u);
        EXPECT_EQ(std::string(package.versionText), expected);
    }
    {
        // 4 + 2 + 22 = 28 bytes: "R20P" and the whole trailer, zeros included.
        const Package bytes =
            PackageWriter().RecordWithLength(kRecordVersionPrefix, 22, Bytes("R20P")).Plain();
        ASSERT_EQ(bytes.size(), 28u);
        FWPackage package;
        package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_FALSE(package.valid);
        EXPECT_EQ(PrefixesOf(package),
                  std::vector<std::string>{std::string(bytes.begin() + 6, bytes.end())});
    }
}

TEST(ParseTest, NullBytesAreInvalid) {
    FWPackage package;
    package.Parse(nullptr, 100);
    EXPECT_FALSE(package.valid);
}

TEST(ParseTest, ImagesAndFieldsRoundTripThroughScrambling) {
    klv::package::PackageContents contents;
    contents.image1 = Filled(1001, 7);
    contents.image2 = Filled(333, 9);
    contents.modelIds = {kModel, {'K', 'L', 'V', '3'}};
    contents.usbIds = {{0x0ABC, 0x1234}, {0x0ABC, 0x1235}};
    contents.versionPrefixes = {"R20P-02.", "R20P-03."};
    contents.versionText = "Ver. 03.0100";
    for (const bool scrambled : {false, true}) {
        SCOPED_TRACE(scrambled ? "scrambled" : "plain");
        contents.scrambled = scrambled;
        const Package bytes = klv::package::BuildPackage(contents);
        FWPackage package;
        package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
        ASSERT_TRUE(package.IsUsable());
        EXPECT_EQ(Package(package.image1.data.get(), package.image1.data.get() + 1001),
                  contents.image1);
        EXPECT_EQ(Package(package.image2.data.get(), package.image2.data.get() + 333),
                  contents.image2);
        EXPECT_EQ(ModelIdsOf(package), (std::vector<std::string>{"KLV2", "KLV3"}));
        EXPECT_EQ(PrefixesOf(package), contents.versionPrefixes);
        EXPECT_EQ(UsbIdsOf(package),
                  (std::vector<std::pair<uint16_t, uint16_t>>{{0x0ABC, 0x1234}, {0x0ABC, 0x1235}}));
        EXPECT_STREQ(package.versionText, "Ver. 03.0100");

        package.Release();
        EXPECT_FALSE(package.IsUsable());
        EXPECT_TRUE(package.image2.empty());
        EXPECT_TRUE(package.usbIds.empty());
    }
}

}  // namespace
