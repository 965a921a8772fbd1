#include "transport/comm_channel.h"

#include <chrono>

// Holds one use of the device for its lifetime; false when the channel is closed.
class MTAccessIfCommPort::CommChannel::Use {
  public:
    explicit Use(CommChannel& channel) : channel(channel), active(channel.BeginUse()) {}
    ~Use() {
        if (active) {
            channel.EndUse();
        }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    explicit operator bool() const { return active; }

  private:
    CommChannel& channel;
    const bool active;
};

MTAccessIfCommPort::CommChannel::CommChannel(std::unique_ptr<SerialDevice> device)
    : device(std::move(device)) {}

MTAccessIfCommPort::CommChannel::~CommChannel() {
    Close();
    // The owner stops its worker before it destroys the port, so nobody should be
    // left; if somebody is, the device must outlive that call.
    std::unique_lock lock(stateMutex);
    usersLeft.wait(lock, [this] { return users == 0; });
    if (holdsDevice) {
        CloseDeviceLocked();
    }
}

bool MTAccessIfCommPort::CommChannel::Open(const std::u16string& portName) {
    std::lock_guard lock(stateMutex);
    if (holdsDevice) {
        return false;
    }
    if (!device->Open(portName)) {
        return false;
    }
    holdsDevice = true;
    isOpen = true;
    return true;
}

bool MTAccessIfCommPort::CommChannel::Close() {
    std::unique_lock lock(stateMutex);
    if (!isOpen) {
        return false;
    }
    isOpen = false;
    if (users > 0) {
        device->Interrupt();
        usersLeft.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                           [this] { return users == 0; });
    }
    // Still in use after the wait: the last user closes it (EndUse).
    if (users == 0 && holdsDevice) {
        CloseDeviceLocked();
    }
    return true;
}

void MTAccessIfCommPort::CommChannel::CloseDeviceLocked() {
    device->Close();
    holdsDevice = false;
}

bool MTAccessIfCommPort::CommChannel::BeginUse() {
    std::lock_guard lock(stateMutex);
    if (!isOpen) {
        return false;
    }
    ++users;
    return true;
}

void MTAccessIfCommPort::CommChannel::EndUse() {
    std::lock_guard lock(stateMutex);
    if (--users > 0) {
        return;
    }
    if (!isOpen && holdsDevice) {
        CloseDeviceLocked();
    }
    usersLeft.notify_all();
}

int MTAccessIfCommPort::CommChannel::Read(uint8_t* buffer, int count, int timeoutMs) {
    {
        Use use(*this);
        if (use) {
            device->PrepareRead();
        }
    }
    // One system read waits at most 100 ms, so the caller's time-out becomes a number
    // of system reads; no time-out at all means the 50 s the port allows a write.
    const int effectiveMs = timeoutMs <= 0 ? 50000 : timeoutMs;
    int budget = effectiveMs / kReadSliceMs + 1;
    if (count <= 0) {
        return 0;
    }
    int received = 0;
    while (received < count && budget > 0) {
        Use use(*this);
        if (!use) {
            break;  // closed meanwhile: as a system read on a closed handle would fail
        }
        const int missing = count - received;
        const SerialDevice::IoResult result = device->ReadSome(buffer + received, missing);
        const int delivered =
            result.bytes < 0 ? 0 : (result.bytes > missing ? missing : result.bytes);
        received += delivered;
        if (result.ok) {
            --budget;  // charged also when nothing came
        } else if (delivered == 0) {
            break;
        }
        // A failed read that delivered bytes keeps them and costs no budget.
    }
    return received;
}

int MTAccessIfCommPort::CommChannel::Write(const uint8_t* data, int count) {
    if (!IsOpen() || count < 0) {
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    writeLock.Acquire(-1);
    const int result = WriteLocked(data, count);
    writeLock.Release();
    return result;
}

int MTAccessIfCommPort::CommChannel::WriteLocked(const uint8_t* data, int count) {
    // The instrument's USB receiver stalls on a transfer that is an exact multiple of
    // its 64-byte packet size; such a write goes out as all but the last byte, a pause,
    // and the last byte on its own.
    const bool split = count % 64 == 0;
    const int first = split ? count - 1 : count;
    {
        Use use(*this);
        if (!use) {
            return -1;
        }
        device->PrepareWrite();
        if (!device->WriteSome(data, first)) {
            return -1;
        }
    }
    if (!split) {
        return count;
    }
    device->Pause(kSplitPauseMs);
    Use use(*this);
    if (!use || !device->WriteSome(data + first, 1)) {
        return -1;
    }
    return count;
}

bool MTAccessIfCommPort::CommChannel::InputWaiting() {
    Use use(*this);
    return use && device->InputWaiting();
}

void MTAccessIfCommPort::CommChannel::Purge() {
    Use use(*this);
    if (use) {
        device->Purge();
    }
}
