#include "tools/sim/packet_rules.h"

namespace klv::sim {

namespace {
constexpr int kAnyLength = -1;
constexpr int kNotListed = -2;

int RequiredLength(uint8_t command, uint8_t subCommand) {
    switch (command) {
        case kGroupLink:
            switch (subCommand) {
                case 0x00:
                case 0x01:
                    return 16;
                case 0x10:
                case 0x11:
                    return 14;
                case 0x20:
                case 0x21:
                    return 2;
                case 0x30:
                case 0x31:
                    return 0;
                default:
                    return kNotListed;
            }
        case kGroupData:
            switch (subCommand) {
                case 0x01:
                case 0x02:
                case 0x03:
                case 0x04:
                case 0x05:
                case 0x10:
                case 0x11:
                case 0x12:
                    return kAnyLength;
                default:
                    return kNotListed;
            }
        case kGroupAck:
            switch (subCommand) {
                case 0x01:
                case 0x02:
                case 0xFE:
                    return 2;
                default:
                    return kNotListed;
            }
        default:
            return kNotListed;
    }
}
}  // namespace

bool IsWellFormedHeader(uint8_t command, uint8_t subCommand, uint16_t length) {
    const int required = RequiredLength(command, subCommand);
    if (required == kNotListed) {
        return false;
    }
    return required == kAnyLength || required == length;
}

int ChunkSizeFor(uint16_t maxPacket) {
    if (maxPacket < 5) {
        return 0;
    }
    return maxPacket % 64 == 0 ? maxPacket - 8 : maxPacket - 4;
}

}  // namespace klv::sim
