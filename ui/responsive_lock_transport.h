#pragma once
// The serial port as the dialog hands it to the protocol. Everything goes straight to
// the port except the wait for the sequence lock on the GUI thread.
//
// A running sequence holds the lock while it reports to the dialog, and a report from
// the worker thread changes controls that only the GUI thread can change. When the GUI
// thread waits for that lock (the protocol's Detach does), a plain timed wait would
// leave the worker's control change, and with it the worker, stuck until the time limit
// ends the stand-off. Here the GUI thread tries the lock in short slices and carries out
// the waiting control changes between them, so the sequence reaches its end and lets
// go of the lock at once.

#include <thread>

#include "platform/system_mutex.h"
#include "protocol/mt_access_interface.h"

class DialogWindow;

class ResponsiveLockTransport final : public MTAccessInterface {
  public:
    static constexpr int kLockLimitMs = 500;  // as long as the serial port waits for its lock
    static constexpr int kSliceMs = 10;

    // Built on the GUI thread, which is the thread that serves the window's changes.
    ResponsiveLockTransport(MTAccessInterface& port, DialogWindow& window);
    ~ResponsiveLockTransport() = default;
    ResponsiveLockTransport(const ResponsiveLockTransport&) = delete;
    ResponsiveLockTransport& operator=(const ResponsiveLockTransport&) = delete;

    bool Lock() override;
    bool Unlock() override;
    int Send(const uint8_t* data, int count, int timeoutMs) override;
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override;
    int Close() override;
    bool IsRecvEmpty() override;
    void Purge() override;

  private:
    bool AcquireServingWindow();

    MTAccessInterface& port;
    DialogWindow& window;
    const std::thread::id guiThread;
    // Taken before the port's own lock, so that waiting for it can be done in slices.
    SystemMutex sequenceLock;
};
