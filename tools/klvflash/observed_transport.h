#pragma once
// Passes every call on to the real port and watches the packets the host sends: the
// image bytes of the data chunks for the progress line, and the moments of the first
// image start and of the finish command's acknowledgement for the transfer time.

#include <chrono>
#include <cstdint>
#include <functional>

#include "protocol/mt_access_interface.h"

class ObservedTransport final : public MTAccessInterface {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ObservedTransport(MTAccessInterface& inner) : inner(inner) {}

    bool Lock() override { return inner.Lock(); }
    bool Unlock() override { return inner.Unlock(); }
    int Send(const uint8_t* data, int count, int timeoutMs) override {
        const int result = inner.Send(data, count, timeoutMs);
        if (result != 0 || count < 4 || data[0] != 0x01) {
            return result;
        }
        if (data[1] == 0x02 && !started) {
            started = true;
            firstImageStart = Clock::now();
        } else if (data[1] == 0x03) {
            imageBytesSent += static_cast<uint64_t>(count - 4);
            if (onImageBytes) {
                onImageBytes(imageBytesSent);
            }
        } else if (data[1] == 0x11) {
            finishSent = true;
        }
        return result;
    }
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override {
        const int result = inner.Recv(buffer, count, received, timeoutMs);
        // The acknowledgement of the finish command is its header then its payload.
        if (finishSent && result == 0 && count == 2) {
            finishSent = false;
            finishAcknowledged = Clock::now();
            finished = true;
        }
        return result;
    }
    int Close() override { return inner.Close(); }
    bool IsRecvEmpty() override { return inner.IsRecvEmpty(); }
    void Purge() override { inner.Purge(); }

    std::function<void(uint64_t imageBytesSent)> onImageBytes;
    uint64_t imageBytesSent = 0;
    bool started = false;
    bool finished = false;
    Clock::time_point firstImageStart{};
    Clock::time_point finishAcknowledged{};

  private:
    MTAccessInterface& inner;
    bool finishSent = false;
};
