#pragma once
// One update of one instrument: one open port, one protocol object, the package, and
// the phases it went through with their timings. Used by the single update and by
// --info; it holds no global state, so many sessions may run at once, one per thread.
//
// It watches the packets it exchanges to learn what the instrument reported (packet
// size, model, version entries) and to count the image bytes for the progress, and it
// is the place where a stop request takes effect: before the transfer it closes the
// port at once; during the transfer it lets the packet in flight finish and sends no
// other; during the finish wait it does nothing.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "protocol/mt_access_interface.h"
#include "protocol/mt_update_protocol.h"
#include "tools/common/session_sink.h"

namespace klv::tools {

// What the session learnt of the instrument.
struct InstrumentFacts {
    std::optional<ModelId> model;
    std::vector<std::string> versions;  // each entry's text, bytes as received
    bool versionListComplete = false;
    std::optional<uint16_t> maxPacket;
};

struct PhaseTime {
    SessionPhase phase;
    double seconds;
};

class UpdateSession {
  public:
    // port is open; both outlive the session.
    UpdateSession(MTAccessInterface& port, FWPackage& package, SessionSink& sink);
    ~UpdateSession();
    UpdateSession(const UpdateSession&) = delete;
    UpdateSession& operator=(const UpdateSession&) = delete;

    // How long finding and opening the port took, measured by the caller.
    void SetFoundTime(double seconds);
    // How the finish wait sleeps (default: the real sleep); tests shorten it.
    std::function<void(int ms)> sleepMs;

    // Link, packet size, model and version list. True when the instrument may be updated.
    bool Identify();
    // The images, the finish command and the wait. True when completed.
    bool Transfer();

    // Safe from any thread. See the class comment.
    void RequestStop();
    bool StopRequested() const { return stopRequested.load(); }
    // True when the stop request cut the run short (a packet was refused, or the port
    // was closed under a sequence).
    bool StoppedByRequest() const { return stopTookEffect.load(); }
    // True once the first image start went out: from then on the instrument's
    // firmware is being replaced.
    bool TransferStarted() const { return transferStarted.load(); }

    int32_t Status() const { return protocol.status; }
    int32_t ErrorCode() const { return protocol.errorCode; }
    InstrumentFacts Facts() const;
    std::vector<PhaseTime> Timings() const;
    uint64_t ImageBytesSent() const { return sent; }
    uint64_t ImageBytesTotal() const { return total; }

  private:
    class Watch;  // the transport seen by the protocol
    class Notifier;

    using Clock = std::chrono::steady_clock;
    void Begin(SessionPhase phase);
    void EndPhase();
    void SettleSlice(int ms);
    static void SettleSliceOfThisThread(int ms);
    void OnPacketReceived(const uint8_t* header, const uint8_t* payload, int length);
    void OnImageBytes(int count);

    MTAccessInterface& port;
    FWPackage& package;
    SessionSink& sink;
    std::unique_ptr<Watch> watch;
    std::unique_ptr<Notifier> notifier;
    MTUpdateProtocol protocol;

    mutable std::mutex factsMutex;
    InstrumentFacts facts;
    std::vector<PhaseTime> timings;
    std::optional<SessionPhase> current;
    Clock::time_point phaseStart{};

    std::atomic<bool> stopRequested{false};
    std::atomic<bool> stopTookEffect{false};
    std::atomic<bool> transferStarted{false};
    std::atomic<bool> finishing{false};
    uint64_t sent = 0;
    uint64_t total = 0;
    int settleLeftMs = 0;
};

}  // namespace klv::tools
