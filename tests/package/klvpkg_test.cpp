// klvpkg as a release engineer uses it: build, inspect, and refusals that leave no
// file behind.

#include <algorithm>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "package/fw_package.h"
#include "package/package_integrity.h"
#include "tools/klvpkg/klvpkg_app.h"
#include "tools/klvpkg/package_problem.h"

namespace {

namespace fs = std::filesystem;

// SHA-256 of "abc" and of nothing.
constexpr const char* kShaAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kShaEmpty =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

class KlvpkgTest : public testing::Test {
  protected:
    void SetUp() override {
        // A parameterised test's name holds a '/': keep the folder one level deep so
        // that TearDown removes all of it.
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = fs::temp_directory_path() /
               ("klvpkg_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        WriteFile("abc.bin", "abc");
        WriteFile("two.bin", "2nd image");
        WriteFile("empty.bin", "");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    void WriteFile(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }

    std::vector<std::string> DirectoryListing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static RunResult Klvpkg(std::vector<std::string> args) {
        args.insert(args.begin(), "klvpkg");
        std::vector<const char*> argv;
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        std::ostringstream out, err;
        const int status = RunKlvpkg(static_cast<int>(argv.size()), argv.data(), out, err);
        return {status, out.str(), err.str()};
    }

    nlohmann::json InspectJson(const std::string& file) const {
        const RunResult run = Klvpkg({"inspect", "--json", file});
        EXPECT_EQ(run.status, 0) << run.err;
        return nlohmann::json::parse(run.out);
    }

    fs::path dir_;
};

TEST_F(KlvpkgTest, BuildThenInspectJsonRoundTrips) {
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain" : "scrambled");
        std::vector<std::string> args = {"build",
                                         "-o",
                                         Path("out.klvpkg"),
                                         "--image1",
                                         Path("abc.bin"),
                                         "--model",
                                         "4B4C5633",
                                         "--model",
                                         "0a0B0c0D",
                                         "--usb",
                                         "0ABC:1235",
                                         "--usb",
                                         "1:2",
                                         "--prefix",
                                         "R20P-03.",
                                         "--prefix",
                                         "A",
                                         "--version-text",
                                         "Ver. 03"};
        if (plain) {
            args.push_back("--plain");
        }
        const RunResult build = Klvpkg(args);
        ASSERT_EQ(build.status, 0) << build.err;

        nlohmann::json report = InspectJson(Path("out.klvpkg"));
        // The digest differs between the plain and the scrambled package.
        EXPECT_EQ(report["digest"].get<std::string>().size(), 64u);
        report.erase("digest");
        const nlohmann::json expected = {
            {"valid", true},
            {"usable", true},
            {"image1", {{"length", 3}, {"sha256", kShaAbc}}},
            {"image2", {{"length", 0}, {"sha256", kShaEmpty}}},
            {"versionText", "5665722e203033"},
            {"modelIds", {"4b4c5633", "0a0b0c0d"}},
            {"versionPrefixes", {"523230502d30332e", "41"}},
            {"usbIds",
             {{{"vendorId", 0x0ABC}, {"productId", 0x1235}}, {{"vendorId", 1}, {"productId", 2}}}},
            {"problem", nullptr},
            {"integrity", "verified"},
            {"integrityDetail", ""},
            {"signer", nullptr},
            {"trust", "not checked"},
        };
        EXPECT_EQ(report, expected);
    }
}

TEST_F(KlvpkgTest, ScrambledAndPlainDifferOnlyInEncoding) {
    const std::vector<std::string> common = {"--image1",      Path("abc.bin"),  "--image2",
                                             Path("two.bin"), "--version-text", "V"};
    std::vector<std::string> scrambled = {"build", "-o", Path("s.klvpkg")};
    std::vector<std::string> plain = {"build", "-o", Path("p.klvpkg"), "--plain"};
    scrambled.insert(scrambled.end(), common.begin(), common.end());
    plain.insert(plain.end(), common.begin(), common.end());
    ASSERT_EQ(Klvpkg(scrambled).status, 0);
    ASSERT_EQ(Klvpkg(plain).status, 0);
    EXPECT_NE(fs::file_size(Path("s.klvpkg")), 0u);
    EXPECT_EQ(fs::file_size(Path("s.klvpkg")), fs::file_size(Path("p.klvpkg")));
    nlohmann::json scrambledReport = InspectJson(Path("s.klvpkg"));
    nlohmann::json plainReport = InspectJson(Path("p.klvpkg"));
    scrambledReport.erase("digest");
    plainReport.erase("digest");
    EXPECT_EQ(scrambledReport, plainReport);

    const RunResult summary = Klvpkg({"inspect", Path("s.klvpkg")});
    EXPECT_NE(summary.out.find("Scrambling:       whole body"), std::string::npos) << summary.out;
    const RunResult plainSummary = Klvpkg({"inspect", Path("p.klvpkg")});
    EXPECT_NE(plainSummary.out.find("Scrambling:       none"), std::string::npos);
}

struct BuildCase {
    const char* name;
    std::vector<std::string> args;  // after build -o OUT --image1 abc.bin, unless replaced
    bool ok;
    const char* message;  // part of the refusal
    int status = 64;      // of a refusal
};

class KlvpkgBuildLimitsTest : public KlvpkgTest, public testing::WithParamInterface<BuildCase> {};

TEST_P(KlvpkgBuildLimitsTest, AcceptsWhatFitsRefusesTheRest) {
    const BuildCase& c = GetParam();
    // An earlier release in place must survive a refused build untouched.
    WriteFile("out.klvpkg", "earlier release");
    std::vector<std::string> args = {"build", "-o", Path("out.klvpkg")};
    bool hasImage1 = false;
    for (std::string arg : c.args) {
        if (arg.rfind("@", 0) == 0) {
            arg = Path(arg.substr(1));
        }
        hasImage1 = hasImage1 || arg == "--image1" || arg == "--no-image1";
        if (arg != "--no-image1") {
            args.push_back(arg);
        }
    }
    if (!hasImage1) {
        args.push_back("--image1");
        args.push_back(Path("abc.bin"));
    }
    const auto before = DirectoryListing();
    const RunResult run = Klvpkg(args);
    if (c.ok) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(InspectJson(Path("out.klvpkg"))["usable"].get<bool>());
        EXPECT_EQ(DirectoryListing(), before);
        return;
    }
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(DirectoryListing(), before) << "a refused build left a file behind";
    std::ifstream earlier(Path("out.klvpkg"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "earlier release");
}

void PrintTo(const BuildCase& c, std::ostream* os) {
    *os << c.name;
}

const BuildCase kBuildCases[] = {
    {"VersionText49Bytes", {"--version-text", std::string(49, 'v')}, true, ""},
    {"VersionText50Bytes", {"--version-text", std::string(50, 'v')}, false, "version text"},
    {"Prefix32Bytes", {"--prefix", std::string(32, 'p')}, true, ""},
    {"Prefix33Bytes", {"--prefix", "ok", "--prefix", std::string(33, 'p')}, false, "prefix"},
    {"EmptyPrefix", {"--prefix", ""}, false, "prefix"},
    {"EmptyImage1", {"--image1", "@empty.bin"}, false, "empty"},
    {"MissingImage1File", {"--image1", "@absent.bin"}, false, "absent.bin", 66},
    {"NoImage1", {"--no-image1"}, false, "image1"},
    {"EmptyImage2", {"--image2", "@empty.bin"}, false, "empty"},
    {"ModelSevenDigits", {"--model", "4B4C563"}, false, "--model"},
    {"ModelNotHex", {"--model", "4B4C563G"}, false, "--model"},
    {"UsbWithoutColon", {"--usb", "0ABC1234"}, false, "--usb"},
    {"UsbFiveDigits", {"--usb", "0ABC:12345"}, false, "--usb"},
    {"UsbNotHex", {"--usb", "0ABC:12G4"}, false, "--usb"},
    {"UnknownOption", {"--colour", "red"}, false, "colour"},
};

INSTANTIATE_TEST_SUITE_P(Values, KlvpkgBuildLimitsTest, testing::ValuesIn(kBuildCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KlvpkgTest, BuildIntoMissingDirectoryFails) {
    const RunResult run =
        Klvpkg({"build", "-o", Path("no/such/dir/out.klvpkg"), "--image1", Path("abc.bin")});
    EXPECT_EQ(run.status, 73);
    EXPECT_FALSE(fs::exists(Path("no")));
}

TEST_F(KlvpkgTest, InspectOfUnreadableFileFails) {
    for (const std::string& file : {Path("absent.klvpkg"), dir_.string()}) {
        const RunResult run = Klvpkg({"inspect", "--json", file});
        EXPECT_EQ(run.status, 66) << file;
        EXPECT_EQ(run.out, "") << file;
        EXPECT_NE(run.err, "") << file;
    }
}

TEST_F(KlvpkgTest, InspectOfInvalidPackageStillReports) {
    WriteFile("junk.bin", "KL this is not a package at all LV");
    const nlohmann::json report = InspectJson(Path("junk.bin"));
    EXPECT_FALSE(report["valid"].get<bool>());
    EXPECT_FALSE(report["usable"].get<bool>());
    EXPECT_EQ(report["image1"]["sha256"], kShaEmpty);

    const RunResult summary = Klvpkg({"inspect", Path("junk.bin")});
    EXPECT_EQ(summary.status, 0);
    EXPECT_NE(summary.out.find("Valid:            no"), std::string::npos) << summary.out;
}


// What an operator might name by mistake. Each is refused with its exit status, the
// message names what was wrong, and no file changes.
struct RefusalCase {
    const char* name;
    std::vector<std::string> args;  // "@x" is the file x in the test folder
    int status;
    const char* message;
};

class KlvpkgRefusalTest : public KlvpkgTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(KlvpkgRefusalTest, RefusedWithoutWriting) {
    const RefusalCase& c = GetParam();
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_directory(Path("dir"));
    // Sparse: one byte past the limit costs no disk.
    {
        std::ofstream(Path("huge.klvpkg"), std::ios::binary) << "KL";
    }
    fs::resize_file(Path("huge.klvpkg"), (uint64_t{256} << 20) + 1);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) {
        args.push_back(arg.rfind("@", 0) == 0 ? Path(arg.substr(1)) : arg);
    }
    const auto before = DirectoryListing();
    const RunResult run = Klvpkg(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(DirectoryListing(), before);
    std::ifstream image(Path("abc.bin"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(image), {}), "abc");
}

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

const RefusalCase kRefusalCases[] = {
    {"OutputIsImage1", {"build", "-o", "@abc.bin", "--image1", "@abc.bin"}, 64, "is also --image1"},
    {"OutputIsImage2ByAnotherName",
     {"build", "-o", "@./two.bin", "--image1", "@abc.bin", "--image2", "@two.bin"}, 64,
     "is also --image2"},
    {"OutputToStandardOutput", {"build", "-o", "-", "--image1", "@abc.bin"}, 64, "files only"},
    {"OutputIsDirectory", {"build", "-o", "@dir", "--image1", "@abc.bin"}, 64, "is a directory"},
    {"OutputIsDevice", {"build", "-o", "/dev/null", "--image1", "@abc.bin"}, 64,
     "is a character device"},
    {"OutputEmpty", {"build", "-o", "", "--image1", "@abc.bin"}, 64, "-o: the file name is empty"},
    {"Image1Empty", {"build", "-o", "@out.klvpkg", "--image1", ""}, 64, "--image1: the file name is empty"},
    {"Image2Empty", {"build", "-o", "@out.klvpkg", "--image1", "@abc.bin", "--image2", ""}, 64,
     "--image2: the file name is empty"},
    {"Image1IsFifo", {"build", "-o", "@out.klvpkg", "--image1", "@fifo"}, 66, "FIFO"},
    {"InspectEmpty", {"inspect", ""}, 64, "the file name is empty"},
    {"InspectDirectory", {"inspect", "@dir"}, 66, "is a directory"},
    {"InspectZeroDevice", {"inspect", "/dev/zero"}, 66, "is a character device"},
    {"InspectRandomDevice", {"inspect", "--json", "/dev/urandom"}, 66, "is a character device"},
    {"InspectFifo", {"inspect", "@fifo"}, 66, "FIFO"},
    {"InspectPastTheSizeLimit", {"inspect", "@huge.klvpkg"}, 66, "larger than 256 MiB"},
    {"UnknownOption", {"inspect", "--colour", "@abc.bin"}, 64, "colour"},
};

INSTANTIATE_TEST_SUITE_P(Inputs, KlvpkgRefusalTest, testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A plain package around the given records: head, records, an 18-byte trailer.
std::string PlainPackage(const std::string& records) {
    std::string trailer(18, '\0');
    trailer[16] = 'L';
    trailer[17] = 'V';
    return std::string("KL\0\0", 4) + records + trailer;
}

std::string ImageRecord(uint8_t type, const std::string& data) {
    const auto n = static_cast<uint32_t>(data.size());
    std::string record = {static_cast<char>(type), '\0', static_cast<char>(n),
                          static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 24)};
    return record + data;
}

const std::string kModel = std::string("\x10\x04KLV2", 6);

struct ProblemCase {
    const char* name;
    std::string bytes;
    const char* reason;  // nullptr: valid and usable
    int64_t offset;      // -1: none
};

class KlvpkgProblemTest : public KlvpkgTest, public testing::WithParamInterface<ProblemCase> {};

TEST_P(KlvpkgProblemTest, SaysWhichCheckFailedAndWhere) {
    const ProblemCase& c = GetParam();
    WriteFile("p.klvpkg", c.bytes);
    const nlohmann::json report = InspectJson(Path("p.klvpkg"));
    const RunResult check = Klvpkg({"inspect", "--check", Path("p.klvpkg")});
    if (c.reason == nullptr) {
        EXPECT_TRUE(report["problem"].is_null()) << report.dump();
        EXPECT_TRUE(report["usable"].get<bool>());
        EXPECT_EQ(check.status, 0);
        EXPECT_NE(check.out.find("Problem:          none"), std::string::npos) << check.out;
        return;
    }
    ASSERT_TRUE(report["problem"].is_object()) << report.dump();
    EXPECT_NE(report["problem"]["reason"].get<std::string>().find(c.reason), std::string::npos)
        << report.dump();
    if (c.offset < 0) {
        EXPECT_TRUE(report["problem"]["offset"].is_null()) << report.dump();
    } else {
        EXPECT_EQ(report["problem"]["offset"], c.offset) << report.dump();
    }
    EXPECT_FALSE(report["usable"].get<bool>());
    EXPECT_EQ(check.status, 2);
    const size_t line = check.out.find("Problem:          ");
    ASSERT_NE(line, std::string::npos) << check.out;
    EXPECT_NE(check.out.substr(line, check.out.find('\n', line) - line).find(c.reason),
              std::string::npos)
        << check.out;
}

void PrintTo(const ProblemCase& c, std::ostream* os) {
    *os << c.name;
}

const ProblemCase kProblemCases[] = {
    {"Usable", PlainPackage(ImageRecord(1, "abc") + kModel), nullptr, -1},
    {"TooShort", "KL" + std::string(17, '\0') + "LV", "shorter than the 22 bytes", -1},
    {"HeadMagic", "KX" + PlainPackage(ImageRecord(1, "abc")).substr(2), "head magic", 0},
    {"TailMagic", PlainPackage(ImageRecord(1, "abc")).substr(0, 29) + "LX", "tail magic", 29},
    {"UndefinedRecordType", PlainPackage(ImageRecord(1, "abc") + std::string("\x07\x00", 2)),
     "undefined record type 7", 13},
    {"RecordPastTheBody", PlainPackage(kModel + std::string("\x13\x09Ver", 5)),
     "record of type 19 runs past the body", 10},
    {"ImagePastTheBody", PlainPackage(ImageRecord(1, "abc").substr(0, 6)),
     "record of type 1 runs past the body", 4},
    {"SecondImage1", PlainPackage(ImageRecord(1, "abc") + ImageRecord(1, "def")),
     "a second image 1 record", 13},
    {"NoMainImage", PlainPackage(ImageRecord(2, "abc") + kModel), "no main image", -1},
};

INSTANTIATE_TEST_SUITE_P(Packages, KlvpkgProblemTest, testing::ValuesIn(kProblemCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The diagnosis walks the container on its own; it must agree with the product's reader
// on every package, including damaged ones: no problem exactly when the reader finds the
// package valid and usable.
TEST(PackageProblemTest, AgreesWithTheReaderOnDamagedPackages) {
    const std::string base = PlainPackage(ImageRecord(2, "xy") + ImageRecord(1, "abcdef") +
                                          kModel + std::string("\x11\x03R20", 5) +
                                          std::string("\x13\x02V1", 4));
    uint32_t state = 12345;  // a fixed sequence, so that a failure repeats
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    int problems = 0;
    for (int round = 0; round < 5000; ++round) {
        std::string bytes = base;
        const int flips = 1 + static_cast<int>(next() % 3);
        for (int i = 0; i < flips; ++i) {
            bytes[next() % bytes.size()] = static_cast<char>(next());
        }
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        FWPackage package;
        package.Parse(data, static_cast<uint32_t>(bytes.size()));
        const auto problem = FindPackageProblem(data, bytes.size());
        ASSERT_EQ(problem.has_value(), !package.IsUsable())
            << "round " << round << ": " << (problem ? problem->reason : "no problem");
        problems += problem.has_value() ? 1 : 0;
    }
    // Both kinds occurred, or the comparison proved little.
    EXPECT_GT(problems, 500);
    EXPECT_LT(problems, 4500);
}

TEST_F(KlvpkgTest, HelpEndsWithTheExitStatusesAndVersionNamesTheBuild) {
    for (const std::vector<std::string> args :
         {std::vector<std::string>{"--help"}, {"build", "--help"}, {"inspect", "--help"}}) {
        const RunResult help = Klvpkg(args);
        EXPECT_EQ(help.status, 0);
        const std::string text = help.out.substr(0, help.out.find_last_not_of('\n') + 1);
        EXPECT_EQ(text.substr(text.rfind('\n') + 1).rfind("Exit status: 0 done", 0), 0u) << text;
    }
    const RunResult version = Klvpkg({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("klvpkg 1.", 0), 0u) << version.out;
    EXPECT_NE(version.out.find("(commit "), std::string::npos) << version.out;
}

TEST_F(KlvpkgTest, UnrecognisedTrailerIsShownAsSuch) {
    std::string bytes = PlainPackage(ImageRecord(1, "abc"));
    // Flag 0x4000 with a length far beyond the file.
    bytes[bytes.size() - 12] = 0x00;
    bytes[bytes.size() - 11] = 0x40;
    bytes[bytes.size() - 7] = 0x7F;
    WriteFile("t.klvpkg", bytes);
    const RunResult run = Klvpkg({"inspect", Path("t.klvpkg")});
    EXPECT_NE(run.out.find("Scrambling:       trailer not recognised (flag 0x4000); the body "
                           "is read as stored"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("length"), std::string::npos) << run.out;
}

TEST_F(KlvpkgTest, ControlCharactersFromAPackageAreEscaped) {
    const std::string text = "V\x1b]0;owned\x07\x9b";
    const RunResult build = Klvpkg({"build", "-o", Path("e.klvpkg"), "--image1", Path("abc.bin"),
                                    "--version-text", text, "--prefix", "R\x1b[2J"});
    ASSERT_EQ(build.status, 0) << build.err;
    const RunResult run = Klvpkg({"inspect", Path("e.klvpkg")});
    EXPECT_NE(run.out.find("\"V\\x1b]0;owned\\x07\\x9b\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"R\\x1b[2J\""), std::string::npos) << run.out;
    for (const char c : run.out) {
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << int(c);
        EXPECT_LT(static_cast<unsigned char>(c), 0x7F) << int(c);
    }
}
// --- Integrity: the digest, extract, keys and signatures ------------------------------

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class KlvpkgIntegrityTest : public KlvpkgTest {
  protected:
    // abc.bin and two.bin in a package, with the extra build arguments.
    void Build(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"build", "-o", Path(name), "--image1", Path("abc.bin"),
                                         "--image2", Path("two.bin"), "--model", "4B4C5632"};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult run = Klvpkg(args);
        ASSERT_EQ(run.status, 0) << run.err;
    }
    void FlipLastImageByte(const std::string& name) {
        std::vector<uint8_t> bytes = ReadBytes(Path(name));
        bytes[bytes.size() - 19] ^= 0x01;  // the last body byte: image2's last
        WriteBytes(Path(name), bytes);
    }
    void Keygen(const std::string& name) {
        const RunResult run = Klvpkg({"keygen", "--out", Path(name)});
        ASSERT_EQ(run.status, 0) << run.err;
    }
};

struct IntegrityCase {
    const char* name;
    std::vector<std::string> buildArgs;
    bool damage;
    const char* verdict;
    const char* line;  // start of the summary's line
};

void PrintTo(const IntegrityCase& c, std::ostream* os) {
    *os << c.name;
}

class KlvpkgIntegrityInspect : public KlvpkgIntegrityTest,
                               public testing::WithParamInterface<IntegrityCase> {};

TEST_P(KlvpkgIntegrityInspect, ShowsTheVerdictInTextAndJson) {
    const IntegrityCase& c = GetParam();
    Build("p.klvpkg", c.buildArgs);
    if (c.damage) {
        FlipLastImageByte("p.klvpkg");
    }
    const nlohmann::json report = InspectJson(Path("p.klvpkg"));
    EXPECT_EQ(report["integrity"], c.verdict);
    EXPECT_TRUE(report["valid"].get<bool>()) << "the digest never changes the reader's verdict";
    const RunResult text = Klvpkg({"inspect", Path("p.klvpkg")});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find(std::string("\nIntegrity:        ") + c.line), std::string::npos)
        << text.out;
    const RunResult verify = Klvpkg({"verify", Path("p.klvpkg")});
    EXPECT_EQ(verify.status, std::string(c.verdict) == "mismatch" ? 2 : 0) << verify.err;
    const RunResult strict = Klvpkg({"verify", "--require-digest", Path("p.klvpkg")});
    EXPECT_EQ(strict.status, std::string(c.verdict) == "verified" ? 0 : 2) << strict.err;
}

const IntegrityCase kIntegrityCases[] = {
    {"WithDigest", {}, false, "verified", "verified, SHA-256 "},
    {"PlainWithDigest", {"--plain"}, false, "verified", "verified, SHA-256 "},
    {"WithoutDigest", {"--no-digest"}, false, "absent", "absent"},
    {"Damaged", {}, true, "mismatch", "mismatch: the digest does not match"},
    {"DamagedWithoutDigest", {"--no-digest"}, true, "absent", "absent"},
};

INSTANTIATE_TEST_SUITE_P(Packages, KlvpkgIntegrityInspect, testing::ValuesIn(kIntegrityCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KlvpkgIntegrityTest, ExtractWritesTheImagesAsRead) {
    Build("p.klvpkg");
    const RunResult run = Klvpkg({"extract", Path("p.klvpkg"), "--image1", Path("one.out"),
                                  "--image2", Path("two.out")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(Path("one.out")), ReadBytes(Path("abc.bin")));
    EXPECT_EQ(ReadBytes(Path("two.out")), ReadBytes(Path("two.bin")));
    EXPECT_NE(run.out.find(kShaAbc), std::string::npos) << run.out;

    // A damaged package is still extracted, with a warning.
    FlipLastImageByte("p.klvpkg");
    const RunResult damaged =
        Klvpkg({"extract", Path("p.klvpkg"), "--image2", Path("two.out"), "--force"});
    EXPECT_EQ(damaged.status, 0) << damaged.err;
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
    EXPECT_NE(ReadBytes(Path("two.out")), ReadBytes(Path("two.bin")));
}

struct ExtractRefusal {
    const char* name;
    std::vector<std::string> args;  // after "extract"; {pkg} is the package
    const char* says;
    int status = 64;  // usage error, unless an input cannot be read (66)
};

void PrintTo(const ExtractRefusal& c, std::ostream* os) {
    *os << c.name;
}

class KlvpkgExtractRefusal : public KlvpkgIntegrityTest,
                             public testing::WithParamInterface<ExtractRefusal> {};

TEST_P(KlvpkgExtractRefusal, WritesNothingAndSaysWhy) {
    Build("p.klvpkg", {"--no-digest"});
    const RunResult noImage2 = Klvpkg({"build", "-o", Path("single.klvpkg"), "--image1", Path("abc.bin")});
    ASSERT_EQ(noImage2.status, 0);
    WriteFile("taken.bin", "keep me");
    WriteFile("junk.klvpkg", "KL not a package LV");
    const std::vector<std::string> before = DirectoryListing();

    std::vector<std::string> args = {"extract"};
    for (std::string a : GetParam().args) {
        for (const char* name : {"p.klvpkg", "single.klvpkg", "junk.klvpkg", "taken.bin", "x.out",
                                 "y.out", "no/dir/x.out"}) {
            if (a == std::string("{") + name + "}") {
                a = Path(name);
            }
        }
        args.push_back(a);
    }
    const RunResult run = Klvpkg(args);
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << run.err;
    EXPECT_EQ(DirectoryListing(), before);
    EXPECT_EQ(ReadBytes(Path("taken.bin")), std::vector<uint8_t>({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
}

const ExtractRefusal kExtractRefusals[] = {
    {"NoOutput", {"{p.klvpkg}"}, "name at least one of"},
    {"ExistingOutput", {"{p.klvpkg}", "--image1", "{x.out}", "--image2", "{taken.bin}"},
     "already exists; pass --force"},
    {"SameOutputTwice", {"{p.klvpkg}", "--image1", "{x.out}", "--image2", "{x.out}"},
     "name the same file"},
    {"OutputIsThePackage", {"{p.klvpkg}", "--image1", "{p.klvpkg}", "--force"}, "the package itself"},
    {"MissingFolder", {"{p.klvpkg}", "--image1", "{no/dir/x.out}"}, "does not exist"},
    {"NoImage2", {"{single.klvpkg}", "--image1", "{x.out}", "--image2", "{y.out}"},
     "has no image2"},
    {"InvalidPackage", {"{junk.klvpkg}", "--image1", "{x.out}"}, "not a valid package"},
    {"MissingPackage", {"{y.out}", "--image1", "{x.out}"}, "y.out", 66},
    {"EmptyOutput", {"{p.klvpkg}", "--image1="}, "--image1"},
};

INSTANTIATE_TEST_SUITE_P(Cases, KlvpkgExtractRefusal, testing::ValuesIn(kExtractRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KlvpkgIntegrityTest, KeygenWritesAPrivateKeyOnlyItsOwnerReads) {
    Keygen("k");
    struct stat info {};
    ASSERT_EQ(stat(Path("k").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(Path("k.pub").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0022, 0u) << "nobody else may change the public key";
    EXPECT_FALSE(ReadBytes(Path("k.pub")).empty());

    const std::vector<uint8_t> key = ReadBytes(Path("k"));
    const RunResult again = Klvpkg({"keygen", "--out", Path("k")});
    EXPECT_EQ(again.status, 73);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    EXPECT_EQ(ReadBytes(Path("k")), key);

    const RunResult forced = Klvpkg({"keygen", "--out", Path("k"), "--force"});
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_NE(ReadBytes(Path("k")), key);

    EXPECT_EQ(Klvpkg({"keygen", "--out", Path("no/dir/k")}).status, 64);
    EXPECT_EQ(Klvpkg({"keygen", "--out="}).status, 64);
    EXPECT_FALSE(fs::exists(Path("no")));
}

struct TrustCase {
    const char* name;
    const char* package;  // signed (k1), unsigned, tampered (resealed after a change), damaged
    const char* key;      // the --trust key
    const char* trust;
};

void PrintTo(const TrustCase& c, std::ostream* os) {
    *os << c.name;
}

class KlvpkgTrust : public KlvpkgIntegrityTest, public testing::WithParamInterface<TrustCase> {};

TEST_P(KlvpkgTrust, InspectAndVerifyTellTheSigner) {
    Keygen("k1");
    Keygen("k2");
    Build("signed.klvpkg", {"--sign", Path("k1")});
    Build("unsigned.klvpkg");
    Build("tampered.klvpkg", {"--sign", Path("k1")});
    {
        // Someone changes an image and writes a new, matching digest: only the
        // signature can tell.
        std::vector<uint8_t> bytes = ReadBytes(Path("tampered.klvpkg"));
        bytes[bytes.size() - 19] ^= 0x01;
        ASSERT_TRUE(klv::package::SealPackage(bytes));
        WriteBytes(Path("tampered.klvpkg"), bytes);
    }
    Build("damaged.klvpkg", {"--sign", Path("k1")});
    FlipLastImageByte("damaged.klvpkg");

    const TrustCase& c = GetParam();
    const std::string package = Path(std::string(c.package) + ".klvpkg");
    const RunResult run = Klvpkg({"inspect", "--json", package, "--trust", Path(c.key)});
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["trust"], c.trust);
    const RunResult verify = Klvpkg({"verify", package, "--trust", Path(c.key)});
    EXPECT_EQ(verify.status, std::string(c.trust) == "trusted" ? 0 : 2) << verify.err;
}

const TrustCase kTrustCases[] = {
    {"SignedByTrustedKey", "signed", "k1.pub", "trusted"},
    {"SignedByAnotherKey", "signed", "k2.pub", "signed by another key"},
    {"Unsigned", "unsigned", "k1.pub", "unsigned"},
    {"TamperedAndResealed", "tampered", "k1.pub", "bad signature"},
    {"Damaged", "damaged", "k1.pub", "damaged"},
};

INSTANTIATE_TEST_SUITE_P(Cases, KlvpkgTrust, testing::ValuesIn(kTrustCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KlvpkgIntegrityTest, SignedPackageNamesItsSignerWithoutTrust) {
    Keygen("k1");
    const RunResult keygen = Klvpkg({"keygen", "--out", Path("k3")});
    const std::string fingerprint = keygen.out.substr(keygen.out.find("fingerprint: ") + 13, 64);
    Build("signed.klvpkg", {"--sign", Path("k3")});
    const nlohmann::json report = InspectJson(Path("signed.klvpkg"));
    EXPECT_EQ(report["signer"], fingerprint);
    EXPECT_EQ(report["trust"], "not checked");
    EXPECT_EQ(report["integrity"], "verified");
}

struct SigningRefusal {
    const char* name;
    std::vector<std::string> args;
    const char* says;
};

void PrintTo(const SigningRefusal& c, std::ostream* os) {
    *os << c.name;
}

class KlvpkgSigningRefusal : public KlvpkgIntegrityTest,
                             public testing::WithParamInterface<SigningRefusal> {};

TEST_P(KlvpkgSigningRefusal, SaysWhatIsWrongAndWritesNothing) {
    Keygen("k1");
    Build("p.klvpkg");
    const std::vector<std::string> before = DirectoryListing();
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        if (a.size() > 2 && a.front() == '{' && a.back() == '}') {
            a = Path(a.substr(1, a.size() - 2));
        }
        args.push_back(a);
    }
    const RunResult run = Klvpkg(args);
    EXPECT_EQ(run.status, 64);  // every one is a wrong option value
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << run.err;
    EXPECT_EQ(DirectoryListing(), before);
}

const SigningRefusal kSigningRefusals[] = {
    {"SignWithoutDigest",
     {"build", "-o", "{q.klvpkg}", "--image1", "{abc.bin}", "--no-digest", "--sign", "{k1}"},
     "--sign needs the digest"},
    {"SignWithPublicKey", {"build", "-o", "{q.klvpkg}", "--image1", "{abc.bin}", "--sign", "{k1.pub}"},
     "not a PEM private key"},
    {"SignWithMissingKey", {"build", "-o", "{q.klvpkg}", "--image1", "{abc.bin}", "--sign", "{nokey}"},
     "does not exist"},
    {"SignWithEmptyKey", {"build", "-o", "{q.klvpkg}", "--image1", "{abc.bin}", "--sign="},
     "--sign"},
    {"TrustAPrivateKey", {"inspect", "{p.klvpkg}", "--trust", "{k1}"}, "not a PEM public key"},
    {"TrustAnImage", {"verify", "{p.klvpkg}", "--trust", "{abc.bin}"}, "not a PEM public key"},
};

INSTANTIATE_TEST_SUITE_P(Cases, KlvpkgSigningRefusal, testing::ValuesIn(kSigningRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
