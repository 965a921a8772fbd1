// Detach on one thread while a sequence on another waits for the instrument, over the
// in-memory cable: the instrument side is played by the test.

#include <gtest/gtest.h>

#include <thread>

#include "tests/protocol/fake_sleep.h"
#include "tests/protocol/protocol_fixture.h"
#include "tests/support/memory_transport.h"

namespace {

Bytes ReadExactly(MemoryLink::End& end, size_t count) {
    Bytes bytes(count);
    size_t got = 0;
    while (got < count) {
        const int n = end.Read(bytes.data() + got, static_cast<int>(count - got), -1);
        if (n < 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

void Write(MemoryLink::End& end, const Bytes& bytes) {
    end.Write(bytes.data(), static_cast<int>(bytes.size()));
}

// Returns once the worker has entered its `calls`-th receive.
void WaitForRecv(MemoryTransport& port, int calls) {
    while (port.counters.recvs.load() < calls) {
        std::this_thread::yield();
    }
}

struct Rig {
    MemoryLink link;
    MemoryTransport port{link.host()};
    std::unique_ptr<FWPackage> package = MakePackage(100, 50);
    RecordingSink sink;
    MTUpdateProtocol p;

    Rig() {
        FakeSleep::Reset();
        // Generous, so that Detach's wait for the lock never depends on scheduling.
        port.lockTimeoutMs = 10000;
        p.transport = &port;
        p.package = package.get();
        p.callback = &sink;
        p.sleepMs = FakeSleep::Sleep;
    }
    void ExpectDetachedAndReleased() {
        EXPECT_TRUE(p.aborted);
        EXPECT_TRUE(port.IsClosed());
        EXPECT_EQ(p.transport.load(), nullptr);
        EXPECT_EQ(port.counters.locks.load(), port.counters.unlocks.load());
    }
};

TEST(AbortWhileWaiting, DetachEndsConnectWaitingForTheSyncReply) {
    Rig rig;
    int result = -1;
    std::thread worker([&] { result = rig.p.Connect(); });
    EXPECT_EQ(ReadExactly(rig.link.device(), 20), SyncRequest());
    WaitForRecv(rig.port, 1);

    EXPECT_EQ(rig.p.Detach(), &rig.port);
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rig.sink.Seen(), (std::vector<Reported>{{2, 0}, {3, 1}}));
    rig.ExpectDetachedAndReleased();
}

TEST(AbortWhileWaiting, DetachEndsTransferWaitingForAChunkAck) {
    Rig rig;
    rig.p.maxPacket = 64;
    int result = -1;
    std::thread worker([&] { result = rig.p.Transfer(); });
    EXPECT_EQ(ReadExactly(rig.link.device(), 10), ImageStart(0x44, 50));
    Write(rig.link.device(), Ack());
    const Bytes image2(rig.package->image2.data.get(), rig.package->image2.data.get() + 50);
    EXPECT_EQ(ReadExactly(rig.link.device(), 4 + 50), Packet(0x01, 0x03, image2));
    WaitForRecv(rig.port, 3);  // the start's two reads, then the chunk's header

    EXPECT_EQ(rig.p.Detach(), &rig.port);
    worker.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rig.sink.Seen(), (std::vector<Reported>{{8, 0}, {9, 3}}));
    EXPECT_TRUE(FakeSleep::Slept().empty());
    rig.ExpectDetachedAndReleased();
}

}  // namespace
