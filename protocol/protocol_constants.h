#pragma once
// Values the connection and transfer sequences share; the tools that watch an exchange
// (the update session) read them too, so that both sides mean the same packets.

#include <cstdint>

namespace protocol {

// Every packet is written with this time-out, and every reply is awaited this long unless
// the step says otherwise (only the two image start commands wait longer).
constexpr int kSendTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 5000;

constexpr uint8_t kGroupLink = 0x00;
constexpr uint8_t kGroupData = 0x01;
constexpr uint8_t kGroupAck = 0x03;
constexpr uint8_t kAck = 0x01;  // subCommand of the acknowledgement

// After the finish command the instrument writes its flash: 51 slices of 200 ms.
constexpr int kSettleSlices = 51;
constexpr int kSettleSliceMs = 200;

}  // namespace protocol
