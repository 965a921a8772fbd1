#pragma once
// What klvsim prints once the run is over, and its exit status.

#include <cstdio>
#include <string>

#include "package/fw_package.h"
#include "tools/sim/instrument_engine.h"

enum ExitStatus : int {
    ExitOk = 0,           // no violation; a finished transfer matched the package
    ExitHostFault = 1,    // a violation, or a finished transfer that does not match
    ExitUsage = 2,        // bad options, or a package that cannot be read or used
    ExitLineFailure = 3,  // the pseudo-terminal, the device or the link could not be set up
};

struct RunEnding {
    EngineEnd end = EngineEnd::Running;
    int signal = 0;  // the signal that ended the run, if any
    int idleSeconds = 0;
};

// Prints the summary (only the verdict line when quiet) and returns the exit status.
// package may be null: then nothing is compared.
int PrintSummary(std::FILE* out, const InstrumentEngine& engine, const FWPackage* package,
                 const RunEnding& ending, bool quiet);
