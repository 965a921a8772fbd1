#pragma once
// Finds the instrument among the present serial ports, opens it, confirms it on later
// scans and drops it when it has gone.

#include <memory>
#include <string>

#include "discovery/port_info.h"

class FWPackage;
class MTAccessIfCommPort;

enum ScanResult : int {
    ScanStillAttached = 0,
    ScanNoDevice = 4,
    ScanAttached = 5,
    ScanDetached = 6,
};

// The port-table seam: lists the present serial-port devices.
class PortEnumerator {
  public:
    virtual ~PortEnumerator() = default;
    // Fills at most capacity records, in the system's order, and returns how many were
    // filled. Each filled record is zeroed first, so a value that could not be read or
    // does not fit leaves its field empty.
    virtual int EnumeratePorts(PortInfo* table, int capacity) = 0;
};

// The system's enumerator (SetupDi on Windows, sysfs on Linux).
std::unique_ptr<PortEnumerator> CreateSystemPortEnumerator();

// Lists the present ports and, by the package's USB identifiers:
// - no name held: opens the first matching port that opens, holds its name (ScanAttached),
//   or finds none (ScanNoDevice);
// - a name held: confirms a matching port of exactly that name (ScanStillAttached), or
//   clears the name and closes the port (ScanDetached).
int ScanForDevice(MTAccessIfCommPort& port, const FWPackage& package, PortEnumerator& ports);

// The same over the system's enumerator.
int ScanForDevice(MTAccessIfCommPort& port, const FWPackage& package);
