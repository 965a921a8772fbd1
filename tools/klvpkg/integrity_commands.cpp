#include "tools/klvpkg/integrity_commands.h"

#include <filesystem>
#include <ostream>
#include <sstream>

#include "tools/common/utf8_path.h"

#include "package/fw_package.h"
#include "package/package_integrity.h"
#include "package/package_signing.h"
#include "tools/common/file_checks.h"
#include "tools/common/console.h"
#include "tools/common/printable_text.h"
#include "tools/common/tool_exit.h"
#include "tools/klvpkg/file_io.h"
#include "tools/klvpkg/package_report.h"

namespace fs = std::filesystem;
using namespace klv::package;
using klv::tools::kExitCannotWrite;
using klv::tools::kExitOk;
using klv::tools::kExitUsage;
using klv::tools::ShownText;

namespace {

// verify: the package is damaged, carries no digest where one is required, or is not
// signed by a trusted key (the same status as inspect --check for a package that fails).
constexpr int kExitNotVerified = 2;

// Refuses a value that is empty (also after = on the command line).
CLI::Validator NotEmpty() {
    return CLI::Validator(
        [](const std::string& value) {
            return value.empty() ? std::string("an empty value names nothing") : std::string();
        },
        "NOT EMPTY");
}

std::optional<std::vector<PublicKey>> LoadTrusted(const std::vector<std::string>& paths,
                                                  std::string& error) {
    std::vector<PublicKey> keys;
    for (const std::string& path : paths) {
        std::string why;
        auto key = PublicKey::Load(path, why);
        if (!key) {
            error = "--trust " + why;
            return std::nullopt;
        }
        keys.push_back(std::move(*key));
    }
    return keys;
}

std::string DigestHex(const std::optional<Sha256Digest>& digest) {
    return digest ? HexOf(digest->data(), digest->size()) : std::string("none");
}

std::string IntegrityLine(const IntegrityReport& report) {
    switch (report.verdict) {
        case Integrity::Absent:
            return "absent (no digest record: damage cannot be detected)";
        case Integrity::Verified:
            return "verified, SHA-256 " + DigestHex(report.stored);
        case Integrity::Mismatch:
            break;
    }
    std::string line = "mismatch: " + report.reason;
    if (report.stored && report.computed) {
        line += " (carries " + DigestHex(report.stored) + ", contents give " +
                DigestHex(report.computed) + ")";
    }
    return line;
}

// Checks an output of extract before anything is written.
bool CheckOutput(const std::string& option, const std::string& path, const std::string& package,
                 bool force, std::string& error) {
    std::error_code code;
    const fs::path target = klv::tools::Utf8Path(path);
    if (fs::is_directory(target, code)) {
        error = option + " " + path + " is a directory; name a file";
        return false;
    }
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    if (!fs::is_directory(parent, code)) {
        error = option + " " + path + ": the folder " + klv::tools::PathText(parent) + " does not exist";
        return false;
    }
    if (fs::exists(target, code) && fs::equivalent(target, klv::tools::Utf8Path(package), code)) {
        error = option + " " + path + " is the package itself";
        return false;
    }
    if (!force && fs::exists(fs::symlink_status(target, code))) {
        error = option + " " + path + " already exists; pass --force to replace it";
        return false;
    }
    return true;
}

int Extract(const IntegrityCli& cli, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto fail = [&](const std::string& why, int status = kExitUsage) {
        err << "klvpkg extract: " << ShownText(why) << "; nothing written\n";
        return status;
    };
    if (cli.image1Out.empty() && cli.image2Out.empty()) {
        return fail("name at least one of --image1 OUT and --image2 OUT");
    }
    if (!cli.image1Out.empty() && !cli.image2Out.empty()) {
        std::error_code code;
        if (fs::absolute(klv::tools::Utf8Path(cli.image1Out), code).lexically_normal() ==
            fs::absolute(klv::tools::Utf8Path(cli.image2Out), code).lexically_normal()) {
            return fail("--image1 and --image2 name the same file");
        }
    }
    const klv::tools::FileRead read =
        klv::tools::ReadRegularFile("extract", cli.extractPath, klv::tools::kPackageSizeLimit);
    if (!read.ok) {
        err << "klvpkg " << ShownText(read.error) << "; nothing written\n";
        return read.exitStatus;
    }
    const std::vector<uint8_t>* bytes = &read.bytes;
    FWPackage package;
    package.Parse(bytes->data(), static_cast<uint32_t>(bytes->size()));
    if (!package.valid) {
        return fail(cli.extractPath + " is not a valid package; the updater would not read it");
    }
    struct Wanted {
        const char* option;
        const std::string& path;
        const FWImage& image;
    };
    const Wanted wanted[] = {{"--image1", cli.image1Out, package.image1},
                             {"--image2", cli.image2Out, package.image2}};
    for (const Wanted& w : wanted) {
        if (w.path.empty()) {
            continue;
        }
        if (w.image.empty()) {
            return fail(std::string("the package has no ") + (w.option + 2));
        }
        if (!CheckOutput(w.option, w.path, cli.extractPath, cli.force, error)) {
            return fail(error);
        }
    }
    const IntegrityReport report =
        CheckIntegrity(bytes->data(), static_cast<uint32_t>(bytes->size()));
    if (report.verdict == Integrity::Mismatch) {
        err << "klvpkg extract: warning: the package is damaged (" << report.reason
            << "); the images are written as the reader takes them\n";
    }
    for (const Wanted& w : wanted) {
        if (w.path.empty()) {
            continue;
        }
        const std::vector<uint8_t> image(w.image.data.get(), w.image.data.get() + w.image.length);
        if (!WriteFileAtomically(w.path, image, error)) {
            err << "klvpkg extract: " << ShownText(error) << "\n";
            return kExitCannotWrite;
        }
        out << "klvpkg extract: wrote " << ShownText(w.path) << " (" << w.image.length << " bytes, SHA-256 "
            << Sha256Hex(w.image) << ")\n";
    }
    return kExitOk;
}

int Keygen(const IntegrityCli& cli, std::ostream& out, std::ostream& err) {
    const std::string publicPath = cli.keyOut + ".pub";
    std::error_code code;
    const fs::path target = klv::tools::Utf8Path(cli.keyOut);
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string error;
    if (!fs::is_directory(parent, code)) {
        error = "--out " + cli.keyOut + ": the folder " + klv::tools::PathText(parent) + " does not exist";
    } else if (fs::is_directory(target, code)) {
        error = "--out " + cli.keyOut + " is a directory; name the private key's file";
    }
    std::optional<KeyPair> key;
    if (error.empty()) {
        key = KeyPair::Generate(error);
    }
    if (!key || !key->Save(cli.keyOut, publicPath, cli.keyForce, error)) {
        err << "klvpkg keygen: " << ShownText(error) << "; nothing written\n";
        return key ? kExitCannotWrite : kExitUsage;
    }
    out << "klvpkg keygen: wrote " << ShownText(cli.keyOut) << " (private, "
        << klv::tools::kPrivateFileAccess << "; keep it out of any repository) and "
        << ShownText(publicPath) << "\n";
    out << "fingerprint: " << FingerprintHex(key->Fingerprint()) << "\n";
    return kExitOk;
}

int Verify(const IntegrityCli& cli, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto trusted = LoadTrusted(cli.trust, error);
    if (!trusted) {
        err << "klvpkg verify: " << ShownText(error) << "\n";
        return kExitUsage;
    }
    const klv::tools::FileRead read =
        klv::tools::ReadRegularFile("verify", cli.verifyPath, klv::tools::kPackageSizeLimit);
    if (!read.ok) {
        err << "klvpkg " << ShownText(read.error) << "\n";
        return read.exitStatus;
    }
    const std::vector<uint8_t>* bytes = &read.bytes;
    const IntegrityReport report =
        CheckIntegrity(bytes->data(), static_cast<uint32_t>(bytes->size()), true);
    const Trust trust = CheckTrust(report, *trusted);
    if (report.verdict == Integrity::Mismatch) {
        err << "klvpkg verify: " << cli.verifyPath << " is damaged (" << IntegrityLine(report)
            << "); use an intact copy of the package\n";
        return kExitNotVerified;
    }
    if (report.verdict == Integrity::Absent && cli.requireDigest) {
        err << "klvpkg verify: " << cli.verifyPath << " carries no digest\n";
        return kExitNotVerified;
    }
    if (trust != Trust::NotChecked && trust != Trust::Trusted) {
        err << "klvpkg verify: " << cli.verifyPath << " is not trusted: " << TrustName(trust)
            << "\n";
        return kExitNotVerified;
    }
    out << ShownText(cli.verifyPath) << ": integrity " << IntegrityName(report.verdict);
    if (trust == Trust::Trusted) {
        out << ", signed by trusted key " << FingerprintHex(report.signature->fingerprint);
    }
    out << "\n";
    return kExitOk;
}

}  // namespace

void AddIntegrityCommands(CLI::App& app, CLI::App& build, CLI::App& inspect, IntegrityCli& cli) {
    build.add_flag("--no-digest", cli.noDigest,
                   "Leave out the digest record (the package is then read as before, but "
                   "damage to it cannot be detected)");
    build.add_option("--sign", cli.signKey, "Sign the package with this private key (klvpkg keygen)")
        ->check(NotEmpty());
    inspect.add_option("--trust", cli.trust, "Public key to check the signature against (repeatable)")
        ->check(NotEmpty());

    cli.extract = app.add_subcommand("extract", "Write a package's images as the updater reads them");
    cli.extract->add_option("file", cli.extractPath, "Package file")->required()->check(NotEmpty());
    cli.extract->add_option("--image1", cli.image1Out, "Write image1 to this file")->check(NotEmpty());
    cli.extract->add_option("--image2", cli.image2Out, "Write image2 to this file")->check(NotEmpty());
    cli.extract->add_flag("--force", cli.force, "Replace files that exist");

    cli.keygen = app.add_subcommand("keygen", "Make an ECDSA P-256 key pair for signing packages");
    cli.keygen->add_option("--out", cli.keyOut, "Private key file; the public key goes to OUT.pub")
        ->required()
        ->check(NotEmpty());
    cli.keygen->add_flag("--force", cli.keyForce, "Replace key files that exist");

    cli.verify = app.add_subcommand(
        "verify", "Exit 2 when a package is damaged (or, with --trust, not signed by a trusted key)");
    cli.verify->add_option("file", cli.verifyPath, "Package file")->required()->check(NotEmpty());
    cli.verify->add_flag("--require-digest", cli.requireDigest, "Refuse a package without digest");
    cli.verify->add_option("--trust", cli.trust, "Trusted public key (repeatable)")->check(NotEmpty());
}

std::optional<int> RunIntegrityCommand(const IntegrityCli& cli, std::ostream& out,
                                       std::ostream& err) {
    if (cli.extract && cli.extract->parsed()) {
        return Extract(cli, out, err);
    }
    if (cli.keygen && cli.keygen->parsed()) {
        return Keygen(cli, out, err);
    }
    if (cli.verify && cli.verify->parsed()) {
        return Verify(cli, out, err);
    }
    return std::nullopt;
}

bool ApplyBuildIntegrity(const IntegrityCli& cli, PackageContents& contents,
                         std::optional<KeyPair>& signing, std::string& error) {
    contents.digest = !cli.noDigest;
    if (cli.signKey.empty()) {
        return true;
    }
    if (cli.noDigest) {
        error = "--sign needs the digest record; leave out --no-digest";
        return false;
    }
    std::string why;
    auto key = KeyPair::Load(cli.signKey, why);
    if (!key) {
        error = "--sign " + why;
        return false;
    }
    signing.emplace(std::move(*key));
    contents.signer = signing->Signer();
    return true;
}

std::optional<IntegrityInspection> InspectIntegrity(const std::vector<uint8_t>& bytes,
                                                    const IntegrityCli& cli, std::string& error) {
    const auto trusted = LoadTrusted(cli.trust, error);
    if (!trusted) {
        return std::nullopt;
    }
    const IntegrityReport report =
        CheckIntegrity(bytes.data(), static_cast<uint32_t>(bytes.size()), true);
    const Trust trust = CheckTrust(report, *trusted);

    IntegrityInspection inspection;
    std::ostringstream lines;
    lines << "Integrity:        " << IntegrityLine(report) << "\n";
    lines << "Signed by:        "
          << (report.signature ? "key " + FingerprintHex(report.signature->fingerprint)
                               : std::string("nobody"))
          << "\n";
    lines << "Trust:            " << TrustName(trust)
          << (trust == Trust::NotChecked ? " (no --trust key given)" : "") << "\n";
    inspection.lines = lines.str();

    using Json = nlohmann::ordered_json;
    inspection.json["integrity"] = IntegrityName(report.verdict);
    inspection.json["integrityDetail"] = report.reason;
    inspection.json["digest"] = report.stored ? Json(DigestHex(report.stored)) : Json(nullptr);
    inspection.json["signer"] =
        report.signature ? Json(FingerprintHex(report.signature->fingerprint)) : Json(nullptr);
    inspection.json["trust"] = TrustName(trust);
    return inspection;
}
