#pragma once
// Stands in for the embedded package in tests: FindEmbeddedPackage hands out whatever
// was set here. Link klv_package_resource_fake instead of the real resource library.

#include <cstdint>

// A null pointer means "this program has no package". The bytes must outlive the use.
void SetFakeEmbeddedPackage(const uint8_t* bytes, uint32_t size);
// Called by every lookup before it hands the package out, on the looking-up thread
// (the updater's worker): a test can hold the package step there. nullptr: none.
void SetFakeEmbeddedPackageLookupHook(void (*hook)());
