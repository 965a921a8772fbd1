// Transfer against a scripted instrument that acknowledges every packet.

#include <gtest/gtest.h>

#include <functional>

#include "tests/protocol/fake_sleep.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Op = ScriptedTransport::Op;

struct Rig {
    ScriptedTransport t;
    std::unique_ptr<FWPackage> package = MakePackage(10, 6);
    RecordingSink sink;
    MTUpdateProtocol p;

    Rig() {
        FakeSleep::Reset();
        t.defaultReply = Ack();
        p.transport = &t;
        p.package = package.get();
        p.callback = &sink;
        p.maxPacket = 1024;
        p.sleepMs = FakeSleep::Sleep;
    }
    void ExpectLockBalanced() {
        const int obtained = t.lockResult ? t.CountOf(Op::Lock) : 0;
        EXPECT_EQ(t.CountOf(Op::Unlock), obtained);
    }
};

Bytes Chunk(const uint8_t* data, size_t n) {
    return Packet(0x01, 0x03, Bytes(data, data + n));
}

Bytes ImageBytes(const FWImage& image) {
    return Bytes(image.data.get(), image.data.get() + image.length);
}

const std::vector<Reported> kCompleted = {{8, 0}, {10, 0}, {12, 0}, {14, 0}};

TEST(Transfer, SendsBothImagesAndFinishesByteForByte) {
    Rig rig;
    ASSERT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(rig.sink.Seen(), kCompleted);
    const FWImage& image1 = rig.package->image1;
    const FWImage& image2 = rig.package->image2;
    EXPECT_EQ(rig.t.sent,
              (std::vector<Bytes>{ImageStart(0x44, 6), Chunk(image2.data.get(), 6), ImageEnd(),
                                  ImageStart(0x40, 10), Chunk(image1.data.get(), 10), ImageEnd(),
                                  FinishCommand()}));
    for (const auto& send : rig.t.CallsOf(Op::Send)) {
        EXPECT_EQ(send.timeoutMs, 5000);
    }
    // Header and payload of each acknowledgement are read with the same time-out; only
    // the start commands wait long.
    std::vector<int> waits;
    for (const auto& recv : rig.t.CallsOf(Op::Recv)) {
        waits.push_back(recv.timeoutMs);
    }
    EXPECT_EQ(waits, (std::vector<int>{60000, 60000, 5000, 5000, 5000, 5000, 100000, 100000, 5000,
                                       5000, 5000, 5000, 5000, 5000}));
    EXPECT_EQ(FakeSleep::Slept(), std::vector<int>(51, 200));
    rig.ExpectLockBalanced();
}

TEST(Transfer, EmptyImage2IsSkippedWithoutAPacket) {
    Rig rig;
    rig.package->image2 = FWImage{};
    ASSERT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(rig.sink.Seen(), kCompleted);
    ASSERT_FALSE(rig.t.sent.empty());
    EXPECT_EQ(rig.t.sent.front(), ImageStart(0x40, 10));
    EXPECT_EQ(rig.t.sent.size(), 4u);
}

struct ChunkCase {
    uint16_t maxPacket;
    uint32_t imageSize;
    std::vector<uint16_t> chunks;  // payload sizes in order
};

void PrintTo(const ChunkCase& c, std::ostream* out) {
    *out << "maxPacket " << c.maxPacket << ", image " << c.imageSize;
}

class ChunkingTest : public testing::TestWithParam<ChunkCase> {};

TEST_P(ChunkingTest, FillsEachPacketAndCarriesTheWholeImage) {
    const ChunkCase& c = GetParam();
    Rig rig;
    SetImage(rig.package->image2, Pattern(c.imageSize, 3));
    rig.p.maxPacket = c.maxPacket;
    ASSERT_EQ(rig.p.Transfer(), 0);

    const auto& sent = rig.t.sent;
    ASSERT_GE(sent.size(), c.chunks.size() + 2);
    EXPECT_EQ(sent[0], ImageStart(0x44, c.imageSize));  // the whole length, not a chunk's
    Bytes carried;
    for (size_t k = 0; k < c.chunks.size(); ++k) {
        const Bytes& packet = sent[1 + k];
        ASSERT_GE(packet.size(), 4u);
        EXPECT_EQ(packet[0], 0x01);
        EXPECT_EQ(packet[1], 0x03);
        EXPECT_EQ(packet[2] | (packet[3] << 8), c.chunks[k]) << "chunk " << k;
        EXPECT_EQ(packet.size(), 4u + c.chunks[k]);
        EXPECT_LE(packet.size(), c.maxPacket);
        carried.insert(carried.end(), packet.begin() + 4, packet.end());
    }
    EXPECT_EQ(sent[1 + c.chunks.size()], ImageEnd());  // no empty chunk before the end
    EXPECT_EQ(carried, ImageBytes(rig.package->image2));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ChunkingTest,
    testing::Values(ChunkCase{5, 3, {1, 1, 1}},              // the smallest packet
                    ChunkCase{6, 3, {2, 1}},                 //
                    ChunkCase{64, 120, {56, 56, 8}},         // a multiple of 64 keeps 4 back
                    ChunkCase{64, 112, {56, 56}},            // an exact multiple of the chunk
                    ChunkCase{100, 200, {96, 96, 8}},        //
                    ChunkCase{128, 250, {120, 120, 10}},     //
                    ChunkCase{1024, 1, {1}},                 //
                    ChunkCase{4096, 8176, {4088, 4088}},     //
                    ChunkCase{65535, 70000, {65531, 4469}},  // above 65,535: length field whole
                    ChunkCase{65535, 65531 * 2, {65531, 65531}}));

struct SmallPacketCase {
    uint16_t maxPacket;
    bool image2Empty;
    std::vector<Reported> reports;
};

void PrintTo(const SmallPacketCase& c, std::ostream* out) {
    *out << "maxPacket " << c.maxPacket << (c.image2Empty ? ", no image 2" : "");
}

class SmallPacketTest : public testing::TestWithParam<SmallPacketCase> {};

TEST_P(SmallPacketTest, FirstImageFailsBeforeAnyPacket) {
    const SmallPacketCase& c = GetParam();
    Rig rig;
    rig.p.maxPacket = c.maxPacket;
    if (c.image2Empty) {
        rig.package->image2 = FWImage{};
    }
    EXPECT_EQ(rig.p.Transfer(), 1);
    EXPECT_EQ(rig.sink.Seen(), c.reports);
    EXPECT_EQ(rig.t.CountOf(Op::Send), 0);
    rig.ExpectLockBalanced();
}

INSTANTIATE_TEST_SUITE_P(BelowFive, SmallPacketTest,
                         testing::Values(SmallPacketCase{4, false, {{8, 0}, {9, 3}}},
                                         SmallPacketCase{0, false, {{8, 0}, {9, 3}}},
                                         SmallPacketCase{4, true, {{8, 0}, {10, 0}, {11, 3}}},
                                         SmallPacketCase{0, true, {{8, 0}, {10, 0}, {11, 3}}}));

// Sends with one chunk per image: 0 start 2, 1 chunk, 2 end, 3 start 1, 4 chunk, 5 end,
// 6 finish. Each acknowledgement is two reads: the reads of send k are 2k and 2k + 1.
struct FailureCase {
    const char* name;
    std::function<void(Rig&)> arrange;
    std::vector<Reported> reports;
    int sends;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class TransferFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(TransferFailureTest, ReportsOnceAndStops) {
    const FailureCase& c = GetParam();
    Rig rig;
    c.arrange(rig);
    EXPECT_EQ(rig.p.Transfer(), 1);
    EXPECT_EQ(rig.sink.Seen(), c.reports);
    EXPECT_EQ(rig.t.CountOf(Op::Send), c.sends);
    EXPECT_TRUE(FakeSleep::Slept().empty());
    rig.ExpectLockBalanced();
}

const Bytes kNoReply = {};
const Bytes kNegative = Packet(0x03, 0x02, {0, 0});
const Bytes kRefused = Packet(0x03, 0xFE, {0, 0});
const Bytes kMalformed = RawPacket(0x03, 0x01, 1, {0});

std::function<void(Rig&)> Reply(int send, Bytes reply) {
    return [send, reply](Rig& r) { r.t.replies[send] = reply; };
}
std::function<void(Rig&)> SendFails(int send) {
    return [send](Rig& r) { r.t.sendResults[send] = 1; };
}
std::function<void(Rig&)> AtRecv(int index, std::function<void(Rig&)> action) {
    return [index, action](Rig& r) {
        r.t.before = [&r, index, action](Op op, int k) {
            if (op == Op::Recv && k == index)
                action(r);
        };
    };
}

const std::vector<Reported> kImage2Failed = {{8, 0}, {9, 3}};
const std::vector<Reported> kImage1Failed = {{8, 0}, {10, 0}, {11, 3}};
const std::vector<Reported> kFinishFailed = {{8, 0}, {10, 0}, {12, 0}, {13, 3}};

const FailureCase kFailureCases[] = {
    {"NoTransport", [](Rig& r) { r.p.transport = nullptr; }, {{16, 80}}, 0},
    {"NoPackage", [](Rig& r) { r.p.package = nullptr; }, {{16, 255}}, 0},
    {"LockNotObtained", [](Rig& r) { r.t.lockResult = false; }, {{16, 80}}, 0},
    {"Start2NotSent", SendFails(0), kImage2Failed, 1},
    {"Start2Unanswered", Reply(0, kNoReply), kImage2Failed, 1},
    {"Start2AnsweredNegatively", Reply(0, kNegative), kImage2Failed, 1},
    {"Start2AnsweredMalformed", Reply(0, kMalformed), kImage2Failed, 1},
    {"Chunk2NotSent", SendFails(1), kImage2Failed, 2},
    {"Chunk2Unanswered", Reply(1, kNoReply), kImage2Failed, 2},
    {"Chunk2AnsweredNegatively", Reply(1, kNegative), kImage2Failed, 2},
    {"Chunk2Refused", Reply(1, kRefused), kImage2Failed, 2},
    {"Chunk2AnsweredByOtherPacket", Reply(1, ListEnd()), kImage2Failed, 2},
    {"End2Unanswered", Reply(2, kNoReply), kImage2Failed, 3},
    {"End2AnsweredNegatively", Reply(2, kNegative), kImage2Failed, 3},
    {"Start1Unanswered", Reply(3, kNoReply), kImage1Failed, 4},
    {"Chunk1AnsweredNegatively", Reply(4, kNegative), kImage1Failed, 5},
    {"End1NotSent", SendFails(5), kImage1Failed, 6},
    {"FinishNotSent", SendFails(6), kFinishFailed, 7},
    {"FinishUnanswered", Reply(6, kNoReply), kFinishFailed, 7},
    {"FinishAnsweredNegatively", Reply(6, kNegative), kFinishFailed, 7},
    {"FinishAnsweredMalformed", Reply(6, kMalformed), kFinishFailed, 7},
    {"AbortWhileWaitingForChunk2", AtRecv(2, [](Rig& r) { r.p.aborted = true; }), kImage2Failed, 2},
    {"DetachWhileWaitingForChunk1", AtRecv(8, [](Rig& r) { r.p.Detach(); }), kImage1Failed, 5},
    // While finishing, Detach leaves the port open, but the cleared transport still ends
    // the wait for the acknowledgement.
    {"DetachWhileWaitingForFinishAck", AtRecv(12, [](Rig& r) { r.p.Detach(); }), kFinishFailed, 7},
};

INSTANTIATE_TEST_SUITE_P(Cases, TransferFailureTest, testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Transfer, DetachWhileWaitingForChunkClosesThePort) {
    Rig rig;
    AtRecv(2, [](Rig& r) { r.p.Detach(); })(rig);
    EXPECT_EQ(rig.p.Transfer(), 1);
    EXPECT_TRUE(rig.t.closed);
    EXPECT_TRUE(rig.p.aborted);
}

struct SettleCase {
    int abortAtSlice;  // 0: never
    int slices;
};

class SettleWaitTest : public testing::TestWithParam<SettleCase> {};

TEST_P(SettleWaitTest, SleepsInSlicesUntilDoneOrAborted) {
    const SettleCase& c = GetParam();
    Rig rig;
    FakeSleep::onSleep = [&rig, c](int slice) {
        if (slice == c.abortAtSlice) {
            rig.p.aborted = true;
        }
    };
    ASSERT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(FakeSleep::Slept(), std::vector<int>(c.slices, 200));
    EXPECT_EQ(rig.sink.Seen(), kCompleted);
    rig.ExpectLockBalanced();
}

INSTANTIATE_TEST_SUITE_P(Slices, SettleWaitTest,
                         testing::Values(SettleCase{0, 51}, SettleCase{1, 1}, SettleCase{3, 3},
                                         SettleCase{51, 51}));

TEST(Transfer, DetachDuringSettleWaitNeitherAbortsNorClosesAndUnlocksTheLockedPort) {
    Rig rig;
    MTAccessInterface* detached = nullptr;
    FakeSleep::onSleep = [&](int slice) {
        if (slice == 1) {
            detached = rig.p.Detach();
        }
    };
    ASSERT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(detached, &rig.t);
    EXPECT_EQ(rig.p.transport.load(), nullptr);
    EXPECT_FALSE(rig.p.aborted);
    EXPECT_FALSE(rig.t.closed);
    EXPECT_EQ(FakeSleep::Slept().size(), 51u);
    EXPECT_EQ(rig.sink.Seen(), kCompleted);
    // The sequence's lock and Detach's own, both released on this transport.
    EXPECT_EQ(rig.t.CountOf(Op::Lock), 2);
    EXPECT_EQ(rig.t.CountOf(Op::Unlock), 2);
}

}  // namespace
