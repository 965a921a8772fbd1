#include "protocol/mt_update_protocol.h"

#include "platform/sleep.h"
#include "protocol/packet_header.h"
#include "protocol/protocol_constants.h"

using namespace protocol;

namespace {

// status and errorCode are plain fields that the sink reads, but Detach reads status on
// the GUI thread while a sequence may be writing it on the worker thread.
int32_t LoadShared(int32_t& field) {
    return std::atomic_ref<int32_t>(field).load();
}
void StoreShared(int32_t& field, int32_t value) {
    std::atomic_ref<int32_t>(field).store(value);
}

}  // namespace

MTUpdateProtocol::MTUpdateProtocol()
    : reply(std::make_unique<uint8_t[]>(kReplyBufferSize)), sleepMs(SleepMs) {}

MTUpdateProtocol::~MTUpdateProtocol() = default;

void MTUpdateProtocol::Report(int32_t newStatus) {
    StoreShared(status, newStatus);
    if (callback != nullptr) {
        callback->Notify(*this);
    }
}

void MTUpdateProtocol::Report(int32_t newStatus, int32_t code) {
    // The code first, so that no reader ever sees a failure status beside an old code.
    StoreShared(errorCode, code);
    StoreShared(status, newStatus);
    if (callback != nullptr) {
        callback->Notify(*this);
    }
}

int MTUpdateProtocol::SendRequest(const uint8_t* packet, int size) {
    MTAccessInterface* const port = transport.load();
    if (port == nullptr) {
        return ResultFailure;
    }
    const int sent = port->Send(packet, size, kSendTimeoutMs);
    if (aborted.load() || sent != 0) {
        return ResultFailure;
    }
    return ResultDone;
}

int MTUpdateProtocol::ReceiveReply(int timeoutMs) {
    MTAccessInterface* port = transport.load();
    if (port == nullptr) {
        return ResultFailure;
    }
    int result = port->Recv(reply.get(), PacketHeader::kSize, nullptr, timeoutMs);
    if (aborted.load()) {
        return ResultAborted;
    }
    if (result != 0) {
        return result == ResultTimeout ? ResultTimeout : ResultFailure;
    }
    const PacketHeader header = PacketHeader::FromBytes(reply.get());
    if (!header.IsValidHeader()) {
        // The payload of a malformed packet stays unread; the next sequence purges it.
        return ResultFailure;
    }
    if (header.length == 0) {
        return ResultDone;
    }
    port = transport.load();
    if (port == nullptr) {
        return ResultFailure;
    }
    result = port->Recv(reply.get() + PacketHeader::kSize, header.length, nullptr, timeoutMs);
    if (aborted.load()) {
        return ResultAborted;
    }
    if (result != 0) {
        return result == ResultTimeout ? ResultTimeout : ResultFailure;
    }
    return ResultDone;
}

bool MTUpdateProtocol::ReplyIs(uint8_t command, uint8_t subCommand) const {
    return reply[0] == command && reply[1] == subCommand;
}

int MTUpdateProtocol::SendAndWaitAck(const uint8_t* packet, int timeoutMs) {
    const int size = PacketHeader::kSize + PacketHeader::FromBytes(packet).length;
    if (SendRequest(packet, size) != ResultDone) {
        return ResultFailure;
    }
    if (transport.load() == nullptr) {
        return ResultFailure;
    }
    if (timeoutMs == 0 || timeoutMs == -1) {
        timeoutMs = kReplyTimeoutMs;
    }
    const int result = ReceiveReply(timeoutMs);
    if (result != ResultDone) {
        return result;
    }
    return ReplyIs(kGroupAck, kAck) ? ResultDone : ResultUnexpected;
}

bool MTUpdateProtocol::Exchange(const uint8_t* packet, int size, uint8_t command,
                                uint8_t subCommand) {
    if (SendRequest(packet, size) != ResultDone) {
        return false;
    }
    if (transport.load() == nullptr) {
        return false;
    }
    return ReceiveReply(kReplyTimeoutMs) == ResultDone && ReplyIs(command, subCommand);
}

MTAccessInterface* MTUpdateProtocol::Detach() {
    MTAccessInterface* const port = transport.load();
    if (port == nullptr) {
        return nullptr;
    }
    const int32_t current = LoadShared(status);
    // While finishing, the instrument is writing its flash: the finish command and the
    // settle wait run to their end even when the cable is pulled.
    if (current != StatusFinishing) {
        aborted.store(true);
        port->Close();
        // The worker is idle while the user is asked, so nobody else reports the loss.
        if (current == StatusAwaitingConfirm) {
            Report(StatusFailed, ErrorTransfer);
        }
    }
    // Waits until a running sequence has let go of the transport. Only a lock that was
    // obtained is released: unlocking one held by the worker would break its sequence.
    if (port->Lock()) {
        port->Unlock();
    }
    transport.store(nullptr);
    return port;
}
