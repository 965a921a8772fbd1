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
    // Fills at most capacity records; returns how many were filled.
    virtual int EnumeratePorts(PortInfo* table, int capacity) = 0;
};

// The system's enumerator (SetupDi on Windows, sysfs on Linux).
std::unique_ptr<PortEnumerator> CreateSystemPortEnumerator();

int ScanForDevice(MTAccessIfCommPort& port, const FWPackage& package, PortEnumerator& ports);
