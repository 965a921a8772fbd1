// A whole update over one scripted transport, and what every sequence shares: the
// purge of stale input, Detach, and reporting without a sink.

#include <gtest/gtest.h>

#include "tests/protocol/fake_sleep.h"
#include "tests/protocol/protocol_fixture.h"

namespace {

using Op = ScriptedTransport::Op;

// Connect (sends 0 to 3), CheckVersion (4 to 6 for one entry), Transfer (7 on).
void ScriptWholeUpdate(ScriptedTransport& t) {
    ScriptConnect(t, 64);
    ScriptVersions(t, {"R20.07"}, 4);
    // The host's own acknowledgements get no answer; every transfer packet does.
    t.replies[3] = {};
    t.replies[6] = {};
    t.defaultReply = Ack();
}

struct Rig {
    ScriptedTransport t;
    std::unique_ptr<FWPackage> package = MakePackage(60, 6);
    RecordingSink sink;
    MTUpdateProtocol p;

    Rig() {
        FakeSleep::Reset();
        ScriptWholeUpdate(t);
        p.transport = &t;
        p.package = package.get();
        p.callback = &sink;
        p.sleepMs = FakeSleep::Sleep;
    }
};

TEST(UpdateSequence, EveryStatusInOrderAndEveryPacketByteForByte) {
    Rig rig;
    ASSERT_EQ(rig.p.Connect(), 0);
    ASSERT_EQ(rig.p.CheckVersion(), 0);
    ASSERT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(rig.sink.Seen(),
              (std::vector<Reported>{{2, 0}, {7, 0}, {8, 0}, {10, 0}, {12, 0}, {14, 0}}));
    EXPECT_EQ(rig.p.maxPacket, 64);

    const uint8_t* const image1 = rig.package->image1.data.get();
    const uint8_t* const image2 = rig.package->image2.data.get();
    const auto chunk = [](const uint8_t* data, size_t n) {
        return Packet(0x01, 0x03, Bytes(data, data + n));
    };
    const std::vector<Bytes> expected = {
        SyncRequest(),        SizeQuery(),       IdentifyRequest(),
        HostAck(0x11),                                           // Connect
        VersionRequest(),     HostAck(0x03),     HostAck(0x04),  // CheckVersion
        ImageStart(0x44, 6),  chunk(image2, 6),  ImageEnd(),     // image 2
        ImageStart(0x40, 60), chunk(image1, 56), chunk(image1 + 56, 4),
        ImageEnd(),           FinishCommand(),
    };
    EXPECT_EQ(rig.t.sent, expected);
    EXPECT_EQ(rig.t.CountOf(Op::Lock), 3);
    EXPECT_EQ(rig.t.CountOf(Op::Unlock), 3);
    EXPECT_EQ(rig.t.CountOf(Op::Purge), 0);
}

TEST(UpdateSequence, WithoutASinkStatusAndCodeAreStillStored) {
    Rig rig;
    rig.p.callback = nullptr;
    ASSERT_EQ(rig.p.Connect(), 0);
    EXPECT_EQ(rig.p.status, StatusConnecting);
    ASSERT_EQ(rig.p.CheckVersion(), 0);
    EXPECT_EQ(rig.p.status, StatusAwaitingConfirm);
    rig.t.replies[7] = Packet(0x03, 0x02, {0, 0});  // image 2's start refused
    EXPECT_EQ(rig.p.Transfer(), 1);
    EXPECT_EQ(rig.p.status, StatusImage2Failed);
    EXPECT_EQ(rig.p.errorCode, ErrorTransfer);
    // A progress report leaves the code of the last failure alone.
    rig.t.defaultReply = Ack();
    rig.t.replies.erase(7);
    rig.t.sendResults.clear();
    EXPECT_EQ(rig.p.Transfer(), 0);
    EXPECT_EQ(rig.p.status, StatusCompleted);
    EXPECT_EQ(rig.p.errorCode, ErrorTransfer);
}

class StaleInputTest : public testing::TestWithParam<int> {};

// Leftovers of an earlier exchange must not be taken for the answer to the first request.
TEST_P(StaleInputTest, IsPurgedBeforeTheFirstRequest) {
    const int sequence = GetParam();
    Rig rig;
    const Bytes stale = Concat({Ack(), SyncReply(), {0xFF, 0x00}});
    rig.t.before = [&](Op op, int index) {
        if (op == Op::Lock && index == sequence) {
            rig.t.input.assign(stale.begin(), stale.end());
        }
    };
    const std::vector<int (MTUpdateProtocol::*)()> steps = {
        &MTUpdateProtocol::Connect, &MTUpdateProtocol::CheckVersion, &MTUpdateProtocol::Transfer};
    for (const auto step : steps) {
        ASSERT_EQ((rig.p.*step)(), 0);
    }
    EXPECT_EQ(rig.t.CountOf(Op::Purge), 1);
    EXPECT_EQ(rig.sink.Seen().back(), (Reported{14, 0}));
}

INSTANTIATE_TEST_SUITE_P(Sequences, StaleInputTest, testing::Values(0, 1, 2), [](const auto& info) {
    return std::string(info.param == 0 ? "Connect" : info.param == 1 ? "CheckVersion" : "Transfer");
});

TEST(Detach, WithoutTransportReturnsNullAndChangesNothing) {
    RecordingSink sink;
    MTUpdateProtocol p;
    p.callback = &sink;
    p.status = StatusAwaitingConfirm;
    EXPECT_EQ(p.Detach(), nullptr);
    EXPECT_FALSE(p.aborted);
    EXPECT_EQ(p.status, StatusAwaitingConfirm);
    EXPECT_TRUE(sink.Seen().empty());
}

struct DetachCase {
    int32_t status;
    bool aborts;  // sets aborted and closes the port
    std::vector<Reported> reports;
};

void PrintTo(const DetachCase& c, std::ostream* out) {
    *out << "status " << c.status;
}

class DetachTest : public testing::TestWithParam<DetachCase> {};

TEST_P(DetachTest, InStatus) {
    const DetachCase& c = GetParam();
    ScriptedTransport t;
    RecordingSink sink;
    MTUpdateProtocol p;
    p.transport = &t;
    p.callback = &sink;
    p.status = c.status;
    p.errorCode = 42;
    bool abortedBeforeLock = false;
    t.before = [&](Op op, int) {
        if (op == Op::Lock) {
            abortedBeforeLock = p.aborted && t.closed;
        }
    };
    EXPECT_EQ(p.Detach(), &t);
    EXPECT_EQ(p.transport.load(), nullptr);
    EXPECT_EQ(p.aborted.load(), c.aborts);
    EXPECT_EQ(t.closed, c.aborts);
    EXPECT_EQ(abortedBeforeLock, c.aborts);  // the waiting sequence is woken first
    EXPECT_EQ(t.CountOf(Op::Lock), 1);
    EXPECT_EQ(t.CountOf(Op::Unlock), 1);
    EXPECT_EQ(sink.Seen(), c.reports);
}

INSTANTIATE_TEST_SUITE_P(Statuses, DetachTest,
                         testing::Values(DetachCase{StatusInitial, true, {}},
                                         DetachCase{StatusConnecting, true, {}},
                                         DetachCase{StatusLinkFailed, true, {}},
                                         DetachCase{StatusAwaitingConfirm, true, {{16, 3}}},
                                         DetachCase{StatusSendingImage2, true, {}},
                                         DetachCase{StatusSendingImage1, true, {}},
                                         DetachCase{StatusFinishing, false, {}},
                                         DetachCase{StatusCompleted, true, {}},
                                         DetachCase{StatusFailed, true, {}}));

TEST(Detach, AfterConfirmationShownReportsTheLostInstrument) {
    Rig rig;
    ASSERT_EQ(rig.p.Connect(), 0);
    ASSERT_EQ(rig.p.CheckVersion(), 0);
    EXPECT_EQ(rig.p.Detach(), &rig.t);
    EXPECT_EQ(rig.sink.Seen(), (std::vector<Reported>{{2, 0}, {7, 0}, {16, 3}}));
    // The next transfer has no transport.
    EXPECT_EQ(rig.p.Transfer(), 1);
    EXPECT_EQ(rig.sink.Seen().back(), (Reported{16, 80}));
}

// A lock that is still held elsewhere is not Detach's to release.
TEST(Detach, LockNotObtainedIsNotReleased) {
    ScriptedTransport t;
    t.lockResult = false;
    MTUpdateProtocol p;
    p.transport = &t;
    EXPECT_EQ(p.Detach(), &t);
    EXPECT_EQ(t.CountOf(Op::Unlock), 0);
    EXPECT_EQ(p.transport.load(), nullptr);
}

}  // namespace
