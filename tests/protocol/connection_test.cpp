// Connect and CheckVersion against a scripted instrument.

#include <gtest/gtest.h>

#include <algorithm>

#include <functional>

#include "tests/protocol/protocol_fixture.h"

namespace {

using Op = ScriptedTransport::Op;

struct Rig {
    ScriptedTransport t;
    std::unique_ptr<FWPackage> package = MakePackage();
    RecordingSink sink;
    MTUpdateProtocol p;

    Rig() {
        p.transport = &t;
        p.package = package.get();
        p.callback = &sink;
    }
    // The sequence let go of every lock it obtained, once.
    void ExpectLockBalanced() {
        const int obtained = t.lockResult ? t.CountOf(Op::Lock) : 0;
        EXPECT_EQ(t.CountOf(Op::Unlock), obtained);
    }
};

using Arrange = std::function<void(Rig&)>;

struct SequenceCase {
    const char* name;
    Arrange arrange;
    std::vector<Reported> reports;
    int sends;  // Send calls made, the failed one included
};

void PrintTo(const SequenceCase& c, std::ostream* out) {
    *out << c.name;
}

std::string CaseName(const testing::TestParamInfo<SequenceCase>& info) {
    return info.param.name;
}

// ---- Connect ----

class ConnectTest : public testing::TestWithParam<SequenceCase> {};

TEST_P(ConnectTest, ReportsAndStops) {
    const SequenceCase& c = GetParam();
    Rig rig;
    ScriptConnect(rig.t);
    c.arrange(rig);
    const bool succeeds = c.reports.back() == Reported{StatusConnecting, 0};
    EXPECT_EQ(rig.p.Connect(), succeeds ? 0 : 1);
    EXPECT_EQ(rig.sink.Seen(), c.reports);
    EXPECT_EQ(rig.t.CountOf(Op::Send), c.sends);
    rig.ExpectLockBalanced();
}

const Bytes kNoReply = {};

const SequenceCase kConnectCases[] = {
    {"NoTransport", [](Rig& r) { r.p.transport = nullptr; }, {{16, 80}}, 0},
    {"NoPackage", [](Rig& r) { r.p.package = nullptr; }, {{16, 255}}, 0},
    {"Image1Empty", [](Rig& r) { r.package->image1.length = 0; }, {{15, 96}}, 0},
    {"PackageNotValid", [](Rig& r) { r.package->valid = false; }, {{15, 96}}, 0},
    {"LockNotObtained", [](Rig& r) { r.t.lockResult = false; }, {{16, 80}}, 0},
    {"SyncNotSent", [](Rig& r) { r.t.sendResults[0] = 1; }, {{2, 0}, {3, 1}}, 1},
    {"SyncUnanswered", [](Rig& r) { r.t.replies[0] = kNoReply; }, {{2, 0}, {3, 1}}, 1},
    {"SyncReplyByteNotZero",
     [](Rig& r) {
         Bytes payload(16, 0);
         payload[15] = 1;
         r.t.replies[0] = Packet(0x00, 0x01, payload);
     },
     {{2, 0}, {3, 1}},
     1},
    {"SyncAnsweredByOtherPacket",
     [](Rig& r) { r.t.replies[0] = SizeReply(64); },
     {{2, 0}, {3, 1}},
     1},
    {"SyncReplyMalformed",
     [](Rig& r) { r.t.replies[0] = RawPacket(0x00, 0x01, 15, Bytes(16, 0)); },
     {{2, 0}, {3, 1}},
     1},
    {"SizeQueryNotSent", [](Rig& r) { r.t.sendResults[1] = 1; }, {{2, 0}, {3, 1}}, 2},
    {"SizeQueryUnanswered", [](Rig& r) { r.t.replies[1] = kNoReply; }, {{2, 0}, {3, 1}}, 2},
    {"SizeQueryAcknowledgedInstead", [](Rig& r) { r.t.replies[1] = Ack(); }, {{2, 0}, {3, 1}}, 2},
    {"IdentifyNotSent", [](Rig& r) { r.t.sendResults[2] = 4; }, {{2, 0}, {3, 1}}, 3},
    {"IdentifyUnanswered", [](Rig& r) { r.t.replies[2] = kNoReply; }, {{2, 0}, {3, 1}}, 3},
    {"IdentifyAnsweredBySync", [](Rig& r) { r.t.replies[2] = SyncReply(); }, {{2, 0}, {3, 1}}, 3},
    {"ProtocolFieldWrongModelListed",
     [](Rig& r) { r.t.replies[2] = IdentifyReply(kModel, 0x01, 0x02); },
     {{2, 0}, {3, 1}},
     3},
    {"ModelUnlisted",
     [](Rig& r) {
         r.t.replies[2] = IdentifyReply({'K', 'L', '2', '1'});
     },
     {{2, 0}, {4, 16}},
     3},
    {"ProtocolFieldWrongAndModelUnlisted",
     [](Rig& r) {
         r.t.replies[2] = IdentifyReply({'N', 'O', 'P', 'E'}, 0x00, 0x01);
     },
     {{2, 0}, {3, 1}, {4, 16}},
     3},
    {"EmptyModelListRejectsEveryModel",
     [](Rig& r) { r.package->modelIds.clear(); },
     {{2, 0}, {4, 16}},
     3},
    {"IdentifyAckNotSent", [](Rig& r) { r.t.sendResults[3] = 1; }, {{2, 0}, {3, 1}}, 4},
    {"AbortWhileWaitingForSync",
     [](Rig& r) {
         r.t.before = [&r](Op op, int index) {
             if (op == Op::Recv && index == 0)
                 r.p.aborted = true;
         };
     },
     {{2, 0}, {3, 1}},
     1},
    {"TransportClearedDuringSend",
     [](Rig& r) {
         r.t.before = [&r](Op op, int index) {
             if (op == Op::Send && index == 1)
                 r.p.transport = nullptr;
         };
     },
     {{2, 0}, {3, 1}},
     2},
    {"AbortOnlyFromBeforeIsCleared", [](Rig& r) { r.p.aborted = true; }, {{2, 0}}, 4},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConnectTest, testing::ValuesIn(kConnectCases), CaseName);

TEST(Connect, SendsTheLinkPacketsByteForByte) {
    Rig rig;
    ScriptConnect(rig.t);
    ASSERT_EQ(rig.p.Connect(), 0);
    EXPECT_EQ(rig.t.sent,
              (std::vector<Bytes>{SyncRequest(), SizeQuery(), IdentifyRequest(), HostAck(0x11)}));
    for (const auto& call : rig.t.calls) {
        if (call.op == Op::Send || call.op == Op::Recv) {
            EXPECT_EQ(call.timeoutMs, 5000);
        }
    }
    EXPECT_FALSE(rig.p.aborted);
}

TEST(Connect, TakesEveryPacketSizeAsItComes) {
    for (const uint16_t size : {0, 4, 5, 1024, 65535}) {
        Rig rig;
        rig.p.maxPacket = 777;
        ScriptConnect(rig.t, size);
        EXPECT_EQ(rig.p.Connect(), 0) << size;
        EXPECT_EQ(rig.p.maxPacket, size);
    }
}

// ---- CheckVersion ----

class CheckVersionTest : public testing::TestWithParam<SequenceCase> {};

TEST_P(CheckVersionTest, ReportsAndStops) {
    const SequenceCase& c = GetParam();
    Rig rig;
    ScriptVersions(rig.t, {"R20.01"});
    c.arrange(rig);
    const bool succeeds = c.reports.back() == Reported{StatusAwaitingConfirm, 0};
    EXPECT_EQ(rig.p.CheckVersion(), succeeds ? 0 : 1);
    EXPECT_EQ(rig.sink.Seen(), c.reports);
    EXPECT_EQ(rig.t.CountOf(Op::Send), c.sends);
    rig.ExpectLockBalanced();
}

void Versions(Rig& r, const std::vector<std::string>& versions) {
    r.t.replies.clear();
    ScriptVersions(r.t, versions);
}

const SequenceCase kCheckVersionCases[] = {
    {"OneMatchingEntry", [](Rig&) {}, {{7, 0}}, 3},
    {"NoTransport", [](Rig& r) { r.p.transport = nullptr; }, {{16, 80}}, 0},
    {"LockNotObtained", [](Rig& r) { r.t.lockResult = false; }, {{16, 80}}, 0},
    {"RequestNotSent", [](Rig& r) { r.t.sendResults[0] = 1; }, {{5, 2}}, 1},
    {"RequestUnanswered", [](Rig& r) { r.t.replies[0] = kNoReply; }, {{5, 2}}, 1},
    {"RequestAnsweredNegatively",
     [](Rig& r) {
         r.t.replies[0] = Packet(0x03, 0x02, {0, 0});
     },
     {{5, 2}},
     1},
    {"RequestAnsweredByEntry", [](Rig& r) { r.t.replies[0] = VersionEntry("R20"); }, {{5, 2}}, 1},
    {"EntryNeverComes", [](Rig& r) { r.t.replies[0] = Ack(); }, {{5, 2}}, 1},
    {"EntryMalformed",
     [](Rig& r) {
         r.t.replies[0] = Concat({Ack(), RawPacket(0x01, 0x03, 9, {})});
     },
     {{5, 2}},
     1},
    {"EntryAckNotSent", [](Rig& r) { r.t.sendResults[1] = 1; }, {{3, 1}, {5, 2}}, 2},
    {"EndAckNotSent", [](Rig& r) { r.t.sendResults[2] = 1; }, {{3, 1}, {5, 2}}, 3},
    {"ListEndedByOtherPacketGetsNoAck",
     [](Rig& r) { r.t.replies[1] = Packet(0x00, 0x30); },
     {{5, 2}},
     2},
    {"AbortWhileWaitingForEntry",
     [](Rig& r) {
         r.t.before = [&r](Op op, int index) {
             if (op == Op::Recv && index == 2)
                 r.p.aborted = true;
         };
     },
     {{5, 2}},
     1},
    {"NoEntries", [](Rig& r) { Versions(r, {}); }, {{6, 17}}, 2},
    {"NoEntryMatches",
     [](Rig& r) {
         Versions(r, {"R19.99", "X20", "r20"});
     },
     {{6, 17}},
     5},
    {"MatchThenOthers",
     [](Rig& r) {
         Versions(r, {"R20.1", "R19", "Q"});
     },
     {{7, 0}},
     5},
    {"OthersThenMatch",
     [](Rig& r) {
         Versions(r, {"Q", "R19", "R20.1"});
     },
     {{7, 0}},
     5},
    {"TextEqualToPrefix", [](Rig& r) { Versions(r, {"R20"}); }, {{7, 0}}, 3},
    {"TextShorterThanPrefix", [](Rig& r) { Versions(r, {"R2"}); }, {{6, 17}}, 3},
    {"PrefixOnlyFurtherIn", [](Rig& r) { Versions(r, {"xR20"}); }, {{6, 17}}, 3},
    {"FirstFourPayloadBytesAreNotText",
     [](Rig& r) {
         r.t.replies[0] = Concat({Ack(), Packet(0x01, 0x03, {'R', '2', '0', '.', 'x'})});
     },
     {{6, 17}},
     3},
    {"TerminatorIsNotPartOfText",
     [](Rig& r) {
         Versions(r, {"R20"});
         VersionPrefix withZero = Prefix("R20");
         withZero.prefixLength = 4;  // "R20" and a zero byte
         r.package->versionPrefixes = {withZero};
     },
     {{6, 17}},
     3},
    {"EntryShorterThanFourBytesIsAcknowledged",
     [](Rig& r) {
         r.t.replies[0] = Concat({Ack(), Packet(0x01, 0x03, {'R', '2'})});
     },
     {{6, 17}},
     3},
    {"EmptyEntryIsAcknowledged",
     [](Rig& r) {
         r.t.replies[0] = Concat({Ack(), Packet(0x01, 0x03)});
     },
     {{6, 17}},
     3},
    {"NoPackageMatchesNothing", [](Rig& r) { r.p.package = nullptr; }, {{6, 17}}, 3},
};

INSTANTIATE_TEST_SUITE_P(Cases, CheckVersionTest, testing::ValuesIn(kCheckVersionCases), CaseName);

TEST(CheckVersion, AcknowledgesEachEntryAndTheEnd) {
    Rig rig;
    ScriptVersions(rig.t, {"A", "R20.3"});
    ASSERT_EQ(rig.p.CheckVersion(), 0);
    EXPECT_EQ(rig.t.sent,
              (std::vector<Bytes>{VersionRequest(), HostAck(0x03), HostAck(0x03), HostAck(0x04)}));
}

TEST(CheckVersion, LongestEntryKeepsItsLastByteAndTheTerminatorInBounds) {
    Rig rig;
    // 4 ignored bytes, then 65,531 bytes of text: the prefix, filler and a last 'Z'.
    std::string text(65531, '.');
    text.replace(0, 3, "R20");
    text.back() = 'Z';
    rig.t.replies[0] = Concat({Ack(), VersionEntry(text)});
    rig.t.replies[1] = ListEnd();
    ASSERT_EQ(rig.t.replies[0].size(), 6u + 4u + 65535u);
    // The buffer starts out zeroed; fill it so that only a written terminator reads 0.
    std::fill_n(rig.p.reply.get(), 4 + 65535 + 1, uint8_t{0xEE});

    ASSERT_EQ(rig.p.CheckVersion(), 0);
    EXPECT_EQ(rig.sink.Seen(), (std::vector<Reported>{{7, 0}}));
    // The end of the list has no payload, so the entry is still in the buffer.
    const uint8_t* const buffer = rig.p.reply.get();
    EXPECT_EQ(buffer[4 + 4], 'R');
    EXPECT_EQ(buffer[4 + 65534], 'Z');
    EXPECT_EQ(buffer[4 + 65535], 0);
}

}  // namespace
