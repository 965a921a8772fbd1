// The update session against the simulated instrument's engine over the in-memory cable:
// what it learns, what it tells its sink, and where a stop request takes effect. The
// engine checks every packet, so a packet cut in two would show as a violation.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/protocol/protocol_fixture.h"
#include "tests/support/memory_transport.h"
#include "tools/common/update_session.h"
#include "tools/sim/instrument_engine.h"

namespace {

using namespace klv::tools;

class RecordingSink final : public SessionSink {
  public:
    void PhaseStarted(SessionPhase phase) override {
        const std::lock_guard<std::mutex> lock(mutex);
        phases.push_back(phase);
    }
    void Progress(uint64_t sent, uint64_t total) override {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            progress.push_back(sent);
            this->total = total;
        }
        if (onProgress) {
            onProgress(sent);
        }
    }
    void FinishWait(int msLeft, int) override {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            waits.push_back(msLeft);
        }
        if (onFinishWait) {
            onFinishWait();
        }
    }

    std::mutex mutex;
    std::vector<SessionPhase> phases;
    std::vector<uint64_t> progress;
    uint64_t total = 0;
    std::vector<int> waits;
    std::function<void(uint64_t)> onProgress;
    std::function<void()> onFinishWait;
};

class UpdateSessionTest : public testing::Test {
  protected:
    void Start(std::vector<Fault> faults = {}) {
        InstrumentConfig config;
        config.maxPacket = 256;
        config.modelId = kModel;
        config.versions = {"Q10.00", "R20.07\x1b[2J"};
        config.faults = std::move(faults);
        engine = std::make_unique<InstrumentEngine>(config);
        instrument = std::thread([this] { engine->Run(link.device()); });
    }
    void TearDown() override {
        if (engine) {
            engine->Stop();
            instrument.join();
        }
    }

    std::unique_ptr<FWPackage> package = MakePackage(20000, 3000);
    MemoryLink link;
    MemoryTransport port{link.host()};
    std::unique_ptr<InstrumentEngine> engine;
    std::thread instrument;
    RecordingSink sink;
};

TEST_F(UpdateSessionTest, LearnsTheInstrumentAndReportsEachPhase) {
    Start();
    UpdateSession session(port, *package, sink);
    session.sleepMs = [](int) {};
    session.SetFoundTime(0.5);
    ASSERT_TRUE(session.Identify());
    const InstrumentFacts facts = session.Facts();
    ASSERT_TRUE(facts.model.has_value());
    EXPECT_EQ(*facts.model, kModel);
    EXPECT_EQ(facts.maxPacket, 256);
    EXPECT_EQ(facts.versions, (std::vector<std::string>{"Q10.00", "R20.07\x1b[2J"}));
    EXPECT_TRUE(facts.versionListComplete);

    ASSERT_TRUE(session.Transfer());
    EXPECT_TRUE(engine->ImagesMatch(*package));
    EXPECT_TRUE(engine->Report().violations.empty());
    // Progress only grows and ends at the sum of both images.
    ASSERT_FALSE(sink.progress.empty());
    EXPECT_TRUE(std::is_sorted(sink.progress.begin(), sink.progress.end()));
    EXPECT_EQ(sink.progress.back(), 23000u);
    EXPECT_EQ(sink.total, 23000u);
    // The finish wait counts down to nothing.
    ASSERT_FALSE(sink.waits.empty());
    EXPECT_EQ(sink.waits.back(), 0);

    const std::vector<SessionPhase> phases = {SessionPhase::Connected, SessionPhase::Identified,
                                              SessionPhase::Versions, SessionPhase::Transfer,
                                              SessionPhase::Finish};
    EXPECT_EQ(sink.phases, phases);
    std::vector<SessionPhase> timed;
    for (const PhaseTime& t : session.Timings()) {
        timed.push_back(t.phase);
        EXPECT_GE(t.seconds, 0.0);
    }
    std::vector<SessionPhase> expected = {SessionPhase::Found};
    expected.insert(expected.end(), phases.begin(), phases.end());
    EXPECT_EQ(timed, expected);
}

TEST_F(UpdateSessionTest, StopDuringTheTransferSendsNoFurtherPacket) {
    Start();
    UpdateSession session(port, *package, sink);
    session.sleepMs = [](int) {};
    ASSERT_TRUE(session.Identify());
    uint64_t sentAtStop = 0;
    // Asked from another thread while the chunks go out, as the interrupt thread does.
    std::thread stopper;
    sink.onProgress = [&](uint64_t sent) {
        if (sentAtStop == 0 && sent > 5000) {
            sentAtStop = sent;
            stopper = std::thread([&] { session.RequestStop(); });
            stopper.join();
        }
    };
    EXPECT_FALSE(session.Transfer());
    EXPECT_TRUE(session.StoppedByRequest());
    EXPECT_TRUE(session.TransferStarted());
    engine->Stop();
    instrument.join();
    const InstrumentReport report = engine->Report();
    engine.reset();
    EXPECT_TRUE(report.violations.empty()) << report.violations.front();
    // Every chunk that went out was acknowledged and counted; none followed the stop.
    EXPECT_EQ(report.image2.size() + report.image1.size(), sentAtStop);
    EXPECT_EQ(session.ImageBytesSent(), sentAtStop);
    EXPECT_FALSE(report.finished);
    EXPECT_FALSE(port.IsClosed());  // the owner closes the port, between packets
}

TEST_F(UpdateSessionTest, StopBeforeTheTransferEndsAWaitingReadAtOnce) {
    Start({{FaultStep::Identify, 0, FaultKind::Delay, 4000}});
    UpdateSession session(port, *package, sink);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        session.RequestStop();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(session.Identify());
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_TRUE(session.StoppedByRequest());
    EXPECT_TRUE(port.IsClosed());
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_FALSE(session.TransferStarted());
}

TEST_F(UpdateSessionTest, StopDuringTheFinishWaitIsIgnored) {
    Start();
    UpdateSession session(port, *package, sink);
    session.sleepMs = [](int) {};
    sink.onFinishWait = [&] { session.RequestStop(); };
    ASSERT_TRUE(session.Identify());
    EXPECT_TRUE(session.Transfer());
    EXPECT_FALSE(session.StoppedByRequest());
    EXPECT_FALSE(port.IsClosed());
    EXPECT_EQ(session.Status(), StatusCompleted);
}

}  // namespace
