#pragma once
// Reads the operator's answer line by line without ever blocking longer than asked, so
// that the question can also watch for an interrupt and for the port going away.
// One implementation per OS (answer_reader_posix.cpp).

#include <string>

enum class AnswerEvent {
    Line,        // a whole line (without its end)
    EndOfInput,  // no more input; a last line without its end comes as Line first
    Nothing,     // nothing within the wait
};

class AnswerReader {
  public:
    explicit AnswerReader(int fd) : fd(fd) {}
    AnswerEvent Next(std::string& line, int waitMs);

  private:
    int fd;
    std::string pending;
    bool ended = false;
};
