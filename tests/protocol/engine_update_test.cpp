// The protocol against the simulated instrument over the in-memory cable: the engine
// checks every packet the host sends and reassembles the images.

#include <gtest/gtest.h>

#include <thread>

#include "tests/protocol/fake_sleep.h"
#include "tests/protocol/protocol_fixture.h"
#include "tests/support/memory_transport.h"
#include "tools/sim/instrument_engine.h"

namespace {

struct EngineCase {
    const char* name;
    uint16_t maxPacket;
    size_t image2Size;
    size_t image1Size;
    std::vector<Fault> faults;
    std::vector<Reported> reports;
};

void PrintTo(const EngineCase& c, std::ostream* out) {
    *out << c.name;
}

const std::vector<Reported> kCompleted = {{2, 0}, {7, 0}, {8, 0}, {10, 0}, {12, 0}, {14, 0}};

class EngineUpdateTest : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineUpdateTest, RunsTheWholeUpdate) {
    const EngineCase& c = GetParam();
    FakeSleep::Reset();
    auto package = MakePackage(c.image1Size, c.image2Size);
    InstrumentConfig config;
    config.maxPacket = c.maxPacket;
    config.modelId = kModel;
    config.versions = {"Q10.00", "R20.07"};
    config.faults = c.faults;

    MemoryLink link;
    MemoryTransport port(link.host());
    InstrumentEngine engine(config);
    engine.onGone = [&link] { link.Disconnect(); };
    std::thread instrument([&] { engine.Run(link.device()); });

    RecordingSink sink;
    MTUpdateProtocol p;
    p.transport = &port;
    p.package = package.get();
    p.callback = &sink;
    p.sleepMs = FakeSleep::Sleep;
    const bool completed = p.Connect() == 0 && p.CheckVersion() == 0 && p.Transfer() == 0;

    engine.Stop();
    instrument.join();
    const InstrumentReport report = engine.Report();
    EXPECT_TRUE(report.violations.empty()) << report.violations.front();
    EXPECT_EQ(sink.Seen(), c.reports);
    EXPECT_EQ(completed, c.reports == kCompleted);
    if (completed) {
        EXPECT_TRUE(report.finished);
        EXPECT_TRUE(engine.ImagesMatch(*package));
        EXPECT_EQ(p.maxPacket, c.maxPacket);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EngineUpdateTest,
    testing::Values(EngineCase{"Packet64", 64, 3000, 5000, {}, kCompleted},
                    EngineCase{"Packet100", 100, 3000, 5000, {}, kCompleted},
                    EngineCase{"Packet1024ExactMultiple", 1024, 1020 * 3, 1020 * 5, {}, kCompleted},
                    EngineCase{"Packet65535", 65535, 70000, 140000, {}, kCompleted},
                    EngineCase{"NoImage2", 1024, 0, 5000, {}, kCompleted},
                    EngineCase{"Image1ChunkAnsweredWrongly",
                               256,
                               3000,
                               5000,
                               {{FaultStep::Image1Chunk, 3, FaultKind::UnexpectedReply}},
                               {{2, 0}, {7, 0}, {8, 0}, {10, 0}, {11, 3}}},
                    EngineCase{"InstrumentGoneDuringImage2",
                               256,
                               3000,
                               5000,
                               {{FaultStep::Image2Chunk, 1, FaultKind::DeviceGone}},
                               {{2, 0}, {7, 0}, {8, 0}, {9, 3}}},
                    EngineCase{"WrongProtocolField",
                               1024,
                               10,
                               10,
                               {{FaultStep::Identify, 0, FaultKind::ChangedPayload}},
                               {{2, 0}, {3, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
