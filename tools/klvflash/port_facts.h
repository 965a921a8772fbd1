#pragma once
// What the system says about the port in use: its USB ids and the device's serial
// number, read from the same listing discovery uses.

#include <optional>
#include <string>

#include "package/fw_package.h"

class PortEnumerator;

struct PortFacts {
    std::optional<UsbId> usb;
    std::string serial;  // empty when unknown
};

// The listed port that is path (compared after resolving links); nothing known when none.
PortFacts FactsOfPort(PortEnumerator& ports, const std::string& path);
