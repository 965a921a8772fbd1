#pragma once
// Why a package is invalid or unusable: the first check that fails, walked the way the
// product's reader walks the container, with the offset where it failed.

#include <cstdint>
#include <optional>
#include <string>

struct PackageProblem {
    std::string reason;
    std::optional<uint64_t> offset;  // in the file; none when the whole package is meant
};

// Nothing when the package is valid and usable.
std::optional<PackageProblem> FindPackageProblem(const uint8_t* bytes, uint64_t size);

// Whether the trailer's scrambling fields describe a region the reader undoes; false
// for a plain package too.
bool TrailerScramblingRecognised(const uint8_t* bytes, uint32_t size);
