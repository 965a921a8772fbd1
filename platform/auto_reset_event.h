#pragma once
// An unnamed auto-reset event: each Set wakes one Wait once.

#include <memory>

class AutoResetEvent {
public:
    AutoResetEvent();  // throws ResourceException when the system object cannot be made
    ~AutoResetEvent();
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();
    void Wait();  // no time limit

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
