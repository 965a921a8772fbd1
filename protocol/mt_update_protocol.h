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

  private:
    // The unit tests drive the packet layer (ReceiveReply, SendAndWaitAck, ...) directly.
    friend struct MTUpdateProtocolAccess;

    // The reply buffer is one byte longer than the largest packet: a version entry is
    // terminated with a zero just after its last payload byte, and a 65,535-byte entry
    // would otherwise put that zero past the end (or, clipped, over its last byte).
    static constexpr int kReplyBufferSize = kReplyCapacity + 1;

    // Stores the status (and, for a failure, the code) and then tells the sink, if any.
    void Report(int32_t newStatus);
    void Report(int32_t newStatus, int32_t code);

    // Sends a whole packet; 0 when it went out and no abort came in, else 1.
    int SendRequest(const uint8_t* packet, int size);
    // Receives one packet into reply; 0, 1, 2 or 5.
    int ReceiveReply(int timeoutMs);
    bool ReplyIs(uint8_t command, uint8_t subCommand) const;
    // Sends a packet and waits for the instrument's acknowledgement; 0, 1, 2, 4 or 5.
    int SendAndWaitAck(const uint8_t* packet, int timeoutMs);
    // Sends a request and expects a well-formed reply of the given kind within 5000 ms.
    bool Exchange(const uint8_t* packet, int size, uint8_t command, uint8_t subCommand);

    int SyncLink();
    int QueryMaxPacket();
    int Identify();
    int SendAck(uint8_t subCommand);
    int ReadVersionList();
    int SendImage(uint8_t target, const uint8_t* data, uint32_t length);
    int Finish();
    void SettleWait();
};
