#pragma once
// What klvflash tells the user at the end of a run, and its exit status: the dialog's
// words ("ERROR!" with the code, or "UNABLE TO UPDATE") and one plain sentence of
// what went wrong and what to do.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/update_session.h"

enum FlashExit : int {
    FlashExitCompleted = 0,
    FlashExitUsage = 64,
    FlashExitDeclined = 65,
    FlashExitNoInstrument = 69,  // --wait ran out before an instrument could be opened
    FlashExitInterrupted = 130,  // Ctrl-C (143: SIGTERM or SIGHUP)
};

// Why the port could not be opened, as far as the system tells.
enum class OpenFailure {
    Missing,       // no such device
    NoPermission,  // the user may not open it
    Busy,          // another program holds it
    Other,
};

struct FlashOutcome {
    int exitStatus = 0;
    std::string headline;  // "ERROR! 03", "UNABLE TO UPDATE", or the final instruction
    std::string advice;    // one sentence; empty when completed
};

// The outcome of a sequence that ended in status with errorCode (StatusCompleted
// for success).
FlashOutcome OutcomeOfStatus(int32_t status, int32_t errorCode);
// The outcome when the named port could not be opened (reported as error code 80).
FlashOutcome OutcomeOfOpenFailure(OpenFailure why, const std::string& port);
// Said once while waiting, when a port of the instrument is present but does not open:
// the same diagnosis, and that the wait goes on.
std::string NoticeOfOpenFailureWhileWaiting(OpenFailure why, const std::string& port);
// The end of a wait that --wait cut short; portSeen tells whether a port of the
// instrument was present but never opened.
FlashOutcome OutcomeOfWaitExpired(int seconds, bool portSeen);
// The end of a wait that the user interrupted.
FlashOutcome OutcomeOfWaitInterrupted();

// The end of a run that an interrupt stopped (exitStatus 130 or 143): before the
// transfer nothing was written; during it the instrument was left without the new
// firmware.
FlashOutcome OutcomeOfStop(int exitStatus, bool duringTransfer);
// The end when the port went away while the question was asked (as ERROR! 03).
FlashOutcome OutcomeOfPortLost();

// What was found, one line each: the port (with the USB ids and the serial number when
// known), the model the instrument reported and its firmware versions. Texts from the
// instrument are escaped.
std::vector<std::string> FoundLines(const std::string& port, const std::optional<UsbId>& usb,
                                    const std::string& serial, const klv::tools::InstrumentFacts& facts);
// After UNABLE TO UPDATE: what was found and what the package serves. Empty for other codes.
std::string RejectionDetail(int32_t errorCode, const klv::tools::InstrumentFacts& facts,
                            const FWPackage& package);
