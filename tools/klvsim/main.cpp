// klvsim: a simulated KLV instrument on a pseudo-terminal or a serial device. It answers
// the update protocol, checks every packet the host sends, compares the images it
// received with a package, and misbehaves on demand.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "klv_version.h"
#include "package/fw_package.h"
#include "tools/klvsim/run_summary.h"
#include "tools/klvsim/serial_endpoint.h"
#include "tools/sim/fault_names.h"
#include "tools/sim/instrument_engine.h"

namespace {

constexpr size_t kMaxVersionText = 65535 - 4;

const char* const kDescription =
    "A simulated KLV-series instrument. It opens a pseudo-terminal (or --device), prints on "
    "its first line the path the host should open, answers the update protocol there and "
    "checks every packet the host sends. At the end it prints what it received and its "
    "verdict.\n\n"
    "Exit status: 0 the host made no violation and a finished transfer matched the package; "
    "1 a violation, or the images of a finished transfer differ from the package; 2 bad "
    "options or an unusable package; 3 the line could not be set up.";

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

bool LoadPackage(const std::string& path, FWPackage& package, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "--package " + path + ": cannot be read";
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!package.IsUsable()) {
        *error = "--package " + path + ": not a usable package (invalid, or no image 1)";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // --version alone is this program's version; with a text it is a version entry.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("%s\n", KLV_VERSION_LINE("klvsim"));
        return 0;
    }
    CLI::App app(kDescription, "klvsim");
    app.get_formatter()->column_width(34);

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

    app.add_option("--package", packagePath,
                   "Package to compare the received images with; also gives the model "
                   "(its first model id) and a version (its first prefix + \"00\")")
        ->check(CLI::ExistingFile);
    app.add_option("--model", modelText,
                   "Model id reported by identify: 8 hex digits, in wire order "
                   "(default: the package's first, else 00000000)");
    auto* versionOption =
        app.add_option("--version", versions,
                       "A version entry to report, repeatable, in order (default: one "
                       "matching the package, else none); alone, print klvsim's own version")
            ->allow_extra_args(false);
    app.add_flag("--no-versions", noVersions, "Report an empty version list")
        ->excludes(versionOption);
    app.add_option("--max-packet", maxPacket, "Packet size reported to the host (default 1024)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--fault", faultTexts,
                   "Misbehave once at a step: STEP[:K]:KIND[:MS], repeatable (see below)")
        ->allow_extra_args(false);
    auto* deviceOption = app.add_option(
        "--device", devicePath, "Serve this serial device instead of a new pseudo-terminal");
    app.add_option("--link", linkPath,
                   "Also make a symbolic link PATH to the pseudo-terminal (e.g. Wine's "
                   "dosdevices/com5); removed at the end")
        ->excludes(deviceOption);
    app.add_flag("--exit-after-finish,!--no-exit-after-finish", exitAfterFinish,
                 "End once the finish command is acknowledged (default on)");
    app.add_option("--timeout", timeoutSeconds,
                   "End when nothing arrives for this many seconds; 0: never (default 60)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--quiet", quiet, "Print only the path and the verdict line");
    app.add_flag("--trace", trace, "Print every packet in both directions on stderr");
    app.footer(klv::sim::FaultNamesHelp() +
               "Examples: --fault sync:no-reply  --fault image1-chunk:3:gone  "
               "--fault finish:delay:800\n"
               "SIGINT and SIGTERM end the run with the verdict as well.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : ExitUsage;
    }

    InstrumentConfig config;
    config.maxPacket = static_cast<uint16_t>(maxPacket);
    config.stopAfterFinish = exitAfterFinish;
    config.idleTimeoutMs = timeoutSeconds > 0 ? timeoutSeconds * 1000 : -1;

    std::string error;
    std::unique_ptr<FWPackage> package;
    if (!packagePath.empty()) {
        package = std::make_unique<FWPackage>();
        if (!LoadPackage(packagePath, *package, &error)) {
            std::fprintf(stderr, "klvsim: %s\n", error.c_str());
            return ExitUsage;
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
    engine.Run(line);
    line.Drain(2000);
    line.Close();

    RunEnding ending;
    ending.end = engine.Report().end;
    ending.signal = line.Signal();
    ending.idleSeconds = timeoutSeconds;
    return PrintSummary(stdout, engine, package.get(), ending, quiet);
}
