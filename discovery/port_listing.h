#pragma once
// What a console updater shows for "list the ports": every present serial port with the
// USB identifiers read from it (the same reading the scan uses) and whether the package
// serves it.

#include <optional>
#include <string>
#include <vector>

#include "discovery/scan_for_device.h"
#include "package/fw_package.h"

struct PortListEntry {
    std::u16string portName;
    std::u16string description;
    std::optional<UsbId> usbIds;  // none when the instance identifier has no VID_/PID_ pair
    std::u16string serial;        // the USB device's serial number; empty when unknown
    bool served = false;          // the package lists the pair
};

std::vector<PortListEntry> ListPorts(PortEnumerator& ports, const FWPackage& package);

// One line per port (UTF-8, '\n'):
//   <port name>  VID_0ABC PID_1234  serial <serial>  served  <description>
//   <port name>  no USB ids  -  <description>
// (the serial and the description, each with the two spaces before it, only when there
// is one)
// "(none)" stands for an empty port name; "no ports" when the list is empty.
std::string FormatPortList(const std::vector<PortListEntry>& entries);
