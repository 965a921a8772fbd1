#include "tools/klvflash/package_trust.h"

#include <cstdio>

#include "package/package_integrity.h"
#include "package/package_resource.h"
#include "package/package_signing.h"
#include "tools/common/console.h"

using namespace klv::package;
using klv::tools::WriteText;

namespace {

constexpr int kExitPackage = 96;

FlashOutcome Refused(const std::string& why) {
    return {kExitPackage, "ERROR! 96", why + " It was not installed."};
}

CLI::Validator NotEmpty() {
    return CLI::Validator(
        [](const std::string& value) {
            return value.empty() ? std::string("an empty value names nothing") : std::string();
        },
        "NOT EMPTY");
}

}  // namespace

void AddPackageTrustOptions(CLI::App& app, PackageTrustOptions& options) {
    CLI::Option* list = app.get_option_no_throw("--list");
    CLI::Option* require = app.add_flag(
        "--require-digest", options.requireDigest,
        "Refuse a package that carries no digest (exit status 96)");
    CLI::Option* trust = app.add_option(
        "--trust", options.trust,
        "Public key (PEM, from klvpkg keygen); the package must be signed by one of the keys "
        "given (repeatable; exit status 96 otherwise)")
        ->check(NotEmpty());
    if (list != nullptr) {
        require->excludes(list);
        trust->excludes(list);
    }
}

std::optional<FlashOutcome> CheckPackageTrust(const std::vector<uint8_t>* fileBytes,
                                              const PackageTrustOptions& options) {
    std::vector<PublicKey> trusted;
    for (const std::string& path : options.trust) {
        std::string error;
        auto key = PublicKey::Load(path, error);
        if (!key) {
            WriteText(stderr, "klvflash: --trust " + error + "\n");
            return FlashOutcome{FlashExitUsage, "", ""};
        }
        trusted.push_back(std::move(*key));
    }

    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (fileBytes != nullptr) {
        if (fileBytes->size() > UINT32_MAX) {
            return Refused("The package is larger than any package can be.");
        }
        bytes = fileBytes->data();
        size = static_cast<uint32_t>(fileBytes->size());
    } else if (!FindEmbeddedPackage(&bytes, &size) || bytes == nullptr || size == 0) {
        return std::nullopt;
    }

    const IntegrityReport report = CheckIntegrity(bytes, size, !trusted.empty());
    switch (report.verdict) {
        case Integrity::Mismatch:
            return Refused("The package is damaged: " + report.reason +
                           ". Use an intact copy of the package.");
        case Integrity::Absent:
            if (options.requireDigest) {
                return Refused(
                    "The package carries no digest, so damage to it cannot be ruled out "
                    "(--require-digest).");
            }
            WriteText(stderr,
                      "klvflash: warning: the package carries no digest; damage to it cannot "
                      "be detected\n");
            break;
        case Integrity::Verified:
            break;
    }

    switch (CheckTrust(report, trusted)) {
        case Trust::NotChecked:
        case Trust::Trusted:
            return std::nullopt;
        case Trust::Unsigned:
            return Refused("The package is not signed, and --trust asks for a signed one.");
        case Trust::OtherKey:
            return Refused("The package is signed by another key (" +
                           FingerprintHex(report.signature->fingerprint) +
                           "), not by one given with --trust.");
        case Trust::BadSignature:
            return Refused("The package's signature does not verify against the trusted key " +
                           FingerprintHex(report.signature->fingerprint) + ".");
        case Trust::Damaged:
            break;
    }
    return Refused("The package is damaged.");
}
