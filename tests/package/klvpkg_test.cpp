// klvpkg as a release engineer uses it: build, inspect, and refusals that leave no
// file behind.

#include <algorithm>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tools/klvpkg/klvpkg_app.h"

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

        const nlohmann::json report = InspectJson(Path("out.klvpkg"));
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
    EXPECT_EQ(InspectJson(Path("s.klvpkg")), InspectJson(Path("p.klvpkg")));

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
    EXPECT_EQ(run.status, 1);
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
    {"MissingImage1File", {"--image1", "@absent.bin"}, false, "absent.bin"},
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
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(fs::exists(Path("no")));
}

TEST_F(KlvpkgTest, InspectOfUnreadableFileFails) {
    for (const std::string& file : {Path("absent.klvpkg"), dir_.string()}) {
        const RunResult run = Klvpkg({"inspect", "--json", file});
        EXPECT_EQ(run.status, 1) << file;
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

}  // namespace
