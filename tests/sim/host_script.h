#pragma once
// The host's side of the cable in the instrument tests: hand-built packets, a
// conversation that a correct host would hold, and the engine on a thread of its own.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/byte_stream.h"
#include "tools/sim/instrument_engine.h"

namespace host {

using Bytes = std::vector<uint8_t>;

inline Bytes Packet(uint8_t command, uint8_t subCommand, const Bytes& payload = {}) {
    Bytes bytes{command, subCommand, static_cast<uint8_t>(payload.size()),
                static_cast<uint8_t>(payload.size() >> 8)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

inline Bytes Sync() {
    return Packet(0x00, 0x00, Bytes(16, 0x00));
}
inline Bytes SizeQuery() {
    return {0x00, 0x20, 0x02, 0x00, 0xFF, 0xFF};
}
inline Bytes Identify() {
    Bytes payload(14, 0x00);
    payload[0] = 0x20;
    return Packet(0x00, 0x10, payload);
}
inline Bytes Ack(uint8_t sub) {
    return {0x03, 0x01, 0x02, 0x00, sub, 0x00};
}
inline Bytes VersionRequest() {
    return {0x01, 0x01, 0x02, 0x00, 0x10, 0x00};
}
inline Bytes ImageStart(uint8_t target, uint32_t length, uint8_t constant = 0x04) {
    return Packet(
        0x01, 0x02,
        {target, constant, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
         static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)});
}
inline Bytes Chunk(const Bytes& data) {
    return Packet(0x01, 0x03, data);
}
inline Bytes Chunk(size_t size) {
    return Chunk(Bytes(size, 0x5A));
}
inline Bytes ImageEnd() {
    return {0x01, 0x04, 0x00, 0x00};
}
inline Bytes Finish() {
    return {0x01, 0x11, 0x02, 0x00, 0x8B, 0x00};
}

inline Bytes DeviceAck() {
    return {0x03, 0x01, 0x02, 0x00, 0x00, 0x00};
}
inline Bytes SyncReply() {
    return Packet(0x00, 0x01, Bytes(16, 0x00));
}

// Image bytes that differ from chunk to chunk, so a lost or repeated chunk shows.
inline Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

class Side {
  public:
    explicit Side(ByteStream& end) : end(end) {}

    // One packet (or what the engine will take for one).
    void Send(const Bytes& bytes) {
        ASSERT_TRUE(end.Write(bytes.data(), static_cast<int>(bytes.size())));
        ++sent;
    }
    void Send(const std::vector<Bytes>& packets) {
        for (const auto& p : packets) {
            Send(p);
        }
    }

    // What arrives of count bytes before the cable closes or a generous deadline passes
    // (the deadline only keeps a broken engine from hanging the test).
    Bytes Receive(size_t count) {
        Bytes bytes(count);
        size_t got = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got < count && std::chrono::steady_clock::now() < deadline) {
            const int n = end.Read(bytes.data() + got, static_cast<int>(count - got), 50);
            if (n < 0) {
                closed = true;
                break;
            }
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    // Waits until the engine has handled every packet sent so far.
    void Settle(const InstrumentEngine& engine) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (engine.Report().packetsReceived < sent) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the engine handled " << engine.Report().packetsReceived << " of "
                              << sent << " packets";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Sends a sync and reads up to its reply; for a host that has read every reply
    // before. Returns what arrived ahead of the reply.
    Bytes Barrier() {
        Send(Sync());
        const Bytes reply = SyncReply();
        Bytes seen;
        while (seen.size() < reply.size() ||
               !std::equal(reply.begin(), reply.end(), seen.end() - reply.size())) {
            const Bytes more = Receive(1);
            if (more.empty()) {
                ADD_FAILURE() << "the sync reply never came";
                return seen;
            }
            seen.push_back(more[0]);
        }
        seen.resize(seen.size() - reply.size());
        return seen;
    }

    bool closed = false;
    int sent = 0;

  private:
    ByteStream& end;
};

// Runs an engine until it is destroyed (or the run ends by itself).
class EngineThread {
  public:
    EngineThread(InstrumentEngine& engine, ByteStream& stream)
        : engine(engine), thread([&engine, &stream] { engine.Run(stream); }) {}
    ~EngineThread() { Join(); }
    void Join() {
        if (thread.joinable()) {
            engine.Stop();
            thread.join();
        }
    }
    // Waits for a run that ends by itself, without asking it to stop.
    void WaitForEnd() {
        if (thread.joinable()) {
            thread.join();
        }
    }

  private:
    InstrumentEngine& engine;
    std::thread thread;
};

// One step of a conversation: the host sends, or the instrument must answer at a step.
struct Event {
    bool fromHost = true;
    Bytes bytes;
    FaultStep step = FaultStep::Sync;
    int index = 0;
};

// The whole update as a correct host holds it with an instrument of this configuration.
inline std::vector<Event> GoodConversation(const InstrumentConfig& config, const Bytes& image2,
                                           const Bytes& image1) {
    std::vector<Event> events;
    auto hostSends = [&](Bytes b) { events.push_back({true, std::move(b)}); };
    auto deviceSays = [&](FaultStep step, int index, Bytes b) {
        events.push_back({false, std::move(b), step, index});
    };
    hostSends(Sync());
    deviceSays(FaultStep::Sync, 0, SyncReply());
    hostSends(SizeQuery());
    deviceSays(FaultStep::Size, 0,
               {0x00, 0x21, 0x02, 0x00, static_cast<uint8_t>(config.maxPacket),
                static_cast<uint8_t>(config.maxPacket >> 8)});
    hostSends(Identify());
    Bytes identity{0x01, 0x01};
    identity.insert(identity.end(), config.modelId.begin(), config.modelId.end());
    identity.resize(14, 0x00);
    deviceSays(FaultStep::Identify, 0, Packet(0x00, 0x11, identity));
    hostSends(Ack(0x11));
    hostSends(VersionRequest());
    deviceSays(FaultStep::VersionAck, 0, {0x03, 0x01, 0x02, 0x00, 0x01, 0x00});
    for (size_t k = 0; k < config.versions.size(); ++k) {
        Bytes entry{static_cast<uint8_t>(k), 0, 0, 0};
        entry.insert(entry.end(), config.versions[k].begin(), config.versions[k].end());
        deviceSays(FaultStep::VersionEntry, static_cast<int>(k), Packet(0x01, 0x03, entry));
        hostSends(Ack(0x03));
    }
    deviceSays(FaultStep::ListEnd, 0, Packet(0x01, 0x04, config.listEndPayload));
    hostSends(Ack(0x04));

    const size_t chunk = config.maxPacket % 64 == 0 ? config.maxPacket - 8u : config.maxPacket - 4u;
    auto sendImage = [&](uint8_t target, const Bytes& image, FaultStep start, FaultStep data,
                         FaultStep end) {
        hostSends(ImageStart(target, static_cast<uint32_t>(image.size())));
        deviceSays(start, 0, DeviceAck());
        int k = 0;
        for (size_t at = 0; at < image.size(); at += chunk, ++k) {
            const size_t n = std::min(chunk, image.size() - at);
            hostSends(Chunk(Bytes(image.begin() + at, image.begin() + at + n)));
            deviceSays(data, k, DeviceAck());
        }
        hostSends(ImageEnd());
        deviceSays(end, 0, DeviceAck());
    };
    if (!image2.empty()) {
        sendImage(0x44, image2, FaultStep::Image2Start, FaultStep::Image2Chunk,
                  FaultStep::Image2End);
    }
    sendImage(0x40, image1, FaultStep::Image1Start, FaultStep::Image1Chunk, FaultStep::Image1End);
    hostSends(Finish());
    deviceSays(FaultStep::Finish, 0, DeviceAck());
    return events;
}

// Plays the events and checks every reply byte for byte. With a stop step it returns
// just before the instrument's reply at that step would be read.
inline void Play(Side& side, const std::vector<Event>& events, const FaultStep* stopStep = nullptr,
                 int stopIndex = 0) {
    for (const auto& event : events) {
        if (event.fromHost) {
            side.Send(event.bytes);
            continue;
        }
        if (stopStep && event.step == *stopStep && event.index == stopIndex) {
            return;
        }
        ASSERT_EQ(side.Receive(event.bytes.size()), event.bytes)
            << "reply at step " << static_cast<int>(event.step) << " index " << event.index;
    }
    ASSERT_EQ(stopStep, nullptr) << "the conversation never reached the step";
}

}  // namespace host
