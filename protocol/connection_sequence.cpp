// Connect and CheckVersion: link check, packet size, model and version list.

#include <algorithm>

#include "package/fw_package.h"
#include "protocol/mt_update_protocol.h"
#include "protocol/packet_header.h"
#include "protocol/protocol_constants.h"

using namespace protocol;

namespace {

constexpr uint8_t kSyncRequest[20] = {0x00, 0x00, 0x10, 0x00};  // then 16 zero bytes
constexpr uint8_t kPacketSizeQuery[6] = {0x00, 0x20, 0x02, 0x00, 0xFF, 0xFF};
constexpr uint8_t kIdentifyRequest[18] = {0x00, 0x10, 0x0E, 0x00, 0x20, 0x00};  // then 12 zeros
constexpr uint8_t kVersionRequest[6] = {0x01, 0x01, 0x02, 0x00, 0x10, 0x00};

constexpr uint8_t kSyncReply = 0x01;
constexpr uint8_t kPacketSizeReply = 0x21;
constexpr uint8_t kIdentifyReply = 0x11;
constexpr uint8_t kVersionEntry = 0x03;
constexpr uint8_t kVersionListEnd = 0x04;

constexpr int kPayload = PacketHeader::kSize;
// A version entry's text starts after four payload bytes the host does not look at.
constexpr int kVersionTextOffset = 4;

}  // namespace

int MTUpdateProtocol::Connect() {
    if (transport.load() == nullptr) {
        Report(StatusFailed, ErrorNoTransport);
        return 1;
    }
    if (package == nullptr) {
        Report(StatusFailed, ErrorNoPackage);
        return 1;
    }
    if (package->image1.length == 0 || !package->valid) {
        Report(StatusPackageInvalid, ErrorPackageInvalid);
        return 1;
    }
    aborted.store(false);
    // Kept so that the lock is released on the transport that was locked, even when
    // Detach clears transport meanwhile. The dialog owns the transport; it stays alive.
    MTAccessInterface* const locked = transport.load();
    if (locked == nullptr || !locked->Lock()) {
        Report(StatusFailed, ErrorNoTransport);
        return 1;
    }
    if (!locked->IsRecvEmpty()) {
        locked->Purge();
    }
    Report(StatusConnecting);
    const bool failed =
        SyncLink() != 0 || QueryMaxPacket() != 0 || Identify() != 0 || SendAck(kIdentifyReply) != 0;
    locked->Unlock();
    return failed ? 1 : 0;
}

int MTUpdateProtocol::CheckVersion() {
    MTAccessInterface* const locked = transport.load();
    if (locked == nullptr || !locked->Lock()) {
        Report(StatusFailed, ErrorNoTransport);
        return 1;
    }
    if (!locked->IsRecvEmpty()) {
        locked->Purge();
    }
    const int result = ReadVersionList();
    locked->Unlock();
    if (result != 0) {
        return 1;
    }
    Report(StatusAwaitingConfirm);
    return 0;
}

int MTUpdateProtocol::SyncLink() {
    if (!Exchange(kSyncRequest, sizeof kSyncRequest, kGroupLink, kSyncReply)) {
        Report(StatusLinkFailed, ErrorLink);
        return 1;
    }
    // The reply's length is 16: the packet table admits no other.
    const uint8_t* const payload = reply.get() + kPayload;
    if (!std::all_of(payload, payload + 16, [](uint8_t b) { return b == 0; })) {
        Report(StatusLinkFailed, ErrorLink);
        return 1;
    }
    return 0;
}

int MTUpdateProtocol::QueryMaxPacket() {
    if (!Exchange(kPacketSizeQuery, sizeof kPacketSizeQuery, kGroupLink, kPacketSizeReply)) {
        Report(StatusLinkFailed, ErrorLink);
        return 1;
    }
    // Every value is taken; a size too small for data is refused when the transfer starts.
    maxPacket = static_cast<uint16_t>(reply[kPayload] | (reply[kPayload + 1] << 8));
    return 0;
}

int MTUpdateProtocol::Identify() {
    if (!Exchange(kIdentifyRequest, sizeof kIdentifyRequest, kGroupLink, kIdentifyReply)) {
        Report(StatusLinkFailed, ErrorLink);
        return 1;
    }
    const uint8_t* const payload = reply.get() + kPayload;  // 14 bytes
    int result = 0;
    if (payload[0] != 0x01 || payload[1] != 0x01) {
        // A wrong protocol field fails the link, but the model is still checked so that
        // an unlisted instrument ends on its own code.
        Report(StatusLinkFailed, ErrorLink);
        result = 1;
    }
    if (package == nullptr) {
        return result;
    }
    const uint8_t* const model = payload + 2;
    for (const ModelId& id : package->modelIds) {
        if (std::equal(id.begin(), id.end(), model)) {
            return result;
        }
    }
    Report(StatusModelRejected, ErrorModelRejected);
    return 1;
}

int MTUpdateProtocol::SendAck(uint8_t subCommand) {
    const uint8_t ack[6] = {kGroupAck, kAck, 0x02, 0x00, subCommand, 0x00};
    if (SendRequest(ack, sizeof ack) != ResultDone) {
        Report(StatusLinkFailed, ErrorLink);
        return 1;
    }
    return 0;
}

int MTUpdateProtocol::ReadVersionList() {
    if (!Exchange(kVersionRequest, sizeof kVersionRequest, kGroupAck, kAck)) {
        Report(StatusVersionFailed, ErrorVersionExchange);
        return 1;
    }
    bool matched = false;
    for (;;) {
        if (transport.load() == nullptr || ReceiveReply(kReplyTimeoutMs) != ResultDone) {
            Report(StatusVersionFailed, ErrorVersionExchange);
            return 1;
        }
        if (!ReplyIs(kGroupData, kVersionEntry)) {
            break;
        }
        const int length = PacketHeader::FromBytes(reply.get()).length;
        // In bounds for the longest entry too: the buffer has one byte beyond the packet.
        reply[kPayload + length] = 0;
        // An entry shorter than four bytes gives a negative length, which matches nothing.
        const int32_t textLength = length - kVersionTextOffset;
        const uint8_t* const text = reply.get() + kPayload + kVersionTextOffset;
        if (package != nullptr && package->MatchVersionPrefix(text, textLength)) {
            matched = true;
        }
        if (SendAck(kVersionEntry) != 0) {
            Report(StatusVersionFailed, ErrorVersionExchange);
            return 1;
        }
    }
    if (!ReplyIs(kGroupData, kVersionListEnd)) {
        Report(StatusVersionFailed, ErrorVersionExchange);
        return 1;
    }
    if (SendAck(kVersionListEnd) != 0) {
        Report(StatusVersionFailed, ErrorVersionExchange);
        return 1;
    }
    if (!matched) {
        Report(StatusVersionRejected, ErrorVersionRejected);
        return 1;
    }
    return 0;
}
