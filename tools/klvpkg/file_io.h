#pragma once
// Whole-file reads and all-or-nothing writes for klvpkg.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The file's bytes, or nothing (with `error` set) when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path,
                                                  std::string& error);

// Writes to a temporary file beside `path` and renames it over `path`, so that a
// failure never leaves a half-written package behind. False with `error` set on failure.
bool WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes,
                         std::string& error);
