#pragma once
// What klvsim prints once the run is over, and its exit status.

#include <cstdio>
#include <string>

#include "package/fw_package.h"
#include "tools/sim/instrument_engine.h"

#include <vector>

#include "tools/common/tool_exit.h"

enum ExitStatus : int {
    ExitOk = 0,            // no violation; a finished transfer matched the package
    ExitHostFault = 1,     // a violation, or a finished transfer that does not match
    ExitFaultNotReached = 4,  // no violation, but a fault asked for never struck
    ExitUsage = klv::tools::kExitUsage,  // bad options
    ExitLineFailure = klv::tools::kExitPortUnusable,  // the pty, the device or the link
};

struct RunEnding {
    EngineEnd end = EngineEnd::Running;
    int signal = 0;  // the signal that ended the run, if any
    int idleSeconds = 0;
    std::vector<Fault> faultsAsked;  // as given on the command line
    std::string linkLine;            // the link model's figures; empty without one
};

// The faults asked for that never struck, in the order asked.
std::vector<std::string> FaultsNotReached(const std::vector<Fault>& asked,
                                          const std::vector<std::string>& struck);

// Prints the summary (only the verdict line when quiet) and returns the exit status.
// package may be null: then nothing is compared.
int PrintSummary(std::FILE* out, const InstrumentEngine& engine, const FWPackage* package,
                 const RunEnding& ending, bool quiet);
