#include "tools/station/station_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

// One step of a station's life with one instrument "S1": plugged in (claim), ended,
// or seen absent by the watcher.
enum class Step { Claim, End, Absent, Present };

struct ClaimCase {
    const char* name;
    bool again;
    std::vector<Step> steps;
    std::vector<bool> claims;  // the answer of each Claim step, in order
};

void PrintTo(const ClaimCase& c, std::ostream* os) {
    *os << c.name;
}

class ClaimRules : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(ClaimRules, AnInstrumentIsStartedOnlyWhenTheRulesAllowIt) {
    const ClaimCase& c = GetParam();
    StationState state(c.again);
    std::vector<bool> answers;
    int row = -1;
    for (const Step step : c.steps) {
        switch (step) {
            case Step::Claim: {
                int claimed = -1;
                const bool ok = state.Claim("S1", "/dev/ttyACM0", "S1", claimed);
                answers.push_back(ok);
                if (ok) {
                    row = claimed;
                }
                break;
            }
            case Step::End:
                state.End(row, 0, "updated");
                break;
            case Step::Absent:
                state.SeenPresent({"OTHER"});
                break;
            case Step::Present:
                state.SeenPresent({"S1"});
                break;
        }
    }
    EXPECT_EQ(answers, c.claims);
}

const ClaimCase kClaimCases[] = {
    {"FirstSightStarts", false, {Step::Claim}, {true}},
    {"NotTwiceWhileRunning", false, {Step::Claim, Step::Claim}, {true, false}},
    {"NotAgainAfterTheEndWhileStillPlugged", false, {Step::Claim, Step::End, Step::Claim}, {true, false}},
    // After its restart the instrument comes back with the same serial number.
    {"NotAgainAfterReplugWithoutAgain",
     false,
     {Step::Claim, Step::End, Step::Absent, Step::Present, Step::Claim},
     {true, false}},
    {"AgainAllowsASecondUpdateAfterReplug",
     true,
     {Step::Claim, Step::End, Step::Absent, Step::Present, Step::Claim},
     {true, true}},
    {"AgainNeedsTheUnplug", true, {Step::Claim, Step::End, Step::Present, Step::Claim}, {true, false}},
    // Gone while it was still being updated: that is not an unplug after the end.
    {"AbsenceDuringTheAttemptDoesNotCount",
     true,
     {Step::Claim, Step::Absent, Step::End, Step::Present, Step::Claim},
     {true, false}},
    {"AgainEachReplugOnce",
     true,
     {Step::Claim, Step::End, Step::Absent, Step::Claim, Step::End, Step::Claim},
     {true, true, false}},
};

INSTANTIATE_TEST_SUITE_P(Station, ClaimRules, ::testing::ValuesIn(kClaimCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StationState, RowsFollowTheAttemptAndTheSummaryCountsCodes) {
    StationState state(false);
    int a = -1;
    int b = -1;
    int c = -1;
    ASSERT_TRUE(state.Claim("A", "/dev/ttyACM0", "A", a));
    ASSERT_TRUE(state.Claim("B", "/dev/ttyACM1", "B", b));
    ASSERT_TRUE(state.Claim("/dev/ttyS4", "/dev/ttyS4", "", c));
    state.SetModel(a, "4B4C5632");
    state.SetPhase(a, StationPhase::Transfer);
    state.SetProgress(a, 100, 400, 50.0);
    EXPECT_EQ(state.Running(), 3);
    state.End(a, 0, "updated");
    state.End(b, 3, "ERROR 03");
    state.End(b, 0, "updated");  // an attempt ends once: the first result stands
    state.End(c, 16, "UNABLE TO UPDATE");

    const std::vector<StationRow> rows = state.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].model, "4B4C5632");
    EXPECT_EQ(rows[0].phase, StationPhase::Done);
    EXPECT_EQ(rows[0].bytesSent, 100u);
    EXPECT_EQ(rows[1].phase, StationPhase::Failed);
    EXPECT_EQ(rows[1].resultCode, 3);
    EXPECT_EQ(rows[2].port, "/dev/ttyS4");
    EXPECT_EQ(state.Running(), 0);
    EXPECT_EQ(state.Ended(), 3);
    const StationSummary summary = state.Summary();
    EXPECT_EQ(summary.updated, 1);
    EXPECT_EQ(summary.failed, 2);
    EXPECT_EQ(summary.failuresByCode.at(3), 1);
    EXPECT_EQ(summary.failuresByCode.at(16), 1);
}

// Many workers and a watcher at once: each instrument is claimed by exactly one of the
// threads that race for it, and every row ends with its own result.
TEST(StationState, RacingClaimsStartEachInstrumentOnce) {
    constexpr int kInstruments = 16;
    constexpr int kThreads = 8;
    StationState state(false);
    std::atomic<int> claims{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kInstruments; ++i) {
                const std::string key = "S" + std::to_string(i);
                int row = -1;
                if (state.Claim(key, "/dev/ttyACM" + std::to_string(i), key, row)) {
                    ++claims;
                    state.SetPhase(row, StationPhase::Transfer);
                    state.SetProgress(row, t, 100, 1.0);
                    state.End(row, i % 2 == 0 ? 0 : 3, "r");
                }
                state.SeenPresent({key});
                (void)state.Rows();
            }
        });
    }
    go.store(true);
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(claims.load(), kInstruments);
    EXPECT_EQ(state.Ended(), kInstruments);
    EXPECT_EQ(state.Summary().updated, kInstruments / 2);
    EXPECT_EQ(state.Summary().failed, kInstruments / 2);
}

}  // namespace
