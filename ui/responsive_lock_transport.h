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
//
// Once the protocol has closed the port (its Detach, on an unplug), this transport lets
// nothing more through to it: the dialog attaches an instrument once per run, and the
// scan may open the same port object again for a replugged instrument while the aborted
// sequence still runs. Without the barrier that sequence's next packet would go out on
// the new connection.

#include <atomic>
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

    // True after Close while a call that began before it may still reach the port; the
    // port must not be opened again until it is false.
    bool ClosedWhileInUse() const;

  private:
    class Use;
    bool AcquireServingWindow();

    MTAccessInterface& port;
    DialogWindow& window;
    const std::thread::id guiThread;
    // Taken before the port's own lock, so that waiting for it can be done in slices.
    SystemMutex sequenceLock;
    std::atomic<bool> closed{false};
    std::atomic<int> inUse{0};  // calls past the closed check, on their way to the port
};
