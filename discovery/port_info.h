#pragma once
// One present serial-port device, as the system lists it.

#include <cstdint>
#include <string_view>

struct PortInfo {
    static constexpr int kFieldUnits = 256;  // UTF-16 code units, NUL included

    char16_t description[kFieldUnits] = {};
    char16_t enumerator[kFieldUnits] = {};
    char16_t friendlyName[kFieldUnits] = {};
    char16_t instanceId[kFieldUnits] = {};
    char16_t portName[kFieldUnits] = {};
};

// The text of a field, up to its terminating NUL (the last unit is always NUL).
inline std::u16string_view FieldText(const char16_t (&field)[PortInfo::kFieldUnits]) {
    std::size_t length = 0;
    while (length < PortInfo::kFieldUnits - 1 && field[length] != u'\0') {
        ++length;
    }
    return {field, length};
}

// Stores value in a zero-filled field when it fits with its NUL (at most 254 units, the
// same limit the Windows byte sizes give); a longer value leaves the field empty.
inline bool StoreField(char16_t (&field)[PortInfo::kFieldUnits], std::u16string_view value) {
    if (value.size() >= PortInfo::kFieldUnits - 1) {
        return false;
    }
    value.copy(field, value.size());
    field[value.size()] = u'\0';
    return true;
}
