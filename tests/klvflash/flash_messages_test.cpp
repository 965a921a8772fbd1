#include "tools/klvflash/flash_messages.h"
#include "tools/klvflash/port_system.h"

#include <gtest/gtest.h>

#include "protocol/mt_update_protocol.h"
#include "tools/common/progress_meter.h"

namespace {

struct StatusCase {
    int32_t status;
    int32_t errorCode;
    int exitStatus;
    const char* headline;
};

class StatusOutcomeTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusOutcomeTest, HeadlineAndExitStatusFollowTheErrorCode) {
    const FlashOutcome outcome = OutcomeOfStatus(GetParam().status, GetParam().errorCode);
    EXPECT_EQ(outcome.exitStatus, GetParam().exitStatus);
    EXPECT_EQ(outcome.headline, GetParam().headline);
    EXPECT_EQ(outcome.advice.empty(), GetParam().status == StatusCompleted);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusOutcomeTest,
    ::testing::Values(StatusCase{StatusCompleted, 0, 0,
                                 "Please disconnect the cable after the LED flashing ends."},
                      StatusCase{StatusLinkFailed, 1, 1, "ERROR! 01"},
                      StatusCase{StatusVersionFailed, 2, 2, "ERROR! 02"},
                      StatusCase{StatusImage2Failed, 3, 3, "ERROR! 03"},
                      StatusCase{StatusFinishFailed, 3, 3, "ERROR! 03"},
                      StatusCase{StatusFailed, 3, 3, "ERROR! 03"},
                      StatusCase{StatusModelRejected, 16, 16, "UNABLE TO UPDATE"},
                      StatusCase{StatusVersionRejected, 17, 17, "UNABLE TO UPDATE"},
                      StatusCase{StatusFailed, 80, 80, "ERROR! 80"},
                      StatusCase{StatusPackageInvalid, 96, 96, "ERROR! 96"},
                      StatusCase{StatusFailed, 255, 255, "ERROR! 255"},
                      // A failure that carries no code must still fail the run.
                      StatusCase{StatusLinkFailed, 0, 80, "ERROR! 80"}));

TEST(OpenFailureOutcome, EachCauseGetsItsOwnAdviceAndCode80) {
    const struct {
        OpenFailure why;
        const char* phrase;
    } cases[] = {{OpenFailure::Missing, "There is no port"},
                 {OpenFailure::NoPermission, "You may not open"},
                 {OpenFailure::Busy, "close the program that holds it"},
                 {OpenFailure::Other, "could not be opened"}};
    for (const auto& c : cases) {
        const FlashOutcome outcome = OutcomeOfOpenFailure(c.why, "/dev/ttyACM0");
        EXPECT_EQ(outcome.exitStatus, 80);
        EXPECT_EQ(outcome.headline, "ERROR! 80");
        EXPECT_NE(outcome.advice.find(c.phrase), std::string::npos) << outcome.advice;
    }
}

TEST(OpenFailureWhileWaiting, SameDiagnosisAndTheWaitGoesOn) {
    // What to do about a port one may not open depends on the system (Linux: the dialout
    // group; Windows names nothing in particular).
    const std::string fix = SystemPortTexts().permissionFix;
    const struct {
        OpenFailure why;
        std::string notice;
    } cases[] = {
        {OpenFailure::Busy,
         "The port /dev/ttyACM0 is in use by another program; close the program that holds "
         "it. Still waiting."},
        {OpenFailure::NoPermission,
         "You may not open /dev/ttyACM0" + (fix.empty() ? "" : "; " + fix) + ". Still waiting."},
        {OpenFailure::Other,
         "The port /dev/ttyACM0 could not be opened as a serial port. Still waiting."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NoticeOfOpenFailureWhileWaiting(c.why, "/dev/ttyACM0"), c.notice);
    }
}

TEST(ProgressLine, BarCountAndRate) {
    EXPECT_EQ(ProgressLine(0, 2048, 0.0),
              "[------------------------------]   0%     0.0 of     2.0 KiB     0.0 KiB/s");
    EXPECT_EQ(ProgressLine(1024, 2048, 0.5),
              "[###############---------------]  50%     1.0 of     2.0 KiB     2.0 KiB/s");
    // More than announced, or nothing to send, is shown as full rather than overflowing.
    EXPECT_EQ(ProgressLine(4096, 2048, 1.0),
              "[##############################] 100%     2.0 of     2.0 KiB     2.0 KiB/s");
    EXPECT_EQ(ProgressLine(0, 0, 1.0),
              "[##############################] 100%     0.0 of     0.0 KiB     0.0 KiB/s");
}

// Redrawn in place, a line as wide as the terminal wraps and cannot be redrawn: it stays
// at least a column short of the terminal's width, down to a bar of 5.
TEST(ProgressLine, FitsTheTerminalsWidth) {
    const struct {
        int columns;
        size_t length;
    } cases[] = {{0, 74}, {200, 74}, {75, 74}, {74, 73}, {60, 59}, {20, 49}};
    for (const auto& c : cases) {
        const std::string line = ProgressLine(1024, 2048, 0.5, c.columns);
        EXPECT_EQ(line.size(), c.length) << c.columns << " columns: " << line;
        EXPECT_NE(line.find("]  50%     1.0 of"), std::string::npos) << line;
    }
}

}  // namespace
