#include "tools/klvsim/run_summary.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tools/sim/fault_names.h"

namespace {

std::string Sha256(const std::vector<uint8_t>& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return "(unavailable)";
    }
    std::string text;
    char hex[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        text += hex;
    }
    return text;
}

std::string EndText(const RunEnding& ending) {
    switch (ending.end) {
        case EngineEnd::Finished:
            return "the finish command was acknowledged";
        case EngineEnd::IdleTimeout:
            return "nothing arrived for " + std::to_string(ending.idleSeconds) + " s";
        case EngineEnd::StreamClosed:
            if (ending.signal != 0) {
                return std::string("interrupted by ") + (ending.signal == 2 ? "SIGINT" : "SIGTERM");
            }
            return "the line closed";
        case EngineEnd::Gone:
            return "the instrument went away (fault)";
        case EngineEnd::Stopped:
        case EngineEnd::Running:
            break;
    }
    return "stopped";
}

std::string ImageLine(int number, bool started, uint32_t announced,
                      const std::vector<uint8_t>& bytes, bool ended) {
    std::string line = "image " + std::to_string(number) + ": ";
    if (!started) {
        return line + "not sent";
    }
    line += std::to_string(bytes.size()) + " of " + std::to_string(announced) +
            " announced bytes, " + (ended ? "ended" : "not ended") + ", sha256 " + Sha256(bytes);
    return line;
}

// Why the received images differ from the package, or empty when they match.
std::string Mismatch(const InstrumentReport& r, const FWPackage& package) {
    std::string why;
    auto add = [&why](const std::string& text) { why += (why.empty() ? "" : "; ") + text; };
    auto compare = [&](int number, bool started, bool ended, const std::vector<uint8_t>& got,
                       const FWImage& want) {
        const std::string name = "image " + std::to_string(number);
        if (want.empty()) {
            if (started) {
                add(name + " was sent, but the package has none");
            }
            return;
        }
        if (!started) {
            add(name + " was not sent");
        } else if (!ended) {
            add(name + " was not ended");
        } else if (got.size() != want.length) {
            add(name + " has " + std::to_string(got.size()) + " bytes, the package " +
                std::to_string(want.length));
        } else if (std::memcmp(got.data(), want.data.get(), want.length) != 0) {
            add(name + " differs from the package's");
        }
    };
    compare(2, r.image2Started, r.image2Ended, r.image2, package.image2);
    compare(1, r.image1Started, r.image1Ended, r.image1, package.image1);
    return why;
}

}  // namespace

std::vector<std::string> FaultsNotReached(const std::vector<Fault>& asked,
                                          const std::vector<std::string>& struck) {
    std::vector<std::string> left = struck;
    std::vector<std::string> missing;
    for (const Fault& fault : asked) {
        const std::string name = klv::sim::FaultName(fault);
        const auto found = std::find(left.begin(), left.end(), name);
        if (found != left.end()) {
            left.erase(found);
        } else {
            missing.push_back(name);
        }
    }
    return missing;
}

int PrintSummary(std::FILE* out, const InstrumentEngine& engine, const FWPackage* package,
                 const RunEnding& ending, bool quiet) {
    const InstrumentReport r = engine.Report();
    const bool compared = package != nullptr && r.finished;
    const bool matches = compared && engine.ImagesMatch(*package);
    const bool ok = r.violations.empty() && (!compared || matches);
    const std::vector<std::string> notReached = FaultsNotReached(ending.faultsAsked, r.faultsStruck);

    if (!quiet) {
        std::fprintf(out, "end: %s\n", EndText(ending).c_str());
        std::fprintf(out, "connections: %d\n", r.syncs);
        std::fprintf(out, "packets: %d\n", r.packetsReceived);
        if (!ending.linkLine.empty()) {
            std::fprintf(out, "%s\n", ending.linkLine.c_str());
        }
        std::fprintf(
            out, "%s\n",
            ImageLine(2, r.image2Started, r.image2Announced, r.image2, r.image2Ended).c_str());
        std::fprintf(
            out, "%s\n",
            ImageLine(1, r.image1Started, r.image1Announced, r.image1, r.image1Ended).c_str());
        std::fprintf(out, "finish: %s\n", r.finished ? "acknowledged" : "not received");
        if (package == nullptr) {
            std::fprintf(out, "images: not compared (no package)\n");
        } else if (r.image1Started || r.image2Started) {
            const std::string why = Mismatch(r, *package);
            std::fprintf(out, "images: %s%s\n",
                         why.empty() ? "match the package" : "differ: ", why.c_str());
        } else {
            std::fprintf(out, "images: none received\n");
        }
        for (const auto& fault : r.faultsStruck) {
            std::fprintf(out, "fault: %s\n", fault.c_str());
        }
        for (const auto& fault : notReached) {
            std::fprintf(out, "fault not reached: %s\n", fault.c_str());
        }
        if (r.violations.empty()) {
            std::fprintf(out, "violations: none\n");
        }
        // A host that gets one rule wrong usually gets it wrong in every chunk.
        constexpr size_t kShown = 20;
        for (size_t i = 0; i < r.violations.size() && i < kShown; ++i) {
            std::fprintf(out, "violation: %s\n", r.violations[i].c_str());
        }
        if (r.violations.size() > kShown) {
            std::fprintf(out, "violation: ... and %zu more\n", r.violations.size() - kShown);
        }
    }
    std::string unreached;
    for (const auto& fault : notReached) {
        unreached += (unreached.empty() ? "" : ", ") + fault;
    }
    if (ok && notReached.empty()) {
        std::fprintf(out, "verdict: ok\n");
    } else if (ok) {
        // The host did nothing wrong, but the case the fault was meant to exercise never
        // happened: a test must not pass on it unnoticed.
        std::fprintf(out, "verdict: NOT EXERCISED (fault%s not reached: %s)\n",
                     notReached.size() == 1 ? "" : "s", unreached.c_str());
        std::fflush(out);
        return ExitFaultNotReached;
    } else {
        std::fprintf(out, "verdict: FAILED (%zu violation%s%s%s%s)\n", r.violations.size(),
                     r.violations.size() == 1 ? "" : "s",
                     compared && !matches ? ", images differ from the package" : "",
                     unreached.empty() ? "" : "; not reached: ", unreached.c_str());
    }
    std::fflush(out);
    return ok ? ExitOk : ExitHostFault;
}
