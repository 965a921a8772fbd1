#pragma once
// The state of one instrument connection and the sequences that talk to it.

#include <atomic>
#include <cstdint>
#include <memory>

#include "mt_access_callback.h"
#include "mt_access_interface.h"

class FWPackage;

enum ProtocolStatus : int32_t {
    StatusInitial = 0,
    StatusConnecting = 2,
    StatusLinkFailed = 3,
    StatusModelRejected = 4,
    StatusVersionFailed = 5,
    StatusVersionRejected = 6,
    StatusAwaitingConfirm = 7,
    StatusSendingImage2 = 8,
    StatusImage2Failed = 9,
    StatusSendingImage1 = 10,
    StatusImage1Failed = 11,
    StatusFinishing = 12,
    StatusFinishFailed = 13,
    StatusCompleted = 14,
    StatusPackageInvalid = 15,
    StatusFailed = 16,
};

enum ProtocolError : int32_t {
    ErrorLink = 1,
    ErrorVersionExchange = 2,
    ErrorTransfer = 3,
    ErrorModelRejected = 16,
    ErrorVersionRejected = 17,
    ErrorNoTransport = 80,
    ErrorPackageInvalid = 96,
    ErrorNoPackage = 255,
};

// Results of the packet-level operations.
enum PacketResult : int {
    ResultDone = 0,
    ResultFailure = 1,
    ResultTimeout = 2,
    ResultUnexpected = 4,
    ResultAborted = 5,
};

class MTUpdateProtocol {
public:
    static constexpr int kReplyCapacity = 65539;  // header + the largest payload

    MTUpdateProtocol();
    ~MTUpdateProtocol();
    MTUpdateProtocol(const MTUpdateProtocol&) = delete;
    MTUpdateProtocol& operator=(const MTUpdateProtocol&) = delete;

    std::atomic<MTAccessInterface*> transport{nullptr};
    FWPackage* package = nullptr;
    MTAccessCallback* callback = nullptr;
    int32_t status = StatusInitial;
    int32_t errorCode = 0;
    uint16_t maxPacket = 0xFFFF;
    std::unique_ptr<uint8_t[]> reply;
    std::atomic<bool> aborted{false};

    // The settle wait after the finish command sleeps through this, in 200 ms slices.
    // Tests and benchmarks replace it; the product keeps the real sleep.
    void (*sleepMs)(int ms);

    int Connect();
    int CheckVersion();
    int Transfer();
    MTAccessInterface* Detach();

    // (private steps are declared by the implementation)
};
