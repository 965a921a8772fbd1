#pragma once
// What klvflash needs of the system's serial ports beyond the transport: the list of
// present ports, why a port does not open, how two names of a port compare, and the
// examples its texts give. One implementation per OS (port_system_posix.cpp: /sys and
// /dev; port_system_win32.cpp: SetupDi and COM port names).

#include <memory>
#include <string>

#include "tools/klvflash/flash_messages.h"

class PortEnumerator;

// The present serial ports. sysRoot and devRoot replace /sys and /dev for the tests
// (Linux; Windows ignores them).
std::unique_ptr<PortEnumerator> SystemPortList(const std::string& sysRoot,
                                               const std::string& devRoot);

// The name the transport opens for a port named on the command line: as given on Linux;
// on Windows without a leading \\.\ (the transport adds it).
std::string TransportPortName(const std::string& name);

// A form of a port's name that is equal for two names of one port: the path with links
// resolved on Linux; on Windows the COM name without \\.\, in capitals.
std::string ComparablePortName(const std::string& name);

// What the device watch watches, for "cannot watch ...": "/dev for new devices
// (inotify)" (devRoot stands for /dev), "for new devices (device notifications)".
std::string DeviceWatchDescription(const std::string& devRoot);

// The texts that differ: an example port name, where to look for the ports, what to do
// about a port one may not open.
struct PortTexts {
    const char* example;        // "/dev/ttyACM0", "COM7"
    const char* findPorts;      // the command that lists the ports
    const char* permissionFix;  // empty where permissions are not the usual cause
    const char* waitingHow;     // how the wait for an instrument notices a new one
    const char* termination;    // what asks a program to end, besides Ctrl-C
};
const PortTexts& SystemPortTexts();
