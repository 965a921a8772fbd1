#include "tools/sim/instrument_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "tools/sim/fault_names.h"
#include "tools/sim/packet_rules.h"

using klv::sim::ChunkSizeFor;
using klv::sim::IsWellFormedHeader;

namespace {

constexpr int kPollSliceMs = 20;  // how soon Run notices Stop()

constexpr uint8_t kTargetImage1 = 0x40;
constexpr uint8_t kTargetImage2 = 0x44;

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char buffer[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += buffer;
    }
    return text;
}

std::string Hex8(unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02X", value & 0xFFu);
    return buffer;
}

std::vector<uint8_t> Header(uint8_t command, uint8_t subCommand, size_t length) {
    return {command, subCommand, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

std::vector<uint8_t> Ack(uint8_t first = 0x00) {
    return {0x03, 0x01, 0x02, 0x00, first, 0x00};
}

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string PacketName(uint8_t command, uint8_t subCommand) {
    const unsigned pair = (command << 8) | subCommand;
    switch (pair) {
        case 0x0000:
            return "sync request";
        case 0x0010:
            return "identify request";
        case 0x0020:
            return "packet-size query";
        case 0x0301:
            return "acknowledgement";
        case 0x0101:
            return "version request";
        case 0x0102:
            return "image start";
        case 0x0103:
            return "data chunk";
        case 0x0104:
            return "image end";
        case 0x0111:
            return "finish command";
        default:
            return "packet " + Hex(&command, 1) + "/" + Hex(&subCommand, 1);
    }
}

bool SameBytes(const std::vector<uint8_t>& received, const FWImage& image) {
    return received.size() == image.length &&
           (image.length == 0 || std::equal(received.begin(), received.end(), image.data.get()));
}

}  // namespace

InstrumentEngine::InstrumentEngine(InstrumentConfig config)
    : config(std::move(config)), struck(this->config.faults.size(), false) {
    sleepMs = [this](int ms) {
        std::unique_lock lock(sleepMutex);
        sleepWake.wait_for(lock, std::chrono::milliseconds(ms),
                           [this] { return stopRequested.load(); });
    };
    announcedMaxPacket = this->config.maxPacket;
}

void InstrumentEngine::Stop() {
    stopRequested = true;
    { std::lock_guard lock(sleepMutex); }
    sleepWake.notify_all();
}

InstrumentReport InstrumentEngine::Report() const {
    std::lock_guard lock(mutex);
    return report;
}

bool InstrumentEngine::ImagesMatch(const FWPackage& package) const {
    std::lock_guard lock(mutex);
    if (!report.image1Ended || !SameBytes(report.image1, package.image1)) {
        return false;
    }
    if (package.image2.empty()) {
        return !report.image2Started;
    }
    return report.image2Ended && SameBytes(report.image2, package.image2);
}

void InstrumentEngine::Run(ByteStream& stream) {
    endReason = EngineEnd::Running;
    {
        std::lock_guard lock(mutex);
        report.end = EngineEnd::Running;
    }
    Packet packet;
    while (endReason == EngineEnd::Running) {
        switch (ReadPacket(stream, packet)) {
            case ReadOutcome::Packet:
                Handle(stream, packet);
                CountPacket();
                break;
            case ReadOutcome::Skipped:
                CountPacket();
                break;
            case ReadOutcome::Truncated:
                break;
            case ReadOutcome::Closed:
                endReason = EngineEnd::StreamClosed;
                break;
            case ReadOutcome::Stopped:
                endReason = EngineEnd::Stopped;
                break;
            case ReadOutcome::Idle:
                endReason = EngineEnd::IdleTimeout;
                break;
        }
    }
    std::lock_guard lock(mutex);
    report.end = endReason;
}

int InstrumentEngine::ReadFully(ByteStream& stream, uint8_t* buffer, int count, int firstWaitMs,
                                int waitMs) {
    using Clock = std::chrono::steady_clock;
    int got = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(firstWaitMs, 0));
    bool bounded = firstWaitMs >= 0;
    while (got < count) {
        if (stopRequested) {
            return -2;
        }
        int slice = kPollSliceMs;
        if (bounded) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) {
                return got;
            }
            slice = static_cast<int>(std::min<long long>(slice, left));
        }
        const int n = stream.Read(buffer + got, count - got, slice);
        if (n < 0) {
            return -1;
        }
        if (n > 0) {
            got += n;
            bounded = waitMs >= 0;
            deadline = Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
        }
    }
    return got;
}

void InstrumentEngine::CountPacket() {
    // Counted once handled, so a count that has reached the packets sent tells a test
    // that their replies and violations are all in.
    std::lock_guard lock(mutex);
    ++report.packetsReceived;
}

InstrumentEngine::ReadOutcome InstrumentEngine::ReadPacket(ByteStream& stream, Packet& packet) {
    uint8_t header[4];
    const int got = ReadFully(stream, header, 4, config.idleTimeoutMs, config.packetTimeoutMs);
    if (got == -1) {
        return ReadOutcome::Closed;
    }
    if (got == -2) {
        return ReadOutcome::Stopped;
    }
    if (got == 0) {
        return ReadOutcome::Idle;
    }
    if (got < 4) {
        Trace("host", header, got);
        Violation("a packet cut short after " + std::to_string(got) + " of 4 header bytes (" +
                  Hex(header, got) + ")");
        return ReadOutcome::Truncated;
    }
    const uint16_t length = static_cast<uint16_t>(header[2] | (header[3] << 8));
    packet.command = header[0];
    packet.subCommand = header[1];
    packet.payload.resize(length);
    const int payload = length == 0 ? 0
                                    : ReadFully(stream, packet.payload.data(), length,
                                                config.packetTimeoutMs, config.packetTimeoutMs);
    if (payload == -1) {
        return ReadOutcome::Closed;
    }
    if (payload == -2) {
        return ReadOutcome::Stopped;
    }
    std::vector<uint8_t> whole(header, header + 4);
    whole.insert(whole.end(), packet.payload.begin(), packet.payload.begin() + payload);
    Trace("host", whole.data(), whole.size());
    // A malformed header's length is taken at its word: the bytes it announces are
    // skipped, so that a host that writes whole packets stays in step.
    if (!IsWellFormedHeader(header[0], header[1], length)) {
        Violation("malformed header " + Hex(header, 4));
        return ReadOutcome::Skipped;
    }
    if (payload < length) {
        Violation(PacketName(header[0], header[1]) + " cut short: " + std::to_string(payload) +
                  " of " + std::to_string(length) + " payload bytes arrived");
        return ReadOutcome::Skipped;
    }
    return ReadOutcome::Packet;
}

void InstrumentEngine::Handle(ByteStream& stream, const Packet& packet) {
    const uint8_t command = packet.command;
    const uint8_t sub = packet.subCommand;
    if (command == 0x00 && sub == 0x00) {
        // A sync starts a new conversation wherever the last one stood: the host
        // purges and starts over after any failure.
        CheckPayload("sync request", packet, std::vector<uint8_t>(16, 0x00));
        phase = Phase::AwaitSize;
        nextEntry = 0;
        withheld.clear();
        announcedMaxPacket = config.maxPacket;
        transferOpen = false;
        {
            std::lock_guard lock(mutex);
            ++report.syncs;
        }
        auto reply = Header(0x00, 0x01, 16);
        reply.resize(4 + 16, 0x00);
        Reply(stream, FaultStep::Sync, -1, std::move(reply));
        return;
    }
    if (!withheld.empty()) {
        // The host did not get a reply it needed; the only sound way on is a new sync.
        Violation(PacketName(command, sub) + " after " + withheld +
                  "; the host should have given up");
        return;
    }
    if (command == 0x00 && sub == 0x20) {
        if (phase != Phase::AwaitSize) {
            Violation("packet-size query where " + Expected() + " was due");
        }
        CheckPayload("packet-size query", packet, {0xFF, 0xFF});
        phase = Phase::AwaitIdentify;
        announcedMaxPacket = config.maxPacket;
        auto reply = Header(0x00, 0x21, 2);
        reply.push_back(static_cast<uint8_t>(config.maxPacket));
        reply.push_back(static_cast<uint8_t>(config.maxPacket >> 8));
        Reply(stream, FaultStep::Size, -1, std::move(reply));
        return;
    }
    if (command == 0x00 && sub == 0x10) {
        if (phase != Phase::AwaitIdentify) {
            Violation("identify request where " + Expected() + " was due");
        }
        std::vector<uint8_t> want(14, 0x00);
        want[0] = 0x20;
        CheckPayload("identify request", packet, want);
        phase = Phase::AwaitIdentifyAck;
        auto reply = Header(0x00, 0x11, 14);
        reply.push_back(0x01);
        reply.push_back(0x01);
        reply.insert(reply.end(), config.modelId.begin(), config.modelId.end());
        reply.resize(4 + 14, 0x00);
        Reply(stream, FaultStep::Identify, -1, std::move(reply));
        return;
    }
    if (command == 0x03 && sub == 0x01) {
        HandleAck(stream, packet);
        return;
    }
    if (command == 0x01) {
        switch (sub) {
            case 0x01:
                HandleVersionRequest(stream, packet);
                return;
            case 0x02:
                HandleImageStart(stream, packet);
                return;
            case 0x03:
                HandleChunk(stream, packet);
                return;
            case 0x04:
                HandleImageEnd(stream, packet);
                return;
            case 0x11:
                HandleFinish(stream, packet);
                return;
            default:
                Violation("unexpected " + PacketName(command, sub));
                Reject(stream, packet);
                return;
        }
    }
    // Well formed, but a reply or a pair that nobody uses: there is nothing to answer.
    Violation("unexpected " + PacketName(command, sub));
}

void InstrumentEngine::HandleAck(ByteStream& stream, const Packet& packet) {
    uint8_t due = 0;
    switch (phase) {
        case Phase::AwaitIdentifyAck:
            due = 0x11;
            break;
        case Phase::AwaitEntryAck:
            due = 0x03;
            break;
        case Phase::AwaitEndAck:
            due = 0x04;
            break;
        default:
            Violation("an acknowledgement where " + Expected() + " was due");
            return;
    }
    if (packet.payload[0] != due) {
        Violation("acknowledgement of sub-command " + Hex8(packet.payload[0]) + " where " +
                  Expected() + " was due");
    }
    if (packet.payload[1] != 0x00) {
        Violation("acknowledgement with second byte " + Hex8(packet.payload[1]) + ", not 00");
    }
    switch (phase) {
        case Phase::AwaitIdentifyAck:
            phase = Phase::AwaitVersionRequest;
            return;
        case Phase::AwaitEntryAck:
            SendNextVersionPacket(stream);
            return;
        default:
            phase = Phase::AwaitImageStart;
            return;
    }
}

void InstrumentEngine::HandleVersionRequest(ByteStream& stream, const Packet& packet) {
    if (phase != Phase::AwaitVersionRequest) {
        Violation("version request where " + Expected() + " was due");
        Reject(stream, packet);
        return;
    }
    CheckPayload("version request", packet, {0x10, 0x00});
    nextEntry = 0;
    if (!Reply(stream, FaultStep::VersionAck, -1, Ack(0x01)) || !withheld.empty()) {
        return;
    }
    SendNextVersionPacket(stream);
}

void InstrumentEngine::SendNextVersionPacket(ByteStream& stream) {
    if (nextEntry < static_cast<int>(config.versions.size())) {
        const int entry = nextEntry++;
        const std::string& text = config.versions[entry];
        auto packet = Header(0x01, 0x03, 4 + text.size());
        // Four bytes ahead of the text that the host skips: the entry's number.
        for (int shift = 0; shift < 32; shift += 8) {
            packet.push_back(static_cast<uint8_t>(static_cast<uint32_t>(entry) >> shift));
        }
        packet.insert(packet.end(), text.begin(), text.end());
        phase = Phase::AwaitEntryAck;
        Reply(stream, FaultStep::VersionEntry, entry, std::move(packet));
        return;
    }
    auto packet = Header(0x01, 0x04, config.listEndPayload.size());
    packet.insert(packet.end(), config.listEndPayload.begin(), config.listEndPayload.end());
    phase = Phase::AwaitEndAck;
    Reply(stream, FaultStep::ListEnd, -1, std::move(packet));
}

void InstrumentEngine::HandleImageStart(ByteStream& stream, const Packet& packet) {
    if (phase != Phase::AwaitImageStart && phase != Phase::AwaitFinish) {
        Violation("image start where " + Expected() + " was due");
        Reject(stream, packet);
        return;
    }
    const auto& p = packet.payload;
    if (p.size() != 6) {
        Violation("image start with a payload of " + std::to_string(p.size()) + " bytes, not 6");
        Reject(stream, packet);
        return;
    }
    int image = 0;
    if (p[0] == kTargetImage2) {
        image = 2;
    } else if (p[0] == kTargetImage1) {
        image = 1;
    } else {
        Violation("image start with unknown target code " + Hex8(p[0]));
        Reject(stream, packet);
        return;
    }
    const std::string name = "image " + std::to_string(image);
    if (p[1] != 0x04) {
        Violation(name + " start: the byte after the target code is " + Hex8(p[1]) +
                  ", not the constant 04");
    }
    const uint32_t length = LoadLe32(&p[2]);
    if (length == 0) {
        Violation(name + " start announces an empty image");
    }
    if (ChunkSizeFor(announcedMaxPacket) == 0) {
        Violation(name + " started although packet size " + std::to_string(announcedMaxPacket) +
                  " leaves no room for a chunk");
    }
    std::string order;
    {
        std::lock_guard lock(mutex);
        if (!transferOpen) {
            report.image1.clear();
            report.image2.clear();
            report.image1Started = report.image2Started = false;
            report.image1Ended = report.image2Ended = false;
            report.image1Announced = report.image2Announced = 0;
            report.finished = false;
        }
        if (image == 2 && report.image1Started) {
            order = "image 2 (0x44) started after image 1 (0x40); image 2 goes first";
        } else if (image == 2 ? report.image2Started : report.image1Started) {
            order = name + " started a second time";
        }
        (image == 2 ? report.image2Started : report.image1Started) = true;
        (image == 2 ? report.image2Ended : report.image1Ended) = false;
        (image == 2 ? report.image2Announced : report.image1Announced) = length;
        (image == 2 ? report.image2 : report.image1).clear();
    }
    if (!order.empty()) {
        Violation(order);
    }
    transferOpen = true;
    phase = Phase::InImage;
    currentImage = image;
    chunkIndex = 0;
    imageReceived = 0;
    imageAnnounced = length;
    Reply(stream, image == 2 ? FaultStep::Image2Start : FaultStep::Image1Start, -1, Ack());
}

void InstrumentEngine::HandleChunk(ByteStream& stream, const Packet& packet) {
    if (phase != Phase::InImage) {
        Violation("data chunk where " + Expected() + " was due");
        Reject(stream, packet);
        return;
    }
    const int chunk = chunkIndex++;
    const auto n = static_cast<uint32_t>(packet.payload.size());
    const auto full = static_cast<uint32_t>(ChunkSizeFor(announcedMaxPacket));
    const std::string name =
        "image " + std::to_string(currentImage) + " chunk " + std::to_string(chunk);
    if (n == 0) {
        Violation(name + " is empty");
    } else if (n > full) {
        Violation(name + " carries " + std::to_string(n) + " bytes, more than the " +
                  std::to_string(full) + " of a full chunk for packet size " +
                  std::to_string(announcedMaxPacket));
    } else if (imageReceived + n > imageAnnounced) {
        Violation(name + " runs beyond the announced " + std::to_string(imageAnnounced) +
                  " bytes (to " + std::to_string(imageReceived + n) + ")");
    } else if (n < full && imageReceived + n != imageAnnounced) {
        Violation(name + " carries " + std::to_string(n) + " bytes, but only the last chunk " +
                  "may be shorter than " + std::to_string(full));
    }
    imageReceived += n;
    {
        std::lock_guard lock(mutex);
        auto& image = currentImage == 2 ? report.image2 : report.image1;
        image.insert(image.end(), packet.payload.begin(), packet.payload.end());
    }
    Reply(stream, currentImage == 2 ? FaultStep::Image2Chunk : FaultStep::Image1Chunk, chunk,
          Ack());
}

void InstrumentEngine::HandleImageEnd(ByteStream& stream, const Packet& packet) {
    if (phase != Phase::InImage) {
        Violation("image end where " + Expected() + " was due");
        Reject(stream, packet);
        return;
    }
    const std::string name = "image " + std::to_string(currentImage);
    if (!packet.payload.empty()) {
        Violation(name + " end carries a payload of " + std::to_string(packet.payload.size()) +
                  " bytes");
    }
    if (imageReceived != imageAnnounced) {
        Violation(name + " ended after " + std::to_string(imageReceived) + " of " +
                  std::to_string(imageAnnounced) + " announced bytes");
    }
    {
        std::lock_guard lock(mutex);
        (currentImage == 2 ? report.image2Ended : report.image1Ended) = true;
    }
    const int image = currentImage;
    phase = image == 2 ? Phase::AwaitImageStart : Phase::AwaitFinish;
    Reply(stream, image == 2 ? FaultStep::Image2End : FaultStep::Image1End, -1, Ack());
}

void InstrumentEngine::HandleFinish(ByteStream& stream, const Packet& packet) {
    if (phase != Phase::AwaitFinish) {
        Violation("finish command where " + Expected() + " was due");
        Reject(stream, packet);
        return;
    }
    CheckPayload("finish command", packet, {0x8B, 0x00});
    phase = Phase::Finished;
    // The instrument has finished before it says so: whoever reads the acknowledgement
    // must already find the update finished on record.
    const bool acknowledges = !FaultDue(FaultStep::Finish);
    if (acknowledges) {
        std::lock_guard lock(mutex);
        report.finished = true;
    }
    if (!Reply(stream, FaultStep::Finish, -1, Ack()) || !withheld.empty()) {
        // The acknowledgement never got out (the cable closed) or a fault replaced it.
        std::lock_guard lock(mutex);
        report.finished = false;
        return;
    }
    if (!acknowledges) {
        // A fault that only delayed the acknowledgement.
        std::lock_guard lock(mutex);
        report.finished = true;
    }
    if (config.stopAfterFinish) {
        endReason = EngineEnd::Finished;
    }
}

bool InstrumentEngine::FaultDue(FaultStep step) const {
    const int index = reached[static_cast<size_t>(step)];
    for (size_t i = 0; i < config.faults.size(); ++i) {
        if (!struck[i] && config.faults[i].step == step && config.faults[i].index == index) {
            return true;
        }
    }
    return false;
}

bool InstrumentEngine::Reply(ByteStream& stream, FaultStep step, int index,
                             std::vector<uint8_t> packet) {
    const auto stepNumber = static_cast<size_t>(step);
    if (index < 0) {
        index = reached[stepNumber]++;
    }
    size_t which = config.faults.size();
    for (size_t i = 0; i < config.faults.size(); ++i) {
        if (!struck[i] && config.faults[i].step == step && config.faults[i].index == index) {
            which = i;
            break;
        }
    }
    if (which == config.faults.size()) {
        return WriteBytes(stream, packet);
    }
    struck[which] = true;
    const Fault& fault = config.faults[which];
    const std::string faultName = klv::sim::FaultName(fault);
    {
        std::lock_guard lock(mutex);
        report.faultsStruck.push_back(faultName);
    }
    if (onTrace) {
        onTrace("fault  " + faultName);
    }
    std::string what(klv::sim::FaultStepDescription(step));
    if (klv::sim::FaultStepHasIndex(step)) {
        what += " " + std::to_string(index);
    }
    switch (fault.kind) {
        case FaultKind::NoReply:
            withheld = what + " (withheld)";
            return true;
        case FaultKind::MalformedHeader:
            if (packet[0] == 0x01) {
                packet[0] = 0x02;  // variable length: only the pair can be wrong
            } else {
                packet.push_back(0x00);  // one byte more than the pair's fixed length
                packet[2] = static_cast<uint8_t>(packet.size() - 4);
            }
            withheld = what + " (sent with a malformed header)";
            return WriteBytes(stream, packet);
        case FaultKind::UnexpectedReply:
            withheld = what + " (replaced by 03 02)";
            return WriteBytes(stream, {0x03, 0x02, 0x02, 0x00, 0x00, 0x00});
        case FaultKind::ChangedPayload:
            switch (step) {
                case FaultStep::Sync:
                    packet[4] = 0x01;
                    withheld = what + " (with a non-zero byte)";
                    break;
                case FaultStep::Size:
                    packet[4] = 0x04;
                    packet[5] = 0x00;
                    announcedMaxPacket = 4;
                    break;
                case FaultStep::Identify:
                    packet[5] = 0x02;
                    withheld = what + " (with protocol field 01 02)";
                    break;
                case FaultStep::VersionEntry:
                    packet.resize(4 + 2);
                    packet[2] = 2;
                    packet[3] = 0;
                    break;
                case FaultStep::ListEnd:
                    packet = {0x01, 0x04, 0x02, 0x00, 0xFF, 0xFF};
                    break;
                default:
                    packet[4] = 0xFF;
                    packet[5] = 0xFF;
                    break;
            }
            return WriteBytes(stream, packet);
        case FaultKind::DeviceGone:
            if (onGone) {
                onGone();
            }
            endReason = EngineEnd::Gone;
            return false;
        case FaultKind::Delay:
            sleepMs(fault.delayMs);
            if (stopRequested) {
                endReason = EngineEnd::Stopped;
                return false;
            }
            return WriteBytes(stream, packet);
    }
    return false;
}

void InstrumentEngine::Reject(ByteStream& stream, const Packet& packet) {
    WriteBytes(stream, {0x03, 0x02, 0x02, 0x00, packet.subCommand, 0x00});
}

bool InstrumentEngine::WriteBytes(ByteStream& stream, const std::vector<uint8_t>& bytes) {
    Trace("device", bytes.data(), bytes.size());
    if (!stream.Write(bytes.data(), static_cast<int>(bytes.size()))) {
        endReason = EngineEnd::StreamClosed;
        return false;
    }
    return true;
}

void InstrumentEngine::Violation(std::string text) {
    if (onTrace) {
        onTrace("violation: " + text);
    }
    std::lock_guard lock(mutex);
    report.violations.push_back(std::move(text));
}

void InstrumentEngine::Trace(const char* who, const uint8_t* bytes, size_t count) {
    if (!onTrace) {
        return;
    }
    constexpr size_t kShown = 16;
    std::string line = std::string(who) + (std::string(who).size() < 6 ? "   " : " ") +
                       Hex(bytes, std::min(count, kShown));
    if (count > kShown) {
        line += " ... (" + std::to_string(count) + " bytes)";
    }
    onTrace(line);
}

std::string InstrumentEngine::Expected() const {
    switch (phase) {
        case Phase::AwaitSync:
            return "the sync request";
        case Phase::AwaitSize:
            return "the packet-size query";
        case Phase::AwaitIdentify:
            return "the identify request";
        case Phase::AwaitIdentifyAck:
            return "the acknowledgement of the identify reply (0x11)";
        case Phase::AwaitVersionRequest:
            return "the version request";
        case Phase::AwaitEntryAck:
            return "the acknowledgement of version entry " + std::to_string(nextEntry - 1) +
                   " (0x03)";
        case Phase::AwaitEndAck:
            return "the acknowledgement of the list end (0x04)";
        case Phase::AwaitImageStart:
            return transferOpen ? "the start of image 1" : "an image start";
        case Phase::InImage:
            return "a chunk or the end of image " + std::to_string(currentImage);
        case Phase::AwaitFinish:
            return "the finish command";
        case Phase::Finished:
            return "nothing (the update is finished)";
    }
    return "?";
}

void InstrumentEngine::CheckPayload(const char* what, const Packet& packet,
                                    const std::vector<uint8_t>& want) {
    // The fixed lengths were checked with the header; variable ones are checked here.
    if (packet.payload.size() != want.size()) {
        Violation(std::string(what) + " with a payload of " +
                  std::to_string(packet.payload.size()) + " bytes, not " +
                  std::to_string(want.size()));
        return;
    }
    if (packet.payload != want) {
        Violation(std::string(what) + " with payload " +
                  Hex(packet.payload.data(), packet.payload.size()) + ", not " +
                  Hex(want.data(), want.size()));
    }
}
