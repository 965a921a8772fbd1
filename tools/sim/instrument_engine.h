#pragma once
// The simulated instrument: plays the device side of the update protocol over a byte
// stream, checks every packet the host sends, reassembles the images, and misbehaves
// on demand.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "tools/sim/byte_stream.h"

// Where a fault strikes. Index counts from 0: the version entry K, or the chunk K of
// an image. On the other steps it counts the times the step is reached, so that a
// fault can spare the first connection and strike a later one.
enum class FaultStep {
    Sync,
    Size,
    Identify,
    VersionAck,
    VersionEntry,
    ListEnd,
    Image2Start,
    Image2Chunk,
    Image2End,
    Image1Start,
    Image1Chunk,
    Image1End,
    Finish,
};

// Each fault strikes once, in place of the instrument's reply at its step.
enum class FaultKind {
    NoReply,          // the request is swallowed
    MalformedHeader,  // a header that is not in the packet table
    UnexpectedReply,  // a well-formed packet other than the one expected: 03 02 02 00 00 00
    // The right packet with a wrong payload: a non-zero sync byte, packet size 4, the
    // identify protocol field 01 02, a version entry with a 2-byte payload and no text,
    // and a payload FF FF on the list end and on acknowledgements (content the host
    // must ignore).
    ChangedPayload,
    DeviceGone,  // the instrument disappears at this step
    Delay,       // the right reply, delayed by delayMs
};

struct Fault {
    FaultStep step = FaultStep::Sync;
    int index = 0;
    FaultKind kind = FaultKind::NoReply;
    int delayMs = 0;
};

struct InstrumentConfig {
    uint16_t maxPacket = 1024;
    ModelId modelId = {0, 0, 0, 0};
    std::vector<std::string> versions;    // the version entries reported, in order
    std::vector<uint8_t> listEndPayload;  // carried by the end of the version list; usually none
    std::vector<Fault> faults;
    bool stopAfterFinish = false;  // Run returns once the finish command is acknowledged
    int idleTimeoutMs = -1;        // Run returns when nothing arrives for this long; < 0: never
    // A packet whose header has arrived must be complete before the line has been quiet
    // this long; otherwise it counts as cut short.
    int packetTimeoutMs = 1000;
};

enum class EngineEnd {
    Running,
    StreamClosed,  // the stream reported closed, or a write failed
    Stopped,       // Stop() was called
    IdleTimeout,   // nothing arrived for idleTimeoutMs
    Finished,      // stopAfterFinish, and the finish command was acknowledged
    Gone,          // a DeviceGone fault struck
};

// What the instrument saw. The image fields describe the latest transfer: they are
// cleared by the first image start after a sync, not by the sync itself, so a host
// that reconnects after a completed update leaves that update on record.
struct InstrumentReport {
    std::vector<std::string> violations;  // every way the host broke the protocol
    std::vector<uint8_t> image1;          // reassembled, target code 0x40
    std::vector<uint8_t> image2;          // reassembled, target code 0x44
    bool image1Ended = false;             // its end command arrived
    bool image2Ended = false;
    bool finished = false;    // the finish command was acknowledged
    int packetsReceived = 0;  // counted once handled, malformed ones included

    bool image1Started = false;
    bool image2Started = false;
    uint32_t image1Announced = 0;  // the length field of its start command
    uint32_t image2Announced = 0;
    int syncs = 0;                          // sync requests, one per connection attempt
    std::vector<std::string> faultsStruck;  // in the FaultName form
    EngineEnd end = EngineEnd::Running;
};

class InstrumentEngine {
  public:
    explicit InstrumentEngine(InstrumentConfig config);

    // Serves the host until the stream closes, a DeviceGone fault strikes (onGone is
    // called first; it should pull the cable) or Stop() is called.
    void Run(ByteStream& stream);
    // Safe from any thread; Run returns within a few tens of milliseconds.
    void Stop();

    std::function<void()> onGone;
    // One line per packet in either direction, for a trace; called on Run's thread.
    std::function<void(const std::string&)> onTrace;
    // How a Delay fault waits; the default waits the given time, cut short by Stop.
    std::function<void(int ms)> sleepMs;

    InstrumentReport Report() const;  // a snapshot; safe while Run goes on
    // True when both images were received whole and equal the package's. An empty
    // image 2 in the package means that none may have been sent.
    bool ImagesMatch(const FWPackage& package) const;

  private:
    enum class Phase {
        AwaitSync,
        AwaitSize,
        AwaitIdentify,
        AwaitIdentifyAck,
        AwaitVersionRequest,
        AwaitEntryAck,
        AwaitEndAck,
        AwaitImageStart,
        InImage,
        AwaitFinish,
        Finished,
    };

    struct Packet {
        uint8_t command = 0;
        uint8_t subCommand = 0;
        std::vector<uint8_t> payload;
    };

    enum class ReadOutcome { Packet, Skipped, Truncated, Closed, Stopped, Idle };

    // One host packet, or the reason there is none.
    ReadOutcome ReadPacket(ByteStream& stream, Packet& packet);
    // Reads exactly count bytes, each wait bounded by waitMs (< 0: none). Returns the
    // bytes read, or -1 closed, -2 stopped.
    int ReadFully(ByteStream& stream, uint8_t* buffer, int count, int firstWaitMs, int waitMs);
    // Each handler answers one host packet; one that ends the run sets endReason.
    void Handle(ByteStream& stream, const Packet& packet);
    void HandleAck(ByteStream& stream, const Packet& packet);
    void HandleVersionRequest(ByteStream& stream, const Packet& packet);
    void HandleImageStart(ByteStream& stream, const Packet& packet);
    void HandleChunk(ByteStream& stream, const Packet& packet);
    void HandleImageEnd(ByteStream& stream, const Packet& packet);
    void HandleFinish(ByteStream& stream, const Packet& packet);
    void SendNextVersionPacket(ByteStream& stream);
    // Sends the reply of a step, or what a pending fault puts in its place. index < 0:
    // the step counts its own occurrences. false when the run ends here.
    bool Reply(ByteStream& stream, FaultStep step, int index, std::vector<uint8_t> packet);
    // Whether a configured fault strikes the next time the step is reached.
    bool FaultDue(FaultStep step) const;
    // The answer to a data command that has no place here.
    void Reject(ByteStream& stream, const Packet& packet);
    bool WriteBytes(ByteStream& stream, const std::vector<uint8_t>& bytes);

    void CountPacket();
    void Violation(std::string text);
    void Trace(const char* who, const uint8_t* bytes, size_t count);
    std::string Expected() const;
    void CheckPayload(const char* what, const Packet& packet, const std::vector<uint8_t>& want);

    InstrumentConfig config;
    std::vector<bool> struck;  // per configured fault
    std::array<int, static_cast<size_t>(FaultStep::Finish) + 1> reached{};  // per step

    mutable std::mutex mutex;  // guards report
    InstrumentReport report;

    std::atomic<bool> stopRequested{false};
    std::mutex sleepMutex;
    std::condition_variable sleepWake;

    // The conversation, touched only by Run's thread.
    EngineEnd endReason = EngineEnd::Running;
    Phase phase = Phase::AwaitSync;
    int nextEntry = 0;
    uint16_t announcedMaxPacket = 0;  // what the last packet-size reply said
    int currentImage = 0;             // 1 or 2 while InImage
    int chunkIndex = 0;
    uint32_t imageReceived = 0;
    uint32_t imageAnnounced = 0;
    bool transferOpen = false;  // an image start has arrived since the last sync
    std::string withheld;       // the reply the host did not get, until the next sync
};
