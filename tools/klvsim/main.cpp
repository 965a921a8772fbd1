// klvsim: a simulated KLV instrument on a pseudo-terminal or a serial device. It answers
// the update protocol, checks every packet the host sends, compares the images it
// received with a package, and misbehaves on demand.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "tools/common/file_checks.h"
#include "tools/common/printable_text.h"
#include "tools/common/tool_exit.h"
#include "tools/common/version_line.h"
#include "tools/klvsim/run_summary.h"
#include "tools/klvsim/serial_endpoint.h"
#include "tools/sim/fault_names.h"
#include "tools/sim/full_speed_link.h"
#include "tools/sim/instrument_engine.h"

namespace {

constexpr size_t kMaxVersionText = 65535 - 4;

const char* const kDescription =
    "A simulated KLV-series instrument. It opens a pseudo-terminal (or --device), prints on "
    "its first line the path the host should open, answers the update protocol there and "
    "checks every packet the host sends. At the end it prints what it received and its "
    "verdict.";

const char* const kExitStatuses =
    "Exit status: 0 the host made no violation and a finished transfer matched the package; "
    "1 a violation, or the images of a finished transfer differ from the package; 4 no "
    "violation, but a fault asked for was never reached; 64 usage error (also: --device is "
    "no terminal device); 66 --package cannot be read; 80 the line could not be set up; 96 "
    "--package is damaged or has no image 1.";

std::optional<ModelId> ParseModel(const std::string& text) {
    if (text.size() != 8) {
        return std::nullopt;
    }
    ModelId id{};
    for (size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = text[2 * i + j];
            const int digit = (c >= '0' && c <= '9')   ? c - '0'
                              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                       : -1;
            if (digit < 0) {
                return std::nullopt;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        id[i] = static_cast<uint8_t>(value);
    }
    return id;
}

// 0, or the exit status with the reason in *error.
int LoadPackage(const std::string& path, FWPackage& package, std::string* error) {
    const klv::tools::FileRead read =
        klv::tools::ReadRegularFile("--package", path, klv::tools::kPackageSizeLimit);
    if (!read.ok) {
        *error = read.error;
        return read.exitStatus;
    }
    package.Parse(read.bytes.data(), static_cast<uint32_t>(read.bytes.size()));
    if (!package.IsUsable()) {
        *error = "--package " + path + ": not a usable package (invalid, or no image 1)";
        return klv::tools::kExitPackageUnusable;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(kDescription, "klvsim");
    app.get_formatter()->column_width(34);
    app.set_version_flag("--version", klv::tools::VersionLine("klvsim"));

    std::string packagePath;
    std::string modelText;
    std::vector<std::string> versions;
    bool noVersions = false;
    int maxPacket = 1024;
    std::vector<std::string> faultTexts;
    std::string devicePath;
    std::string linkPath;
    bool exitAfterFinish = true;
    int timeoutSeconds = 60;
    bool quiet = false;
    bool trace = false;

    auto* packageOption =
        app.add_option("--package", packagePath,
                       "Package to compare the received images with; also gives the model "
                       "(its first model id) and a version (its first prefix + \"00\")")
            ->option_text("FILE");
    auto* modelOption = app.add_option("--model", modelText,
                                       "Model id reported by identify: 8 hex digits, in wire "
                                       "order (default: the package's first, else 00000000)")
                            ->option_text("HEX8");
    auto* versionOption =
        app.add_option("--fw-version", versions,
                       "A firmware version entry to report, repeatable, in order (default: "
                       "one matching the package, else none)")
            ->allow_extra_args(false)
            ->option_text("TEXT");
    app.add_flag("--no-versions", noVersions,
                 "Report an empty version list (not with --fw-version)")
        ->excludes(versionOption)
        ->option_text(" ");
    app.add_option("--max-packet", maxPacket,
                   "Packet size reported to the host, 0 to 65535 (default 1024)")
        ->check(CLI::Range(0, 65535))
        ->option_text("N");
    app.add_option("--fault", faultTexts,
                   "Misbehave once at a step: STEP[:K]:KIND[:MS], repeatable (see below)")
        ->allow_extra_args(false)
        ->option_text("FAULT");
    auto* deviceOption = app.add_option("--device", devicePath,
                                        "Serve this serial device instead of a new "
                                        "pseudo-terminal (not with --link)")
                             ->option_text("PATH");
    auto* linkOption = app.add_option("--link", linkPath,
                                      "Also make a symbolic link PATH to the pseudo-terminal "
                                      "(e.g. Wine's dosdevices/com5); removed at the end")
                           ->excludes(deviceOption)
                           ->option_text("PATH");
    bool keepServing = false;
    auto* exitOption = app.add_flag("--exit-after-finish", exitAfterFinish,
                                    "End once the finish command is acknowledged (default)")
                           ->option_text(" ");
    app.add_flag("--no-exit-after-finish", keepServing,
                 "Go on serving after the finish command")
        ->excludes(exitOption)
        ->option_text(" ");
    app.add_option("--timeout", timeoutSeconds,
                   "End when nothing arrives for this many seconds; 0: never (default 60)")
        ->check(CLI::NonNegativeNumber)
        ->option_text("SECONDS");
    app.add_flag("--quiet", quiet, "Print only the path and the verdict line");
    app.add_flag("--trace", trace, "Print every packet in both directions on stderr");
    std::string linkModel = "none";
    app.add_option("--link-model", linkModel,
                   "Pace the line as the instrument's USB would: full-speed (64-byte "
                   "packets, at most 19 a 1 ms frame each way, a reply leaves in the next "
                   "frame) or none (as fast as the line goes; default)")
        ->check(CLI::IsMember({"none", "full-speed"}))
        ->option_text("MODEL");
    app.footer(klv::sim::FaultNamesHelp() +
               "Examples: --fault sync:no-reply  --fault image1-chunk:3:gone  "
               "--fault finish:delay:800\n"
               "A fault whose step is never reached is listed as not reached, and the "
               "verdict says so.\n"
               "SIGINT and SIGTERM end the run with the verdict as well.\n" +
               kExitStatuses);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : ExitUsage;
    }
    // An empty value (an unset shell variable) never means "the default".
    for (const auto* option : {packageOption, modelOption, deviceOption, linkOption}) {
        if (option->count() > 0 && option->as<std::string>().empty()) {
            std::fprintf(stderr, "klvsim: %s: the value is empty\n",
                         option->get_name().c_str());
            return ExitUsage;
        }
    }
    if (!devicePath.empty()) {
        const klv::tools::PortCheck check = klv::tools::CheckTerminalDevice("--device", devicePath);
        if (check.result == klv::tools::PortCheck::Result::NotTerminal) {
            std::fprintf(stderr, "klvsim: %s; nothing was written\n",
                         klv::tools::Printable(check.error).c_str());
            return ExitUsage;
        }
    }

    exitAfterFinish = !keepServing;
    InstrumentConfig config;
    config.maxPacket = static_cast<uint16_t>(maxPacket);
    config.stopAfterFinish = exitAfterFinish;
    config.idleTimeoutMs = timeoutSeconds > 0 ? timeoutSeconds * 1000 : -1;

    std::string error;
    std::unique_ptr<FWPackage> package;
    if (!packagePath.empty()) {
        package = std::make_unique<FWPackage>();
        const int loaded = LoadPackage(packagePath, *package, &error);
        if (loaded != 0) {
            std::fprintf(stderr, "klvsim: %s\n", klv::tools::Printable(error).c_str());
            return loaded;
        }
        if (!package->modelIds.empty()) {
            config.modelId = package->modelIds.front();
        }
        if (!package->versionPrefixes.empty()) {
            const VersionPrefix& prefix = package->versionPrefixes.front();
            config.versions = {
                std::string(reinterpret_cast<const char*>(prefix.prefix), prefix.prefixLength) +
                "00"};
        }
    }
    if (!modelText.empty()) {
        const auto model = ParseModel(modelText);
        if (!model) {
            std::fprintf(stderr, "klvsim: --model %s: 8 hex digits expected\n", modelText.c_str());
            return ExitUsage;
        }
        config.modelId = *model;
    }
    if (!versions.empty()) {
        config.versions = versions;
    }
    if (noVersions) {
        config.versions.clear();
    }
    for (const auto& text : config.versions) {
        if (text.size() > kMaxVersionText) {
            std::fprintf(stderr, "klvsim: a version text may hold at most %zu bytes\n",
                         kMaxVersionText);
            return ExitUsage;
        }
    }
    for (const auto& text : faultTexts) {
        const auto fault = klv::sim::ParseFault(text, &error);
        if (!fault) {
            std::fprintf(stderr, "klvsim: %s\n", error.c_str());
            return ExitUsage;
        }
        config.faults.push_back(*fault);
    }

    SerialEndpoint line;
    const bool opened = devicePath.empty() ? line.OpenPseudoTerminal(linkPath, &error)
                                           : line.OpenDevice(devicePath, &error);
    if (!opened) {
        std::fprintf(stderr, "klvsim: %s\n", error.c_str());
        return ExitLineFailure;
    }
    std::printf("%s\n", line.HostPath().c_str());
    std::fflush(stdout);

    InstrumentEngine engine(config);
    engine.onGone = [&line] { line.Close(); };
    engine.sleepMs = [&line, &engine](int ms) {
        if (line.PauseUnlessSignalled(ms)) {
            engine.Stop();
        }
    };
    if (trace) {
        engine.onTrace = [](const std::string& text) {
            std::fprintf(stderr, "%s\n", text.c_str());
        };
    }
    std::string linkLine;
    if (linkModel == "full-speed") {
        FullSpeedLink paced(line);
        engine.Run(paced);
        const FullSpeedLink::Figures f = paced.Report();
        char text[256];
        std::snprintf(text, sizeof text,
                      "link: full-speed, %d host packets, %d replies, first packet to last "
                      "reply %.3f s, model minimum %.3f s (%+.1f %%)",
                      f.hostPackets, f.replies, f.actualSeconds, f.minimumSeconds,
                      f.minimumSeconds > 0 ? 100.0 * (f.actualSeconds / f.minimumSeconds - 1) : 0.0);
        linkLine = text;
    } else {
        engine.Run(line);
    }
    line.Drain(2000);
    line.Close();

    RunEnding ending;
    ending.end = engine.Report().end;
    ending.signal = line.Signal();
    ending.idleSeconds = timeoutSeconds;
    ending.faultsAsked = config.faults;
    ending.linkLine = linkLine;
    return PrintSummary(stdout, engine, package.get(), ending, quiet);
}
