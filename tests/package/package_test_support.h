#pragma once
// Small helpers shared by the package tests: byte spans from text and the descriptor
// as comparable values.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "package/fw_package.h"

inline std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

inline std::vector<uint8_t> Filled(size_t length, uint8_t first = 1) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
}

inline std::vector<std::string> PrefixesOf(const FWPackage& package) {
    std::vector<std::string> out;
    for (const VersionPrefix& entry : package.versionPrefixes) {
        out.emplace_back(reinterpret_cast<const char*>(entry.prefix), entry.prefixLength);
    }
    return out;
}

inline std::vector<std::string> ModelIdsOf(const FWPackage& package) {
    std::vector<std::string> out;
    for (const ModelId& id : package.modelIds) {
        out.emplace_back(reinterpret_cast<const char*>(id.data()), id.size());
    }
    return out;
}

inline std::vector<std::pair<uint16_t, uint16_t>> UsbIdsOf(const FWPackage& package) {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const UsbId& id : package.usbIds) {
        out.emplace_back(id.vendorId, id.productId);
    }
    return out;
}
