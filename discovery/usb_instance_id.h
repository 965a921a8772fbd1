#pragma once
// Reading the USB vendor and product identifiers out of a device instance identifier
// such as USB\VID_0ABC&PID_1234\serial, and matching them against a package.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "package/fw_package.h"

// Reads a number as strtol does with base 16 (leading white space, a sign and a 0x
// prefix accepted, parsing stops at the first character that is not a hexadecimal digit,
// no digits give 0) and keeps the low 16 bits. The range is that of a 32-bit long, as on
// Windows, so that an over-long number reads the same on every system (it saturates).
uint16_t ParseHex16(std::string_view text);

// Finds the first "VID_" and the first "PID_", each from the start of the text, and
// parses what follows each. No pair when either marker is missing. The text is expected
// in upper case.
std::optional<UsbId> FindUsbIds(std::string_view upperText);

// The pair from an instance identifier field: converted to 8-bit text and upper-cased
// first, so that the markers are found in any letter case.
std::optional<UsbId> ReadUsbIds(const char16_t* instanceId);

// The device's serial number: the last part of USB\VID_0ABC&PID_1234\<serial>. Empty
// when the identifier has no VID_/PID_ pair or no last part.
std::u16string SerialOfInstance(const char16_t* instanceId);

// True when the package lists this pair.
bool PackageServes(const FWPackage& package, UsbId ids);
