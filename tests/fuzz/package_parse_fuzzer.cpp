// Parse and the digest check take bytes that nobody here controls: whatever they are,
// they must stay inside the package and their own buffers (the sanitizers watch that),
// never write their input (libFuzzer checks that), end, and leave a descriptor that
// keeps its own rules.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/fw_package.h"
#include "package/package_integrity.h"

namespace {

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    const auto length = static_cast<uint32_t>(size);
    FWPackage package;
    package.Parse(data, length);

    // The digest check reads the same untrusted bytes, through the scrambled words.
    const klv::package::IntegrityReport report = klv::package::CheckIntegrity(data, length, true);
    Check(report.verdict != klv::package::Integrity::Verified ||
          (report.stored && report.computed && *report.stored == *report.computed));
    Check((report.verdict == klv::package::Integrity::Mismatch) == !report.reason.empty());

    Check(package.image1.length < length || package.image1.empty());
    Check(package.image2.length < length || package.image2.empty());
    Check(package.image1.empty() || package.image1.data != nullptr);
    Check(package.image2.empty() || package.image2.data != nullptr);
    Check(std::memchr(package.versionText, 0, sizeof(package.versionText)) != nullptr);
    for (const VersionPrefix& entry : package.versionPrefixes) {
        Check(entry.prefixLength >= 1 && entry.prefixLength <= FWPackage::kPrefixMax);
        Check(entry.prefix[entry.prefixLength - 1] != 0);
        // Every prefix matches itself.
        Check(package.MatchVersionPrefix(entry.prefix, entry.prefixLength));
    }
    Check(!package.IsUsable() || package.valid);
    package.MatchVersionPrefix(data, static_cast<int32_t>(length > 64 ? 64 : length));

    // Unscramble on its own, on a working copy as Parse makes one.
    std::vector<uint8_t> copy(data, data + size);
    FWPackage::Unscramble(copy.data(), length);

    package.Release();
    return 0;
}
