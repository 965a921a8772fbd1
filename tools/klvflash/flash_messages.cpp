#include "tools/klvflash/flash_messages.h"

#include <cstdio>

#include "package/fw_package.h"
#include "protocol/mt_update_protocol.h"
#include "tools/common/printable_text.h"
#include "tools/klvflash/port_system.h"

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
            return {"There is no port " + port, std::string("check the cable and the port name (") +
                                                    SystemPortTexts().findPorts + ")"};
        case OpenFailure::NoPermission:
            return {"You may not open " + port, SystemPortTexts().permissionFix};
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

FlashOutcome OutcomeOfStop(int exitStatus, bool duringTransfer) {
    if (duringTransfer) {
        return {exitStatus, "STOPPED DURING THE TRANSFER",
                "The instrument was left without the new firmware; keep it connected and run "
                "the update again."};
    }
    return {exitStatus, "Stopped before the update began.",
            "Nothing was installed; the instrument keeps its firmware."};
}

FlashOutcome OutcomeOfPortLost() {
    return {static_cast<int>(ErrorTransfer), ErrorHeadline(ErrorTransfer),
            "The instrument's port went away while the question was asked (the cable was "
            "pulled?); nothing was installed. Plug it in again and run the update again."};
}

namespace {

std::string ModelText(const ModelId& id) {
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", id[0], id[1], id[2], id[3]);
    return text;
}

std::string Hex4(uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string VersionList(const std::vector<std::string>& versions) {
    if (versions.empty()) {
        return "none";
    }
    std::string text;
    for (const std::string& entry : versions) {
        if (!text.empty()) {
            text += ' ';
        }
        text += klv::tools::Quoted(entry);
    }
    return text;
}

}  // namespace

std::vector<std::string> FoundLines(const std::string& port, const std::optional<UsbId>& usb,
                                    const std::string& serial,
                                    const klv::tools::InstrumentFacts& facts) {
    std::string portLine = "Port:     " + klv::tools::Printable(port);
    if (usb) {
        portLine += "  USB " + Hex4(usb->vendorId) + ":" + Hex4(usb->productId);
    }
    if (!serial.empty()) {
        portLine += "  serial " + klv::tools::Quoted(serial);
    }
    std::vector<std::string> lines = {portLine};
    if (facts.model) {
        lines.push_back("Model:    " + ModelText(*facts.model));
    }
    if (facts.versionListComplete || !facts.versions.empty()) {
        lines.push_back("Versions: " + VersionList(facts.versions));
    }
    return lines;
}

std::string RejectionDetail(int32_t errorCode, const klv::tools::InstrumentFacts& facts,
                            const FWPackage& package) {
    if (errorCode == ErrorModelRejected) {
        std::string served;
        for (const ModelId& id : package.modelIds) {
            if (!served.empty()) {
                served += ' ';
            }
            served += ModelText(id);
        }
        return "The instrument reported model " +
               (facts.model ? ModelText(*facts.model) : std::string("(none)")) +
               "; this package serves " + (served.empty() ? "no model" : "model " + served) + ".";
    }
    if (errorCode == ErrorVersionRejected) {
        std::string prefixes;
        for (const VersionPrefix& entry : package.versionPrefixes) {
            if (!prefixes.empty()) {
                prefixes += ' ';
            }
            prefixes += klv::tools::Quoted(std::string_view(
                reinterpret_cast<const char*>(entry.prefix), entry.prefixLength));
        }
        return "The instrument reported versions " + VersionList(facts.versions) +
               "; this package serves versions starting with " +
               (prefixes.empty() ? "(none)" : prefixes) + ".";
    }
    return "";
}
