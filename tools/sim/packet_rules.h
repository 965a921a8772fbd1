#pragma once
// What the instrument holds every host packet to: the packet table and the chunk size
// that a packet size allows. Kept apart from the host's own code on purpose, so that
// the simulated instrument is an independent judge of the host.

#include <cstdint>

namespace klv::sim {

inline constexpr uint8_t kGroupLink = 0x00;
inline constexpr uint8_t kGroupData = 0x01;
inline constexpr uint8_t kGroupAck = 0x03;

// Well formed: the command pair is listed and, where the pair has a fixed payload
// length, the length is exactly that.
bool IsWellFormedHeader(uint8_t command, uint8_t subCommand, uint16_t length);

// The payload of a full data chunk for a packet size: a full chunk packet is never a
// multiple of 64 bytes long. 0 when the packet size leaves no room for any chunk.
int ChunkSizeFor(uint16_t maxPacket);

}  // namespace klv::sim
