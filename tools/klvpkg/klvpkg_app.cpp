#include "tools/klvpkg/klvpkg_app.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "klv_version.h"
#include "package/fw_package.h"
#include "tools/klvpkg/build_command.h"
#include "tools/klvpkg/file_io.h"
#include "tools/klvpkg/package_report.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

int Build(const BuildRequest& request, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto contents = ContentsFromRequest(request, error);
    if (!contents) {
        err << "klvpkg build: " << error << "; nothing written\n";
        return kExitFailed;
    }
    const std::vector<uint8_t> bytes = klv::package::BuildPackage(*contents);
    if (!WriteFileAtomically(request.output, bytes, error)) {
        err << "klvpkg build: " << error << "; nothing written\n";
        return kExitFailed;
    }
    out << "klvpkg build: wrote " << request.output << " (" << bytes.size() << " bytes, "
        << (request.plain ? "plain" : "scrambled") << ")\n";
    return kExitOk;
}

int Inspect(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto bytes = ReadWholeFile(path, error);
    if (!bytes) {
        err << "klvpkg inspect: " << error << "\n";
        return kExitFailed;
    }
    if (bytes->size() > UINT32_MAX) {
        err << "klvpkg inspect: " << path << ": larger than any package can be\n";
        return kExitFailed;
    }
    FWPackage package;
    package.Parse(bytes->data(), static_cast<uint32_t>(bytes->size()));
    out << (json ? PackageJson(package) : PackageSummary(package, *bytes, path));
    package.Release();
    return kExitOk;
}

}  // namespace

int RunKlvpkg(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"Builds and inspects KLV firmware packages.", "klvpkg"};
    app.set_version_flag("--version", KLV_VERSION_LINE("klvpkg"));
    app.require_subcommand(1);

    BuildRequest request;
    CLI::App* build = app.add_subcommand("build", "Write a package from images and identifiers");
    build->add_option("-o,--output", request.output, "Package file to write")->required();
    build->add_option("--image1", request.image1, "Main firmware image (required, not empty)")
        ->required();
    build->add_option("--image2", request.image2, "Second image, sent before image1");
    build->add_option("--model", request.models, "Model identifier, 8 hex digits (repeatable)");
    build->add_option("--usb", request.usbIds, "USB VID:PID in hex (repeatable)");
    build->add_option("--prefix", request.prefixes,
                      "Accepted firmware version prefix, 1-32 bytes (repeatable)");
    build->add_option("--version-text", request.versionText,
                      "Version text shown to the user, at most 49 bytes");
    build->add_flag("--plain", request.plain, "Do not scramble the body");

    std::string inspectPath;
    bool json = false;
    CLI::App* inspect = app.add_subcommand("inspect", "Show what a package holds");
    inspect->add_flag("--json", json, "One JSON object instead of the summary");
    inspect->add_option("file", inspectPath, "Package file")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e, out, err);
        return status == 0 ? kExitOk : kExitFailed;
    }
    if (build->parsed()) {
        return Build(request, out, err);
    }
    return Inspect(inspectPath, json, out, err);
}
