#include "tools/klvpkg/klvpkg_app.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "package/fw_package.h"
#include "tools/common/file_checks.h"
#include "tools/common/console.h"
#include "tools/common/printable_text.h"
#include "tools/common/tool_exit.h"
#include "tools/common/version_line.h"
#include "tools/klvpkg/build_command.h"
#include "tools/klvpkg/file_io.h"
#include "tools/klvpkg/integrity_commands.h"
#include "tools/klvpkg/package_problem.h"
#include "tools/klvpkg/package_report.h"

namespace {

using namespace klv::tools;

constexpr int kExitCheckFailed = 2;  // inspect --check: not a valid, usable package

const char* const kExitStatuses =
    "Exit status: 0 done (inspect --check: a valid, usable package); 2 inspect --check: the "
    "package is invalid, unusable or damaged (its digest does not match); verify: damaged, "
    "without a required digest, or not signed by a trusted key; 64 usage error (an unknown option, an empty or "
    "malformed value, an output that is one of the inputs, a value the package cannot "
    "carry); 66 an input file cannot be read (missing, not a regular file, over 256 MiB); "
    "73 the output cannot be written.";

int Refuse(std::ostream& err, const char* command, const std::string& why, int status) {
    err << "klvpkg " << command << ": " << ShownText(why) << "; nothing written\n";
    return status;
}

int Build(const BuildRequest& request, const IntegrityCli& cli, std::ostream& out,
          std::ostream& err) {
    if (request.output.empty()) {
        return Refuse(err, "build", "-o: the file name is empty; name the package to write",
                      kExitUsage);
    }
    if (request.output == "-") {
        return Refuse(err, "build",
                      "-o -: packages are written to files only, never to standard output; "
                      "name a file",
                      kExitUsage);
    }
    for (const auto& [option, path] : {std::pair<const char*, const std::string&>{"--image1", request.image1},
                                       {"--image2", request.image2},
                                       {"--sign", cli.signKey}}) {
        if (!path.empty() && (path == request.output || SameFile(path, request.output))) {
            return Refuse(err, "build",
                          std::string("-o ") + request.output + " is also " + option +
                              "; write the package to another file",
                          kExitUsage);
        }
    }
    const std::string kind = DescribePath(request.output);
    if (kind.rfind("a ", 0) == 0 && kind != "a regular file") {
        return Refuse(err, "build",
                      "-o " + request.output + " is " + kind + "; name a file to write",
                      kExitUsage);
    }
    std::string error;
    int status = kExitUsage;
    auto contents = ContentsFromRequest(request, error, &status);
    if (!contents) {
        return Refuse(err, "build", error, status);
    }
    std::optional<klv::package::KeyPair> signingKey;
    if (!ApplyBuildIntegrity(cli, *contents, signingKey, error)) {
        return Refuse(err, "build", error, kExitUsage);
    }
    std::vector<uint8_t> bytes;
    try {
        bytes = klv::package::BuildPackage(*contents);
    } catch (const std::exception& e) {
        // The writer refuses contents the container cannot carry.
        return Refuse(err, "build", e.what(), kExitUsage);
    }
    if (!WriteFileAtomically(request.output, bytes, error)) {
        return Refuse(err, "build", error, kExitCannotWrite);
    }
    out << "klvpkg build: wrote " << ShownText(request.output) << " (" << bytes.size()
        << " bytes, " << (request.plain ? "plain" : "scrambled")
        << (contents->signer ? ", signed" : contents->digest ? ", with digest" : ", no digest")
        << ")\n";
    return kExitOk;
}

int Inspect(const std::string& path, bool json, bool check, const IntegrityCli& cli,
            std::ostream& out, std::ostream& err) {
    const FileRead read = ReadRegularFile("inspect", path, kPackageSizeLimit);
    if (!read.ok) {
        err << "klvpkg " << ShownText(read.error) << "\n";
        return read.exitStatus;
    }
    std::string error;
    const auto integrity = InspectIntegrity(read.bytes, cli, error);
    if (!integrity) {
        err << "klvpkg inspect: " << ShownText(error) << "\n";
        return kExitUsage;  // a --trust key that cannot be used
    }
    FWPackage package;
    package.Parse(read.bytes.data(), static_cast<uint32_t>(read.bytes.size()));
    out << (json ? PackageJson(package, read.bytes, integrity->json)
                 : PackageSummary(package, read.bytes, path) + integrity->lines);
    // A package whose digest does not match is damaged: it does not pass either.
    const bool usable = package.IsUsable() && integrity->json["integrity"] != "mismatch";
    package.Release();
    if (check && !usable) {
        return kExitCheckFailed;
    }
    return kExitOk;
}

}  // namespace

int RunKlvpkg(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"Builds and inspects KLV firmware packages.", "klvpkg"};
    app.set_version_flag("--version", VersionLine("klvpkg"));
    app.footer(kExitStatuses);
    app.require_subcommand(1);

    BuildRequest request;
    CLI::App* build = app.add_subcommand("build", "Write a package from images and identifiers");
    build->footer(kExitStatuses);
    build->add_option("-o,--output", request.output,
                      "Package file to write (a file; standard output is refused); written "
                      "whole or not at all, never over one of the images")
        ->required()
        ->option_text("FILE");
    CLI::Option* image1 = build->add_option("--image1", request.image1,
                                            "Main firmware image (required, not empty)")
                              ->required()
                              ->option_text("FILE");
    CLI::Option* image2 =
        build->add_option("--image2", request.image2, "Second image, sent before image1")
            ->option_text("FILE");
    build->add_option("--model", request.models, "Model identifier, 8 hex digits (repeatable)")
        ->option_text("HEX8");
    build->add_option("--usb", request.usbIds, "USB VID:PID in hex (repeatable)")
        ->option_text("VID:PID");
    build->add_option("--prefix", request.prefixes,
                      "Accepted firmware version prefix, 1-32 bytes (repeatable)")
        ->option_text("TEXT");
    build->add_option("--version-text", request.versionText,
                      "Version text shown to the user, at most 49 bytes")
        ->option_text("TEXT");
    build->add_flag("--plain", request.plain, "Do not scramble the body");

    std::string inspectPath;
    bool json = false;
    bool check = false;
    CLI::App* inspect = app.add_subcommand("inspect", "Show what a package holds");
    inspect->footer(kExitStatuses);
    inspect->add_flag("--json", json, "One JSON object instead of the summary");
    inspect->add_flag("--check", check,
                      "Exit 0 only for a valid, usable package, 2 otherwise (for scripts)");
    inspect->add_option("file", inspectPath, "Package file")->required()->option_text("FILE");

    IntegrityCli integrity;
    AddIntegrityCommands(app, *build, *inspect, integrity);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e, out, err);
        return status == 0 ? kExitOk : kExitUsage;
    }
    if (const auto status = RunIntegrityCommand(integrity, out, err)) {
        return *status;
    }
    if (build->parsed()) {
        // An unset shell variable must not quietly mean "no second image".
        for (const CLI::Option* option : {image1, image2}) {
            if (option->count() > 0 && option->as<std::string>().empty()) {
                return Refuse(err, "build",
                              option->get_name() + ": the file name is empty; name an image file",
                              kExitUsage);
            }
        }
        return Build(request, integrity, out, err);
    }
    if (inspectPath.empty()) {
        err << "klvpkg inspect: the file name is empty; name a package file\n";
        return kExitUsage;
    }
    return Inspect(inspectPath, json, check, integrity, out, err);
}
