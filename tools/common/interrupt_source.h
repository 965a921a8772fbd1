#pragma once
// Delivers the operator's interrupts to a handler on a thread of its own: Ctrl-C as
// Interrupt; a termination request or the terminal going away as Terminate. While it
// exists those signals no longer end the process by themselves, and no system call of
// another thread is interrupted by them. One implementation per OS
// (interrupt_source_posix.cpp: SIGINT, SIGTERM and SIGHUP through a signalfd).

#include <functional>
#include <memory>

#include "tools/common/interrupt_state.h"

namespace klv::tools {

class InterruptSource {
  public:
    using Handler = std::function<void(InterruptKind)>;
    // Must be made before any other thread starts, so that they all inherit the mask.
    // Nothing when the signals cannot be watched.
    static std::unique_ptr<InterruptSource> Start(Handler handler);
    virtual ~InterruptSource() = default;
};

}  // namespace klv::tools
