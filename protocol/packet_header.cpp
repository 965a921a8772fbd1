#include "protocol/packet_header.h"

namespace {

constexpr int kAnyLength = -1;

struct PacketKind {
    uint8_t command;
    uint8_t subCommand;
    int length;  // the fixed payload length, or kAnyLength
};

// Every packet either side may send. The pairs nobody sends or expects here are still
// well formed so that a stray one is read whole and then rejected as unexpected.
constexpr PacketKind kPacketTable[] = {
    {0x00, 0x00, 16},          // sync request
    {0x00, 0x01, 16},          // sync reply
    {0x00, 0x10, 14},          // identify request
    {0x00, 0x11, 14},          // identify reply
    {0x00, 0x20, 2},           // packet-size query
    {0x00, 0x21, 2},           // packet-size reply
    {0x00, 0x30, 0},           //
    {0x00, 0x31, 0},           //
    {0x01, 0x01, kAnyLength},  // version request
    {0x01, 0x02, kAnyLength},  // image start
    {0x01, 0x03, kAnyLength},  // version entry / image data chunk
    {0x01, 0x04, kAnyLength},  // end of version list / image end
    {0x01, 0x05, kAnyLength},  //
    {0x01, 0x10, kAnyLength},  //
    {0x01, 0x11, kAnyLength},  // finish
    {0x01, 0x12, kAnyLength},  //
    {0x03, 0x01, 2},           // acknowledgement
    {0x03, 0x02, 2},           // negative answers: never an acknowledgement
    {0x03, 0xFE, 2},           //
};

}  // namespace

PacketHeader PacketHeader::FromBytes(const uint8_t* bytes) {
    PacketHeader header;
    header.command = bytes[0];
    header.subCommand = bytes[1];
    header.length = static_cast<uint16_t>(bytes[2] | (bytes[3] << 8));
    return header;
}

void PacketHeader::ToBytes(uint8_t* bytes) const {
    bytes[0] = command;
    bytes[1] = subCommand;
    bytes[2] = static_cast<uint8_t>(length & 0xFF);
    bytes[3] = static_cast<uint8_t>(length >> 8);
}

bool PacketHeader::IsValidHeader() const {
    for (const PacketKind& kind : kPacketTable) {
        if (kind.command == command && kind.subCommand == subCommand) {
            return kind.length == kAnyLength || kind.length == length;
        }
    }
    return false;
}
