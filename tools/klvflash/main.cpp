// klvflash: the headless updater. It opens the instrument's serial port (the one named,
// or the first present port that the package serves, waiting until one is plugged in),
// connects, checks model and version, asks before it installs, transfers the package's
// two images and reports the outcome as the updater dialog does. Exit status: 0
// completed, the error code on failure, 64 usage error, 65 declined, 69 no instrument
// within --wait, 130 interrupted while waiting.

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "discovery/device_change_watch.h"
#include "discovery/port_enumerator_linux.h"
#include "discovery/port_listing.h"
#include "discovery/utf_text.h"
#include "klv_version.h"
#include "package/fw_package.h"
#include "platform/sleep.h"
#include "protocol/mt_update_protocol.h"
#include "tools/klvflash/flash_messages.h"
#include "tools/klvflash/observed_transport.h"
#include "tools/klvflash/port_selection.h"
#include "tools/klvflash/progress_meter.h"
#include "transport/mt_access_if_comm_port.h"

namespace {

int settleSliceMs = -1;  // test-only: length of each settle-wait slice instead of 200 ms

void SettleSleep(int ms) {
    SleepMs(settleSliceMs >= 0 ? settleSliceMs : ms);
}

void Print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int Finish(const FlashOutcome& outcome) {
    Print(outcome.headline);
    if (!outcome.advice.empty()) {
        Print(outcome.advice);
    }
    return outcome.exitStatus;
}

// YES or NO from the terminal; end of input counts as NO.
bool AskYes() {
    for (;;) {
        std::printf("Install it? [YES/NO] ");
        std::fflush(stdout);
        std::string answer;
        if (!std::getline(std::cin, answer)) {
            std::printf("\n");
            return false;
        }
        for (char& c : answer) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (answer == "YES" || answer == "Y") {
            return true;
        }
        if (answer == "NO" || answer == "N") {
            return false;
        }
    }
}

// The status sink: shows the loading stages and draws the progress line.
class Console final : public MTAccessCallback {
  public:
    Console(ObservedTransport& observed, uint64_t totalBytes, bool showProgress)
        : observed(observed), total(totalBytes), showProgress(showProgress) {
        if (showProgress) {
            observed.onImageBytes = [this](uint64_t sent) { Draw(sent); };
        }
    }
    void Notify(MTUpdateProtocol& source) override {
        if (source.status == StatusSendingImage2 && !loading) {
            loading = true;
            start = ObservedTransport::Clock::now();
            Print("NOW LOADING");
        }
        if (source.status == StatusFinishing && showProgress) {
            Draw(observed.imageBytesSent);
            std::fprintf(stderr, "\nfinishing; the instrument restarts (about 10 s)\n");
        }
    }

  private:
    void Draw(uint64_t sent) {
        const double seconds =
            std::chrono::duration<double>(ObservedTransport::Clock::now() - start).count();
        std::fprintf(stderr, "\r%s", ProgressLine(sent, total, seconds).c_str());
        std::fflush(stderr);
    }

    ObservedTransport& observed;
    const uint64_t total;
    const bool showProgress;
    bool loading = false;
    ObservedTransport::Clock::time_point start{};
};

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void OnInterrupt(int) {
    interrupted.store(true);
}

// Ctrl-C ends the wait for the instrument cleanly; once a port is open the default
// comes back, as with --port.
class InterruptWhileWaiting {
  public:
    InterruptWhileWaiting() {
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the wait's poll returns at once
        sigaction(SIGINT, &action, &previous);
    }
    ~InterruptWhileWaiting() { sigaction(SIGINT, &previous, nullptr); }
    InterruptWhileWaiting(const InterruptWhileWaiting&) = delete;
    InterruptWhileWaiting& operator=(const InterruptWhileWaiting&) = delete;

  private:
    struct sigaction previous {};
};

class ConsoleSearch final : public SearchObserver {
  public:
    explicit ConsoleSearch(std::string devRoot) : devRoot(std::move(devRoot)) {}
    void Waiting() override { Print("WAITING..."); }
    void CannotOpen(const std::string& port, OpenFailure why) override {
        std::fprintf(stderr, "klvflash: %s\n", NoticeOfOpenFailureWhileWaiting(why, port).c_str());
    }
    void NotWatching() override {
        std::fprintf(stderr,
                     "klvflash: cannot watch %s for new devices (inotify); looking every few "
                     "seconds instead\n",
                     devRoot.c_str());
    }

  private:
    const std::string devRoot;
};

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "Updates the firmware of a KLV-series instrument over its serial port.\n"
        "Without --port it looks among the present serial ports for one whose USB vendor and "
        "product ids the package lists, and uses the first that opens. While there is none it "
        "prints WAITING... and waits: it watches /dev with inotify (no polling) and scans "
        "again whenever a serial device appears, goes or changes its permissions, and also "
        "every 2 s, for a port that another program lets go of. A port of the instrument "
        "that is present but does not open (busy, no permission) is reported once on stderr "
        "while the wait goes on. Ctrl-C ends the wait.\n"
        "Exit status: 0 completed; the error code (1, 2, 3, 16, 17, 80, 96, 255) on "
        "failure; 64 usage error; 65 the update was declined; 69 no instrument could be "
        "opened within --wait; 130 interrupted while waiting.",
        "klvflash");
    app.set_version_flag("--version", KLV_VERSION_LINE("klvflash"));
    std::string portOption;
    std::string packagePath;
    int waitSeconds = 0;
    bool list = false;
    bool yes = false;
    bool trace = false;
    bool timing = false;
    std::string sysRoot = "/sys";
    std::string devRoot = "/dev";
    int rescanMs = SearchSettings{}.rescanMs;
    CLI::Option* portOpt =
        app.add_option("--port", portOption,
                       "The instrument's serial device, e.g. /dev/ttyACM0 (default: find it)");
    CLI::Option* waitOpt =
        app.add_option("--wait", waitSeconds,
                       "Without --port: give up after this many seconds without an instrument "
                       "(exit status 69); 0 waits without a limit (default)")
            ->check(CLI::Range(0, 1000000))
            ->excludes(portOpt);
    app.add_flag("--list", list,
                 "Print the present serial ports with their USB ids and whether the package "
                 "serves them, and exit")
        ->excludes(portOpt)
        ->excludes(waitOpt);
    app.add_option("--package", packagePath,
                   "Firmware package to install instead of the one built in");
    app.add_flag("--yes", yes, "Answer YES to the question before the transfer");
    app.add_flag("--trace", trace, "Print the transport's trace lines on stdout");
    // For the tests and the benchmark only.
    app.add_option("--x-settle-slice-ms", settleSliceMs)->group("");
    app.add_flag("--x-timing", timing)->group("");
    app.add_option("--x-sys-root", sysRoot)->group("");
    app.add_option("--x-dev-root", devRoot)->group("");
    app.add_option("--x-rescan-ms", rescanMs)->check(CLI::NonNegativeNumber)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : FlashExitUsage;
    }

    FWPackage package;
    if (packagePath.empty()) {
        package.LoadFromResource();  // none or invalid: Connect reports it (96)
    } else {
        std::vector<uint8_t> bytes;
        if (!ReadFile(packagePath, bytes)) {
            std::fprintf(stderr, "klvflash: --package %s: cannot be read\n", packagePath.c_str());
            return FlashExitUsage;
        }
        package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }

    SysfsPortEnumerator ports(sysRoot, devRoot);
    if (list) {
        std::printf("%s", FormatPortList(ListPorts(ports, package)).c_str());
        return FlashExitCompleted;
    }

    MTAccessIfCommPort port;
    if (!trace) {
        port.trace = nullptr;
    }
    if (!portOption.empty()) {
        if (!port.Open(std::u16string(portOption.begin(), portOption.end()))) {
            return Finish(OutcomeOfOpenFailure(DiagnoseOpenFailure(portOption), portOption));
        }
        port.currentPortName.assign(portOption.begin(), portOption.end());
    } else {
        // Waiting for an instrument that this package could never update helps nobody:
        // say now what Connect would say once it is plugged in.
        if (!package.IsUsable()) {
            return Finish(OutcomeOfStatus(StatusPackageInvalid, ErrorPackageInvalid));
        }
        if (package.usbIds.empty()) {
            std::fprintf(stderr,
                         "klvflash: the package lists no USB vendor and product ids, so its "
                         "instrument cannot be found; name its port with --port\n");
            return FlashExitUsage;
        }
        // Made before the first scan, so that a device that appears between that scan and
        // the wait is not missed.
        DeviceChangeWatch watch(devRoot);
        ConsoleSearch observer(devRoot);
        SearchSettings settings;
        settings.limitMs = waitSeconds > 0 ? waitSeconds * 1000 : -1;
        settings.rescanMs = rescanMs;
        SearchOutcome found;
        {
            const InterruptWhileWaiting onCtrlC;
            found =
                SearchForInstrument(port, package, ports, watch, settings, interrupted, observer);
        }
        switch (found.end) {
            case SearchEnd::Attached:
                break;
            case SearchEnd::Expired:
                return Finish(OutcomeOfWaitExpired(waitSeconds, found.portSeen));
            case SearchEnd::Stopped:
                return Finish(OutcomeOfWaitInterrupted());
        }
        Print("Instrument found on " + Utf16ToUtf8(port.currentPortName));
    }

    ObservedTransport observed(port);
    Console console(observed, uint64_t{package.image1.length} + package.image2.length,
                    isatty(STDERR_FILENO) == 1);
    MTUpdateProtocol protocol;
    protocol.sleepMs = SettleSleep;
    protocol.package = &package;
    protocol.callback = &console;
    protocol.transport = &observed;

    const auto ended = [&] {
        port.Close();
        return Finish(OutcomeOfStatus(protocol.status, protocol.errorCode));
    };
    if (protocol.Connect() != 0 || protocol.CheckVersion() != 0) {
        return ended();
    }
    Print("PROGRAM UPDATE");
    Print(package.versionText);
    if (yes) {
        Print("Install it? [YES/NO] YES");
    } else if (!AskYes()) {
        port.Close();
        Print("Not installed; the instrument keeps its firmware.");
        return FlashExitDeclined;
    }
    protocol.Transfer();
    if (timing && observed.started && observed.finished) {
        const double seconds =
            std::chrono::duration<double>(observed.finishAcknowledged - observed.firstImageStart)
                .count();
        std::fprintf(stderr, "transfer %llu bytes in %.6f s\n",
                     static_cast<unsigned long long>(observed.imageBytesSent), seconds);
    }
    return ended();
}
