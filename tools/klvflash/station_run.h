#pragma once
// klvflash --station: a service bench's updater. It updates every instrument the
// package serves that is present or plugged in while it runs (or exactly the ports
// named with --port), each in a worker of its own with its own port and protocol
// object, after one question at the start. An instrument that was updated, or failed,
// is not started again in the same run, also not when it comes back after its restart
// with the same serial number (--again allows it once it was unplugged in between).

#include <functional>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "tools/common/interrupt_state.h"
#include "tools/common/text_sink.h"

struct StationSettings {
    std::vector<std::string> ports;  // fixed wiring; empty: every port the package serves
    bool yes = false;
    bool again = false;
    int count = 0;        // end once this many instruments were handled; 0: no limit
    int waitSeconds = 0;  // end once nothing happened for this long; 0: no limit
    std::string logPath;  // JSON lines, appended; empty: no log
    std::string packageName;
    std::string packageSha256;
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    int rescanMs = 2000;
    int settleSliceMs = -1;  // tests: each slice of the finish wait instead of 200 ms
};

// Asks YES/NO once; true for YES. Gets the station's interrupt state, so that Ctrl-C
// ends the question.
using StationQuestion = std::function<bool(klv::tools::InterruptState&)>;

// Runs the station until --count or --wait ends it, or the operator stops it. Returns
// the exit status: 0 every instrument handled was updated; 1 at least one failed; 69
// no instrument was handled; 65 the question was answered NO; 130/143 stopped before
// any instrument was handled.
int RunStation(const StationSettings& settings, FWPackage& package, klv::tools::TextSink& text,
               const StationQuestion& ask);
