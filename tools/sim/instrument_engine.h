#pragma once
// The simulated instrument: plays the device side of the update protocol over a byte
// stream, checks every packet the host sends, reassembles the images, and misbehaves
// on demand.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "tools/sim/byte_stream.h"

// Where a fault strikes. Index counts from 0: the version entry K, or the chunk K of
// an image.
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

enum class FaultKind {
    NoReply,          // the request is swallowed
    MalformedHeader,  // a header that is not in the packet table
    UnexpectedReply,  // a well-formed packet other than the one expected
    ChangedPayload,   // the right packet with a wrong payload (non-zero sync byte, wrong protocol field)
    DeviceGone,       // the instrument disappears at this step
    Delay,            // the right reply, delayed by delayMs
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
    std::vector<std::string> versions;  // the version entries reported, in order
    std::vector<Fault> faults;
};

// What the instrument saw.
struct InstrumentReport {
    std::vector<std::string> violations;  // every way the host broke the protocol
    std::vector<uint8_t> image1;          // reassembled, target code 0x40
    std::vector<uint8_t> image2;          // reassembled, target code 0x44
    bool image1Ended = false;             // its end command arrived
    bool image2Ended = false;
    bool finished = false;                // the finish command was acknowledged
    int packetsReceived = 0;
};

class InstrumentEngine {
public:
    explicit InstrumentEngine(InstrumentConfig config);

    // Serves the host until the stream closes, a DeviceGone fault strikes (onGone is
    // called first; it should pull the cable) or Stop() is called.
    void Run(ByteStream& stream);
    void Stop();

    std::function<void()> onGone;

    InstrumentReport Report() const;  // a snapshot; safe while Run goes on
    // True when both images were received whole and equal the package's.
    bool ImagesMatch(const FWPackage& package) const;

    // (the implementation adds its private state)
};
