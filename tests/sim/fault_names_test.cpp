// The fault syntax of the command line: STEP[:K]:KIND[:MS].

#include "tools/sim/fault_names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using klv::sim::FaultName;
using klv::sim::ParseFault;

struct GoodCase {
    const char* text;
    FaultStep step;
    int index;
    FaultKind kind;
    int delayMs;
};

class ParseGood : public testing::TestWithParam<GoodCase> {};

TEST_P(ParseGood, ReadsEveryPartAndWritesTheSameText) {
    const GoodCase& c = GetParam();
    std::string error;
    const auto fault = ParseFault(c.text, &error);
    ASSERT_TRUE(fault) << error;
    EXPECT_EQ(fault->step, c.step);
    EXPECT_EQ(fault->index, c.index);
    EXPECT_EQ(fault->kind, c.kind);
    EXPECT_EQ(fault->delayMs, c.delayMs);
    EXPECT_EQ(FaultName(*fault), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ParseGood,
    testing::Values(
        GoodCase{"sync:no-reply", FaultStep::Sync, 0, FaultKind::NoReply, 0},
        GoodCase{"sync:2:unexpected", FaultStep::Sync, 2, FaultKind::UnexpectedReply, 0},
        GoodCase{"entry:0:changed", FaultStep::VersionEntry, 0, FaultKind::ChangedPayload, 0},
        GoodCase{"image1-chunk:17:gone", FaultStep::Image1Chunk, 17, FaultKind::DeviceGone, 0},
        GoodCase{"image2-end:malformed", FaultStep::Image2End, 0, FaultKind::MalformedHeader, 0},
        GoodCase{"finish:delay:800", FaultStep::Finish, 0, FaultKind::Delay, 800},
        GoodCase{"image2-chunk:3:delay:0", FaultStep::Image2Chunk, 3, FaultKind::Delay, 0}));

class ParseBad : public testing::TestWithParam<const char*> {};

TEST_P(ParseBad, IsRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(ParseFault(GetParam(), &error));
    EXPECT_THAT(error, testing::HasSubstr(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Faults, ParseBad,
                         testing::Values("", "sync", "sync:", "sink:no-reply", "sync:nothing",
                                         "sync:-1:no-reply", "finish:delay", "finish:delay:x",
                                         "sync:no-reply:5", "entry:1:2:gone"));

}  // namespace
