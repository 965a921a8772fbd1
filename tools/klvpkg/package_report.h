#pragma once
// What `klvpkg inspect` shows of a package: a summary for people and a JSON object
// for scripts, both from the descriptor the product's own reader fills.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "package/fw_package.h"

// Lower-case hex of the bytes.
std::string HexOf(const uint8_t* bytes, size_t length);
std::string Sha256Hex(const FWImage& image);

// `package` was parsed from `raw`.
std::string PackageSummary(const FWPackage& package, const std::vector<uint8_t>& raw,
                           const std::string& name);
// "problem" is null for a valid, usable package, else {"reason", "offset"}. `extra` (an
// object) adds keys after the reader's own.
std::string PackageJson(const FWPackage& package, const std::vector<uint8_t>& raw,
                        const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());
// Why the package in raw is invalid or unusable, with the offset; "none" when it is not.
std::string ProblemText(const std::vector<uint8_t>& raw);
