#include "tests/support/memory_transport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void WaitForRecv(MemoryTransport& port, int calls) {
    while (port.counters.recvs.load() < calls) {
        std::this_thread::yield();
    }
}

TEST(MemoryTransport, RecvGathersBytesThatArriveInPieces) {
    MemoryLink link;
    MemoryTransport port(link.host());
    std::thread instrument([&] {
        const uint8_t first[2] = {1, 2};
        link.device().Write(first, 2);
        WaitForRecv(port, 1);
        const uint8_t rest[3] = {3, 4, 5};
        link.device().Write(rest, 3);
    });
    Bytes buffer(5);
    int received = -1;
    EXPECT_EQ(port.Recv(buffer.data(), 5, &received, 30000), 0);
    instrument.join();
    EXPECT_EQ(received, 5);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5}));
}

TEST(MemoryTransport, RecvTimesOutWithWhatArrived) {
    MemoryLink link;
    MemoryTransport port(link.host());
    const uint8_t some[3] = {7, 8, 9};
    link.device().Write(some, 3);
    Bytes buffer(5);
    int received = -1;
    EXPECT_EQ(port.Recv(buffer.data(), 5, &received, 20), 2);
    EXPECT_EQ(received, 3);
    EXPECT_EQ(port.counters.bytesReceived.load(), 3);
}

TEST(MemoryTransport, SendReachesTheOtherEnd) {
    MemoryLink link;
    MemoryTransport port(link.host());
    const uint8_t packet[4] = {1, 4, 0, 0};
    EXPECT_EQ(port.Send(packet, 4, 5000), 0);
    Bytes got(4);
    EXPECT_EQ(link.device().Read(got.data(), 4, 0), 4);
    EXPECT_EQ(got, (Bytes{1, 4, 0, 0}));
    EXPECT_EQ(port.counters.bytesSent.load(), 4);
}

TEST(MemoryTransport, CloseEndsAWaitingRecvAndLaterCallsUntilReopened) {
    MemoryLink link;
    MemoryTransport port(link.host());
    int result = -1;
    std::thread worker([&] {
        uint8_t buffer[4];
        result = port.Recv(buffer, 4, nullptr, 30000);
    });
    WaitForRecv(port, 1);
    port.Close();
    worker.join();
    EXPECT_EQ(result, MemoryTransport::kNotOpen);

    uint8_t byte = 0;
    EXPECT_EQ(port.Send(&byte, 1, 5000), MemoryTransport::kNotOpen);
    EXPECT_EQ(port.Recv(&byte, 1, nullptr, 0), MemoryTransport::kNotOpen);
    port.Reopen();
    EXPECT_EQ(port.Send(&byte, 1, 5000), 0);
}

TEST(MemoryTransport, PulledCableFailsSendAndRecv) {
    MemoryLink link;
    MemoryTransport port(link.host());
    link.Disconnect();
    uint8_t byte = 0;
    EXPECT_EQ(port.Send(&byte, 1, 5000), 1);
    EXPECT_EQ(port.Recv(&byte, 1, nullptr, 1000), 1);
}

TEST(MemoryTransport, PurgeDropsWaitingInput) {
    MemoryLink link;
    MemoryTransport port(link.host());
    EXPECT_TRUE(port.IsRecvEmpty());
    const uint8_t stale[2] = {3, 1};
    link.device().Write(stale, 2);
    EXPECT_FALSE(port.IsRecvEmpty());
    port.Purge();
    EXPECT_TRUE(port.IsRecvEmpty());
}

TEST(MemoryTransport, LockIsExclusiveRecursiveAndOnlyItsOwnerUnlocks) {
    MemoryLink link;
    MemoryTransport port(link.host());
    port.lockTimeoutMs = 20;
    ASSERT_TRUE(port.Lock());
    ASSERT_TRUE(port.Lock());  // the same thread again

    bool otherLocked = true;
    bool otherUnlocked = true;
    std::thread other([&] {
        otherUnlocked = port.Unlock();
        otherLocked = port.Lock();
    });
    other.join();
    EXPECT_FALSE(otherUnlocked);
    EXPECT_FALSE(otherLocked);
    EXPECT_EQ(port.counters.lockFailures.load(), 1);

    EXPECT_TRUE(port.Unlock());
    EXPECT_TRUE(port.Unlock());
    EXPECT_FALSE(port.Unlock());
    std::thread later([&] {
        otherLocked = port.Lock();
        port.Unlock();
    });
    later.join();
    EXPECT_TRUE(otherLocked);
}

TEST(MemoryTransport, FailLockRefusesAtOnce) {
    MemoryLink link;
    MemoryTransport port(link.host());
    port.failLock = true;
    EXPECT_FALSE(port.Lock());
    port.failLock = false;
    EXPECT_TRUE(port.Lock());
    EXPECT_TRUE(port.Unlock());
}

}  // namespace
