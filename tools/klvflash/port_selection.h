#pragma once
// Which serial port klvflash talks to: the one named with --port, or the instrument found
// among the present ports the way the updater dialog finds it, waiting until one is
// plugged in.

#include <atomic>
#include <string>

#include "tools/klvflash/flash_messages.h"

class DeviceChangeWatch;
class FWPackage;
class MTAccessIfCommPort;
class PortEnumerator;

// Works out why opening path failed, by trying it the way the port does
// (port_system_<os>.cpp).
OpenFailure DiagnoseOpenFailure(const std::string& path);

struct SearchSettings {
    int limitMs = -1;     // give up after this long; -1 waits without a limit
    int rescanMs = 2000;  // also scan this long after the last scan, without a device event
};

// What the search tells while it waits.
class SearchObserver {
  public:
    virtual ~SearchObserver() = default;
    // The first scan found no instrument to open; said once.
    virtual void Waiting() = 0;
    // A port of the instrument is present but does not open; said once for each port and
    // cause, and again only when the cause changes or the port comes back.
    virtual void CannotOpen(const std::string& port, OpenFailure why) = 0;
    // Device events cannot be watched; the search then scans every rescanMs alone.
    virtual void NotWatching() = 0;
};

enum class SearchEnd {
    Attached,  // port is open and its name held
    Expired,   // limitMs passed
    Stopped,   // the stop flag was set
};

struct SearchOutcome {
    SearchEnd end = SearchEnd::Stopped;
    bool portSeen = false;  // at the end, a port of the instrument was present but did not open
};

// Scans at once, and again whenever watch reports a change of the serial devices (and
// every rescanMs in case a change came without an event, such as a port another program
// let go of), until a scan attaches a port. port must hold no name.
SearchOutcome SearchForInstrument(MTAccessIfCommPort& port, const FWPackage& package,
                                  PortEnumerator& ports, DeviceChangeWatch& watch,
                                  const SearchSettings& settings, const std::atomic<bool>& stop,
                                  SearchObserver& observer);
