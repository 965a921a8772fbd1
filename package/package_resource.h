#pragma once
// Where the embedded package lives: a resource of the Windows module, or bytes linked
// into the program on Linux. One implementation per OS; tests link a fake.

#include <cstdint>

// Points bytes/size at the embedded package. False when there is none, it cannot be
// loaded, or it is empty. The bytes stay valid for the life of the process.
bool FindEmbeddedPackage(const uint8_t** bytes, uint32_t* size);

namespace klv::package {
enum class Integrity;
// The digest verdict on the embedded package (Absent when there is none). Checked once,
// after LoadFromResource, by the programs that install it.
Integrity EmbeddedPackageIntegrity();
}  // namespace klv::package
