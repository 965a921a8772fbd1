// The simulated instrument against hand-built host packets: its replies byte for byte,
// the violations it finds, the faults it injects, and a host that starts over.

#include "tools/sim/instrument_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "tests/sim/host_script.h"
#include "tools/sim/memory_link.h"

namespace {

using host::Bytes;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

const ModelId kModel = {0x12, 0x34, 0x56, 0x78};

void SetImage(FWImage& image, const Bytes& bytes) {
    image.length = static_cast<uint32_t>(bytes.size());
    image.data = std::make_unique<uint8_t[]>(bytes.size() + 1);
    if (!bytes.empty()) {
        std::memcpy(image.data.get(), bytes.data(), bytes.size());
    }
}

std::unique_ptr<FWPackage> MakePackage(const Bytes& image2, const Bytes& image1) {
    auto package = std::make_unique<FWPackage>();
    package->valid = true;
    SetImage(package->image1, image1);
    SetImage(package->image2, image2);
    return package;
}

InstrumentConfig Config(uint16_t maxPacket, std::vector<std::string> versions = {"V1.00"}) {
    InstrumentConfig config;
    config.maxPacket = maxPacket;
    config.modelId = kModel;
    config.versions = std::move(versions);
    return config;
}

// --- The whole update, replies checked byte for byte --------------------------------

struct UpdateCase {
    const char* name;
    uint16_t maxPacket;
    std::vector<std::string> versions;
    Bytes listEndPayload;
    size_t image2Size;
    size_t image1Size;
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class FullUpdate : public testing::TestWithParam<UpdateCase> {};

TEST_P(FullUpdate, AnswersEveryPacketAndReassemblesTheImages) {
    const UpdateCase& c = GetParam();
    InstrumentConfig config = Config(c.maxPacket, c.versions);
    config.listEndPayload = c.listEndPayload;
    const Bytes image2 = host::Pattern(c.image2Size, 3);
    const Bytes image1 = host::Pattern(c.image1Size, 11);

    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    host::Play(side, host::GoodConversation(config, image2, image1));
    run.Join();

    const InstrumentReport report = engine.Report();
    EXPECT_THAT(report.violations, IsEmpty());
    EXPECT_EQ(report.image2, image2);
    EXPECT_EQ(report.image1, image1);
    EXPECT_TRUE(report.image1Ended);
    EXPECT_EQ(report.image2Ended, !image2.empty());
    EXPECT_TRUE(report.finished);
    EXPECT_TRUE(engine.ImagesMatch(*MakePackage(image2, image1)));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FullUpdate,
    testing::Values(
        // 64 is a multiple of 64: chunks of 56. 100 is not: chunks of 96.
        UpdateCase{"Packet64", 64, {"V1.00"}, {}, 120, 200},
        UpdateCase{"Packet100ExactMultiple", 100, {"A", "V1.00", "B"}, {}, 96, 192},
        UpdateCase{"SmallestPacket", 5, {"V1.00"}, {}, 3, 4},
        UpdateCase{"NoVersionsEndWithPayload", 1024, {}, {0xAA, 0xBB}, 0, 3000},
        UpdateCase{"LargestPacket", 65535, {"V1.00"}, {}, 70000, 65531}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentEngine, StopsAfterFinishWhenAsked) {
    InstrumentConfig config = Config(64);
    config.stopAfterFinish = true;
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    host::Play(side, host::GoodConversation(config, {}, host::Pattern(10, 1)));
    run.WaitForEnd();
    EXPECT_EQ(engine.Report().end, EngineEnd::Finished);
}

// --- What the instrument holds the host to -----------------------------------------

struct ViolationCase {
    const char* name;
    uint16_t maxPacket;
    std::vector<Bytes> packets;  // after a correct connection and version exchange
    const char* expected;        // part of the one violation
};

std::vector<Bytes> Connected() {
    return {host::Sync(),           host::SizeQuery(), host::Identify(), host::Ack(0x11),
            host::VersionRequest(), host::Ack(0x03),   host::Ack(0x04)};
}

std::vector<Bytes> Concat(std::vector<Bytes> head, const std::vector<Bytes>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

void PrintTo(const ViolationCase& c, std::ostream* os) {
    *os << c.name;
}

class Violations : public testing::TestWithParam<ViolationCase> {};

TEST_P(Violations, FlagsTheOneFault) {
    const ViolationCase& c = GetParam();
    MemoryLink link;
    InstrumentEngine engine(Config(c.maxPacket));
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    side.Send(c.packets);
    side.Settle(engine);
    run.Join();
    EXPECT_THAT(engine.Report().violations, ElementsAre(HasSubstr(c.expected)));
}

using host::Chunk;
using host::ImageEnd;
using host::ImageStart;

INSTANTIATE_TEST_SUITE_P(
    Host, Violations,
    testing::Values(
        ViolationCase{"ChunkTooLong", 64, Concat(Connected(), {ImageStart(0x44, 57), Chunk(57)}),
                      "image 2 chunk 0 carries 57 bytes, more than the 56"},
        ViolationCase{"ChunkFillingAMultipleOf64", 128,
                      Concat(Connected(), {ImageStart(0x40, 124), Chunk(124)}),
                      "more than the 120"},
        ViolationCase{
            "ShortChunkInTheMiddle", 1024,
            Concat(Connected(), {ImageStart(0x40, 100), Chunk(40), Chunk(60), ImageEnd()}),
            "image 1 chunk 0 carries 40 bytes, but only the last chunk"},
        ViolationCase{"EmptyChunk", 64,
                      Concat(Connected(), {ImageStart(0x40, 56), Chunk(56), Chunk(0), ImageEnd()}),
                      "image 1 chunk 1 is empty"},
        ViolationCase{"ChunkBeyondTheLength", 64,
                      Concat(Connected(), {ImageStart(0x40, 10), Chunk(10), Chunk(5)}),
                      "image 1 chunk 1 runs beyond the announced 10 bytes"},
        ViolationCase{
            "LengthFieldTooLarge", 64,
            Concat(Connected(), {ImageStart(0x44, 120), Chunk(56), Chunk(56), ImageEnd()}),
            "image 2 ended after 112 of 120 announced bytes"},
        ViolationCase{
            "Image1BeforeImage2", 64,
            Concat(Connected(), {ImageStart(0x40, 5), Chunk(5), ImageEnd(), ImageStart(0x44, 5)}),
            "image 2 (0x44) started after image 1 (0x40)"},
        ViolationCase{"UnknownTarget", 64, Concat(Connected(), {ImageStart(0x41, 5)}),
                      "unknown target code 0x41"},
        ViolationCase{"ConstantByte", 64, Concat(Connected(), {ImageStart(0x44, 5, 0x05)}),
                      "is 0x05, not the constant 04"},
        ViolationCase{"EmptyImageAnnounced", 64, Concat(Connected(), {ImageStart(0x44, 0)}),
                      "announces an empty image"},
        ViolationCase{"ImageWithNoRoomForAChunk", 4, Concat(Connected(), {ImageStart(0x40, 5)}),
                      "packet size 4 leaves no room"},
        ViolationCase{"ChunkBeforeStart", 64, Concat(Connected(), {Chunk(5)}),
                      "data chunk where an image start was due"},
        ViolationCase{
            "EndWithPayload", 64,
            Concat(Connected(), {ImageStart(0x40, 5), Chunk(5), host::Packet(0x01, 0x04, {0})}),
            "image 1 end carries a payload of 1 bytes"},
        ViolationCase{
            "FinishWithoutImage1", 64,
            Concat(Connected(), {ImageStart(0x44, 5), Chunk(5), ImageEnd(), host::Finish()}),
            "finish command where the start of image 1 was due"},
        ViolationCase{"FinishPayload", 64,
                      Concat(Connected(), {ImageStart(0x40, 5),
                                           Chunk(5),
                                           ImageEnd(),
                                           {0x01, 0x11, 0x02, 0x00, 0x8B, 0x01}}),
                      "finish command with payload 8B 01, not 8B 00"},
        ViolationCase{"AckOfTheWrongSubCommand",
                      64,
                      {host::Sync(), host::SizeQuery(), host::Identify(), host::Ack(0x03)},
                      "sub-command 0x03 where the acknowledgement of the identify reply (0x11)"},
        ViolationCase{"EntryAckedAsTheEnd",
                      64,
                      {host::Sync(), host::SizeQuery(), host::Identify(), host::Ack(0x11),
                       host::VersionRequest(), host::Ack(0x04), host::Ack(0x04)},
                      "sub-command 0x04 where the acknowledgement of version entry 0 (0x03)"},
        ViolationCase{"AckSecondByte",
                      64,
                      {host::Sync(),
                       host::SizeQuery(),
                       host::Identify(),
                       {0x03, 0x01, 0x02, 0x00, 0x11, 0x01}},
                      "second byte 0x01, not 00"},
        ViolationCase{"NoIdentifyAck",
                      64,
                      {host::Sync(), host::SizeQuery(), host::Identify(), host::VersionRequest()},
                      "version request where the acknowledgement of the identify reply"},
        ViolationCase{"IdentifyBeforeSize",
                      64,
                      {host::Sync(), host::Identify()},
                      "identify request where the packet-size query was due"},
        ViolationCase{"SyncPayload",
                      64,
                      {host::Packet(0x00, 0x00, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
                      "sync request with payload 00 00 00 01"},
        ViolationCase{"SizeQueryPayload",
                      64,
                      {host::Sync(), {0x00, 0x20, 0x02, 0x00, 0xFF, 0x00}},
                      "packet-size query with payload FF 00, not FF FF"},
        ViolationCase{"IdentifyPayload",
                      64,
                      {host::Sync(), host::SizeQuery(), host::Packet(0x00, 0x10, Bytes(14, 0))},
                      "identify request with payload 00 00"},
        ViolationCase{"VersionRequestPayload",
                      64,
                      {host::Sync(), host::SizeQuery(), host::Identify(), host::Ack(0x11),
                       host::Packet(0x01, 0x01, {0x10})},
                      "version request with a payload of 1 bytes, not 2"},
        ViolationCase{
            "UnknownCommand", 64, {{0x02, 0x00, 0x00, 0x00}}, "malformed header 02 00 00 00"},
        ViolationCase{"ListedPairWrongLength",
                      64,
                      {{0x00, 0x20, 0x03, 0x00, 0xFF, 0xFF, 0x00}},
                      "malformed header 00 20 03 00"},
        ViolationCase{
            "AckWrongLength", 64, {{0x03, 0x01, 0x01, 0x00, 0x11}}, "malformed header 03 01 01 00"},
        ViolationCase{"ReplyPairFromTheHost",
                      64,
                      {{0x03, 0x02, 0x02, 0x00, 0x00, 0x00}},
                      "unexpected packet 03/02"},
        ViolationCase{
            "UnusedDataCommand", 64, {host::Packet(0x01, 0x05, {})}, "unexpected packet 01/05"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Faults on demand ------------------------------------------------------------------

struct FaultCase {
    const char* name;
    Fault fault;
    Bytes seen;        // what the host receives in place of the reply; empty: nothing
    bool hostGivesUp;  // the host must not go on after it
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class Faults : public testing::TestWithParam<FaultCase> {};

// Plays a correct update up to the fault's step, reads what came instead of the
// reply, and, where the host may go on, finishes the update.
TEST_P(Faults, StrikeAtTheirStep) {
    const FaultCase& c = GetParam();
    InstrumentConfig config = Config(64, {"A", "V1.00", "B"});
    config.faults = {c.fault};
    const Bytes image2 = host::Pattern(130, 1);
    const Bytes image1 = host::Pattern(150, 2);
    const auto events = host::GoodConversation(config, image2, image1);

    MemoryLink link;
    InstrumentEngine engine(config);
    bool gone = false;
    engine.onGone = [&] {
        gone = true;
        link.Disconnect();
    };
    std::vector<int> sleeps;
    engine.sleepMs = [&](int ms) { sleeps.push_back(ms); };
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());

    host::Play(side, events, &c.fault.step, c.fault.index);
    if (c.fault.kind == FaultKind::DeviceGone) {
        EXPECT_THAT(side.Receive(1), IsEmpty());
        EXPECT_TRUE(side.closed);
        EXPECT_TRUE(gone);
        run.WaitForEnd();
        EXPECT_EQ(engine.Report().end, EngineEnd::Gone);
        return;
    }
    if (!c.seen.empty()) {
        EXPECT_EQ(side.Receive(c.seen.size()), c.seen);
    }
    if (c.hostGivesUp) {
        // Nothing else may have come, and the host's way on is a new connection.
        EXPECT_THAT(side.Barrier(), IsEmpty());
    } else {
        // Carry on as a correct host, past the changed reply or from the delayed one.
        bool past = false;
        std::vector<host::Event> rest;
        for (const auto& e : events) {
            const bool atFault = !e.fromHost && e.step == c.fault.step && e.index == c.fault.index;
            if (past || (atFault && c.seen.empty())) {
                rest.push_back(e);
            }
            past = past || atFault;
        }
        host::Play(side, rest);
    }
    run.Join();
    const InstrumentReport report = engine.Report();
    EXPECT_THAT(report.violations, IsEmpty());
    EXPECT_EQ(report.faultsStruck.size(), 1u);
    if (c.fault.kind == FaultKind::Delay) {
        EXPECT_THAT(sleeps, ElementsAre(c.fault.delayMs));
    }
    if (!c.hostGivesUp) {
        EXPECT_TRUE(report.finished);
    }
}

Fault At(FaultStep step, int index, FaultKind kind, int delayMs = 0) {
    return Fault{step, index, kind, delayMs};
}

INSTANTIATE_TEST_SUITE_P(
    Device, Faults,
    testing::Values(
        FaultCase{"SyncNoReply", At(FaultStep::Sync, 0, FaultKind::NoReply), {}, true},
        FaultCase{"SyncMalformed", At(FaultStep::Sync, 0, FaultKind::MalformedHeader),
                  host::Packet(0x00, 0x01, Bytes(17, 0)), true},
        FaultCase{"SyncChanged", At(FaultStep::Sync, 0, FaultKind::ChangedPayload),
                  [] {
                      Bytes b = host::SyncReply();
                      b[4] = 0x01;
                      return b;
                  }(),
                  true},
        FaultCase{"SizeUnexpected",
                  At(FaultStep::Size, 0, FaultKind::UnexpectedReply),
                  {0x03, 0x02, 0x02, 0x00, 0x00, 0x00},
                  true},
        FaultCase{
            "IdentifyChanged",
            At(FaultStep::Identify, 0, FaultKind::ChangedPayload),
            {0x00, 0x11, 0x0E, 0x00, 0x01, 0x02, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 0, 0, 0, 0, 0},
            true},
        FaultCase{"IdentifyDelay", At(FaultStep::Identify, 0, FaultKind::Delay, 250), {}, false},
        FaultCase{"VersionAckChanged",
                  At(FaultStep::VersionAck, 0, FaultKind::ChangedPayload),
                  {0x03, 0x01, 0x02, 0x00, 0xFF, 0xFF},
                  false},
        FaultCase{"VersionAckGone", At(FaultStep::VersionAck, 0, FaultKind::DeviceGone), {}, true},
        FaultCase{"EntryMalformed",
                  At(FaultStep::VersionEntry, 1, FaultKind::MalformedHeader),
                  {0x02, 0x03, 0x09, 0x00, 1, 0, 0, 0, 'V', '1', '.', '0', '0'},
                  true},
        FaultCase{"EntryChanged",
                  At(FaultStep::VersionEntry, 2, FaultKind::ChangedPayload),
                  {0x01, 0x03, 0x02, 0x00, 2, 0},
                  false},
        FaultCase{"EntryUnexpected",
                  At(FaultStep::VersionEntry, 0, FaultKind::UnexpectedReply),
                  {0x03, 0x02, 0x02, 0x00, 0x00, 0x00},
                  true},
        FaultCase{"ListEndChanged",
                  At(FaultStep::ListEnd, 0, FaultKind::ChangedPayload),
                  {0x01, 0x04, 0x02, 0x00, 0xFF, 0xFF},
                  false},
        FaultCase{"ListEndNoReply", At(FaultStep::ListEnd, 0, FaultKind::NoReply), {}, true},
        FaultCase{
            "Image2StartDelay", At(FaultStep::Image2Start, 0, FaultKind::Delay, 900), {}, false},
        FaultCase{
            "Image2ChunkNoReply", At(FaultStep::Image2Chunk, 1, FaultKind::NoReply), {}, true},
        FaultCase{"Image2EndMalformed",
                  At(FaultStep::Image2End, 0, FaultKind::MalformedHeader),
                  {0x03, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00},
                  true},
        FaultCase{"Image1StartUnexpected",
                  At(FaultStep::Image1Start, 0, FaultKind::UnexpectedReply),
                  {0x03, 0x02, 0x02, 0x00, 0x00, 0x00},
                  true},
        FaultCase{"Image1ChunkChanged",
                  At(FaultStep::Image1Chunk, 2, FaultKind::ChangedPayload),
                  {0x03, 0x01, 0x02, 0x00, 0xFF, 0xFF},
                  false},
        FaultCase{
            "Image1ChunkGone", At(FaultStep::Image1Chunk, 0, FaultKind::DeviceGone), {}, true},
        FaultCase{"Image1EndDelay", At(FaultStep::Image1End, 0, FaultKind::Delay, 40), {}, false},
        FaultCase{"FinishNoReply", At(FaultStep::Finish, 0, FaultKind::NoReply), {}, true},
        FaultCase{"FinishGone", At(FaultStep::Finish, 0, FaultKind::DeviceGone), {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentEngine, PacketSizeOfFourLeavesNoRoomForAnImage) {
    InstrumentConfig config = Config(1024);
    config.faults = {At(FaultStep::Size, 0, FaultKind::ChangedPayload)};
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    side.Send(host::Sync());
    side.Send(host::SizeQuery());
    side.Receive(20);
    EXPECT_EQ(side.Receive(6), (Bytes{0x00, 0x21, 0x02, 0x00, 0x04, 0x00}));
    side.Send(std::vector<Bytes>{host::Identify(), host::Ack(0x11), host::VersionRequest(),
                                 host::Ack(0x03), host::Ack(0x04), ImageStart(0x40, 5)});
    side.Settle(engine);
    run.Join();
    EXPECT_THAT(engine.Report().violations, ElementsAre(HasSubstr("packet size 4 leaves no room")));
}

TEST(InstrumentEngine, FaultCanSpareTheFirstConnection) {
    InstrumentConfig config = Config(64);
    config.faults = {At(FaultStep::Sync, 1, FaultKind::UnexpectedReply)};
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    side.Send(host::Sync());
    EXPECT_EQ(side.Receive(20), host::SyncReply());
    side.Send(host::Sync());
    EXPECT_EQ(side.Receive(6), (Bytes{0x03, 0x02, 0x02, 0x00, 0x00, 0x00}));
    side.Send(host::Sync());
    EXPECT_EQ(side.Receive(20), host::SyncReply());
}

// A host that ignores a refused reply and carries on is at fault.
TEST(InstrumentEngine, HostThatGoesOnAfterARefusalIsFlagged) {
    InstrumentConfig config = Config(64);
    config.faults = {At(FaultStep::Image1Chunk, 0, FaultKind::UnexpectedReply)};
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    side.Send(Concat(Connected(), {ImageStart(0x40, 112), Chunk(56), Chunk(56), ImageEnd()}));
    side.Settle(engine);
    run.Join();
    EXPECT_THAT(engine.Report().violations,
                ElementsAre(HasSubstr("data chunk after the acknowledgement of image 1's chunk 0 "
                                      "(replaced by 03 02); the host should have given up"),
                            HasSubstr("image end after")));
}

// --- Starting over -------------------------------------------------------------------

TEST(InstrumentEngine, SyncStartsOverAfterAnAbortedTransfer) {
    InstrumentConfig config = Config(64);
    const Bytes image2 = host::Pattern(100, 4);
    const Bytes image1 = host::Pattern(70, 5);
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    // Half of image 2, then the host gives up and connects again.
    side.Send(Concat(Connected(), {ImageStart(0x44, 100), Chunk(56)}));
    side.Settle(engine);
    link.host().Discard();  // as the host purges before it starts over
    host::Play(side, host::GoodConversation(config, image2, image1));
    run.Join();
    const InstrumentReport report = engine.Report();
    EXPECT_THAT(report.violations, IsEmpty());
    EXPECT_EQ(report.syncs, 2);
    EXPECT_TRUE(engine.ImagesMatch(*MakePackage(image2, image1)));
}

TEST(InstrumentEngine, CompletedUpdateStaysOnRecordAcrossAReconnection) {
    InstrumentConfig config = Config(64);
    const Bytes image1 = host::Pattern(70, 5);
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    host::Play(side, host::GoodConversation(config, {}, image1));
    side.Send(Connected());
    side.Settle(engine);
    run.Join();
    EXPECT_TRUE(engine.Report().finished);
    EXPECT_TRUE(engine.ImagesMatch(*MakePackage({}, image1)));
}

// The instrument's side of the cable, noting what the engine's record says at the
// moment the finish acknowledgement is written.
class FinishWatch final : public ByteStream {
  public:
    FinishWatch(ByteStream& inner, const InstrumentEngine& engine) : inner(inner), engine(engine) {}
    int Read(uint8_t* buffer, int count, int timeoutMs) override {
        const int n = inner.Read(buffer, count, timeoutMs);
        const Bytes finish = host::Finish();
        for (int i = 0; i < n; ++i) {
            received.push_back(buffer[i]);
        }
        if (n > 0 && received.size() >= finish.size() &&
            std::equal(finish.begin(), finish.end(), received.end() - finish.size())) {
            finishRead = true;
        }
        return n;
    }
    bool Write(const uint8_t* data, int count) override {
        if (finishRead) {
            finishedWhenAcknowledged = engine.Report().finished;
            finishRead = false;
            acknowledged = true;
        }
        return inner.Write(data, count);
    }
    bool finishRead = false;
    bool acknowledged = false;
    bool finishedWhenAcknowledged = false;

  private:
    ByteStream& inner;
    const InstrumentEngine& engine;
    Bytes received;
};

TEST(InstrumentEngine, TheUpdateIsFinishedOnRecordBeforeTheFinishIsAcknowledged) {
    InstrumentConfig config = Config(64);
    const Bytes image1 = host::Pattern(70, 5);
    MemoryLink link;
    InstrumentEngine engine(config);
    FinishWatch watch(link.device(), engine);
    host::EngineThread run(engine, watch);
    host::Side side(link.host());
    host::Play(side, host::GoodConversation(config, {}, image1));
    run.Join();
    ASSERT_TRUE(watch.acknowledged);
    EXPECT_TRUE(watch.finishedWhenAcknowledged);
    EXPECT_TRUE(engine.Report().finished);
}

TEST(InstrumentEngine, MalformedHeaderIsSkippedByItsLength) {
    MemoryLink link;
    InstrumentEngine engine(Config(64));
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    // 00 00 with length 15 is malformed; its 15 bytes must not be taken as a packet.
    Bytes odd = host::Packet(0x00, 0x00, Bytes(15, 0x00));
    side.Send(odd);
    side.Send(host::SizeQuery());
    side.Settle(engine);
    run.Join();
    EXPECT_THAT(engine.Report().violations,
                ElementsAre(HasSubstr("malformed header 00 00 0F 00"),
                            HasSubstr("packet-size query where the sync request was due")));
}

// --- Comparing with a package ----------------------------------------------------------

struct MatchCase {
    const char* name;
    Bytes sent2, sent1;        // sent by the host; empty image 2: none sent
    Bytes package2, package1;  // in the package
    bool match;
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

class ImagesMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(ImagesMatch, ComparesWithThePackage) {
    const MatchCase& c = GetParam();
    InstrumentConfig config = Config(64);
    MemoryLink link;
    InstrumentEngine engine(config);
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    host::Play(side, host::GoodConversation(config, c.sent2, c.sent1));
    run.Join();
    EXPECT_EQ(engine.ImagesMatch(*MakePackage(c.package2, c.package1)), c.match);
}

INSTANTIATE_TEST_SUITE_P(
    Package, ImagesMatch,
    testing::Values(MatchCase{"Both", {1, 2}, {3, 4}, {1, 2}, {3, 4}, true},
                    MatchCase{"NoImage2Either", {}, {3, 4}, {}, {3, 4}, true},
                    MatchCase{"Image2SentButNotInPackage", {1, 2}, {3, 4}, {}, {3, 4}, false},
                    MatchCase{"Image2Missing", {}, {3, 4}, {1, 2}, {3, 4}, false},
                    MatchCase{"Image1Differs", {1, 2}, {3, 5}, {1, 2}, {3, 4}, false},
                    MatchCase{"Image1Shorter", {1, 2}, {3}, {1, 2}, {3, 4}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstrumentEngine, ImageNotEndedDoesNotMatch) {
    MemoryLink link;
    InstrumentEngine engine(Config(64));
    host::EngineThread run(engine, link.device());
    host::Side side(link.host());
    side.Send(Concat(Connected(), {ImageStart(0x40, 2), Chunk(Bytes{3, 4})}));
    side.Settle(engine);
    run.Join();
    EXPECT_FALSE(engine.ImagesMatch(*MakePackage({}, {3, 4})));
}

}  // namespace
