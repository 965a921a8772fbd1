#include "transport/mt_access_if_comm_port.h"

#include <cstdio>

#include "transport/comm_channel.h"

namespace {

constexpr int kLockWaitMs = 500;

void TraceToStandardOutput(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

}  // namespace

MTAccessIfCommPort::MTAccessIfCommPort() : MTAccessIfCommPort(CreateSystemSerialDevice()) {}

MTAccessIfCommPort::MTAccessIfCommPort(std::unique_ptr<SerialDevice> device)
    : trace(TraceToStandardOutput), channel(std::make_unique<CommChannel>(std::move(device))) {}

MTAccessIfCommPort::~MTAccessIfCommPort() = default;

bool MTAccessIfCommPort::Lock() {
    return accessLock.Acquire(kLockWaitMs);
}

bool MTAccessIfCommPort::Unlock() {
    return accessLock.Release();
}

int MTAccessIfCommPort::Send(const uint8_t* data, int count, int /*timeoutMs*/) {
    // Each system write is bounded by the device's own write time-out instead.
    if (!channel->IsOpen()) {
        return 4;
    }
    if (channel->Write(data, count) != count) {
        return 1;
    }
    if (trace) {
        char line[32];
        std::snprintf(line, sizeof line, "Send(%d)\r\n", count);
        trace(line);
    }
    return 0;
}

int MTAccessIfCommPort::Recv(uint8_t* buffer, int count, int* received, int timeoutMs) {
    if (!channel->IsOpen()) {
        return 4;
    }
    const int got = channel->Read(buffer, count, timeoutMs);
    if (trace) {
        char line[48];
        std::snprintf(line, sizeof line, "Recv(%d)(%d)\r\n", count, got);
        trace(line);
    }
    if (received != nullptr) {
        *received = got;
    }
    return got >= count ? 0 : 2;
}

int MTAccessIfCommPort::Close() {
    return channel->Close() ? 0 : 4;
}

bool MTAccessIfCommPort::IsRecvEmpty() {
    return !channel->InputWaiting();
}

void MTAccessIfCommPort::Purge() {
    channel->Purge();
}

bool MTAccessIfCommPort::Open(const std::u16string& portName) {
    return channel->Open(portName);
}
