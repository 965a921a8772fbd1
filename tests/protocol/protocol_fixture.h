#pragma once
// Shared pieces of the protocol tests: a package, a recording sink, the host's packets
// and the instrument's answers.

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "package/fw_package.h"
#include "protocol/mt_update_protocol.h"
#include "tests/support/scripted_transport.h"

// Reaches the packet layer that the sequences use.
struct MTUpdateProtocolAccess {
    static int ReceiveReply(MTUpdateProtocol& p, int timeoutMs) {
        return p.ReceiveReply(timeoutMs);
    }
    static bool ReplyIs(const MTUpdateProtocol& p, uint8_t command, uint8_t subCommand) {
        return p.ReplyIs(command, subCommand);
    }
    static int SendAndWaitAck(MTUpdateProtocol& p, const Bytes& packet, int timeoutMs) {
        return p.SendAndWaitAck(packet.data(), timeoutMs);
    }
};

struct Reported {
    int32_t status;
    int32_t errorCode;
    bool operator==(const Reported&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << r.status << "/" << r.errorCode;
}

// Records status and code as the sink sees them when it is told.
class RecordingSink : public MTAccessCallback {
  public:
    void Notify(MTUpdateProtocol& source) override {
        std::lock_guard lock(mutex);
        seen.push_back({source.status, source.errorCode});
    }
    std::vector<Reported> Seen() {
        std::lock_guard lock(mutex);
        return seen;
    }

  private:
    std::mutex mutex;
    std::vector<Reported> seen;
};

inline const ModelId kModel = {'K', 'L', '2', '0'};

inline Bytes Pattern(size_t size, uint8_t seed = 1) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

inline void SetImage(FWImage& image, const Bytes& bytes) {
    image = FWImage{};
    if (bytes.empty()) {
        return;
    }
    image.length = static_cast<uint32_t>(bytes.size());
    image.data = std::make_unique<uint8_t[]>(bytes.size());
    std::memcpy(image.data.get(), bytes.data(), bytes.size());
}

inline VersionPrefix Prefix(const std::string& text) {
    VersionPrefix prefix;
    prefix.prefixLength = static_cast<uint8_t>(text.size());
    std::memcpy(prefix.prefix, text.data(), text.size());
    return prefix;
}

// A usable package: model kModel, version prefix "R20", small images.
inline std::unique_ptr<FWPackage> MakePackage(size_t image1Size = 10, size_t image2Size = 6) {
    auto package = std::make_unique<FWPackage>();
    package->valid = true;
    SetImage(package->image1, Pattern(image1Size, 1));
    SetImage(package->image2, Pattern(image2Size, 101));
    package->modelIds = {{'X', 'X', '0', '1'}, kModel};
    package->versionPrefixes = {Prefix("R20")};
    return package;
}

// What the host sends.
inline Bytes SyncRequest() {
    return Concat({{0x00, 0x00, 0x10, 0x00}, Bytes(16, 0)});
}
inline Bytes SizeQuery() {
    return {0x00, 0x20, 0x02, 0x00, 0xFF, 0xFF};
}
inline Bytes IdentifyRequest() {
    return Concat({{0x00, 0x10, 0x0E, 0x00, 0x20, 0x00}, Bytes(12, 0)});
}
inline Bytes HostAck(uint8_t subCommand) {
    return {0x03, 0x01, 0x02, 0x00, subCommand, 0x00};
}
inline Bytes VersionRequest() {
    return {0x01, 0x01, 0x02, 0x00, 0x10, 0x00};
}
inline Bytes ImageStart(uint8_t target, uint32_t length) {
    return {0x01,
            0x02,
            0x06,
            0x00,
            target,
            0x04,
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24)};
}
inline Bytes ImageEnd() {
    return {0x01, 0x04, 0x00, 0x00};
}
inline Bytes FinishCommand() {
    return {0x01, 0x11, 0x02, 0x00, 0x8B, 0x00};
}

// What the instrument answers.
inline Bytes SyncReply() {
    return Packet(0x00, 0x01, Bytes(16, 0));
}
inline Bytes SizeReply(uint16_t maxPacket) {
    return Packet(0x00, 0x21,
                  {static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8)});
}
inline Bytes IdentifyReply(const ModelId& model = kModel, uint8_t field0 = 0x01,
                           uint8_t field1 = 0x01) {
    return Packet(0x00, 0x11,
                  Concat({{field0, field1}, Bytes(model.begin(), model.end()), Bytes(8, 0xEE)}));
}
// A version entry: four bytes the host ignores, then the text.
inline Bytes VersionEntry(const std::string& text) {
    return Packet(0x01, 0x03, Concat({{0xA0, 0xA1, 0xA2, 0xA3}, Bytes(text.begin(), text.end())}));
}
inline Bytes ListEnd() {
    return Packet(0x01, 0x04);
}

// Scripts a connection that succeeds: sends 0 to 3 are sync, size, identify, ack.
inline void ScriptConnect(ScriptedTransport& t, uint16_t maxPacket = 1024) {
    t.replies[0] = SyncReply();
    t.replies[1] = SizeReply(maxPacket);
    t.replies[2] = IdentifyReply();
}

// Scripts the version list from send `first` on: the request is acknowledged and
// followed by the first entry; each host acknowledgement brings the next packet.
inline void ScriptVersions(ScriptedTransport& t, const std::vector<std::string>& versions,
                           int first = 0) {
    std::vector<Bytes> packets;
    for (const std::string& v : versions) {
        packets.push_back(VersionEntry(v));
    }
    packets.push_back(ListEnd());
    t.replies[first] = Concat({Ack(), packets[0]});
    for (size_t k = 1; k < packets.size(); ++k) {
        t.replies[first + static_cast<int>(k)] = packets[k];
    }
}
