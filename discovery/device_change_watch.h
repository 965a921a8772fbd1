#pragma once
// Waits until the set of serial devices may have changed, so that a console updater can
// scan again then instead of polling.
//
// Linux: inotify on the device folder (/dev), for entries named tty* being created,
// deleted, renamed or changing attributes (udev creates the node and then sets its owner
// and mode; the second event lets a scan retry a port it could not open yet). inotify
// rather than the udev netlink socket: it needs no privileges and no udev, and it works
// on any folder, which the tests use.
// Windows: a hidden top-level window of the watch's own receives WM_DEVICECHANGE, also
// registered for the COM-port interface class; each notification counts as a change.
// Wine sends none: there the caller's periodic rescan has to find a new port.
//
// Changes since the watch was made (or since the last Changed) count, so nothing that
// happens between a scan and the next wait is lost.

#include <atomic>
#include <memory>
#include <string>

class DeviceChangeWatch {
  public:
    enum class Result {
        Changed,   // a serial device appeared, disappeared or changed
        TimedOut,  // nothing within the time-out
        Stopped,   // the stop flag was set
        Failed,    // the watch could not be set up
    };

    // The system's serial devices.
    DeviceChangeWatch();
    // Linux: watches deviceFolder in place of /dev. Windows: the folder is not used.
    explicit DeviceChangeWatch(const std::string& deviceFolder);
    ~DeviceChangeWatch();
    DeviceChangeWatch(const DeviceChangeWatch&) = delete;
    DeviceChangeWatch& operator=(const DeviceChangeWatch&) = delete;

    bool IsWatching() const;

    // timeoutMs < 0 waits without a limit. The stop flag is looked at at least every
    // 100 ms, so another thread can end the wait by setting it.
    Result WaitForChange(int timeoutMs, const std::atomic<bool>& stop);

  private:
    struct State;
    std::unique_ptr<State> state_;
};
