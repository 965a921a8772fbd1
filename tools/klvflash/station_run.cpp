#include "tools/klvflash/station_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "discovery/device_change_watch.h"
#include "discovery/port_info.h"
#include "discovery/scan_for_device.h"
#include "discovery/usb_instance_id.h"
#include "discovery/utf_text.h"
#include "platform/sleep.h"
#include "protocol/mt_update_protocol.h"
#include "tools/common/console.h"
#include "tools/common/file_checks.h"
#include "tools/common/interrupt_source.h"
#include "tools/common/printable_text.h"
#include "tools/common/tool_exit.h"
#include "tools/common/update_session.h"
#include "tools/klvflash/flash_messages.h"
#include "tools/klvflash/port_facts.h"
#include "tools/klvflash/port_selection.h"
#include "tools/klvflash/port_system.h"
#include "tools/station/station_log.h"
#include "tools/station/station_state.h"
#include "transport/mt_access_if_comm_port.h"

using namespace klv::tools;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitSomeFailed = 1;
// The watcher looks at the end conditions at least this often.
constexpr int kLoopMs = 200;
// The live table is redrawn at most this often.
constexpr std::chrono::milliseconds kTableInterval{250};
// Lines of the table are cut to fit an 80-column terminal and wider.
constexpr size_t kTableWidth = 79;

// A port that may hold an instrument to update.
struct Candidate {
    std::string key;  // how the station tells instruments apart
    std::string port;
    std::optional<UsbId> usb;
    std::string serial;
};

bool Serves(const FWPackage& package, const UsbId& id) {
    return std::any_of(package.usbIds.begin(), package.usbIds.end(), [&](const UsbId& u) {
        return u.vendorId == id.vendorId && u.productId == id.productId;
    });
}

// Every present port whose USB ids the package lists; told apart by the USB serial
// number (the port name stands in when the device has none).
std::vector<Candidate> ServedPorts(PortEnumerator& ports, const FWPackage& package) {
    constexpr int kCapacity = 256;
    std::vector<PortInfo> table(kCapacity);
    const int count = ports.EnumeratePorts(table.data(), kCapacity);
    std::vector<Candidate> found;
    for (int i = 0; i < count; ++i) {
        const std::optional<UsbId> usb = ReadUsbIds(table[i].instanceId);
        const std::string port = Utf16ToUtf8(std::u16string(FieldText(table[i].portName)));
        if (!usb || port.empty() || !Serves(package, *usb)) {
            continue;
        }
        const std::string instance = Utf16ToUtf8(std::u16string(FieldText(table[i].instanceId)));
        const size_t slash = instance.rfind('\\');
        Candidate c;
        c.port = port;
        c.usb = usb;
        c.serial = slash == std::string::npos ? std::string() : instance.substr(slash + 1);
        c.key = c.serial.empty() ? port : "serial:" + c.serial;
        found.push_back(std::move(c));
    }
    return found;
}

// The named ports that are present now as terminal devices; each port is its own key.
std::vector<Candidate> WiredPorts(const std::vector<std::string>& names, PortEnumerator& ports) {
    std::vector<Candidate> found;
    for (const std::string& name : names) {
        if (CheckTerminalDevice("--port", name).result != PortCheck::Result::Terminal) {
            continue;
        }
        const PortFacts facts = FactsOfPort(ports, name);
        found.push_back({"port:" + name, name, facts.usb, facts.serial});
    }
    return found;
}

StationPhase PhaseOf(SessionPhase phase) {
    switch (phase) {
        case SessionPhase::Found:
            return StationPhase::Found;
        case SessionPhase::Connected:
            return StationPhase::Connecting;
        case SessionPhase::Identified:
        case SessionPhase::Versions:
            return StationPhase::Identified;
        case SessionPhase::Transfer:
            return StationPhase::Transfer;
        case SessionPhase::Finish:
        case SessionPhase::Result:
            return StationPhase::Finishing;
    }
    return StationPhase::Found;
}

std::string ModelHex(const std::optional<ModelId>& model) {
    if (!model) {
        return "";
    }
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", (*model)[0], (*model)[1], (*model)[2],
                  (*model)[3]);
    return text;
}

std::string Fit(std::string text, size_t width) {
    if (text.size() > width) {
        text.resize(width);
    }
    text.resize(width, ' ');
    return text;
}

class Station {
  public:
    Station(const StationSettings& settings, FWPackage& package, TextSink& text)
        : settings(settings),
          package(package),
          text(text),
          state(settings.again),
          table(IsTerminal(stderr) && EnableTerminalSequences(stderr)) {}

    int Run(const StationQuestion& ask);

  private:
    class RowSink;

    void OnInterrupt(InterruptKind kind);
    void StopAll();
    void Scan(PortEnumerator& ports);
    void Start(const Candidate& c, std::unique_ptr<MTAccessIfCommPort> port);
    void Work(int row, Candidate c, std::unique_ptr<MTAccessIfCommPort> port,
              Clock::time_point found, std::string started);
    void Say(const std::string& line);
    void DrawTable(bool final);
    int Summary();

    const StationSettings& settings;
    FWPackage& package;
    TextSink& text;
    StationState state;
    StationLog log;
    const bool table;  // a live table on the terminal; plain lines otherwise

    InterruptState question;  // the interrupt rules while the question is asked
    std::atomic<int> interrupts{0};
    std::atomic<bool> stopTaking{false};
    std::atomic<bool> stopAll{false};
    std::atomic<int> stopStatus{0};
    std::atomic<bool> stopWatch{false};

    std::mutex sessionsMutex;
    std::map<int, UpdateSession*> sessions;
    std::vector<std::thread> workers;

    std::mutex activityMutex;
    Clock::time_point lastActivity = Clock::now();

    std::mutex screenMutex;
    int tableLines = 0;  // lines of the table now on the screen
    std::set<std::string> noticed;  // ports said to be unusable, said once each
};

// Renders one attempt into its row of the table (and, without a terminal, one plain
// line per phase).
class Station::RowSink final : public SessionSink {
  public:
    RowSink(Station& station, int row, std::string name)
        : station(station), row(row), name(std::move(name)) {}
    void PhaseStarted(SessionPhase phase) override {
        if (phase == SessionPhase::Transfer) {
            transferStart = Clock::now();
        }
        station.state.SetPhase(row, PhaseOf(phase));
        station.Say(name + ": " + PhaseName(phase));
    }
    void Progress(uint64_t sent, uint64_t total) override {
        const double seconds = std::chrono::duration<double>(Clock::now() - transferStart).count();
        station.state.SetProgress(row, sent, total, seconds > 0 ? sent / seconds : 0);
        if (!station.table && total > 0) {
            // Without a terminal, a line every 10 %.
            const int tenth = static_cast<int>(sent * 10 / total);
            if (tenth > lastTenth) {
                lastTenth = tenth;
                station.Say(name + ": " + std::to_string(tenth * 10) + " %");
            }
        }
    }

  private:
    Station& station;
    const int row;
    const std::string name;
    Clock::time_point transferStart = Clock::now();
    int lastTenth = 0;
};

void Station::Say(const std::string& line) {
    if (table) {
        return;  // the table shows it
    }
    text.Message(line);
}

void Station::StopAll() {
    stopTaking.store(true);
    stopAll.store(true);
    const std::lock_guard<std::mutex> hold(sessionsMutex);
    for (auto& [row, session] : sessions) {
        session->RequestStop();
    }
}

void Station::OnInterrupt(InterruptKind kind) {
    question.OnInterrupt(kind, InterruptState::Clock::now());
    const int status = kind == InterruptKind::Terminate ? kExitSigTerm : kExitSigInt;
    if (stopStatus.load() == 0) {
        stopStatus.store(status);
    }
    if (kind == InterruptKind::Terminate || interrupts.fetch_add(1) >= 1) {
        text.Warning(
            "klvflash: stopping every update after the packet in flight; an instrument "
            "stopped during its transfer is left without the new firmware and must be "
            "updated again.");
        StopAll();
        return;
    }
    stopTaking.store(true);
    text.Warning(
        "klvflash: no new instruments are taken; the running updates finish. Ctrl-C again "
        "stops them after the packet in flight (an instrument stopped during its transfer "
        "is left without the new firmware).");
}

void Station::Scan(PortEnumerator& ports) {
    const std::vector<Candidate> present =
        settings.ports.empty() ? ServedPorts(ports, package) : WiredPorts(settings.ports, ports);
    std::vector<std::string> keys;
    for (const Candidate& c : present) {
        keys.push_back(c.key);
    }
    state.SeenPresent(keys);
    for (const Candidate& c : present) {
        if (stopTaking.load()) {
            return;
        }
        if (settings.count > 0 && state.Rows().size() >= static_cast<size_t>(settings.count)) {
            return;
        }
        if (!state.MayStart(c.key)) {
            continue;
        }
        auto port = std::make_unique<MTAccessIfCommPort>();
        port->trace = nullptr;
        if (!port->Open(Utf8ToUtf16(TransportPortName(c.port)))) {
            // Tried again at the next scan; said once.
            const OpenFailure why = DiagnoseOpenFailure(c.port);
            const std::string notice = NoticeOfOpenFailureWhileWaiting(why, ShownText(c.port));
            const std::lock_guard<std::mutex> hold(screenMutex);
            if (noticed.insert(c.port).second) {
                tableLines = 0;
                text.Warning("klvflash: " + notice);
            }
            continue;
        }
        {
            const std::lock_guard<std::mutex> hold(screenMutex);
            noticed.erase(c.port);
        }
        port->currentPortName.assign(c.port.begin(), c.port.end());
        Start(c, std::move(port));
    }
}

void Station::Start(const Candidate& c, std::unique_ptr<MTAccessIfCommPort> port) {
    int row = -1;
    if (!state.Claim(c.key, c.port, c.serial, row)) {
        return;
    }
    {
        const std::lock_guard<std::mutex> hold(activityMutex);
        lastActivity = Clock::now();
    }
    Say(Printable(c.port) + (c.serial.empty() ? "" : " (serial " + Printable(c.serial) + ")") +
        ": found");
    workers.emplace_back(&Station::Work, this, row, c, std::move(port), Clock::now(),
                         UtcTimestamp());
}

void Station::Work(int row, Candidate c, std::unique_ptr<MTAccessIfCommPort> port,
                   Clock::time_point found, std::string started) {
    const std::string name = ShownText(c.port);
    RowSink sink(*this, row, name);
    UpdateSession session(*port, package, sink);
    if (settings.settleSliceMs >= 0) {
        const int slice = settings.settleSliceMs;
        session.sleepMs = [slice](int) { SleepMs(slice); };
    }
    session.SetFoundTime(std::chrono::duration<double>(Clock::now() - found).count());
    {
        const std::lock_guard<std::mutex> hold(sessionsMutex);
        sessions[row] = &session;
        if (stopAll.load()) {
            session.RequestStop();
        }
    }
    if (session.Identify() && !session.StoppedByRequest()) {
        state.SetModel(row, ModelHex(session.Facts().model));
        session.Transfer();
    }
    {
        const std::lock_guard<std::mutex> hold(sessionsMutex);
        sessions.erase(row);
    }
    port->Close();

    const InstrumentFacts facts = session.Facts();
    state.SetModel(row, ModelHex(facts.model));
    FlashOutcome outcome;
    if (session.StoppedByRequest()) {
        outcome = OutcomeOfStop(stopStatus.load() != 0 ? stopStatus.load() : kExitSigInt,
                                session.TransferStarted());
    } else {
        outcome = OutcomeOfStatus(session.Status(), session.ErrorCode());
    }
    std::string detail = outcome.headline;
    if (!outcome.advice.empty()) {
        detail += " " + outcome.advice;
    }

    AttemptRecord record;
    record.time = started;
    record.port = c.port;
    if (c.usb) {
        record.vendorId = c.usb->vendorId;
        record.productId = c.usb->productId;
    }
    record.serial = c.serial;
    record.model = ModelHex(facts.model);
    record.versions = facts.versions;
    record.packageName = settings.packageName;
    record.packageSha256 = settings.packageSha256;
    record.resultCode = outcome.exitStatus;
    record.resultText = detail;
    for (const PhaseTime& t : session.Timings()) {
        record.phaseSeconds.emplace_back(PhaseName(t.phase), t.seconds);
    }
    if (log.IsOpen() && !log.Append(record)) {
        text.Warning("klvflash: the record of " + name + " could not be written to " +
                     ShownText(settings.logPath));
    }
    state.End(row, outcome.exitStatus, outcome.exitStatus == 0 ? std::string("updated") : detail);
    {
        const std::lock_guard<std::mutex> hold(activityMutex);
        lastActivity = Clock::now();
    }
    Say(name + ": " + (outcome.exitStatus == 0 ? "updated" : "failed") + ", " + detail);
}

void Station::DrawTable(bool final) {
    const std::vector<StationRow> rows = state.Rows();
    std::string out;
    const std::lock_guard<std::mutex> hold(screenMutex);
    if (tableLines > 0) {
        out += "\x1b[" + std::to_string(tableLines) + "A";
    }
    std::vector<std::string> lines;
    lines.push_back(Fit("PORT", 14) + " " + Fit("SERIAL", 10) + " " + Fit("MODEL", 8) + " " +
                    Fit("PHASE", 10) + " " + Fit("PROGRESS", 19) + " RESULT");
    for (const StationRow& r : rows) {
        char progress[64] = "";
        if (r.bytesTotal > 0 && r.bytesSent > 0) {
            std::snprintf(progress, sizeof progress, "%3d%% %7.1f KiB/s",
                          static_cast<int>(r.bytesSent * 100 / r.bytesTotal),
                          r.bytesPerSecond / 1024.0);
        }
        lines.push_back(Fit(Printable(r.port), 14) + " " + Fit(Printable(r.serial), 10) + " " +
                        Fit(r.model, 8) + " " + Fit(StationPhaseName(r.phase), 10) + " " +
                        Fit(progress, 19) + " " + Printable(r.resultText));
    }
    for (const std::string& line : lines) {
        // A line that wrapped would throw the redraw's count of lines off.
        out += "\x1b[2K" + line.substr(0, kTableWidth) + "\n";
    }
    tableLines = final ? 0 : static_cast<int>(lines.size());
    WriteText(stderr, out);
}

int Station::Summary() {
    const StationSummary summary = state.Summary();
    std::string line = "station: " + std::to_string(summary.updated) + " updated, " +
                       std::to_string(summary.failed) + " failed";
    if (!summary.failuresByCode.empty()) {
        std::string codes;
        for (const auto& [code, n] : summary.failuresByCode) {
            codes += (codes.empty() ? "" : ", ") + std::string("code ") + std::to_string(code) +
                     ": " + std::to_string(n);
        }
        line += " (" + codes + ")";
    }
    text.Message(line);
    for (const StationRow& r : state.Rows()) {
        text.Message("  " + Printable(r.port) + "  " +
                     (r.serial.empty() ? std::string("-") : Printable(r.serial)) + "  " +
                     (r.model.empty() ? std::string("-") : r.model) + "  " +
                     (r.resultCode == 0 ? std::string("updated")
                                        : "code " + std::to_string(r.resultCode) + " " +
                                              Printable(r.resultText)));
    }
    if (summary.failed > 0) {
        return kExitSomeFailed;
    }
    if (summary.updated > 0) {
        return kExitOk;
    }
    text.Message("No instrument was updated.");
    return stopStatus.load() != 0 ? stopStatus.load() : FlashExitNoInstrument;
}

int Station::Run(const StationQuestion& ask) {
    if (!settings.logPath.empty()) {
        std::string error;
        if (!log.Open(settings.logPath, error)) {
            text.Warning("klvflash: --log " + ShownText(settings.logPath) + ": " + error +
                         "; nothing was updated");
            return kExitCannotWrite;
        }
    }
    // Interrupts are taken before any other thread starts.
    auto source = InterruptSource::Start([this](InterruptKind kind) { OnInterrupt(kind); });
    if (!source) {
        text.Warning("klvflash: interrupts cannot be watched; Ctrl-C will end the program at once");
    }

    text.Message("PROGRAM UPDATE");
    text.Message(DisplayVersionText(std::string_view(package.versionText)));
    text.Message("This package goes into every instrument this station sees" +
                 std::string(settings.ports.empty() ? "." : " on the ports named."));
    if (settings.yes) {
        text.Message("Install it? [YES/NO] YES");
    } else if (!ask(question)) {
        if (question.StopRequested()) {
            return question.StopExitStatus();
        }
        text.Message("Not installed; nothing was sent to any instrument.");
        return FlashExitDeclined;
    }
    if (question.StopRequested()) {
        return question.StopExitStatus();
    }
    interrupts.store(0);
    stopStatus.store(0);
    text.Message(settings.ports.empty() ? "Waiting for instruments (Ctrl-C ends the station)."
                                        : "Serving the ports named (Ctrl-C ends the station).");

    const std::unique_ptr<PortEnumerator> portList =
        SystemPortList(settings.sysRoot, settings.devRoot);
    PortEnumerator& ports = *portList;
    DeviceChangeWatch watch(settings.devRoot);
    std::thread drawer;
    if (table) {
        drawer = std::thread([this] {
            while (!stopWatch.load()) {
                DrawTable(false);
                std::this_thread::sleep_for(kTableInterval);
            }
        });
    }
    Clock::time_point lastScan{};
    bool changed = true;
    for (;;) {
        const int running = state.Running();
        const int handled = state.Ended();
        if (running == 0) {
            if (stopTaking.load()) {
                break;
            }
            if (settings.count > 0 && handled >= settings.count) {
                break;
            }
            if (settings.waitSeconds > 0) {
                const std::lock_guard<std::mutex> hold(activityMutex);
                if (Clock::now() - lastActivity >= std::chrono::seconds(settings.waitSeconds)) {
                    break;
                }
            }
        }
        const auto now = Clock::now();
        if (!stopTaking.load() &&
            (changed || now - lastScan >= std::chrono::milliseconds(settings.rescanMs))) {
            Scan(ports);
            lastScan = now;
        }
        changed = watch.WaitForChange(kLoopMs, stopWatch) == DeviceChangeWatch::Result::Changed;
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    stopWatch.store(true);
    if (drawer.joinable()) {
        drawer.join();
        DrawTable(true);
    }
    return Summary();
}

}  // namespace

int RunStation(const StationSettings& settings, FWPackage& package, TextSink& text,
               const StationQuestion& ask) {
    Station station(settings, package, text);
    return station.Run(ask);
}
