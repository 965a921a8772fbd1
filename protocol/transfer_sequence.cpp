// Transfer: both images in acknowledged chunks, the finish command and the settle wait.

#include <algorithm>
#include <cstring>
#include <vector>

#include "package/fw_package.h"
#include "platform/sleep.h"
#include "protocol/mt_update_protocol.h"
#include "protocol/packet_header.h"
#include "protocol/protocol_constants.h"

using namespace protocol;

namespace {

constexpr uint8_t kImageStart = 0x02;
constexpr uint8_t kImageData = 0x03;
constexpr uint8_t kImageEnd = 0x04;
constexpr uint8_t kTargetImage2 = 0x44;
constexpr uint8_t kTargetImage1 = 0x40;
constexpr uint8_t kFinishCommand[6] = {0x01, 0x11, 0x02, 0x00, 0x8B, 0x00};
constexpr uint8_t kImageEndCommand[4] = {kGroupData, kImageEnd, 0x00, 0x00};

constexpr int kImage2StartTimeoutMs = 60000;
constexpr int kImage1StartTimeoutMs = 100000;

// Smallest maxPacket that carries one data byte.
constexpr int kMinimumPacket = PacketHeader::kSize + 1;

// A full chunk packet fills maxPacket, except that its length must not be a multiple of
// 64 (the serial channel splits such writes): then it stays 4 bytes shorter.
int ChunkSize(int maxPacket) {
    return maxPacket % 64 == 0 ? maxPacket - 8 : maxPacket - PacketHeader::kSize;
}

}  // namespace

int MTUpdateProtocol::Transfer() {
    MTAccessInterface* const locked = transport.load();
    if (locked == nullptr) {
        Report(StatusFailed, ErrorNoTransport);
        return 1;
    }
    // The controller starts a transfer only after a successful connection, but without a
    // package there is nothing to send.
    if (package == nullptr) {
        Report(StatusFailed, ErrorNoPackage);
        return 1;
    }
    if (!locked->Lock()) {
        Report(StatusFailed, ErrorNoTransport);
        return 1;
    }
    if (!locked->IsRecvEmpty()) {
        locked->Purge();
    }
    const FWImage& image1 = package->image1;
    const FWImage& image2 = package->image2;
    Report(StatusSendingImage2);
    bool failed =
        !image2.empty() && SendImage(kTargetImage2, image2.data.get(), image2.length) != 0;
    if (!failed) {
        Report(StatusSendingImage1);
        failed = !image1.empty() && SendImage(kTargetImage1, image1.data.get(), image1.length) != 0;
    }
    if (!failed) {
        failed = Finish() != 0;
    }
    if (!failed) {
        SettleWait();
    }
    locked->Unlock();
    if (failed) {
        return 1;
    }
    Report(StatusCompleted);
    return 0;
}

int MTUpdateProtocol::SendImage(uint8_t target, const uint8_t* data, uint32_t length) {
    const bool second = target != kTargetImage2;
    const int32_t failure = second ? StatusImage1Failed : StatusImage2Failed;
    const int startTimeoutMs = second ? kImage1StartTimeoutMs : kImage2StartTimeoutMs;
    const int packetSize = maxPacket;
    if (packetSize < kMinimumPacket) {
        Report(failure, ErrorTransfer);
        return 1;
    }
    const uint8_t start[10] = {
        kGroupData,
        kImageStart,
        0x06,
        0x00,
        target,
        0x04,
        static_cast<uint8_t>(length),
        static_cast<uint8_t>(length >> 8),
        static_cast<uint8_t>(length >> 16),
        static_cast<uint8_t>(length >> 24),
    };
    if (SendAndWaitAck(start, startTimeoutMs) != ResultDone) {
        Report(failure, ErrorTransfer);
        return 1;
    }
    // One buffer per image; every chunk packet is built in it.
    std::vector<uint8_t> chunk(static_cast<size_t>(packetSize));
    chunk[0] = kGroupData;
    chunk[1] = kImageData;
    const uint32_t chunkSize = static_cast<uint32_t>(ChunkSize(packetSize));
    for (uint32_t offset = 0; offset < length;) {
        const uint32_t n = std::min(chunkSize, length - offset);
        chunk[2] = static_cast<uint8_t>(n);
        chunk[3] = static_cast<uint8_t>(n >> 8);
        std::memcpy(chunk.data() + PacketHeader::kSize, data + offset, n);
        if (!Exchange(chunk.data(), PacketHeader::kSize + static_cast<int>(n), kGroupAck, kAck)) {
            Report(failure, ErrorTransfer);
            return 1;
        }
        offset += n;
    }
    if (!Exchange(kImageEndCommand, sizeof kImageEndCommand, kGroupAck, kAck)) {
        Report(failure, ErrorTransfer);
        return 1;
    }
    return 0;
}

int MTUpdateProtocol::Finish() {
    Report(StatusFinishing);
    if (!Exchange(kFinishCommand, sizeof kFinishCommand, kGroupAck, kAck)) {
        Report(StatusFinishFailed, ErrorTransfer);
        return 1;
    }
    return 0;
}

void MTUpdateProtocol::SettleWait() {
    void (*const sleep)(int) = sleepMs != nullptr ? sleepMs : SleepMs;
    for (int slice = 0; slice < kSettleSlices; ++slice) {
        sleep(kSettleSliceMs);
        if (aborted.load()) {
            return;
        }
    }
}
