#pragma once
// All-or-nothing writes for klvpkg (reads go through tools/common/file_checks.h).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Writes to a temporary file beside `path` and renames it over `path`, so that a
// failure never leaves a half-written package behind. False with `error` set on failure.
// path is UTF-8.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string& error);
