// On Linux the package is linked into the program as read-only data; the two symbols
// come from the assembler file that klv_embed_package() generates for the program.
#include "package/package_resource.h"

#include <cstddef>

extern "C" {
extern const uint8_t klv_embedded_package_begin[];
extern const uint8_t klv_embedded_package_end[];
}

bool FindEmbeddedPackage(const uint8_t** bytes, uint32_t* size) {
    const std::ptrdiff_t length = klv_embedded_package_end - klv_embedded_package_begin;
    if (length <= 0 || static_cast<uint64_t>(length) > UINT32_MAX) {
        return false;
    }
    *bytes = klv_embedded_package_begin;
    *size = static_cast<uint32_t>(length);
    return true;
}
