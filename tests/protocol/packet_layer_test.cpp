// The packet layer every step builds on: one packet in, or one command and its
// acknowledgement.

#include <gtest/gtest.h>

#include "tests/protocol/protocol_fixture.h"

namespace {

using Op = ScriptedTransport::Op;

struct ReceiveCase {
    const char* name;
    Bytes input;
    std::map<int, int> recvResults;
    bool abortDuringSecondRecv;
    int expected;
    int recvCalls;    // header only, or header and payload
    size_t leftOver;  // bytes still waiting afterwards
};

void PrintTo(const ReceiveCase& c, std::ostream* out) {
    *out << c.name;
}

class ReceiveReplyTest : public testing::TestWithParam<ReceiveCase> {};

TEST_P(ReceiveReplyTest, Result) {
    const ReceiveCase& c = GetParam();
    ScriptedTransport t;
    t.input.assign(c.input.begin(), c.input.end());
    t.recvResults = c.recvResults;
    MTUpdateProtocol p;
    p.transport = &t;
    t.before = [&](Op op, int index) {
        if (op == Op::Recv && index == 1 && c.abortDuringSecondRecv) {
            p.aborted = true;
        }
    };
    EXPECT_EQ(MTUpdateProtocolAccess::ReceiveReply(p, 1234), c.expected);
    const auto recvs = t.CallsOf(Op::Recv);
    ASSERT_EQ(static_cast<int>(recvs.size()), c.recvCalls);
    EXPECT_EQ(recvs[0].count, 4);
    for (const auto& call : recvs) {
        EXPECT_EQ(call.timeoutMs, 1234);  // the full time-out for each read
        EXPECT_FALSE(call.receivedOut);
    }
    EXPECT_EQ(t.input.size(), c.leftOver);
}

const ReceiveCase kReceiveCases[] = {
    {"AckWithPayload", Ack(), {}, false, 0, 2, 0},
    {"VariableLengthZeroIsCompleteAfterHeader", Packet(0x01, 0x04), {}, false, 0, 1, 0},
    {"FixedZeroLengthPair", Packet(0x00, 0x30), {}, false, 0, 1, 0},
    {"ListedPairWrongLengthLeavesPayloadUnread",
     RawPacket(0x00, 0x21, 3, {1, 2, 3}),
     {},
     false,
     1,
     1,
     3},
    {"UnlistedPairLeavesPayloadUnread", RawPacket(0x02, 0x01, 2, {1, 2}), {}, false, 1, 1, 2},
    {"HeaderTimeout", {0x03, 0x01}, {}, false, 2, 1, 0},
    {"NothingAtAll", {}, {}, false, 2, 1, 0},
    {"PayloadTimeout", RawPacket(0x03, 0x01, 2, {0x00}), {}, false, 2, 2, 0},
    {"HeaderTransportError", Ack(), {{0, 4}}, false, 1, 1, 6},
    {"PayloadTransportError", Ack(), {{1, 3}}, false, 1, 2, 2},
    {"PayloadTimeoutResultFromTransport", Ack(), {{1, 2}}, false, 2, 2, 2},
    {"AbortDuringPayloadWinsOverSuccess", Ack(), {}, true, 5, 2, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, ReceiveReplyTest, testing::ValuesIn(kReceiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiveReply, AbortFoundAfterHeaderReadWhateverItReturned) {
    for (const int recvResult : {0, 1, 2, 4}) {
        ScriptedTransport t;
        const Bytes ack = Ack();
        t.input.assign(ack.begin(), ack.end());
        if (recvResult != 0) {
            t.recvResults[0] = recvResult;
        }
        MTUpdateProtocol p;
        p.transport = &t;
        p.aborted = true;
        EXPECT_EQ(MTUpdateProtocolAccess::ReceiveReply(p, 5000), 5) << recvResult;
        EXPECT_EQ(t.CountOf(Op::Recv), 1);
    }
}

TEST(ReceiveReply, NoTransportFailsWithoutReading) {
    MTUpdateProtocol p;
    EXPECT_EQ(MTUpdateProtocolAccess::ReceiveReply(p, 5000), 1);
}

TEST(ReceiveReply, TransportClearedBetweenHeaderAndPayloadFails) {
    ScriptedTransport t;
    const Bytes ack = Ack();
    t.input.assign(ack.begin(), ack.end());
    MTUpdateProtocol p;
    p.transport = &t;
    t.before = [&](Op op, int index) {
        if (op == Op::Recv && index == 0) {
            p.transport = nullptr;
        }
    };
    EXPECT_EQ(MTUpdateProtocolAccess::ReceiveReply(p, 5000), 1);
    EXPECT_EQ(t.CountOf(Op::Recv), 1);
}

TEST(ReplyIs, LooksOnlyAtTheCommandPair) {
    ScriptedTransport t;
    const Bytes entry = Packet(0x01, 0x03, {9, 9, 9});
    t.input.assign(entry.begin(), entry.end());
    MTUpdateProtocol p;
    p.transport = &t;
    ASSERT_EQ(MTUpdateProtocolAccess::ReceiveReply(p, 5000), 0);
    EXPECT_TRUE(MTUpdateProtocolAccess::ReplyIs(p, 0x01, 0x03));
    EXPECT_FALSE(MTUpdateProtocolAccess::ReplyIs(p, 0x01, 0x04));
    EXPECT_FALSE(MTUpdateProtocolAccess::ReplyIs(p, 0x03, 0x03));
}

struct AckCase {
    const char* name;
    Bytes reply;
    int timeoutMs;
    int sendResult;  // 0: the send succeeds
    bool abortDuringSend;
    int expected;
    int expectedWaitMs;  // time-out of the reads; 0 when nothing is read
};

void PrintTo(const AckCase& c, std::ostream* out) {
    *out << c.name;
}

class SendAndWaitAckTest : public testing::TestWithParam<AckCase> {};

TEST_P(SendAndWaitAckTest, Result) {
    const AckCase& c = GetParam();
    ScriptedTransport t;
    t.replies[0] = c.reply;
    if (c.sendResult != 0) {
        t.sendResults[0] = c.sendResult;
    }
    MTUpdateProtocol p;
    p.transport = &t;
    t.before = [&](Op op, int) {
        if (op == Op::Send && c.abortDuringSend) {
            p.aborted = true;
        }
    };
    const Bytes start = ImageStart(0x44, 0x01020304);
    EXPECT_EQ(MTUpdateProtocolAccess::SendAndWaitAck(p, start, c.timeoutMs), c.expected);

    const auto sends = t.CallsOf(Op::Send);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].count, 10);  // header plus its length field
    EXPECT_EQ(sends[0].timeoutMs, 5000);
    const auto recvs = t.CallsOf(Op::Recv);
    if (c.expectedWaitMs == 0) {
        EXPECT_TRUE(recvs.empty());
    }
    for (const auto& call : recvs) {
        EXPECT_EQ(call.timeoutMs, c.expectedWaitMs);
    }
}

const AckCase kAckCases[] = {
    {"Acknowledged", Ack(), 60000, 0, false, 0, 60000},
    {"AckPayloadNotExamined", Packet(0x03, 0x01, {0xFF, 0xFF}), 100000, 0, false, 0, 100000},
    {"ZeroTimeoutWaits5000", Ack(), 0, 0, false, 0, 5000},
    {"MinusOneTimeoutWaits5000", Ack(), -1, 0, false, 0, 5000},
    {"NegativeAnswer0302", Packet(0x03, 0x02, {0, 0}), 5000, 0, false, 4, 5000},
    {"NegativeAnswer03FE", Packet(0x03, 0xFE, {0, 0}), 5000, 0, false, 4, 5000},
    {"OtherWellFormedPacket", ListEnd(), 5000, 0, false, 4, 5000},
    {"MalformedReply", RawPacket(0x03, 0x01, 3, {0, 0, 0}), 5000, 0, false, 1, 5000},
    {"Silence", {}, 7000, 0, false, 2, 7000},
    {"SendFailed", Ack(), 5000, 1, false, 1, 0},
    {"PortNotOpen", Ack(), 5000, 4, false, 1, 0},
    {"AbortedDuringSend", Ack(), 5000, 0, true, 1, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, SendAndWaitAckTest, testing::ValuesIn(kAckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendAndWaitAck, TransportClearedDuringSendFailsWithoutReading) {
    ScriptedTransport t;
    t.replies[0] = Ack();
    MTUpdateProtocol p;
    p.transport = &t;
    t.before = [&](Op op, int) {
        if (op == Op::Send) {
            p.transport = nullptr;
        }
    };
    EXPECT_EQ(MTUpdateProtocolAccess::SendAndWaitAck(p, ImageStart(0x40, 1), 60000), 1);
    EXPECT_EQ(t.CountOf(Op::Recv), 0);
}

TEST(SendAndWaitAck, NoTransportFails) {
    MTUpdateProtocol p;
    EXPECT_EQ(MTUpdateProtocolAccess::SendAndWaitAck(p, ImageStart(0x40, 1), 60000), 1);
}

}  // namespace
