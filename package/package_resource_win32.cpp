// On Windows the package is the resource FWRES 134 of the program's own module.
#include <windows.h>

#include "package/package_resource.h"

namespace {
constexpr WORD kPackageResourceId = 134;
}

bool FindEmbeddedPackage(const uint8_t** bytes, uint32_t* size) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(kPackageResourceId), L"FWRES");
    if (found == nullptr) {
        return false;
    }
    const DWORD length = SizeofResource(nullptr, found);
    if (length == 0) {
        return false;
    }
    // Resources of the program's own module stay mapped for the life of the process;
    // there is nothing to free.
    HGLOBAL loaded = LoadResource(GetModuleHandleW(nullptr), found);
    if (loaded == nullptr) {
        return false;
    }
    const void* locked = LockResource(loaded);
    if (locked == nullptr) {
        return false;
    }
    *bytes = static_cast<const uint8_t*>(locked);
    *size = length;
    return true;
}
