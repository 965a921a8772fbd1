#pragma once
// What klvflash tells the user at the end of a run, and its exit status: the dialog's
// words ("ERROR!" with the code, or "UNABLE TO UPDATE") and one plain sentence of
// what went wrong and what to do.

#include <cstdint>
#include <string>

enum FlashExit : int {
    FlashExitCompleted = 0,
    FlashExitUsage = 64,
    FlashExitDeclined = 65,
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
