// The port over the real termios device, on a pseudo-terminal: the test holds the
// master side as the instrument would, the port opens the slave.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/mt_access_if_comm_port.h"

namespace {

class PseudoTerminal {
  public:
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
            slavePath = ptsname(master);
        }
    }
    ~PseudoTerminal() { CloseMaster(); }
    void CloseMaster() {
        if (master >= 0) {
            close(master);
            master = -1;
        }
    }
    std::u16string PortName() const { return std::u16string(slavePath.begin(), slavePath.end()); }

    void Write(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads exactly count bytes, waiting as long as they take.
    std::string Read(size_t count) {
        std::string bytes;
        while (bytes.size() < count) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                break;
            }
            char chunk[4096];
            const ssize_t n = read(master, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (n <= 0) {
                break;
            }
            bytes.append(chunk, n);
        }
        return bytes;
    }

    int master = -1;
    std::string slavePath;
};

// The descriptor this process holds on path, or -1.
int DescriptorOn(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == path) {
            return std::atoi(entry.path().filename().c_str());
        }
    }
    return -1;
}

std::string Target(int fd) {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes += static_cast<char>(i);
    }
    return bytes;
}

class PosixPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(pty.slavePath.empty());
        port.trace = nullptr;
    }
    PseudoTerminal pty;
    MTAccessIfCommPort port;
};

TEST_F(PosixPortTest, BytesPassUnchangedBothWays) {
    ASSERT_TRUE(port.Open(pty.PortName()));
    const std::string all = AllByteValues();  // 256: a multiple of 64, so also split

    pty.Write(all);
    std::string got(all.size(), '\0');
    int received = 0;
    EXPECT_EQ(port.Recv(reinterpret_cast<uint8_t*>(got.data()), 256, &received, 5000), 0);
    EXPECT_EQ(received, 256);
    EXPECT_EQ(got, all);

    EXPECT_EQ(port.Send(reinterpret_cast<const uint8_t*>(all.data()), 256, 5000), 0);
    EXPECT_EQ(pty.Read(256), all) << "no echo, no line-end translation, no lost byte";
    EXPECT_TRUE(port.IsRecvEmpty()) << "nothing echoed back";
}

TEST_F(PosixPortTest, WriteLargerThanTheTerminalBufferGoesOutWhole) {
    ASSERT_TRUE(port.Open(pty.PortName()));
    std::string big(65539, '\0');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i % 251);
    }
    auto drained = std::async(std::launch::async, [&] { return pty.Read(big.size()); });
    EXPECT_EQ(port.Send(reinterpret_cast<const uint8_t*>(big.data()), big.size(), 5000), 0);
    EXPECT_EQ(drained.get(), big);
}

TEST_F(PosixPortTest, ReadGathersBytesThatArriveInPieces) {
    ASSERT_TRUE(port.Open(pty.PortName()));
    auto writer = std::async(std::launch::async, [&] {
        pty.Write("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a later system read
        pty.Write("cd");
    });
    uint8_t buffer[4] = {};
    EXPECT_EQ(port.Recv(buffer, 4, nullptr, 5000), 0);
    EXPECT_EQ(std::string(buffer, buffer + 4), "abcd");
    writer.get();
}

TEST_F(PosixPortTest, SecondOpenerIsRefusedUntilTheFirstCloses) {
    ASSERT_TRUE(port.Open(pty.PortName()));
    MTAccessIfCommPort second;
    EXPECT_FALSE(second.Open(pty.PortName()));

    // Another program that asks for the lock is refused as well.
    const int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }

    ASSERT_EQ(port.Close(), 0);
    EXPECT_TRUE(second.Open(pty.PortName())) << "both locks are released by the close";
}

TEST_F(PosixPortTest, OpenKeepsSpeedAndFramingAndMakesTheLineRaw) {
    // Give the line settings unlike the defaults; the framing the driver then reports
    // (a pty insists on 8 data bits without parity) is what the open must keep.
    termios before{};
    {
        const int slave = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(slave, &tio), 0);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
        tio.c_lflag |= ICANON | ECHO;
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
        close(slave);
    }
    ASSERT_TRUE(port.Open(pty.PortName()));
    const int held = DescriptorOn(pty.slavePath);
    ASSERT_GE(held, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(held, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    const tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
    EXPECT_EQ(tio.c_cflag & framing, before.c_cflag & framing);
    EXPECT_TRUE(before.c_cflag & CSTOPB) << "the pty did not keep what the test set";
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE((tio.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD));
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
}

TEST_F(PosixPortTest, InputQueueIsSeenAndPurged) {
    ASSERT_TRUE(port.Open(pty.PortName()));
    EXPECT_TRUE(port.IsRecvEmpty());
    pty.Write("stale");
    for (int i = 0; i < 1000 && port.IsRecvEmpty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // through the pty
    }
    EXPECT_FALSE(port.IsRecvEmpty());
    port.Purge();
    EXPECT_TRUE(port.IsRecvEmpty());
}

TEST_F(PosixPortTest, InputQueueThatCannotBeCountedIsNotEmpty) {
    // /dev/null opens like a port (its line settings are skipped) but has no input
    // count: the caller must purge rather than trust an "empty".
    MTAccessIfCommPort null;
    null.trace = nullptr;
    ASSERT_TRUE(null.Open(u"/dev/null"));
    EXPECT_FALSE(null.IsRecvEmpty());
    null.Purge();
    EXPECT_EQ(null.Close(), 0);
}

TEST_F(PosixPortTest, MissingDeviceDoesNotOpen) {
    EXPECT_FALSE(port.Open(u"/dev/klv-no-such-port"));
    EXPECT_EQ(port.Close(), 4);
}

// Forwards to the real device, remembers what its reads returned, and can keep the
// worker inside ReadSome after the system call, as a thread preempted there would be.
class HoldingDevice : public SerialDevice {
  public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool hold = false;
        bool inRead = false;
        bool returned = false;
        int reads = 0;
        IoResult last;
    };
    explicit HoldingDevice(Shared& shared) : inner(CreateSystemSerialDevice()), s(shared) {}
    bool Open(const std::u16string& name) override { return inner->Open(name); }
    void Close() override { inner->Close(); }
    void PrepareRead() override { inner->PrepareRead(); }
    IoResult ReadSome(uint8_t* buffer, int count) override {
        {
            std::lock_guard lock(s.mutex);
            s.inRead = true;
            ++s.reads;
            s.changed.notify_all();
        }
        const IoResult result = inner->ReadSome(buffer, count);
        std::unique_lock lock(s.mutex);
        s.last = result;
        s.returned = true;
        s.changed.notify_all();
        s.changed.wait(lock, [this] { return !s.hold; });
        return result;
    }
    void PrepareWrite() override { inner->PrepareWrite(); }
    bool WriteSome(const uint8_t* data, int count) override {
        return inner->WriteSome(data, count);
    }
    bool InputWaiting() override { return inner->InputWaiting(); }
    void Purge() override { inner->Purge(); }
    void Interrupt() override { inner->Interrupt(); }

  private:
    std::unique_ptr<SerialDevice> inner;
    Shared& s;
};

TEST(PosixPortClose, CloseDuringBlockedReadWakesItAndNeverFreesTheDescriptorUnderIt) {
    PseudoTerminal pty;
    ASSERT_FALSE(pty.slavePath.empty());
    HoldingDevice::Shared shared;
    shared.hold = true;
    MTAccessIfCommPort port(std::make_unique<HoldingDevice>(shared));
    port.trace = nullptr;
    ASSERT_TRUE(port.Open(pty.PortName()));
    const int fd = DescriptorOn(pty.slavePath);
    ASSERT_GE(fd, 0);

    auto worker = std::async(std::launch::async, [&] {
        uint8_t buffer[4];
        return port.Recv(buffer, 4, nullptr, 0);  // a 50 s budget on a silent line
    });
    {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] { return shared.inRead; });
    }
    EXPECT_EQ(port.Close(), 0);  // returns although the worker is still inside the read
    {
        std::unique_lock lock(shared.mutex);
        shared.changed.wait(lock, [&] { return shared.returned; });
        EXPECT_FALSE(shared.last.ok) << "the close woke the system read";
    }

    // The worker is still inside ReadSome: its descriptor must still be the pty, so a
    // new open cannot be handed the same number, and the device is still taken.
    const int fresh = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_NE(fresh, fd);
    close(fresh);
    EXPECT_EQ(Target(fd), pty.slavePath);
    MTAccessIfCommPort other;
    EXPECT_FALSE(other.Open(pty.PortName()));

    {
        std::lock_guard lock(shared.mutex);
        shared.hold = false;
        shared.changed.notify_all();
    }
    EXPECT_EQ(worker.get(), 2);
    EXPECT_EQ(shared.reads, 1) << "no system read after the close";
    EXPECT_NE(Target(fd), pty.slavePath) << "the last user closed it";
    EXPECT_TRUE(other.Open(pty.PortName()));
}

TEST(PosixPortClose, VanishedDeviceEndsTheReadAtOnce) {
    PseudoTerminal pty;
    ASSERT_FALSE(pty.slavePath.empty());
    HoldingDevice::Shared shared;
    MTAccessIfCommPort port(std::make_unique<HoldingDevice>(shared));
    port.trace = nullptr;
    ASSERT_TRUE(port.Open(pty.PortName()));
    pty.CloseMaster();  // the cable is pulled
    uint8_t buffer[4];
    EXPECT_EQ(port.Recv(buffer, 4, nullptr, 5000), 2);
    EXPECT_EQ(shared.reads, 1);
    EXPECT_EQ(port.Close(), 0);
}

}  // namespace
