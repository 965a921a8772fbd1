#include "tools/station/station_log.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

AttemptRecord SampleRecord() {
    AttemptRecord r;
    r.time = "2026-12-10T14:03:07.250Z";
    r.port = "/dev/ttyACM0";
    r.vendorId = 0x0ABC;
    r.productId = 0x1234;
    r.serial = "SIM0";
    r.model = "4B4C5632";
    r.versions = {"R20P-02.00", "BOOT\x01\xff"};
    r.packageName = "demo.klvpkg";
    r.packageSha256 = "ab12";
    r.resultCode = 3;
    r.resultText = "ERROR 03";
    r.phaseSeconds = {{"connect", 0.25}, {"transfer", 12.5}};
    return r;
}

TEST(StationLog, ARecordIsOneLineOfJsonWithEveryField) {
    const std::string line = AttemptRecordJson(SampleRecord());
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const nlohmann::json json = nlohmann::json::parse(line);
    EXPECT_EQ(json["time"], "2026-12-10T14:03:07.250Z");
    EXPECT_EQ(json["port"], "/dev/ttyACM0");
    EXPECT_EQ(json["usb"]["vendorId"], 0x0ABC);
    EXPECT_EQ(json["usb"]["productId"], 0x1234);
    EXPECT_EQ(json["serial"], "SIM0");
    EXPECT_EQ(json["model"], "4B4C5632");
    ASSERT_EQ(json["versions"].size(), 2u);
    EXPECT_EQ(json["versions"][0], "R20P-02.00");
    // A control byte is escaped by JSON; a byte that is not UTF-8 becomes U+FFFD.
    EXPECT_EQ(json["versions"][1], "BOOT\x01\xef\xbf\xbd");
    EXPECT_EQ(json["package"]["name"], "demo.klvpkg");
    EXPECT_EQ(json["package"]["sha256"], "ab12");
    EXPECT_EQ(json["result"]["code"], 3);
    EXPECT_EQ(json["result"]["text"], "ERROR 03");
    EXPECT_DOUBLE_EQ(json["phases"]["transfer"].get<double>(), 12.5);
}

TEST(StationLog, APortWithoutUsbIdsHasNullUsb) {
    AttemptRecord r = SampleRecord();
    r.vendorId = -1;
    r.productId = -1;
    EXPECT_TRUE(nlohmann::json::parse(AttemptRecordJson(r))["usb"].is_null());
}

// Records from many workers land whole, one per line, after what the file held before.
TEST(StationLog, AppendsWholeLinesFromManyThreads) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("klv-station-log-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "bench.jsonl").string();
    {
        std::ofstream earlier(path);
        earlier << "{\"earlier\": true}\n";
    }
    constexpr int kThreads = 4;
    constexpr int kRecords = 25;
    {
        StationLog log;
        std::string error;
        ASSERT_TRUE(log.Open(path, error)) << error;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&log, t] {
                for (int i = 0; i < kRecords; ++i) {
                    AttemptRecord r = SampleRecord();
                    r.port = "/dev/ttyACM" + std::to_string(t);
                    r.resultCode = i;
                    EXPECT_TRUE(log.Append(r));
                }
            });
        }
        for (std::thread& th : threads) {
            th.join();
        }
    }
    {
        // Closed before the folder goes: Windows removes no file that is open.
        std::ifstream in(path);
        std::string line;
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line, "{\"earlier\": true}");
        int count = 0;
        while (std::getline(in, line)) {
            const nlohmann::json json = nlohmann::json::parse(line);  // throws on a torn line
            EXPECT_EQ(json["serial"], "SIM0");
            ++count;
        }
        EXPECT_EQ(count, kThreads * kRecords);
    }
    std::filesystem::remove_all(dir);
}

TEST(StationLog, AFolderCannotBeOpenedAsTheLog) {
    StationLog log;
    std::string error;
    EXPECT_FALSE(log.Open(std::filesystem::temp_directory_path().string(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(log.Append(SampleRecord()));
}

}  // namespace
