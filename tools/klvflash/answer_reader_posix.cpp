#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "tools/klvflash/answer_reader.h"

AnswerEvent AnswerReader::Next(std::string& line, int waitMs) {
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return AnswerEvent::Line;
        }
        if (ended) {
            if (!pending.empty()) {
                line.swap(pending);
                pending.clear();
                return AnswerEvent::Line;
            }
            return AnswerEvent::EndOfInput;
        }
        pollfd input{fd, POLLIN, 0};
        const int ready = poll(&input, 1, waitMs);
        if (ready < 0 && errno == EINTR) {
            return AnswerEvent::Nothing;
        }
        if (ready == 0) {
            return AnswerEvent::Nothing;
        }
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            return AnswerEvent::Nothing;
        }
        if (n <= 0) {
            ended = true;
            continue;
        }
        pending.append(buffer, static_cast<size_t>(n));
        waitMs = 0;
    }
}
