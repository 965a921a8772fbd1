#pragma once
// The one JSON object klvflash prints at the end of a run (--json), whatever happened.

#include <optional>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "tools/common/update_session.h"

namespace klv::tools {

struct RunRecord {
    std::string port;  // empty: none was opened
    std::optional<UsbId> usb;
    std::string serial;
    InstrumentFacts instrument;
    const FWPackage* package = nullptr;  // null: none was loaded
    int result = 0;                      // the exit status
    std::string message;                 // the headline and its advice
    std::vector<PhaseTime> phases;
};

std::string RunJson(const RunRecord& record);

// Lower-case hex SHA-256 of the bytes.
std::string Sha256Hex(const uint8_t* bytes, size_t length);

}  // namespace klv::tools
