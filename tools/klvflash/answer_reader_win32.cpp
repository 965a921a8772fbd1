// Windows has no poll() for a console or a pipe: one reader thread blocks on standard
// input and hands over what it reads; Next waits for it with a time-out. The thread is
// never joined: a read that never returns ends with the process.

#include <windows.h>
#include <io.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/klvflash/answer_reader.h"

namespace {

struct Input {
    std::mutex mutex;
    std::condition_variable arrived;
    std::string bytes;
    bool ended = false;
};

std::shared_ptr<Input> StartReader(int fd) {
    auto input = std::make_shared<Input>();
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    std::thread([input, handle] {
        char buffer[256];
        for (;;) {
            DWORD n = 0;
            const bool ok = handle != INVALID_HANDLE_VALUE &&
                            ReadFile(handle, buffer, sizeof buffer, &n, nullptr);
            const std::lock_guard<std::mutex> lock(input->mutex);
            if (!ok || n == 0) {
                input->ended = true;
                input->arrived.notify_all();
                return;
            }
            input->bytes.append(buffer, n);
            input->arrived.notify_all();
        }
    }).detach();
    return input;
}

// One reader per process: the answers all come from standard input.
std::shared_ptr<Input> ReaderOf(int fd) {
    static std::mutex startMutex;
    static std::shared_ptr<Input> reader;
    const std::lock_guard<std::mutex> lock(startMutex);
    if (!reader) {
        reader = StartReader(fd);
    }
    return reader;
}

}  // namespace

AnswerEvent AnswerReader::Next(std::string& line, int waitMs) {
    const std::shared_ptr<Input> input = ReaderOf(fd);
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();  // a console line ends with CR LF
            }
            return AnswerEvent::Line;
        }
        if (ended) {
            if (!pending.empty()) {
                line.swap(pending);
                pending.clear();
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return AnswerEvent::Line;
            }
            return AnswerEvent::EndOfInput;
        }
        std::unique_lock<std::mutex> lock(input->mutex);
        if (input->bytes.empty() && !input->ended &&
            !input->arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                                     [&] { return !input->bytes.empty() || input->ended; })) {
            return AnswerEvent::Nothing;
        }
        pending += input->bytes;
        input->bytes.clear();
        ended = input->ended;
        waitMs = 0;
    }
}
