#pragma once
// The serial (COM) port implementation of the transport contract.

#include <functional>
#include <memory>
#include <string>

#include "platform/system_mutex.h"
#include "protocol/mt_access_interface.h"
#include "transport/serial_device.h"

class MTAccessIfCommPort final : public MTAccessInterface {
public:
    MTAccessIfCommPort();  // the system's serial device
    explicit MTAccessIfCommPort(std::unique_ptr<SerialDevice> device);
    ~MTAccessIfCommPort();
    MTAccessIfCommPort(const MTAccessIfCommPort&) = delete;
    MTAccessIfCommPort& operator=(const MTAccessIfCommPort&) = delete;

    bool Lock() override;
    bool Unlock() override;
    int Send(const uint8_t* data, int count, int timeoutMs) override;
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override;
    int Close() override;
    bool IsRecvEmpty() override;
    void Purge() override;

    // For discovery.
    bool Open(const std::u16string& portName);
    std::u16string currentPortName;

    // Where the trace lines "Send(n)" and "Recv(n)(m)" go; standard output by
    // default, nowhere when empty.
    std::function<void(const char* line)> trace;

private:
    class CommChannel;  // transport/comm_channel.h
    std::unique_ptr<CommChannel> channel;
    SystemMutex accessLock;  // Lock/Unlock; the port never takes it itself
};
