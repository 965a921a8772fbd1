// klvflash: the headless updater. It opens the instrument's serial port (the one named,
// or the first present port that the package serves, waiting until one is plugged in),
// connects, checks model and version, says what it found, asks before it installs,
// transfers the package's two images and reports the outcome as the updater dialog does.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "discovery/device_change_watch.h"
#include "discovery/port_listing.h"
#include "discovery/utf_text.h"
#include "package/fw_package.h"
#include "package/package_resource.h"
#include "platform/sleep.h"
#include "protocol/mt_update_protocol.h"
#include "tools/common/console.h"
#include "tools/common/file_checks.h"
#include "tools/common/interrupt_source.h"
#include "tools/common/printable_text.h"
#include "tools/common/run_report.h"
#include "tools/common/text_sink.h"
#include "tools/common/tool_exit.h"
#include "tools/common/update_session.h"
#include "tools/common/version_line.h"
#include "tools/klvflash/answer_reader.h"
#include "tools/klvflash/flash_messages.h"
#include "tools/klvflash/package_trust.h"
#include "tools/klvflash/port_facts.h"
#include "tools/klvflash/port_selection.h"
#include "tools/klvflash/port_system.h"
#include "tools/klvflash/station_run.h"
#include "transport/mt_access_if_comm_port.h"

using namespace klv::tools;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQuestionPollMs = 100;

std::string Description() {
    const PortTexts& texts = SystemPortTexts();
    return std::string("Updates the firmware of a KLV-series instrument over its serial port.\n"
                       "Without --port it looks among the present serial ports for one whose "
                       "USB vendor and product ids the package lists, and uses the first that "
                       "opens. While there is none it prints WAITING... and waits: ") +
           texts.waitingHow +
           ". A port of the instrument that is present but does not open (busy, no "
           "permission) is reported once on stderr while the wait goes on.\n"
           "Before the question it prints the port, the model the instrument reported and its "
           "firmware versions. Ctrl-C or a termination request before the transfer ends at "
           "once (at the question it counts as NO). During the transfer the first Ctrl-C only "
           "warns; a second one within 3 s, or " +
           texts.termination +
           ", stops between two packets and leaves the instrument without the new firmware. "
           "During the last wait (about 10 s) the instrument stores the firmware: interrupts "
           "only remind you to keep it connected.";
}

std::string ExitStatuses() {
    return std::string("Exit status: 0 completed (--info: the package serves this instrument); "
                       "the error code on failure: 1 link, 2 version list, 3 transfer or the "
                       "port went away, 16 model not served, 17 version not served, 80 the port "
                       "cannot be used, 96 the package is damaged or has no main image, 255 no "
                       "package; 64 usage error (also: --port is no serial device); 65 the "
                       "update was declined; 66 --package cannot be read (missing, not a "
                       "regular file, over 256 MiB); 69 no instrument could be opened within "
                       "--wait; 130 stopped by Ctrl-C; 143 stopped by ") +
           SystemPortTexts().termination +
           ". With --station: 0 every instrument handled was updated, 1 at least one failed "
           "(each one's code is in the summary and the log), 69 none was handled, 73 --log "
           "cannot be written.";
}

int settleSliceMs = -1;  // test-only: length of each settle-wait slice instead of 200 ms

// Everything the end of the run reports, in whichever form was asked.
struct Run {
    bool json = false;
    TextSink* sink = nullptr;
    RunRecord record;

    int End(const FlashOutcome& outcome, const std::string& detail = "") {
        sink->Message(outcome.headline);
        if (!outcome.advice.empty()) {
            sink->Message(outcome.advice);
        }
        if (!detail.empty()) {
            sink->Message(detail);
        }
        return Report(outcome, detail);
    }

    // A refusal of the command line: one line on stderr, "klvflash: " first.
    int Refuse(int status, const std::string& error) {
        sink->Warning("klvflash: " + error);
        return Report({status, error, ""});
    }

    int Report(const FlashOutcome& outcome, const std::string& detail = "") {
        record.result = outcome.exitStatus;
        record.message = outcome.headline;
        for (const std::string& more : {outcome.advice, detail}) {
            if (!more.empty()) {
                record.message += " " + more;
            }
        }
        if (json) {
            WriteText(stdout, RunJson(record));
        }
        return outcome.exitStatus;
    }
};

class ConsoleSearch final : public SearchObserver {
  public:
    ConsoleSearch(TextSink& sink, std::string devRoot) : sink(sink), devRoot(std::move(devRoot)) {}
    void Waiting() override { sink.Message("WAITING..."); }
    void CannotOpen(const std::string& port, OpenFailure why) override {
        sink.Warning("klvflash: " + NoticeOfOpenFailureWhileWaiting(why, ShownText(port)));
    }
    void NotWatching() override {
        sink.Warning("klvflash: cannot watch " + DeviceWatchDescription(devRoot) +
                     "; looking every few seconds instead");
    }

  private:
    TextSink& sink;
    const std::string devRoot;
};

// The sink of the run: renders the session as text and moves the interrupt state on to
// the finish wait as soon as the session enters it.
class StagedSink final : public SessionSink {
  public:
    StagedSink(TextSink& text, InterruptState& state) : text(text), state(state) {}
    void PhaseStarted(SessionPhase phase) override {
        if (phase == SessionPhase::Finish) {
            state.SetStage(UpdateStage::Finishing);
        }
        text.PhaseStarted(phase);
    }
    void Progress(uint64_t sent, uint64_t total) override { text.Progress(sent, total); }
    void FinishWait(int msLeft, int msTotal) override { text.FinishWait(msLeft, msTotal); }

  private:
    TextSink& text;
    InterruptState& state;
};

enum class Answer { Yes, No, Stopped, PortLost };

// YES or NO from standard input; end of input counts as NO. Meanwhile an interrupt or
// the port going away ends the question at once.
Answer Ask(TextSink& sink, InterruptState& state, PortWatch* watch) {
    AnswerReader reader(0);  // standard input
    for (;;) {
        sink.Message("Install it? [YES/NO]");
        for (;;) {
            if (state.StopRequested()) {
                return Answer::Stopped;
            }
            if (watch != nullptr && watch->Lost()) {
                return Answer::PortLost;
            }
            std::string line;
            const AnswerEvent event = reader.Next(line, kQuestionPollMs);
            if (event == AnswerEvent::EndOfInput) {
                return Answer::No;
            }
            if (event == AnswerEvent::Nothing) {
                continue;
            }
            for (char& c : line) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            if (line == "YES" || line == "Y") {
                return Answer::Yes;
            }
            if (line == "NO" || line == "N") {
                return Answer::No;
            }
            break;  // ask again
        }
    }
}

std::string ListJson(const std::vector<PortListEntry>& entries) {
    using Json = nlohmann::ordered_json;
    Json ports = Json::array();
    for (const PortListEntry& entry : entries) {
        ports.push_back(Json{
            {"port", Utf16ToUtf8(entry.portName)},
            {"usb", entry.usbIds ? Json{{"vendorId", entry.usbIds->vendorId},
                                        {"productId", entry.usbIds->productId}}
                                 : Json(nullptr)},
            {"serial", entry.serial.empty() ? Json(nullptr) : Json(Utf16ToUtf8(entry.serial))},
            {"served", entry.served},
            {"description", Utf16ToUtf8(entry.description)},
        });
    }
    return Json{{"ports", ports}}.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(Description(), "klvflash");
    app.footer(ExitStatuses());
    std::vector<std::string> portOptions;
    std::string packagePath;
    bool station = false;
    bool again = false;
    int count = 0;
    std::string logPath;
    int waitSeconds = 0;
    bool list = false;
    bool info = false;
    bool json = false;
    bool yes = false;
    bool trace = false;
    bool timing = false;
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    int rescanMs = SearchSettings{}.rescanMs;
    app.set_version_flag("--version", VersionLine("klvflash"));
    CLI::Option* portOpt =
        app.add_option("--port", portOptions,
                       std::string("The instrument's serial port, e.g. ") +
                           SystemPortTexts().example +
                           " (default: find it); it must be a serial port. With --station: "
                           "repeatable, and then exactly these ports are served")
            ->allow_extra_args(false);
    CLI::Option* waitOpt =
        app.add_option("--wait", waitSeconds,
                       "Without --port: give up after this many seconds without an instrument "
                       "(exit status 69); 0 waits without a limit (default). With --station: "
                       "end once nothing has happened for this many seconds")
            ->check(CLI::Range(0, 1000000));
    CLI::Option* listOpt =
        app.add_flag("--list", list,
                     "Print the present serial ports with their USB ids and whether the "
                     "package serves them, and exit")
            ->excludes(portOpt)
            ->excludes(waitOpt);
    CLI::Option* packageOpt = app.add_option(
        "--package", packagePath, "Firmware package to install instead of the one built in");
    CLI::Option* infoOpt =
        app.add_flag("--info", info,
                     "Connect, identify, read the version list, print all of it and stop "
                     "without sending any image (exit 0 when the package serves this "
                     "instrument, 16 or 17 when not)")
            ->excludes(listOpt);
    app.add_flag("--json", json,
                 "Print exactly one JSON object on stdout at the end of the run; the "
                 "messages go to stderr");
    app.add_flag("--yes", yes, "Answer YES to the question before the transfer")
        ->excludes(infoOpt)
        ->excludes(listOpt);
    app.add_flag("--trace", trace, "Print the transport's trace lines on stdout");
    CLI::Option* stationOpt = app.add_flag(
        "--station", station,
        "Service station: update every instrument the package serves that is present or "
        "plugged in while it runs (or exactly the --port ones), each in a worker of its "
        "own, after one question at the start; an instrument is updated once per run");
    app.add_flag("--again", again,
                 "With --station: update an instrument again once it was unplugged and "
                 "plugged in again")
        ->needs(stationOpt);
    app.add_option("--count", count, "With --station: end once this many instruments were handled")
        ->check(CLI::Range(1, 1000000))
        ->needs(stationOpt);
    app.add_option("--log", logPath,
                   "With --station: append one JSON line per instrument and attempt to this "
                   "file, pushed to disk record by record")
        ->needs(stationOpt);
    stationOpt->excludes(listOpt)->excludes(infoOpt);
    // For the tests and the benchmark only.
    app.add_option("--x-settle-slice-ms", settleSliceMs)->group("");
    app.add_flag("--x-timing", timing)->group("");
    app.add_option("--x-sys-root", sysRoot)->group("");
    app.add_option("--x-dev-root", devRoot)->group("");
    app.add_option("--x-rescan-ms", rescanMs)->check(CLI::NonNegativeNumber)->group("");
    PackageTrustOptions trustOptions;
    AddPackageTrustOptions(app, trustOptions);
    const std::vector<std::string> arguments = ToolArguments(argc, argv);
    std::vector<const char*> argumentPointers;
    for (const std::string& argument : arguments) {
        argumentPointers.push_back(argument.c_str());
    }
    try {
        app.parse(static_cast<int>(argumentPointers.size()), argumentPointers.data());
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : kExitUsage;
    }
    if (json && trace) {
        WriteText(stderr, "klvflash: --json and --trace both want stdout; use one of them\n");
        return kExitUsage;
    }
    // Human messages go to stdout, or to stderr when stdout carries the JSON object.
    TextSink text(json ? stderr : stdout, stderr, IsTerminal(stderr));
    InterruptState state;
    Run run;
    run.json = json;
    run.sink = &text;
    if (!station && portOptions.size() > 1) {
        return run.Refuse(kExitUsage,
                          "--port may be given once; to serve several ports use --station");
    }
    if (!station && !portOptions.empty() && waitOpt->count() > 0) {
        return run.Refuse(kExitUsage,
                          "--wait limits the search for the instrument; with --port there is "
                          "none: leave out one of them");
    }
    if (station && json) {
        return run.Refuse(kExitUsage,
                          "--json reports one update; with --station use --log FILE for one "
                          "record per instrument");
    }
    const std::string portOption = portOptions.empty() ? std::string() : portOptions.front();
    // An unset shell variable must never mean "the default".
    if (std::any_of(portOptions.begin(), portOptions.end(),
                    [](const std::string& p) { return p.empty(); })) {
        return run.Refuse(kExitUsage,
                          std::string("--port: the device name is empty; name the instrument's "
                                      "serial port (for example ") +
                              SystemPortTexts().example + "), or leave --port out to find it");
    }
    if (packageOpt->count() > 0 && packagePath.empty()) {
        return run.Refuse(kExitUsage,
                          "--package: the file name is empty; name a package file, or leave "
                          "--package out to install the built-in package");
    }

    FWPackage package;
    FileRead read;
    if (packagePath.empty()) {
        package.LoadFromResource();  // none or invalid: Connect reports it (96)
    } else {
        read = ReadRegularFile("--package", packagePath, kPackageSizeLimit);
        if (!read.ok) {
            return run.Refuse(read.exitStatus, ShownText(read.error));
        }
        package.Parse(read.bytes.data(), static_cast<uint32_t>(read.bytes.size()));
    }
    run.record.package = &package;

    const std::unique_ptr<PortEnumerator> portList = SystemPortList(sysRoot, devRoot);
    PortEnumerator& ports = *portList;
    if (list) {
        const std::vector<PortListEntry> entries = ListPorts(ports, package);
        WriteText(stdout, json ? ListJson(entries) : FormatPortList(entries));
        return kExitOk;
    }
    // A damaged or untrusted package is refused before any port is opened.
    if (const auto refusal =
            CheckPackageTrust(packagePath.empty() ? nullptr : &read.bytes, trustOptions)) {
        return refusal->headline.empty() ? run.Report(*refusal) : run.End(*refusal);
    }

    if (station) {
        StationSettings settings;
        settings.ports = portOptions;
        settings.yes = yes;
        settings.again = again;
        settings.count = count;
        settings.waitSeconds = waitSeconds;
        settings.logPath = logPath;
        settings.sysRoot = sysRoot;
        settings.devRoot = devRoot;
        settings.rescanMs = rescanMs;
        settings.settleSliceMs = settleSliceMs;
        if (app.get_option("--log")->count() > 0 && logPath.empty()) {
            return run.Refuse(kExitUsage, "--log: the file name is empty; name the log file");
        }
        if (!logPath.empty()) {
            const std::string kind = DescribePath(logPath);
            if (kind != "nothing" && kind != "a regular file") {
                return run.Refuse(kExitUsage, "--log " + ShownText(logPath) + " is " + kind +
                                                  "; name a file to append the records to");
            }
            if (!packagePath.empty() && SameFile(logPath, packagePath)) {
                return run.Refuse(kExitUsage, "--log " + ShownText(logPath) +
                                                  " is the package; name another file");
            }
        }
        for (const std::string& name : portOptions) {
            const PortCheck check = CheckTerminalDevice("--port", name);
            if (check.result == PortCheck::Result::NotTerminal) {
                return run.Refuse(kExitUsage, ShownText(check.error) + "; nothing was written");
            }
        }
        if (!package.IsUsable()) {
            return run.End(OutcomeOfStatus(StatusPackageInvalid, ErrorPackageInvalid));
        }
        if (portOptions.empty() && package.usbIds.empty()) {
            return run.Refuse(kExitUsage,
                              "the package lists no USB vendor and product ids, so its "
                              "instruments cannot be found; name their ports with --port");
        }
        settings.packageName = packagePath.empty() ? "(built in)" : packagePath;
        const uint8_t* packageBytes = read.bytes.data();
        uint32_t packageSize = static_cast<uint32_t>(read.bytes.size());
        if (packagePath.empty() && !FindEmbeddedPackage(&packageBytes, &packageSize)) {
            packageSize = 0;
        }
        settings.packageSha256 = Sha256Hex(packageBytes, packageSize);
        return RunStation(settings, package, text, [&text](InterruptState& questionState) {
            return Ask(text, questionState, nullptr) == Answer::Yes;
        });
    }

    // Interrupts are taken from here on: no other thread runs yet.
    std::mutex sessionMutex;
    UpdateSession* activeSession = nullptr;
    std::atomic<bool> stopSearch{false};
    auto interrupts = InterruptSource::Start([&](InterruptKind kind) {
        switch (state.OnInterrupt(kind, InterruptState::Clock::now())) {
            case InterruptAction::Stop: {
                stopSearch.store(true);
                const std::lock_guard<std::mutex> lock(sessionMutex);
                if (activeSession != nullptr) {
                    activeSession->RequestStop();
                }
                break;
            }
            case InterruptAction::WarnTransfer:
                text.Warning(
                    "klvflash: the instrument is being written now. Stopped here, it is left "
                    "without working firmware until the update is run again. Press Ctrl-C "
                    "again within 3 s to stop anyway.");
                break;
            case InterruptAction::WarnFinishing:
                text.Warning(
                    "klvflash: the instrument is storing the new firmware: keep it connected. "
                    "This ends by itself in a few seconds.");
                break;
            case InterruptAction::None:
                break;
        }
    });
    if (!interrupts) {
        text.Warning("klvflash: interrupts cannot be watched; Ctrl-C will end the program at once");
    }

    const Clock::time_point started = Clock::now();
    MTAccessIfCommPort port;
    if (!trace) {
        port.trace = nullptr;
    }
    std::unique_ptr<PortWatch> watch;
    std::string portName;
    if (!portOption.empty()) {
        const PortCheck check = CheckTerminalDevice("--port", portOption);
        if (check.result == PortCheck::Result::NotTerminal) {
            return run.Refuse(kExitUsage, ShownText(check.error) + "; nothing was written");
        }
        // Opened before the port takes it exclusively.
        watch = PortWatch::Open(portOption);
        if (!port.Open(Utf8ToUtf16(TransportPortName(portOption)))) {
            watch.reset();
            return run.End(
                OutcomeOfOpenFailure(DiagnoseOpenFailure(portOption), ShownText(portOption)));
        }
        port.currentPortName = Utf8ToUtf16(TransportPortName(portOption));
        portName = portOption;
    } else {
        // Waiting for an instrument that this package could never update helps nobody:
        // say now what Connect would say once it is plugged in.
        if (!package.IsUsable()) {
            return run.End(OutcomeOfStatus(StatusPackageInvalid, ErrorPackageInvalid));
        }
        if (package.usbIds.empty()) {
            return run.Refuse(kExitUsage,
                              "the package lists no USB vendor and product ids, so its "
                              "instrument cannot be found; name its port with --port");
        }
        // Made before the first scan, so that a device that appears between that scan and
        // the wait is not missed.
        DeviceChangeWatch deviceWatch(devRoot);
        ConsoleSearch observer(text, devRoot);
        SearchSettings settings;
        settings.limitMs = waitSeconds > 0 ? waitSeconds * 1000 : -1;
        settings.rescanMs = rescanMs;
        const SearchOutcome found =
            SearchForInstrument(port, package, ports, deviceWatch, settings, stopSearch, observer);
        switch (found.end) {
            case SearchEnd::Attached:
                break;
            case SearchEnd::Expired:
                return run.End(OutcomeOfWaitExpired(waitSeconds, found.portSeen));
            case SearchEnd::Stopped:
                return run.End(OutcomeOfStop(state.StopExitStatus(), false),
                               "Stopped while waiting for the instrument.");
        }
        portName = Utf16ToUtf8(port.currentPortName);
        watch = PortWatch::Open(portName);
        text.Message("Instrument found on " + ShownText(portName));
    }
    const PortFacts portFacts = FactsOfPort(ports, portName);
    run.record.port = portName;
    run.record.usb = portFacts.usb;
    run.record.serial = portFacts.serial;

    StagedSink staged(text, state);
    UpdateSession session(port, package, staged);
    if (settleSliceMs >= 0) {
        session.sleepMs = [](int) { SleepMs(settleSliceMs); };
    }
    session.SetFoundTime(std::chrono::duration<double>(Clock::now() - started).count());
    {
        const std::lock_guard<std::mutex> lock(sessionMutex);
        activeSession = &session;
        // An interrupt that came while the port was being opened.
        if (state.StopRequested()) {
            session.RequestStop();
        }
    }
    // The session ends before the interrupt thread could reach it.
    struct Detach {
        std::mutex& mutex;
        UpdateSession*& active;
        ~Detach() {
            const std::lock_guard<std::mutex> lock(mutex);
            active = nullptr;
        }
    } detach{sessionMutex, activeSession};

    const auto finish = [&](const FlashOutcome& outcome, const std::string& detail = "") {
        port.Close();
        state.SetStage(UpdateStage::Over);
        run.record.instrument = session.Facts();
        run.record.phases = session.Timings();
        return run.End(outcome, detail);
    };
    const auto showFound = [&] {
        for (const std::string& line :
             FoundLines(portName, portFacts.usb, portFacts.serial, session.Facts())) {
            text.Message(line);
        }
    };

    const bool identified = session.Identify();
    if (session.StoppedByRequest()) {
        return finish(OutcomeOfStop(state.StopExitStatus(), false));
    }
    showFound();
    if (info) {
        if (identified) {
            return finish({kExitOk, "This package serves this instrument.", ""});
        }
        return finish(OutcomeOfStatus(session.Status(), session.ErrorCode()),
                      RejectionDetail(session.ErrorCode(), session.Facts(), package));
    }
    if (!identified) {
        return finish(OutcomeOfStatus(session.Status(), session.ErrorCode()),
                      RejectionDetail(session.ErrorCode(), session.Facts(), package));
    }
    text.Message("PROGRAM UPDATE");
    text.Message(DisplayVersionText(std::string_view(package.versionText)));
    if (yes) {
        text.Message("Install it? [YES/NO] YES");
    } else {
        switch (Ask(text, state, watch.get())) {
            case Answer::Yes:
                break;
            case Answer::No:
                return finish(
                    {FlashExitDeclined, "Not installed; the instrument keeps its firmware.", ""});
            case Answer::Stopped:
                return finish(OutcomeOfStop(state.StopExitStatus(), false));
            case Answer::PortLost:
                return finish(OutcomeOfPortLost());
        }
    }
    if (state.StopRequested()) {
        return finish(OutcomeOfStop(state.StopExitStatus(), false));
    }
    state.SetStage(UpdateStage::Transfer);
    const Clock::time_point transferStart = Clock::now();
    session.Transfer();
    if (timing && session.TransferStarted()) {
        const double seconds = std::chrono::duration<double>(Clock::now() - transferStart).count();
        char line[96];
        std::snprintf(line, sizeof line, "transfer %llu bytes in %.6f s\n",
                      static_cast<unsigned long long>(session.ImageBytesSent()), seconds);
        WriteText(stderr, line);
    }
    if (session.StoppedByRequest()) {
        return finish(OutcomeOfStop(state.StopExitStatus(), session.TransferStarted()));
    }
    return finish(OutcomeOfStatus(session.Status(), session.ErrorCode()));
}
