#pragma once
// klvflash's checks of the package before any port is opened: a damaged package (its
// digest does not match) is never installed; --require-digest refuses one without a
// digest; --trust refuses one that is not signed by one of the given keys.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/klvflash/flash_messages.h"

struct PackageTrustOptions {
    bool requireDigest = false;
    std::vector<std::string> trust;
};

void AddPackageTrustOptions(CLI::App& app, PackageTrustOptions& options);

// `fileBytes`: the package read from --package, or null for the one built in (none
// built in: nothing to check here, Connect reports it). Nothing when the update may go
// on (a package without digest is named on stderr); otherwise how the run ends: an
// outcome to print (96), or a usage error already described on stderr (an empty
// headline, exit 64).
std::optional<FlashOutcome> CheckPackageTrust(const std::vector<uint8_t>* fileBytes,
                                              const PackageTrustOptions& options);
