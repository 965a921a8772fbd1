#pragma once
// What an interrupt means at each stage of an update. Portable: the signals (or, on
// Windows, the console control events) are turned into InterruptKind by a source of
// their own and fed in here.
//
// Before the transfer nothing has been written: any interrupt stops at once. During the
// transfer the instrument is being written: the first Ctrl-C only warns; a second one
// within the repeat window, or a termination request, stops between two packets. During
// the finish wait the instrument stores its firmware: every interrupt only warns.

#include <chrono>
#include <mutex>

namespace klv::tools {

enum class InterruptKind {
    Interrupt,  // Ctrl-C
    Terminate,  // a termination request, or the terminal went away
};

enum class UpdateStage { Before, Transfer, Finishing, Over };

enum class InterruptAction {
    None,           // after the run, or a stop already requested
    WarnTransfer,   // tell what stopping now would do; the transfer goes on
    WarnFinishing,  // tell to keep the instrument connected; the wait goes on
    Stop,           // stop now (before the transfer) or between packets (during it)
};

class InterruptState {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kRepeatWindow{3000};

    void SetStage(UpdateStage stage);
    UpdateStage Stage() const;
    InterruptAction OnInterrupt(InterruptKind kind, Clock::time_point now);
    bool StopRequested() const;
    // 130 after Ctrl-C, 143 after a termination request; 0 while none stopped the run.
    int StopExitStatus() const;

  private:
    mutable std::mutex mutex;
    UpdateStage stage = UpdateStage::Before;
    bool warned = false;
    Clock::time_point warnedAt{};
    bool stopRequested = false;
    int stopStatus = 0;
};

}  // namespace klv::tools
