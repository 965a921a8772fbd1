#include "tools/common/update_session.h"

#include <algorithm>
#include <array>

#include "platform/sleep.h"
#include "protocol/protocol_constants.h"

namespace klv::tools {

namespace {

// Packet kinds the session watches for (command, subCommand).
using protocol::kAck;
using protocol::kGroupAck;
using protocol::kGroupData;
using protocol::kGroupLink;
constexpr uint8_t kSizeReply = 0x21;
constexpr uint8_t kIdentifyReply = 0x11;
constexpr uint8_t kVersionEntry = 0x03;
constexpr uint8_t kVersionListEnd = 0x04;
constexpr uint8_t kImageStart = 0x02;
constexpr uint8_t kImageData = 0x03;
constexpr int kHeaderSize = 4;
constexpr int kVersionTextOffset = 4;  // four payload bytes before an entry's text

// The instrument's settle wait after the finish command.
constexpr int kFinishWaitMs = protocol::kSettleSlices * protocol::kSettleSliceMs;

// The session whose finish wait runs on this thread: the protocol's sleep hook is a
// plain function, and each session runs on a thread of its own.
thread_local UpdateSession* settlingSession = nullptr;

}  // namespace

const char* PhaseName(SessionPhase phase) {
    switch (phase) {
        case SessionPhase::Found:
            return "found";
        case SessionPhase::Connected:
            return "connected";
        case SessionPhase::Identified:
            return "identified";
        case SessionPhase::Versions:
            return "versions";
        case SessionPhase::Transfer:
            return "transfer";
        case SessionPhase::Finish:
            return "finish";
        case SessionPhase::Result:
            return "result";
    }
    return "unknown";
}

// Passes every call on to the port; refuses a packet once a stop was requested (before
// a single byte of it is written), and hands every complete reply to the session.
class UpdateSession::Watch final : public MTAccessInterface {
  public:
    Watch(UpdateSession& session, MTAccessInterface& inner) : session(session), inner(inner) {}

    bool Lock() override { return inner.Lock(); }
    bool Unlock() override { return inner.Unlock(); }
    int Send(const uint8_t* data, int count, int timeoutMs) override {
        if (session.stopRequested.load() && !session.finishing.load()) {
            session.stopTookEffect.store(true);
            return 1;
        }
        const int result = inner.Send(data, count, timeoutMs);
        pendingChunk = 0;
        if (result == 0 && count >= kHeaderSize && data[0] == kGroupData) {
            if (data[1] == kImageStart) {
                session.transferStarted.store(true);
            } else if (data[1] == kImageData) {
                pendingChunk = count - kHeaderSize;
            }
        }
        return result;
    }
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override {
        const int result = inner.Recv(buffer, count, received, timeoutMs);
        if (result != 0) {
            awaitingPayload = false;
            return result;
        }
        // A reply is read as its header, then its payload when it has one.
        if (awaitingPayload) {
            awaitingPayload = false;
            Complete(buffer, count);
        } else if (count == kHeaderSize) {
            std::copy(buffer, buffer + kHeaderSize, header.begin());
            const int length = header[2] | (header[3] << 8);
            if (length == 0) {
                Complete(nullptr, 0);
            } else {
                awaitingPayload = true;
            }
        }
        return result;
    }
    int Close() override { return inner.Close(); }
    bool IsRecvEmpty() override { return inner.IsRecvEmpty(); }
    void Purge() override { inner.Purge(); }

  private:
    void Complete(const uint8_t* payload, int length) {
        if (header[0] == kGroupAck && header[1] == kAck && pendingChunk > 0) {
            session.OnImageBytes(pendingChunk);
            pendingChunk = 0;
        }
        session.OnPacketReceived(header.data(), payload, length);
    }

    UpdateSession& session;
    MTAccessInterface& inner;
    std::array<uint8_t, kHeaderSize> header{};
    bool awaitingPayload = false;
    int pendingChunk = 0;  // image bytes of the chunk awaiting its acknowledgement
};

class UpdateSession::Notifier final : public MTAccessCallback {
  public:
    explicit Notifier(UpdateSession& session) : session(session) {}
    void Notify(MTUpdateProtocol& source) override {
        if (source.status == StatusFinishing && !session.finishing.load()) {
            session.finishing.store(true);
            session.EndPhase();
            session.Begin(SessionPhase::Finish);
        }
    }

  private:
    UpdateSession& session;
};

UpdateSession::UpdateSession(MTAccessInterface& port, FWPackage& package, SessionSink& sink)
    : port(port),
      package(package),
      sink(sink),
      watch(std::make_unique<Watch>(*this, port)),
      notifier(std::make_unique<Notifier>(*this)) {
    protocol.package = &package;
    protocol.callback = notifier.get();
    protocol.transport = watch.get();
    protocol.sleepMs = &UpdateSession::SettleSliceOfThisThread;
    total = uint64_t{package.image1.length} + package.image2.length;
}

UpdateSession::~UpdateSession() = default;

void UpdateSession::SetFoundTime(double seconds) {
    const std::lock_guard<std::mutex> lock(factsMutex);
    timings.push_back({SessionPhase::Found, seconds});
}

void UpdateSession::Begin(SessionPhase phase) {
    {
        const std::lock_guard<std::mutex> lock(factsMutex);
        current = phase;
        phaseStart = Clock::now();
    }
    sink.PhaseStarted(phase);
}

void UpdateSession::EndPhase() {
    const std::lock_guard<std::mutex> lock(factsMutex);
    if (!current) {
        return;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - phaseStart).count();
    timings.push_back({*current, seconds});
    current.reset();
}

bool UpdateSession::Identify() {
    Begin(SessionPhase::Connected);
    const bool ok = protocol.Connect() == 0 && protocol.CheckVersion() == 0;
    EndPhase();
    return ok;
}

bool UpdateSession::Transfer() {
    Begin(SessionPhase::Transfer);
    settlingSession = this;
    settleLeftMs = kFinishWaitMs;
    const bool ok = protocol.Transfer() == 0;
    settlingSession = nullptr;
    EndPhase();
    return ok && !stopTookEffect.load();
}

void UpdateSession::RequestStop() {
    if (stopRequested.exchange(true)) {
        return;
    }
    // Before the first image start nothing of the instrument's firmware is touched:
    // closing the port ends a read in progress at once. From then on the next packet
    // is refused instead, so the one on the wire is never cut.
    if (!transferStarted.load() && !finishing.load()) {
        stopTookEffect.store(true);
        port.Close();
    }
}

InstrumentFacts UpdateSession::Facts() const {
    const std::lock_guard<std::mutex> lock(factsMutex);
    return facts;
}

std::vector<PhaseTime> UpdateSession::Timings() const {
    const std::lock_guard<std::mutex> lock(factsMutex);
    return timings;
}

void UpdateSession::OnPacketReceived(const uint8_t* header, const uint8_t* payload, int length) {
    const uint8_t command = header[0];
    const uint8_t sub = header[1];
    if (command == kGroupLink && sub == kSizeReply && length >= 2) {
        {
            const std::lock_guard<std::mutex> lock(factsMutex);
            facts.maxPacket = static_cast<uint16_t>(payload[0] | (payload[1] << 8));
        }
        EndPhase();
        Begin(SessionPhase::Identified);
    } else if (command == kGroupLink && sub == kIdentifyReply && length >= 6) {
        {
            const std::lock_guard<std::mutex> lock(factsMutex);
            facts.model = ModelId{payload[2], payload[3], payload[4], payload[5]};
        }
        EndPhase();
        Begin(SessionPhase::Versions);
    } else if (command == kGroupData && sub == kVersionEntry) {
        const std::lock_guard<std::mutex> lock(factsMutex);
        if (length >= kVersionTextOffset) {
            const auto* text = reinterpret_cast<const char*>(payload + kVersionTextOffset);
            // The instrument ends its text with zeros; the protocol compares up to the first.
            std::string entry(text, static_cast<size_t>(length - kVersionTextOffset));
            entry.resize(std::min(entry.size(), entry.find('\0')));
            facts.versions.push_back(std::move(entry));
        } else {
            facts.versions.emplace_back();
        }
    } else if (command == kGroupData && sub == kVersionListEnd) {
        const std::lock_guard<std::mutex> lock(factsMutex);
        facts.versionListComplete = true;
    }
}

void UpdateSession::OnImageBytes(int count) {
    sent += static_cast<uint64_t>(count);
    sink.Progress(sent, total);
}

void UpdateSession::SettleSliceOfThisThread(int ms) {
    if (settlingSession != nullptr) {
        settlingSession->SettleSlice(ms);
    } else {
        SleepMs(ms);
    }
}

void UpdateSession::SettleSlice(int ms) {
    if (sleepMs) {
        sleepMs(ms);
    } else {
        SleepMs(ms);
    }
    settleLeftMs = std::max(0, settleLeftMs - ms);
    sink.FinishWait(settleLeftMs, kFinishWaitMs);
}

}  // namespace klv::tools
