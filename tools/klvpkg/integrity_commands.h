#pragma once
// klvpkg's integrity side: the digest and signature options of `build`, the integrity
// lines of `inspect`, and the commands `extract`, `keygen` and `verify`.

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "package/package_signing.h"
#include "package/package_writer.h"

struct IntegrityCli {
    // build
    bool noDigest = false;
    std::string signKey;
    // inspect and verify
    std::vector<std::string> trust;
    // verify
    std::string verifyPath;
    bool requireDigest = false;
    // extract
    std::string extractPath;
    std::string image1Out;
    std::string image2Out;
    bool force = false;
    // keygen
    std::string keyOut;
    bool keyForce = false;

    CLI::App* extract = nullptr;
    CLI::App* keygen = nullptr;
    CLI::App* verify = nullptr;
};

// Adds the options to `build` and `inspect` and the three commands to `app`.
void AddIntegrityCommands(CLI::App& app, CLI::App& build, CLI::App& inspect, IntegrityCli& cli);

// The exit status when one of extract, keygen or verify was asked for.
std::optional<int> RunIntegrityCommand(const IntegrityCli& cli, std::ostream& out,
                                       std::ostream& err);

// Applies --no-digest and --sign to the contents. The key read for --sign is kept in
// `signing` for as long as the build runs. False, with `error` set, when refused.
bool ApplyBuildIntegrity(const IntegrityCli& cli, klv::package::PackageContents& contents,
                         std::optional<klv::package::KeyPair>& signing, std::string& error);

// What inspect adds: text lines after the summary, and keys after the JSON's own.
struct IntegrityInspection {
    std::string lines;
    nlohmann::ordered_json json;
};
// Nothing, with `error` set, when a --trust key cannot be used.
std::optional<IntegrityInspection> InspectIntegrity(const std::vector<uint8_t>& bytes,
                                                    const IntegrityCli& cli, std::string& error);

