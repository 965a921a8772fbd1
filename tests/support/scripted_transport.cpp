#include "tests/support/scripted_transport.h"

#include <algorithm>

Bytes RawPacket(uint8_t command, uint8_t subCommand, uint16_t length, const Bytes& payload) {
    Bytes packet(4 + payload.size());
    packet[0] = command;
    packet[1] = subCommand;
    packet[2] = static_cast<uint8_t>(length & 0xFF);
    packet[3] = static_cast<uint8_t>(length >> 8);
    std::copy(payload.begin(), payload.end(), packet.begin() + 4);
    return packet;
}

Bytes Packet(uint8_t command, uint8_t subCommand, const Bytes& payload) {
    return RawPacket(command, subCommand, static_cast<uint16_t>(payload.size()), payload);
}

Bytes Ack() {
    return Packet(0x03, 0x01, {0x00, 0x00});
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

int ScriptedTransport::Begin(Op op, int count, int timeoutMs, bool receivedOut) {
    const int index = CountOf(op);
    calls.push_back({op, count, timeoutMs, receivedOut});
    if (before) {
        before(op, index);
    }
    return index;
}

std::vector<ScriptedTransport::Call> ScriptedTransport::CallsOf(Op op) const {
    std::vector<Call> of;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(of),
                 [op](const Call& call) { return call.op == op; });
    return of;
}

int ScriptedTransport::CountOf(Op op) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [op](const Call& call) { return call.op == op; }));
}

bool ScriptedTransport::Lock() {
    Begin(Op::Lock);
    return lockResult;
}

bool ScriptedTransport::Unlock() {
    Begin(Op::Unlock);
    return true;
}

int ScriptedTransport::Send(const uint8_t* data, int count, int timeoutMs) {
    const int index = Begin(Op::Send, count, timeoutMs);
    if (const auto injected = sendResults.find(index); injected != sendResults.end()) {
        return injected->second;
    }
    if (closed) {
        return 4;
    }
    sent.emplace_back(data, data + count);
    const auto scripted = replies.find(index);
    const Bytes* reply = scripted != replies.end() ? &scripted->second
                         : defaultReply            ? &*defaultReply
                                                   : nullptr;
    if (reply != nullptr) {
        input.insert(input.end(), reply->begin(), reply->end());
    }
    return 0;
}

int ScriptedTransport::Recv(uint8_t* buffer, int count, int* received, int timeoutMs) {
    const int index = Begin(Op::Recv, count, timeoutMs, received != nullptr);
    if (const auto injected = recvResults.find(index); injected != recvResults.end()) {
        return injected->second;
    }
    if (closed) {
        return 4;
    }
    const int n = std::min(count, static_cast<int>(input.size()));
    std::copy_n(input.begin(), n, buffer);
    input.erase(input.begin(), input.begin() + n);
    if (received != nullptr) {
        *received = n;
    }
    return n == count ? 0 : 2;
}

int ScriptedTransport::Close() {
    Begin(Op::Close);
    closed = true;
    return 0;
}

bool ScriptedTransport::IsRecvEmpty() {
    Begin(Op::IsRecvEmpty);
    return input.empty();
}

void ScriptedTransport::Purge() {
    Begin(Op::Purge);
    input.clear();
}
