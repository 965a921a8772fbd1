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

// Why a port did not open, and what the user can do about it.
struct OpenFailureText {
    std::string cause;
    std::string remedy;  // empty when there is nothing particular to do
};

OpenFailureText TextOf(OpenFailure why, const std::string& port) {
    switch (why) {
        case OpenFailure::Missing:
            return {"There is no port " + port,
                    "check the cable and the port name (ls /dev/ttyACM* /dev/ttyUSB*)"};
        case OpenFailure::NoPermission:
            return {"You may not open " + port,
                    "add your user to the dialout group (sudo usermod -aG dialout $USER) and "
                    "log in again"};
        case OpenFailure::Busy:
            return {"The port " + port + " is in use by another program",
                    "close the program that holds it"};
        case OpenFailure::Other:
            break;
    }
    return {"The port " + port + " could not be opened as a serial port", ""};
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
    const OpenFailureText text = TextOf(why, port);
    std::string advice = text.cause;
    if (!text.remedy.empty()) {
        advice += "; " + text.remedy + (why == OpenFailure::Busy ? " and retry" : "");
    }
    advice += ".";
    return {static_cast<int>(ErrorNoTransport), ErrorHeadline(ErrorNoTransport), advice};
}

std::string NoticeOfOpenFailureWhileWaiting(OpenFailure why, const std::string& port) {
    const OpenFailureText text = TextOf(why, port);
    std::string notice = text.cause;
    if (!text.remedy.empty()) {
        notice += "; " + text.remedy;
    }
    return notice + ". Still waiting.";
}

FlashOutcome OutcomeOfWaitExpired(int seconds, bool portSeen) {
    const std::string within = " within " + std::to_string(seconds) + " s";
    if (portSeen) {
        return {FlashExitNoInstrument, "The instrument's port could not be opened" + within + ".",
                "See the reason above, mend it and run klvflash again."};
    }
    return {FlashExitNoInstrument, "No instrument was found" + within + ".",
            "Plug the instrument in and check the cable; klvflash --list shows the ports "
            "present and which of them this package serves."};
}

FlashOutcome OutcomeOfWaitInterrupted() {
    return {FlashExitInterrupted, "Stopped while waiting for the instrument.",
            "No instrument was touched."};
}
