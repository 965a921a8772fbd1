// The dialog's transport after the protocol has let go of it: an aborted sequence must
// never reach a port that the scan has opened again for a replugged instrument.

#include "ui/responsive_lock_transport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/ui/fake_dialog_window.h"

namespace {

// A port that counts what reaches it, is opened again at will, and can hold a Send.
class RecordingPort final : public MTAccessInterface {
  public:
    bool Lock() override { return true; }
    bool Unlock() override { return true; }
    int Send(const uint8_t*, int, int) override {
        std::unique_lock lock(mutex);
        ++sends;
        inSend = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !holdSend; });
        inSend = false;
        return open ? 0 : 4;
    }
    int Recv(uint8_t*, int, int* received, int) override {
        std::lock_guard lock(mutex);
        ++recvs;
        if (received != nullptr) {
            *received = 0;
        }
        return open ? 0 : 4;
    }
    int Close() override {
        std::lock_guard lock(mutex);
        open = false;
        return 0;
    }
    bool IsRecvEmpty() override {
        std::lock_guard lock(mutex);
        ++queries;
        return false;
    }
    void Purge() override {
        std::lock_guard lock(mutex);
        ++purges;
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    bool holdSend = false;
    bool inSend = false;
    int sends = 0;
    int recvs = 0;
    int queries = 0;
    int purges = 0;
};

TEST(ResponsiveLockTransport, AfterCloseNothingReachesThePortOpenedAgain) {
    FakeDialogWindow window;
    RecordingPort port;
    ResponsiveLockTransport transport(port, window);
    const uint8_t packet[4] = {0x01, 0x03, 0x00, 0x00};
    uint8_t reply[4];
    ASSERT_EQ(transport.Send(packet, 4, 100), 0);
    ASSERT_EQ(port.sends, 1);

    EXPECT_EQ(transport.Close(), 0);
    port.open = true;  // the scan found the instrument again and opened the same port

    int received = -1;
    EXPECT_EQ(transport.Send(packet, 4, 100), 4);
    EXPECT_EQ(transport.Recv(reply, 4, &received, 100), 4);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(transport.IsRecvEmpty());
    transport.Purge();
    EXPECT_EQ(port.sends, 1);
    EXPECT_EQ(port.recvs, 0);
    EXPECT_EQ(port.queries, 0);
    EXPECT_EQ(port.purges, 0);
    // The lock still works: Detach waits for it after the close.
    EXPECT_TRUE(transport.Lock());
    EXPECT_TRUE(transport.Unlock());
}

TEST(ResponsiveLockTransport, ACallUnderWayAtTheCloseKeepsThePortFromBeingOpenedAgain) {
    FakeDialogWindow window;
    RecordingPort port;
    ResponsiveLockTransport transport(port, window);
    EXPECT_FALSE(transport.ClosedWhileInUse());
    port.holdSend = true;
    const uint8_t packet[4] = {0x01, 0x03, 0x00, 0x00};
    std::thread worker([&] { transport.Send(packet, 4, 100); });
    {
        std::unique_lock lock(port.mutex);
        port.changed.wait(lock, [&] { return port.inSend; });
    }
    EXPECT_FALSE(transport.ClosedWhileInUse()) << "open: nothing to keep out";
    transport.Close();
    EXPECT_TRUE(transport.ClosedWhileInUse());
    {
        std::lock_guard lock(port.mutex);
        port.holdSend = false;
    }
    port.changed.notify_all();
    worker.join();
    EXPECT_FALSE(transport.ClosedWhileInUse());
}

}  // namespace
