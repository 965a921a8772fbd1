#include "tools/common/text_sink.h"

#include "tools/common/progress_meter.h"

namespace klv::tools {

TextSink::TextSink(std::FILE* messages, std::FILE* progress, bool progressOnTerminal)
    : messages(messages), progress(progress), terminal(progressOnTerminal) {}

void TextSink::EndLineLocked() {
    if (lineOpen) {
        std::fputc('\n', progress);
        lineOpen = false;
    }
}

void TextSink::Message(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (messages == progress) {
        EndLineLocked();
    }
    std::fprintf(messages, "%s\n", line.c_str());
    std::fflush(messages);
}

void TextSink::Warning(const std::string& line) {
    const std::lock_guard<std::mutex> lock(mutex);
    EndLineLocked();
    std::fprintf(progress, "%s\n", line.c_str());
    std::fflush(progress);
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
            std::fprintf(progress,
                         "finishing: the instrument stores the firmware (about 10 s); keep it "
                         "connected\n");
            std::fflush(progress);
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
        std::fprintf(progress, "\r%s", ProgressLine(sent, total, seconds).c_str());
        lineOpen = true;
        std::fflush(progress);
        return;
    }
    const int tenth = total == 0 ? 10 : static_cast<int>(sent * 10 / total);
    if (tenth <= lastTenth) {
        return;
    }
    lastTenth = tenth;
    std::fprintf(progress, "%s\n", ProgressLine(sent, total, seconds).c_str());
    std::fflush(progress);
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
    std::fprintf(progress,
                 "\rfinishing: the instrument stores the firmware, keep it connected: %2d s ",
                 secondsLeft);
    lineOpen = true;
    if (secondsLeft == 0) {
        EndLineLocked();
    }
    std::fflush(progress);
}

}  // namespace klv::tools
