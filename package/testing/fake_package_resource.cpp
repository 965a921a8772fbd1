#include "package/testing/fake_package_resource.h"

#include <atomic>

#include "package/package_resource.h"

namespace {
std::atomic<const uint8_t*> fakeBytes{nullptr};
std::atomic<uint32_t> fakeSize{0};
std::atomic<void (*)()> lookupHook{nullptr};
}  // namespace

void SetFakeEmbeddedPackage(const uint8_t* bytes, uint32_t size) {
    fakeSize = size;
    fakeBytes = bytes;
}

// Hands out the size as it was set, 0 included, so that the caller's own checks are
// exercised too.
void SetFakeEmbeddedPackageLookupHook(void (*hook)()) {
    lookupHook = hook;
}

bool FindEmbeddedPackage(const uint8_t** bytes, uint32_t* size) {
    if (void (*const hook)() = lookupHook.load()) {
        hook();
    }
    const uint8_t* current = fakeBytes;
    if (current == nullptr) {
        return false;
    }
    *bytes = current;
    *size = fakeSize;
    return true;
}
