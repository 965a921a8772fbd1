// Kept apart from the reader so that a program which only parses packages (the tools,
// most tests) links without any embedded package.
#include "package/fw_package.h"
#include "package/package_integrity.h"
#include "package/package_resource.h"

bool FWPackage::LoadFromResource() {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (!FindEmbeddedPackage(&bytes, &size) || bytes == nullptr || size == 0) {
        return false;
    }
    Parse(bytes, size);
    return true;
}

klv::package::Integrity klv::package::EmbeddedPackageIntegrity() {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (!FindEmbeddedPackage(&bytes, &size) || bytes == nullptr || size == 0) {
        return Integrity::Absent;
    }
    return CheckIntegrity(bytes, size).verdict;
}
