#include "tools/common/text_sink.h"

#include "tools/common/console.h"
#include "tools/common/progress_meter.h"

namespace klv::tools {

TextSink::TextSink(std::FILE* messages, std::FILE* progress, bool progressOnTerminal)
    : messages(messages), progress(progress), terminal(progressOnTerminal) {}

void TextSink::EndLineLocked() {
    if (lineOpen) {
        WriteText(progress, "\n");
        lineOpen = false;
    }
}

void TextSink::Message(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (messages == progress) {
        EndLineLocked();
    }
    WriteText(messages, line + "\n");
}

void TextSink::Warning(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex);
    EndLineLocked();
    WriteText(progress, line + "\n");
}

void TextSink::PhaseStarted(SessionPhase phase) {
    if (phase == SessionPhase::Transfer) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            loadingStart = now();
        }
        Message("NOW LOADING");
    } else if (phase == SessionPhase::Finish) {
        const std::lock_guard<std::mutex> lock(mutex);
        EndLineLocked();
        if (!terminal) {
            WriteText(progress,
                      "finishing: the instrument stores the firmware (about 10 s); keep it "
                      "connected\n");
        }
    }
}

void TextSink::Progress(uint64_t sent, uint64_t total) {
    const std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point at = now();
    const double seconds = std::chrono::duration<double>(at - loadingStart).count();
    if (terminal) {
        const bool last = sent >= total;
        if (drawn && !last && at - lastDraw < kRedrawInterval) {
            return;
        }
        drawn = true;
        lastDraw = at;
        WriteText(progress, "\r" + ProgressLine(sent, total, seconds, TerminalColumns(progress)));
        lineOpen = true;
        return;
    }
    const int tenth = total == 0 ? 10 : static_cast<int>(sent * 10 / total);
    if (tenth <= lastTenth) {
        return;
    }
    lastTenth = tenth;
    WriteText(progress, ProgressLine(sent, total, seconds) + "\n");
}

void TextSink::FinishWait(int msLeft, int /*msTotal*/) {
    if (!terminal) {
        return;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    const int secondsLeft = (msLeft + 999) / 1000;
    if (secondsLeft == lastSecondsLeft) {
        return;
    }
    lastSecondsLeft = secondsLeft;
    char line[96];
    std::snprintf(line, sizeof line,
                  "\rfinishing: the instrument stores the firmware, keep it connected: %2d s ",
                  secondsLeft);
    WriteText(progress, line);
    lineOpen = true;
    if (secondsLeft == 0) {
        EndLineLocked();
    }
}

}  // namespace klv::tools
