#include "tools/sim/full_speed_link.h"

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct InboundCase {
    const char* name;
    // Host packets in order: first byte sent, last byte sent (ms), size in bytes.
    std::vector<std::tuple<double, double, int>> packets;
    std::vector<double> arrivals;  // when the instrument has each of them (ms)
};

void PrintTo(const InboundCase& c, std::ostream* os) {
    *os << c.name;
}

class FrameScheduleInbound : public ::testing::TestWithParam<InboundCase> {};

TEST_P(FrameScheduleInbound, HostPacketsTravelIn64ByteUnits19AFrame) {
    FrameSchedule schedule;
    std::vector<double> arrivals;
    for (const auto& [first, last, bytes] : GetParam().packets) {
        arrivals.push_back(schedule.Inbound(first, last, bytes));
    }
    EXPECT_EQ(arrivals, GetParam().arrivals);
}

const InboundCase kInbound[] = {
    {"ASmallPacketArrivesAtTheEndOfItsFrame", {{0.3, 0.3, 6}}, {1.0}},
    {"NineteenUsbPacketsFillOneFrame", {{0.0, 0.0, 19 * 64}}, {1.0}},
    {"TheTwentiethSpillsIntoTheNext", {{0.0, 0.0, 19 * 64 + 1}}, {2.0}},
    // 65,539 bytes are 1,025 USB packets: 53 full frames and 18 packets in a 54th.
    {"TheLargestPacketTakes54Frames", {{0.0, 0.0, 65539}}, {54.0}},
    {"BackToBackPacketsShareAFrame", {{0.1, 0.1, 6}, {0.2, 0.2, 18}}, {1.0, 1.0}},
    {"AFullFramePushesTheNextPacketOn", {{0.1, 0.1, 18 * 64}, {0.2, 0.2, 128}}, {1.0, 2.0}},
    {"ALaterPacketStartsInItsOwnFrame", {{0.1, 0.1, 6}, {7.5, 7.5, 6}}, {1.0, 8.0}},
    // The host's pause before the last byte of a 64-byte multiple.
    {"ALateLastByteArrivesWithItsFrame", {{0.1, 100.4, 64}}, {101.0}},
};

INSTANTIATE_TEST_SUITE_P(Link, FrameScheduleInbound, ::testing::ValuesIn(kInbound),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FrameSchedule, ARepliesLeavesInTheFrameAfterItWasWritten) {
    FrameSchedule schedule;
    EXPECT_EQ(schedule.Outbound(1.0, 6), 3.0);    // written in frame 1, sent in frame 2
    EXPECT_EQ(schedule.Outbound(1.5, 6), 3.0);    // shares frame 2
    EXPECT_EQ(schedule.Outbound(1.6, 1216), 4.0);  // frame 2 has 17 places left
    EXPECT_EQ(schedule.Outbound(9.9, 20), 11.0);
}

// The line as the instrument's engine reads it: scripted chunks at given times.
class ScriptedLine final : public ByteStream {
  public:
    struct Chunk {
        double atMs;
        std::vector<uint8_t> bytes;
    };
    explicit ScriptedLine(double* clockMs) : clockMs(clockMs) {}
    int Read(uint8_t* buffer, int count, int timeoutMs) override {
        if (chunks.empty()) {
            return -1;
        }
        Chunk& next = chunks.front();
        if (next.atMs > *clockMs + timeoutMs) {
            *clockMs += timeoutMs;
            return 0;
        }
        *clockMs = std::max(*clockMs, next.atMs);
        const int n = std::min<int>(count, static_cast<int>(next.bytes.size()));
        std::copy_n(next.bytes.begin(), n, buffer);
        next.bytes.erase(next.bytes.begin(), next.bytes.begin() + n);
        if (next.bytes.empty()) {
            chunks.pop_front();
        }
        return n;
    }
    bool Write(const uint8_t* data, int count) override {
        writes.emplace_back(*clockMs, std::vector<uint8_t>(data, data + count));
        return true;
    }
    std::deque<Chunk> chunks;
    std::vector<std::pair<double, std::vector<uint8_t>>> writes;
    double* clockMs;
};

class LinkRig : public ::testing::Test {
  protected:
    LinkRig() : line(&clockMs), link(line) {
        link.now = [this] { return Base() + Duration(clockMs); };
        link.waitUntil = [this](FullSpeedLink::Clock::time_point t) {
            clockMs = std::max(clockMs,
                               std::chrono::duration<double, std::milli>(t - Base()).count());
        };
    }
    static FullSpeedLink::Clock::time_point Base() { return FullSpeedLink::Clock::time_point{}; }
    static FullSpeedLink::Clock::duration Duration(double ms) {
        return std::chrono::duration_cast<FullSpeedLink::Clock::duration>(
            std::chrono::duration<double, std::milli>(ms));
    }
    double clockMs = 0;
    ScriptedLine line;
    FullSpeedLink link;
};

TEST_F(LinkRig, AnExchangeTakesThePacketsFramesAndTheReplysFrame) {
    const std::vector<uint8_t> query = {0x00, 0x20, 0x02, 0x00, 0xFF, 0xFF};
    line.chunks.push_back({10.25, query});
    uint8_t header[4];
    ASSERT_EQ(link.Read(header, 4, 1000), 4);
    // Frames count from the first byte the host sent: it is there at the end of frame 0.
    EXPECT_DOUBLE_EQ(clockMs, 11.25);
    uint8_t payload[2];
    ASSERT_EQ(link.Read(payload, 2, 1000), 2);
    EXPECT_EQ(payload[1], 0xFF);

    const uint8_t reply[6] = {0x00, 0x21, 0x02, 0x00, 0x00, 0x10};
    ASSERT_TRUE(link.Write(reply, 6));
    ASSERT_EQ(line.writes.size(), 1u);
    EXPECT_DOUBLE_EQ(line.writes[0].first, 13.25);  // sent in frame 2, there at its end

    const FullSpeedLink::Figures figures = link.Report();
    EXPECT_EQ(figures.hostPackets, 1);
    EXPECT_EQ(figures.replies, 1);
    EXPECT_DOUBLE_EQ(figures.actualSeconds, 0.003);
    EXPECT_DOUBLE_EQ(figures.minimumSeconds, 0.003);
}

TEST_F(LinkRig, APacketIsHeldUntilItsAnnouncedBytesAreIn) {
    std::vector<uint8_t> chunk(4 + 200, 0x5A);
    chunk[0] = 0x01;
    chunk[1] = 0x03;
    chunk[2] = 200;
    chunk[3] = 0;
    line.chunks.push_back({0.0, {chunk.begin(), chunk.begin() + 100}});
    line.chunks.push_back({30.5, {chunk.begin() + 100, chunk.end()}});
    uint8_t buffer[300];
    EXPECT_EQ(link.Read(buffer, 4, 20), 0);  // the rest has not come within the wait
    EXPECT_EQ(link.Read(buffer, 300, 100), 204);
    EXPECT_DOUBLE_EQ(clockMs, 31.0);
}

TEST_F(LinkRig, ASlowHostShowsAboveTheMinimum) {
    const std::vector<uint8_t> ack = {0x03, 0x01, 0x02, 0x00, 0x03, 0x00};
    const uint8_t reply[6] = {0x03, 0x01, 0x02, 0x00, 0x00, 0x00};
    uint8_t buffer[6];
    // The host answers each reply 1.5 ms late, so each exchange starts a frame later.
    double at = 0;
    for (int i = 0; i < 3; ++i) {
        line.chunks.push_back({at, ack});
        ASSERT_EQ(link.Read(buffer, 6, 1000), 6);
        ASSERT_TRUE(link.Write(reply, 6));
        at = clockMs + 1.5;
    }
    const FullSpeedLink::Figures figures = link.Report();
    EXPECT_DOUBLE_EQ(figures.minimumSeconds, 0.009);
    // Replies reach the host at 3, 7 and 11 ms: each late start costs the frame it missed.
    EXPECT_DOUBLE_EQ(figures.actualSeconds, 0.011);
}

TEST_F(LinkRig, AClosedLineEndsTheRead) {
    uint8_t buffer[4];
    EXPECT_EQ(link.Read(buffer, 4, 10), -1);
}

}  // namespace
