// The tools' shared core on its own: what an interrupt means at each stage, how the
// progress is paced, texts from outside made printable, and the checks of the files and
// ports an operator names.

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/common/file_checks.h"
#include "tools/common/interrupt_state.h"
#include "tools/common/printable_text.h"
#include "tools/common/text_sink.h"
#include "tools/common/tool_exit.h"

namespace {

namespace fs = std::filesystem;
using namespace klv::tools;
using namespace std::chrono_literals;

// --- interrupts ---------------------------------------------------------------------

struct Step {
    int atMs;
    InterruptKind kind;
    InterruptAction expected;
};

struct InterruptCase {
    const char* name;
    UpdateStage stage;
    std::vector<Step> steps;
    int exitStatus;  // after the steps
};

void PrintTo(const InterruptCase& c, std::ostream* os) {
    *os << c.name;
}

class InterruptStateTest : public testing::TestWithParam<InterruptCase> {};

TEST_P(InterruptStateTest, ActsAsTheStageRequires) {
    const InterruptCase& c = GetParam();
    InterruptState state;
    state.SetStage(c.stage);
    const auto start = InterruptState::Clock::time_point{} + 1h;
    for (const Step& step : c.steps) {
        EXPECT_EQ(state.OnInterrupt(step.kind, start + std::chrono::milliseconds(step.atMs)),
                  step.expected)
            << "at " << step.atMs << " ms";
    }
    EXPECT_EQ(state.StopExitStatus(), c.exitStatus);
    EXPECT_EQ(state.StopRequested(), c.exitStatus != 0);
}

constexpr auto Int = InterruptKind::Interrupt;
constexpr auto Term = InterruptKind::Terminate;
constexpr auto Warn = InterruptAction::WarnTransfer;
constexpr auto Keep = InterruptAction::WarnFinishing;
constexpr auto Stop = InterruptAction::Stop;
constexpr auto None = InterruptAction::None;

INSTANTIATE_TEST_SUITE_P(
    Stages, InterruptStateTest,
    testing::Values(
        InterruptCase{"CtrlCBeforeStops", UpdateStage::Before, {{0, Int, Stop}}, 130},
        InterruptCase{"TermBeforeStops", UpdateStage::Before, {{0, Term, Stop}}, 143},
        InterruptCase{"FirstCtrlCInTransferWarns", UpdateStage::Transfer, {{0, Int, Warn}}, 0},
        InterruptCase{"SecondCtrlCWithinTheWindowStops",
                      UpdateStage::Transfer,
                      {{0, Int, Warn}, {2999, Int, Stop}},
                      130},
        InterruptCase{"SecondCtrlCAfterTheWindowWarnsAgain",
                      UpdateStage::Transfer,
                      {{0, Int, Warn}, {3001, Int, Warn}, {4000, Int, Stop}},
                      130},
        InterruptCase{"TermInTransferStopsAtOnce", UpdateStage::Transfer, {{0, Term, Stop}}, 143},
        InterruptCase{"TermAfterAWarningStopsAs143",
                      UpdateStage::Transfer,
                      {{0, Int, Warn}, {100, Term, Stop}},
                      143},
        InterruptCase{"FinishingNeverStops",
                      UpdateStage::Finishing,
                      {{0, Int, Keep}, {10, Int, Keep}, {20, Term, Keep}},
                      0},
        InterruptCase{"AfterTheRunNothing", UpdateStage::Over, {{0, Int, None}, {1, Term, None}}, 0},
        InterruptCase{"OnceStoppedTheRestIsIgnored",
                      UpdateStage::Before,
                      {{0, Int, Stop}, {1, Term, None}},
                      130}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InterruptStateTest, AWarningBeforeTheFinishDoesNotCountAfterIt) {
    InterruptState state;
    state.SetStage(UpdateStage::Transfer);
    const auto t = InterruptState::Clock::now();
    EXPECT_EQ(state.OnInterrupt(Int, t), Warn);
    state.SetStage(UpdateStage::Finishing);
    EXPECT_EQ(state.OnInterrupt(Int, t + 10ms), Keep);
    EXPECT_FALSE(state.StopRequested());
}

// --- the text sink --------------------------------------------------------------------

class Captured {
  public:
    Captured() : file(std::tmpfile()) {}
    ~Captured() { std::fclose(file); }
    std::FILE* get() const { return file; }
    std::string Text() const {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            text.append(buffer, n);
        }
        return text;
    }

  private:
    std::FILE* file;
};

size_t Count(const std::string& text, char c) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

TEST(TextSinkTest, TerminalRedrawsAtMostTenTimesASecond) {
    Captured messages, progress;
    TextSink sink(messages.get(), progress.get(), true);
    auto now = TextSink::Clock::time_point{} + 1h;
    sink.now = [&now] { return now; };
    sink.PhaseStarted(SessionPhase::Transfer);
    // One acknowledged chunk every millisecond for two seconds.
    for (uint64_t sent = 1; sent <= 2000; ++sent) {
        now += 1ms;
        sink.Progress(sent, 2000);
    }
    const std::string text = progress.Text();
    // About 20 redraws in 2 s, and the last one always.
    EXPECT_GE(Count(text, '\r'), 19u);
    EXPECT_LE(Count(text, '\r'), 22u);
    EXPECT_NE(text.find("100%"), std::string::npos);
    EXPECT_EQ(messages.Text(), "NOW LOADING\n");
}

TEST(TextSinkTest, PlainOutputHasALineEveryTenPercent) {
    Captured messages, progress;
    TextSink sink(messages.get(), progress.get(), false);
    sink.PhaseStarted(SessionPhase::Transfer);
    for (uint64_t sent = 7; sent <= 1000; sent += 7) {
        sink.Progress(sent, 1000);
    }
    sink.Progress(1000, 1000);
    sink.PhaseStarted(SessionPhase::Finish);
    for (int left = 10000; left >= 0; left -= 200) {
        sink.FinishWait(left, 10200);
    }
    const std::string text = progress.Text();
    EXPECT_EQ(Count(text, '\r'), 0u);
    // 10 %, 20 %, ... 100 %, then one line for the finish wait.
    EXPECT_EQ(Count(text, '\n'), 11u) << text;
    EXPECT_NE(text.find(" 10%"), std::string::npos);
    EXPECT_NE(text.find("100%"), std::string::npos);
    EXPECT_NE(text.find("finishing: the instrument stores the firmware (about 10 s)"),
              std::string::npos);
}

TEST(TextSinkTest, TerminalCountsTheFinishWaitDownOncePerSecond) {
    Captured messages, progress;
    TextSink sink(messages.get(), progress.get(), true);
    sink.PhaseStarted(SessionPhase::Finish);
    for (int left = 10000; left >= 0; left -= 200) {
        sink.FinishWait(left, 10200);
    }
    const std::string text = progress.Text();
    EXPECT_EQ(Count(text, '\r'), 11u) << text;  // 10 s ... 0 s
    EXPECT_NE(text.find("keep it connected:  0 s"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(TextSinkTest, AWarningEndsTheLineDrawnInPlace) {
    Captured messages, progress;
    TextSink sink(messages.get(), progress.get(), true);
    sink.PhaseStarted(SessionPhase::Transfer);
    sink.Progress(10, 100);
    sink.Warning("careful");
    EXPECT_NE(progress.Text().find("KiB/s\ncareful\n"), std::string::npos) << progress.Text();
}

// --- printable texts --------------------------------------------------------------------

TEST(PrintableTest, EscapesEverythingATerminalCouldAct) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"R20P-02.00", "R20P-02.00"},
        {"\x1b[2J", "\\x1b[2J"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"tab\there\r\n", "tab\\x09here\\x0d\\x0a"},
        {"\x7f\x9b\xff", "\\x7f\\x9b\\xff"},
        {"back\\slash", "back\\\\slash"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Printable(c.in), c.out);
    }
    EXPECT_EQ(Quoted("say \"hi\"\x07"), "\"say \\\"hi\\\"\\x07\"");
}

// --- files and ports ------------------------------------------------------------------

class FileChecksTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("klv_tool_core_" + std::to_string(getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "folder");
        std::ofstream(dir / "package.klvpkg", std::ios::binary) << "KL package bytes LV";
        std::ofstream(dir / "empty", std::ios::binary);
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string At(const char* name) const { return (dir / name).string(); }

    fs::path dir;
};

TEST_F(FileChecksTest, ReadsOnlyRegularFilesWithinTheLimit) {
    const struct {
        std::string path;
        uint64_t limit;
        bool ok;
        int status;
        const char* message;
    } cases[] = {
        {At("package.klvpkg"), 1024, true, 0, ""},
        {At("empty"), 1024, true, 0, ""},
        {At("package.klvpkg"), 19, true, 0, ""},  // exactly at the limit
        {At("package.klvpkg"), 18, false, kExitUnreadable, "larger than"},
        {At("folder"), 1024, false, kExitUnreadable, "is a directory"},
        {At("fifo"), 1024, false, kExitUnreadable, "is a FIFO"},
        {"/dev/zero", 1024, false, kExitUnreadable, "is a character device"},
        {At("missing"), 1024, false, kExitUnreadable, "there is no such file"},
        {"", 1024, false, kExitUsage, "the file name is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " limit " + std::to_string(c.limit));
        const FileRead read = ReadRegularFile("--package", c.path, c.limit);
        EXPECT_EQ(read.ok, c.ok) << read.error;
        if (c.ok) {
            EXPECT_EQ(read.bytes.size(), fs::file_size(c.path));
            continue;
        }
        EXPECT_EQ(read.exitStatus, c.status);
        EXPECT_NE(read.error.find(c.message), std::string::npos) << read.error;
        EXPECT_EQ(read.error.rfind("--package", 0), 0u) << read.error;
    }
}

TEST_F(FileChecksTest, OnlyATerminalPassesAsAPort) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string pty = ttyname(slave);
    const struct {
        std::string path;
        PortCheck::Result result;
        const char* message;
    } cases[] = {
        {pty, PortCheck::Result::Terminal, ""},
        {At("package.klvpkg"), PortCheck::Result::NotTerminal, "is a regular file"},
        {At("folder"), PortCheck::Result::NotTerminal, "is a directory"},
        {At("fifo"), PortCheck::Result::NotTerminal, "is a FIFO"},
        {"/dev/null", PortCheck::Result::NotTerminal, "no terminal"},
        {At("missing"), PortCheck::Result::CannotOpen, ""},
        {"", PortCheck::Result::EmptyName, "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const PortCheck check = CheckTerminalDevice("--port", c.path);
        EXPECT_EQ(check.result, c.result);
        EXPECT_NE(check.error.find(c.message), std::string::npos) << check.error;
    }
    std::ifstream file(At("package.klvpkg"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "KL package bytes LV");
    close(slave);
    close(master);
}

TEST_F(FileChecksTest, PortWatchSeesAHangUp) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    auto watch = PortWatch::Open(ttyname(slave));
    ASSERT_NE(watch, nullptr);
    EXPECT_FALSE(watch->Lost());
    close(master);
    EXPECT_TRUE(watch->Lost());
    close(slave);
}

TEST_F(FileChecksTest, PortWatchSeesTheNodeGo) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const fs::path link = dir / "ttyKLV";
    fs::create_symlink(ttyname(slave), link);
    auto watch = PortWatch::Open(link.string());
    ASSERT_NE(watch, nullptr);
    EXPECT_FALSE(watch->Lost());
    fs::remove(link);
    EXPECT_TRUE(watch->Lost());
    // Another device under the same name is not the instrument either.
    fs::create_symlink("/dev/null", link);
    EXPECT_TRUE(watch->Lost());
    close(slave);
    close(master);
}

}  // namespace
