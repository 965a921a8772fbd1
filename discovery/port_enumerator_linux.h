#pragma once
// The present serial ports of a Linux system, from sysfs.
//
// Every entry of <sys>/class/tty with a "device" link is a port (virtual consoles and
// pseudo-terminals have none); a serial-core UART whose "type" reads 0 has no hardware
// behind it and is left out. Records come in name order, numbers compared as numbers
// (ttyACM2 before ttyACM10). For a port on a USB device (the nearest directory above the
// port's device that holds idVendor and idProduct):
//   instanceId    USB\VID_0ABC&PID_1234\<serial>, hexadecimal in upper case, 4 digits;
//                 the USB device's sysfs name (its bus path, e.g. 1-2) stands in for a
//                 missing serial number, as Windows makes up an identifier for such devices
//   portName      <dev>/<name>, e.g. /dev/ttyACM0
//   description   the USB product text
//   friendlyName  the USB manufacturer text
//   enumerator    USB
// Any other port keeps an empty instanceId (so it never matches) and has the name of its
// device's bus, upper-cased, as its enumerator (PLATFORM, PNP, ...). A value of 255 UTF-16
// units or more leaves its field empty.

#include <filesystem>

#include "discovery/scan_for_device.h"

class SysfsPortEnumerator final : public PortEnumerator {
  public:
    explicit SysfsPortEnumerator(std::filesystem::path sysRoot = "/sys",
                                 std::filesystem::path devRoot = "/dev");

    int EnumeratePorts(PortInfo* table, int capacity) override;

  private:
    void Describe(const std::filesystem::path& ttyEntry, const std::string& name,
                  const std::filesystem::path& sysRoot, PortInfo& record) const;

    std::filesystem::path sysRoot_;
    std::filesystem::path devRoot_;
};
