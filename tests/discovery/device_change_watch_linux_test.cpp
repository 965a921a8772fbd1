#include "discovery/device_change_watch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Result = DeviceChangeWatch::Result;

class DeviceFolder : public ::testing::Test {
  protected:
    DeviceFolder() {
        std::string pattern = (fs::temp_directory_path() / "klv-dev-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
    }
    ~DeviceFolder() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void Create(const std::string& name) { std::ofstream(dir_ / name) << ""; }

    fs::path dir_;
    std::atomic<bool> stop{false};
};

// Events are queued from the moment the watch exists, so a wait with no time left
// reports what happened before it.
TEST_F(DeviceFolder, ReportsSerialEntriesOnly) {
    DeviceChangeWatch watch(dir_.string());
    ASSERT_TRUE(watch.IsWatching());

    Create("null");
    fs::create_directory(dir_ / "bus");
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::TimedOut);

    Create("ttyACM0");
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::Changed);
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::TimedOut) << "the change was reported once";

    fs::rename(dir_ / "ttyACM0", dir_ / "ttyACM1");
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::Changed);

    fs::permissions(dir_ / "ttyACM1", fs::perms::owner_read);
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::Changed);

    fs::remove(dir_ / "ttyACM1");
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::Changed);
}

TEST_F(DeviceFolder, WakesForADeviceThatAppearsWhileWaiting) {
    DeviceChangeWatch watch(dir_.string());
    std::thread plug([this] { Create("ttyUSB0"); });
    // Without a time limit: a missed event would hang here, not pass.
    EXPECT_EQ(watch.WaitForChange(-1, stop), Result::Changed);
    plug.join();
}

TEST_F(DeviceFolder, StopFlagEndsTheWait) {
    DeviceChangeWatch watch(dir_.string());
    std::thread stopper([this] { stop = true; });
    EXPECT_EQ(watch.WaitForChange(-1, stop), Result::Stopped);
    stopper.join();
}

TEST(DeviceChangeWatch, MissingFolderFails) {
    DeviceChangeWatch watch("/nonexistent/klv-dev");
    std::atomic<bool> stop{false};
    EXPECT_FALSE(watch.IsWatching());
    EXPECT_EQ(watch.WaitForChange(0, stop), Result::Failed);
}

}  // namespace
