#pragma once
// The narrow seam between the serial port's portable logic and the operating system:
// one open device, one system call per operation. One implementation per OS
// (serial_device_win32.cpp, serial_device_posix.cpp); tests plug in fakes.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/sleep.h"

class SerialDevice {
public:
    struct IoResult {
        bool ok = false;  // the system call succeeded
        int bytes = 0;    // bytes it delivered (also on failure)
    };

    virtual ~SerialDevice() = default;

    // Opens the named port exclusively and applies the line settings.
    virtual bool Open(const std::u16string& portName) = 0;
    // Closes the device. Safe to call while no device is open.
    virtual void Close() = 0;
    // Once per read request, before its system reads (read time-out, error flags).
    virtual void PrepareRead() = 0;
    // One system read that waits at most 100 ms.
    virtual IoResult ReadSome(uint8_t* buffer, int count) = 0;
    // Once per write request, before its system writes (error flags).
    virtual void PrepareWrite() = 0;
    // One system write of count bytes.
    virtual bool WriteSome(const uint8_t* data, int count) = 0;
    // True when received bytes are waiting to be read.
    virtual bool InputWaiting() = 0;
    // Discards every byte waiting in either direction.
    virtual void Purge() = 0;

    // Called by the close on another thread while a ReadSome or WriteSome may be in
    // progress, before the device is closed: makes that call return soon. Best effort;
    // the device stays open and usable until Close.
    virtual void Interrupt() {}
    // The pause between the two system writes of a split write.
    virtual void Pause(int ms) { SleepMs(ms); }
};

std::unique_ptr<SerialDevice> CreateSystemSerialDevice();
