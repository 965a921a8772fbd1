#pragma once
// ScriptedTransport: an MTAccessInterface under a test's exact control, on one thread.
//
// - Input: the bytes Recv hands out. A test may put stale bytes there (input), but
//   usually scripts the instrument's answers: replies[k] is appended to the input when
//   the k-th Send (counted from 0) succeeds, so a purge at the start of a sequence does
//   not eat them. A reply may be empty (the instrument stays silent) or hold several
//   packets. defaultReply, when set, answers every Send that has no entry in replies
//   (an instrument that acknowledges everything). Helpers build packets.
// - Recv takes count bytes from the input and returns 0; when fewer are there it takes
//   what there is and returns 2 at once, as a serial port does after its time-out.
// - Every call is recorded (calls); every successful Send's bytes are kept (sent).
// - sendResults[k] / recvResults[k] make the k-th Send / Recv return that value
//   instead (nothing is written or read).
// - lockResult is what Lock returns.
// - before(op, k) runs at the start of the k-th call of op, before its effect: a test
//   sets aborted or calls Detach there (directly, or on a thread it joins).
// - After Close, Send and Recv return 4.

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <vector>

#include "protocol/mt_access_interface.h"

using Bytes = std::vector<uint8_t>;

// A packet: the 4-byte header with the payload's length, then the payload.
Bytes Packet(uint8_t command, uint8_t subCommand, const Bytes& payload = {});
// A header that claims `length` payload bytes followed by the given bytes, which may
// disagree with it.
Bytes RawPacket(uint8_t command, uint8_t subCommand, uint16_t length, const Bytes& payload);
// The instrument's acknowledgement 03 01 with two payload bytes.
Bytes Ack();
Bytes Concat(std::initializer_list<Bytes> parts);

class ScriptedTransport final : public MTAccessInterface {
  public:
    enum class Op { Lock, Unlock, Send, Recv, Close, IsRecvEmpty, Purge };

    struct Call {
        Op op;
        int count = 0;             // Send, Recv: bytes asked
        int timeoutMs = 0;         // Send, Recv
        bool receivedOut = false;  // Recv: a received-count pointer was passed
    };

    bool Lock() override;
    bool Unlock() override;
    int Send(const uint8_t* data, int count, int timeoutMs) override;
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override;
    int Close() override;
    bool IsRecvEmpty() override;
    void Purge() override;

    // Recorded calls of one kind, in order.
    std::vector<Call> CallsOf(Op op) const;
    int CountOf(Op op) const;

    std::deque<uint8_t> input;
    std::map<int, Bytes> replies;
    std::optional<Bytes> defaultReply;
    std::map<int, int> sendResults;
    std::map<int, int> recvResults;
    bool lockResult = true;
    std::function<void(Op op, int index)> before;

    std::vector<Call> calls;
    std::vector<Bytes> sent;
    bool closed = false;

  private:
    int Begin(Op op, int count = 0, int timeoutMs = 0, bool receivedOut = false);
};
