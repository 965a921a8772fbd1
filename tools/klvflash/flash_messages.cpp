#include "tools/klvflash/flash_messages.h"

#include <cstdio>

#include "protocol/mt_update_protocol.h"

namespace {

std::string ErrorHeadline(int32_t code) {
    if (code == ErrorModelRejected || code == ErrorVersionRejected) {
        return "UNABLE TO UPDATE";
    }
    char text[32];
    std::snprintf(text, sizeof text, "ERROR! %02d", static_cast<int>(code));
    return text;
}

std::string AdviceFor(int32_t code) {
    switch (code) {
        case ErrorLink:
            return "The instrument did not answer as expected on this port; check that it is "
                   "the instrument's port, unplug the cable, plug it in again and retry.";
        case ErrorVersionExchange:
            return "The instrument did not report its firmware versions; unplug the cable, "
                   "plug it in again and retry.";
        case ErrorTransfer:
            return "The firmware transfer was interrupted; keep the cable plugged in, "
                   "restart the instrument and run the update again.";
        case ErrorModelRejected:
            return "This firmware package is not made for this instrument model; use the "
                   "package for your model.";
        case ErrorVersionRejected:
            return "The instrument's present firmware cannot be updated with this package; "
                   "use the package meant for its version.";
        case ErrorNoTransport:
            return "The port could not be used; close any other program that uses it and "
                   "retry.";
        case ErrorPackageInvalid:
            return "The firmware package is damaged or has no main image; use an intact "
                   "package.";
        case ErrorNoPackage:
            return "No firmware package was loaded.";
        default:
            return "The update failed.";
    }
}

}  // namespace

FlashOutcome OutcomeOfStatus(int32_t status, int32_t errorCode) {
    if (status == StatusCompleted) {
        return {FlashExitCompleted, "Please disconnect the cable after the LED flashing ends.", ""};
    }
    // A failure without a code of its own should not look like success.
    const int32_t code = errorCode != 0 ? errorCode : ErrorNoTransport;
    return {static_cast<int>(code), ErrorHeadline(code), AdviceFor(code)};
}

FlashOutcome OutcomeOfOpenFailure(OpenFailure why, const std::string& port) {
    FlashOutcome outcome{static_cast<int>(ErrorNoTransport), ErrorHeadline(ErrorNoTransport), ""};
    switch (why) {
        case OpenFailure::Missing:
            outcome.advice = "There is no port " + port +
                             "; check the cable and the port name (ls /dev/ttyACM* "
                             "/dev/ttyUSB*).";
            break;
        case OpenFailure::NoPermission:
            outcome.advice = "You may not open " + port +
                             "; add your user to the dialout group (sudo usermod -aG dialout "
                             "$USER) and log in again.";
            break;
        case OpenFailure::Busy:
            outcome.advice = "The port " + port +
                             " is in use by another program; close the program that holds it "
                             "and retry.";
            break;
        case OpenFailure::Other:
            outcome.advice = "The port " + port + " could not be opened as a serial port.";
            break;
    }
    return outcome;
}
