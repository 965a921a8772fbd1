#pragma once
// The open serial device of a port and the rules for using it from two threads.
//
// The worker thread reads and writes while the GUI thread may close the port at any
// moment (the instrument was unplugged). A closed descriptor or handle value must never
// reach a system read or write: on Linux the number of a closed descriptor is handed
// out again by the very next open. So every use of the device (each system read, each
// system write, the input-queue query, the purge) is bracketed by BeginUse/EndUse,
// which count the users under a small mutex:
//
// - Close marks the channel closed at once, so no new use can begin, and asks the
//   device to wake a call in progress (Interrupt: an event polled beside the
//   descriptor on Linux, cancellation of the pending I/O on Windows).
// - If nobody uses the device, Close closes it there and then. Otherwise it waits for
//   the users to leave, but at most kCloseWaitMs, so that the GUI thread is never held
//   up by a system call that does not wake; the last user to leave closes the device.
// - Until the device is really closed the channel counts as holding it, so Open
//   refuses, as it does while the port is open.
//
// A use that cannot begin because the channel was closed counts as a failed system
// call: the read ends with what it has, the write fails.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system_mutex.h"
#include "transport/mt_access_if_comm_port.h"
#include "transport/serial_device.h"

class MTAccessIfCommPort::CommChannel {
  public:
    static constexpr int kCloseWaitMs = 300;  // longer than one system read
    static constexpr int kReadSliceMs = 100;  // what one system read may wait
    static constexpr int kSplitPauseMs = 100;

    explicit CommChannel(std::unique_ptr<SerialDevice> device);
    ~CommChannel();
    CommChannel(const CommChannel&) = delete;
    CommChannel& operator=(const CommChannel&) = delete;

    // False when a device is held already (open, or its close still waits for a user).
    bool Open(const std::u16string& portName);
    // False when the channel was not open.
    bool Close();
    bool IsOpen() const { return isOpen.load(); }

    // The number of bytes received, 0 to count, in arrival order.
    int Read(uint8_t* buffer, int count, int timeoutMs);
    // count, or -1 when a system write failed or no device is open.
    int Write(const uint8_t* data, int count);
    // False when nothing waits, and when the channel is closed.
    bool InputWaiting();
    void Purge();

  private:
    class Use;

    bool BeginUse();
    void EndUse();
    void CloseDeviceLocked();
    int WriteLocked(const uint8_t* data, int count);

    const std::unique_ptr<SerialDevice> device;
    std::mutex stateMutex;
    std::condition_variable usersLeft;
    std::atomic<bool> isOpen{false};  // written under stateMutex
    bool holdsDevice = false;         // the device is open (possibly closing)
    int users = 0;                    // uses in progress
    SystemMutex writeLock;            // around the system writes of one Write
};
