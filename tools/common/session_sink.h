#pragma once
// What an update session tells while it runs. The session never prints: a tool picks a
// sink (the terminal, plain lines, nothing for JSON) that renders these events. Events
// come on the thread that runs the session.

#include <cstdint>

namespace klv::tools {

enum class SessionPhase {
    Found,       // the port was chosen and opened
    Connected,   // link checked, packet size learnt
    Identified,  // the model reported
    Versions,    // the version list read
    Transfer,    // the two images
    Finish,      // the finish command and the wait while the instrument stores them
    Result,
};

const char* PhaseName(SessionPhase phase);

class SessionSink {
  public:
    virtual ~SessionSink() = default;
    // A phase begins; Result is never begun, it is the end.
    virtual void PhaseStarted(SessionPhase) {}
    // Image bytes acknowledged so far, of total.
    virtual void Progress(uint64_t /*sent*/, uint64_t /*total*/) {}
    // During the finish wait: how long it still lasts.
    virtual void FinishWait(int /*msLeft*/, int /*msTotal*/) {}
};

}  // namespace klv::tools
