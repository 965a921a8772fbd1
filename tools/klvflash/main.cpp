// klvflash: the headless updater. It opens the instrument's serial port, connects,
// checks model and version, asks before it installs, transfers the package's two
// images and reports the outcome as the updater dialog does. Exit status: 0 completed,
// the error code on failure, 64 usage error, 65 declined.

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

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
        "Exit status: 0 completed; the error code (1, 2, 3, 16, 17, 80, 96, 255) on "
        "failure; 64 usage error; 65 the update was declined.",
        "klvflash");
    std::string portOption;
    std::string packagePath;
    bool yes = false;
    bool trace = false;
    bool timing = false;
    app.add_option("--port", portOption, "The instrument's serial device, e.g. /dev/ttyACM0");
    app.add_option("--package", packagePath,
                   "Firmware package to install instead of the one built in");
    app.add_flag("--yes", yes, "Answer YES to the question before the transfer");
    app.add_flag("--trace", trace, "Print the transport's trace lines on stdout");
    // For the tests and the benchmark only.
    app.add_option("--x-settle-slice-ms", settleSliceMs)->group("");
    app.add_flag("--x-timing", timing)->group("");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : FlashExitUsage;
    }

    const PortChoice choice = SelectPort(portOption);
    if (!choice.chosen) {
        std::fprintf(stderr, "klvflash: %s\n", choice.error.c_str());
        return FlashExitUsage;
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

    MTAccessIfCommPort port;
    if (!trace) {
        port.trace = nullptr;
    }
    if (!port.Open(std::u16string(choice.path.begin(), choice.path.end()))) {
        return Finish(OutcomeOfOpenFailure(DiagnoseOpenFailure(choice.path), choice.path));
    }
    port.currentPortName.assign(choice.path.begin(), choice.path.end());

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
