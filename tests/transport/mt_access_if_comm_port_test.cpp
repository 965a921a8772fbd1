#include "transport/mt_access_if_comm_port.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/transport/fake_serial_device.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using State = FakeSerialDevice::State;

class PortTest : public ::testing::Test {
  protected:
    PortTest() : port(std::make_unique<FakeSerialDevice>(device)) {
        port.trace = [this](const char* line) { traced.emplace_back(line); };
    }
    void OpenPort() { ASSERT_TRUE(port.Open(u"COM3")); }

    State device;
    MTAccessIfCommPort port;
    std::vector<std::string> traced;
};

std::vector<uint8_t> Pattern(int count) {
    std::vector<uint8_t> bytes(count);
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return bytes;
}

// --- reading ---------------------------------------------------------------------

struct BudgetCase {
    int timeoutMs;
    int systemReads;
};

class ReadBudgetTest : public PortTest, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(ReadBudgetTest, SilentLineMakesOneReadPerHundredMsPlusOne) {
    OpenPort();
    uint8_t buffer[4] = {};
    int received = -1;
    EXPECT_EQ(port.Recv(buffer, 4, &received, GetParam().timeoutMs), 2);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(device.Get(&State::readCalls), GetParam().systemReads);
    EXPECT_THAT(traced, ElementsAre("Recv(4)(0)\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Budgets, ReadBudgetTest,
                         ::testing::Values(BudgetCase{5000, 51}, BudgetCase{0, 501},
                                           BudgetCase{99, 1}, BudgetCase{100, 2},
                                           BudgetCase{250, 3}, BudgetCase{60000, 601}));

TEST_F(PortTest, ReadsAreGatheredInArrivalOrder) {
    OpenPort();
    device.reads = {{true, "abc"}, {true, ""}, {true, "d"}};
    uint8_t buffer[4] = {};
    int received = 0;
    EXPECT_EQ(port.Recv(buffer, 4, &received, 5000), 0);
    EXPECT_EQ(std::string(buffer, buffer + 4), "abcd");
    EXPECT_EQ(received, 4);
    EXPECT_EQ(device.Get(&State::readCalls), 3);
    EXPECT_EQ(device.Get(&State::prepareReads), 1);
    EXPECT_THAT(traced, ElementsAre("Recv(4)(4)\r\n"));
}

TEST_F(PortTest, ReadStopsOnceCountIsReachedAndLeavesTheRestUnread) {
    OpenPort();
    device.reads = {{true, "ab"}, {true, "cd"}, {true, "ef"}};
    uint8_t buffer[8] = {};
    EXPECT_EQ(port.Recv(buffer, 4, nullptr, 5000), 0);
    EXPECT_EQ(device.Get(&State::readCalls), 2);
    EXPECT_EQ(device.reads.size(), 1u);
}

struct FailedReadCase {
    const char* name;
    std::deque<FakeSerialDevice::ScriptedRead> script;
    int timeoutMs;
    int result;
    std::string bytes;
    int systemReads;
};

class FailedReadTest : public PortTest, public ::testing::WithParamInterface<FailedReadCase> {};

TEST_P(FailedReadTest, FailureEndsTheReadOnlyWhenItDeliveredNothing) {
    OpenPort();
    device.reads = GetParam().script;
    uint8_t buffer[4] = {};
    int received = -1;
    EXPECT_EQ(port.Recv(buffer, 4, &received, GetParam().timeoutMs), GetParam().result);
    EXPECT_EQ(std::string(buffer, buffer + received), GetParam().bytes);
    EXPECT_EQ(device.Get(&State::readCalls), GetParam().systemReads);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedReadTest,
    ::testing::Values(
        FailedReadCase{"FailsAtOnce", {{false, ""}}, 5000, 2, "", 1},
        FailedReadCase{"FailsAfterBytesKeepsThem", {{true, "ab"}, {false, ""}}, 5000, 2, "ab", 2},
        // Budget 2 (100 ms): the failing read that delivered a byte is not charged, so
        // the third read still happens.
        FailedReadCase{"FailureWithBytesCostsNoBudget",
                       {{true, "ab"}, {false, "c"}, {true, "d"}},
                       100,
                       0,
                       "abcd",
                       3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ReceivingNothingMakesNoSystemRead) {
    OpenPort();
    uint8_t buffer[1] = {};
    int received = -1;
    EXPECT_EQ(port.Recv(buffer, 0, &received, 5000), 0);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(device.Get(&State::readCalls), 0);
    EXPECT_THAT(traced, ElementsAre("Recv(0)(0)\r\n"));
}

// --- writing ---------------------------------------------------------------------

struct SplitCase {
    int count;
    std::vector<std::string> events;
};

class WriteSplitTest : public PortTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(WriteSplitTest, MultiplesOf64GoOutAsAllButLastBytePauseLastByte) {
    OpenPort();
    const std::vector<uint8_t> data = Pattern(GetParam().count);
    EXPECT_EQ(port.Send(data.data(), GetParam().count, 5000), 0);
    EXPECT_THAT(device.events, ElementsAreArray(GetParam().events));
    EXPECT_EQ(device.written, std::string(data.begin(), data.end()));
    EXPECT_THAT(traced, ElementsAre("Send(" + std::to_string(GetParam().count) + ")\r\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, WriteSplitTest,
    ::testing::Values(SplitCase{64, {"prepare-write", "write 63", "pause 100", "write 1"}},
                      SplitCase{128, {"prepare-write", "write 127", "pause 100", "write 1"}},
                      SplitCase{4, {"prepare-write", "write 4"}},
                      SplitCase{63, {"prepare-write", "write 63"}},
                      SplitCase{65, {"prepare-write", "write 65"}},
                      SplitCase{1020, {"prepare-write", "write 1020"}}),
    [](const auto& info) { return std::to_string(info.param.count); });

struct FailedWriteCase {
    int count;
    int failingWrite;
    std::vector<std::string> events;
};

class FailedWriteTest : public PortTest, public ::testing::WithParamInterface<FailedWriteCase> {};

TEST_P(FailedWriteTest, FailedSystemWriteFailsTheSendAndFreesTheWriteLock) {
    OpenPort();
    device.failWriteNumber = GetParam().failingWrite;
    const std::vector<uint8_t> data = Pattern(GetParam().count);
    EXPECT_EQ(port.Send(data.data(), GetParam().count, 5000), 1);
    EXPECT_THAT(device.events, ElementsAreArray(GetParam().events));
    EXPECT_THAT(traced, ::testing::IsEmpty());
    // The write lock is recursive, so only another thread shows that it was released.
    const uint8_t packet[6] = {3, 1, 2, 0, 0x11, 0};
    auto other = std::async(std::launch::async, [&] { return port.Send(packet, 6, 5000); });
    EXPECT_EQ(other.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedWriteTest,
    ::testing::Values(FailedWriteCase{10, 1, {"prepare-write", "write 10"}},
                      FailedWriteCase{64, 1, {"prepare-write", "write 63"}},
                      FailedWriteCase{
                          64, 2, {"prepare-write", "write 63", "pause 100", "write 1"}}));

// --- closed port, open and close ---------------------------------------------------

TEST_F(PortTest, ClosedPortAnswersWithoutTouchingTheDevice) {
    uint8_t buffer[4] = {1, 2, 3, 4};
    int received = 1234;
    EXPECT_EQ(port.Send(buffer, 4, 5000), 4);
    EXPECT_EQ(port.Recv(buffer, 4, &received, 5000), 4);
    EXPECT_EQ(received, 1234);
    EXPECT_TRUE(port.IsRecvEmpty());
    port.Purge();
    EXPECT_EQ(port.Close(), 4);
    EXPECT_THAT(traced, ::testing::IsEmpty());
    EXPECT_EQ(device.Get(&State::callsOnClosedDevice), 0);
    EXPECT_EQ(device.Get(&State::readCalls), 0);
    EXPECT_THAT(device.events, ::testing::IsEmpty());
}

TEST_F(PortTest, CloseTwiceGivesZeroThenFourAndKeepsThePortName) {
    OpenPort();
    port.currentPortName = u"COM3";
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.Close(), 4);
    EXPECT_EQ(port.currentPortName, u"COM3");
    EXPECT_EQ(device.Get(&State::closes), 1);
    uint8_t byte = 0;
    EXPECT_EQ(port.Send(&byte, 1, 5000), 4);
}

TEST_F(PortTest, OpenWhileOpenIsRefusedAndLeavesTheDeviceAlone) {
    OpenPort();
    EXPECT_FALSE(port.Open(u"COM4"));
    EXPECT_EQ(device.Get(&State::opens), 1);
    EXPECT_EQ(device.Get(&State::closes), 0);
    uint8_t byte = 0;
    EXPECT_EQ(port.Send(&byte, 1, 5000), 0);
}

TEST_F(PortTest, FailedOpenLeavesThePortClosedAndReopenable) {
    device.openSucceeds = false;
    EXPECT_FALSE(port.Open(u"COM3"));
    uint8_t byte = 0;
    EXPECT_EQ(port.Send(&byte, 1, 5000), 4);
    EXPECT_EQ(port.Close(), 4);
    device.openSucceeds = true;
    EXPECT_TRUE(port.Open(u"COM3"));
}

TEST_F(PortTest, PortCanBeOpenedAgainAfterClose) {
    OpenPort();
    ASSERT_EQ(port.Close(), 0);
    EXPECT_TRUE(port.Open(u"COM3"));
    EXPECT_EQ(device.Get(&State::opens), 2);
}

TEST_F(PortTest, IsRecvEmptyAndPurgeReachTheOpenDevice) {
    OpenPort();
    EXPECT_TRUE(port.IsRecvEmpty());
    device.inputWaiting = true;
    EXPECT_FALSE(port.IsRecvEmpty());
    port.Purge();
    EXPECT_THAT(device.events, ElementsAre("purge"));
}

TEST_F(PortTest, DestroyingAnOpenPortClosesTheDevice) {
    State other;
    {
        MTAccessIfCommPort doomed(std::make_unique<FakeSerialDevice>(other));
        ASSERT_TRUE(doomed.Open(u"COM9"));
    }
    EXPECT_EQ(other.closes, 1);
}

TEST(PortTrace, DefaultTraceGoesToStandardOutputAndEmptyTraceIsSilent) {
    State device;
    MTAccessIfCommPort port(std::make_unique<FakeSerialDevice>(device));
    ASSERT_TRUE(port.Open(u"COM3"));
    const uint8_t packet[6] = {0, 0x20, 2, 0, 0xFF, 0xFF};
    uint8_t reply[4];
    ::testing::internal::CaptureStdout();
    port.Send(packet, 6, 5000);
    port.Recv(reply, 4, nullptr, 100);
    port.trace = nullptr;
    port.Send(packet, 6, 5000);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Send(6)\r\nRecv(4)(0)\r\n");
}

// --- two threads -----------------------------------------------------------------

TEST_F(PortTest, LockIsHeldPerThreadRecursivelyAndOnlyItsOwnerUnlocks) {
    std::promise<void> locked, done;
    std::thread worker([&] {
        EXPECT_TRUE(port.Lock());
        EXPECT_TRUE(port.Lock()) << "the holder may lock again";
        locked.set_value();
        done.get_future().wait();
        EXPECT_TRUE(port.Unlock());
        EXPECT_TRUE(port.Unlock());
        EXPECT_FALSE(port.Unlock()) << "one Unlock per Lock";
    });
    locked.get_future().wait();
    EXPECT_FALSE(port.Lock()) << "500 ms run out while the worker holds it";
    EXPECT_FALSE(port.Unlock()) << "not the holder";
    done.set_value();
    worker.join();
    EXPECT_TRUE(port.Lock());
    EXPECT_TRUE(port.Unlock());
}

TEST_F(PortTest, LockOfEndedHolderIsAcquirable) {
    std::thread([&] { EXPECT_TRUE(port.Lock()); }).join();
    EXPECT_TRUE(port.Lock());
    EXPECT_TRUE(port.Unlock());
}

// The close on one thread while the other is inside a system call: the device is never
// closed under a call in progress, and the close does not wait for a call that does
// not wake.
struct CloseCase {
    const char* name;
    bool writing;
    bool callWakes;
    int result;  // a write that was not woken finishes on the still open device
};

class CloseDuringCallTest : public PortTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringCallTest, DeviceIsClosedOnlyAfterTheCallHasLeft) {
    OpenPort();
    {
        std::lock_guard lock(device.mutex);
        device.holdCalls = true;
        device.ignoreInterrupt = !GetParam().callWakes;
    }
    const uint8_t packet[6] = {1, 0x11, 2, 0, 0x8B, 0};
    auto worker = std::async(std::launch::async, [&] {
        uint8_t buffer[4];
        return GetParam().writing ? port.Send(packet, 6, 5000) : port.Recv(buffer, 4, nullptr, 0);
    });
    device.WaitUntilInFlight();
    EXPECT_EQ(port.Close(), 0);
    EXPECT_EQ(port.Close(), 4);
    if (!GetParam().callWakes) {
        // The call is still running on the old device: it stays open and taken.
        EXPECT_EQ(device.Get(&State::closes), 0);
        EXPECT_FALSE(port.Open(u"COM3"));
        device.Release();
    }
    EXPECT_EQ(worker.get(), GetParam().result);
    EXPECT_EQ(device.Get(&State::closes), 1);
    EXPECT_EQ(device.Get(&State::callsInFlightAtClose), 0);
    EXPECT_EQ(device.Get(&State::callsOnClosedDevice), 0);
    EXPECT_EQ(device.Get(&State::readCalls), GetParam().writing ? 0 : 1)
        << "no system read may follow the close";
    {
        std::lock_guard lock(device.mutex);
        device.holdCalls = false;
    }
    EXPECT_TRUE(port.Open(u"COM3"));
}

INSTANTIATE_TEST_SUITE_P(Calls, CloseDuringCallTest,
                         ::testing::Values(CloseCase{"ReadThatWakes", false, true, 2},
                                           CloseCase{"ReadThatDoesNotWake", false, false, 2},
                                           CloseCase{"WriteThatWakes", true, true, 1},
                                           CloseCase{"WriteThatDoesNotWake", true, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PortClose, CloseDuringSplitPauseFailsTheSecondWrite) {
    // The close lands while the write waits between its two halves: the last byte
    // must not go to a closed device.
    struct PausingDevice : FakeSerialDevice {
        using FakeSerialDevice::FakeSerialDevice;
        std::function<void()> duringPause;
        void Pause(int ms) override {
            FakeSerialDevice::Pause(ms);
            duringPause();
        }
    };
    State state;
    auto device = std::make_unique<PausingDevice>(state);
    PausingDevice* raw = device.get();
    MTAccessIfCommPort splitPort(std::move(device));
    ASSERT_TRUE(splitPort.Open(u"COM3"));
    raw->duringPause = [&] { std::thread([&] { splitPort.Close(); }).join(); };
    const std::vector<uint8_t> data = Pattern(64);
    EXPECT_EQ(splitPort.Send(data.data(), 64, 5000), 1);
    EXPECT_THAT(state.events, ElementsAre("prepare-write", "write 63", "pause 100"));
    EXPECT_EQ(state.callsOnClosedDevice, 0);
}

}  // namespace
