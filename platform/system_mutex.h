#pragma once
// A mutex owned by a thread: recursive for its owner, acquirable with a time limit,
// acquirable also after its owner thread ended without releasing it, and not
// releasable by another thread. A Windows mutex on Windows, a robust recursive pthread
// mutex elsewhere.

#include <memory>

class SystemMutex {
public:
    SystemMutex();  // throws ResourceException when the system object cannot be made
    ~SystemMutex();
    SystemMutex(const SystemMutex&) = delete;
    SystemMutex& operator=(const SystemMutex&) = delete;

    // Waits at most timeoutMs (negative: no limit). True when the caller now owns it.
    bool Acquire(int timeoutMs);
    // False when the calling thread does not own it.
    bool Release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
