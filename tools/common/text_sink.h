#pragma once
// Renders a session for a person: the messages as lines, the progress and the finish
// wait redrawn in place on a terminal (at most about ten times a second), or as plain
// lines when the output is a file or a pipe (one every 10 %, one for the wait).
// Thread-safe: a warning may come from the interrupt thread while the progress draws.

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "tools/common/session_sink.h"

namespace klv::tools {

class TextSink final : public SessionSink {
  public:
    using Clock = std::chrono::steady_clock;

    // messages: the lines of the run; progress: the progress and the warnings.
    TextSink(std::FILE* messages, std::FILE* progress, bool progressOnTerminal);

    void PhaseStarted(SessionPhase phase) override;
    void Progress(uint64_t sent, uint64_t total) override;
    void FinishWait(int msLeft, int msTotal) override;

    // One line on the messages stream.
    void Message(const std::string& line);
    // One line on the progress stream, after the progress line in place is ended.
    void Warning(const std::string& line);

    // The clock the redraws are paced by; tests replace it.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    static constexpr std::chrono::milliseconds kRedrawInterval{100};

  private:
    void EndLineLocked();

    std::mutex mutex;
    std::FILE* const messages;
    std::FILE* const progress;
    const bool terminal;
    bool lineOpen = false;  // a line drawn in place is on the screen
    Clock::time_point loadingStart{};
    Clock::time_point lastDraw{};
    bool drawn = false;
    int lastTenth = 0;        // plain lines: the last multiple of 10 % printed
    int lastSecondsLeft = -1;
};

}  // namespace klv::tools
