#pragma once
// One present serial-port device, as the system lists it.

#include <cstdint>

struct PortInfo {
    static constexpr int kFieldUnits = 256;  // UTF-16 code units, NUL included

    char16_t description[kFieldUnits] = {};
    char16_t enumerator[kFieldUnits] = {};
    char16_t friendlyName[kFieldUnits] = {};
    char16_t instanceId[kFieldUnits] = {};
    char16_t portName[kFieldUnits] = {};
};
