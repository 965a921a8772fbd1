#include <windows.h>

#include "platform/resource_exception.h"
#include "platform/system_mutex.h"

// A Windows mutex already has every property we rely on: owned by a thread,
// recursive for its owner, a timed wait, WAIT_ABANDONED when its owner ended holding
// it, and ReleaseMutex fails for a thread that does not own it.
struct SystemMutex::Impl {
    HANDLE handle = nullptr;
};

SystemMutex::SystemMutex() : impl(std::make_unique<Impl>()) {
    impl->handle = CreateMutexW(nullptr, FALSE, nullptr);
    if (impl->handle == nullptr) {
        throw ResourceException("mutex cannot be created");
    }
}

SystemMutex::~SystemMutex() {
    CloseHandle(impl->handle);
}

bool SystemMutex::Acquire(int timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD result = WaitForSingleObject(impl->handle, wait);
    // An abandoned mutex is owned by the caller now, like a normal acquire.
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool SystemMutex::Release() {
    return ReleaseMutex(impl->handle) != FALSE;
}
