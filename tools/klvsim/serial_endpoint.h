#pragma once
// The instrument's end of a serial line on Linux: a fresh pseudo-terminal, or a device
// given by path. Reads and writes also watch SIGINT and SIGTERM, so that a signal ends
// the run like a closed line and klvsim can still give its verdict.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/sim/byte_stream.h"

class SerialEndpoint : public ByteStream {
  public:
    SerialEndpoint() = default;
    SerialEndpoint(const SerialEndpoint&) = delete;
    SerialEndpoint& operator=(const SerialEndpoint&) = delete;
    ~SerialEndpoint() override;

    // Opens a pseudo-terminal; the host opens SlavePath(). With a non-empty link, also
    // points a symbolic link there (replacing an older symbolic link, never a file).
    bool OpenPseudoTerminal(const std::string& link, std::string* error);
    // Opens a serial device (or another pty's end) in raw mode.
    bool OpenDevice(const std::string& path, std::string* error);

    // Where the host should open the line.
    const std::string& HostPath() const { return hostPath; }

    // Waits, at most maxMs, until the host has read what the instrument sent: closing a
    // pseudo-terminal discards what is still waiting for the host (the last
    // acknowledgement, say).
    void Drain(int maxMs);

    // The instrument goes away: closes both ends and removes the link, so the host sees
    // the line hang up.
    void Close();

    int Read(uint8_t* buffer, int count, int timeoutMs) override;
    bool Write(const uint8_t* data, int count) override;

    // Waits ms milliseconds, or less when SIGINT or SIGTERM arrives meanwhile (a reply
    // delay must not hold up the end of the run). True when a signal ended the wait.
    bool PauseUnlessSignalled(int ms);

    // The signal that ended the run, or 0.
    int Signal() const { return signal; }

  private:
    bool WatchSignals(std::string* error);
    void RemoveLink();

    int fd = -1;
    // Held by the instrument itself, so the pseudo-terminal never hangs up when the
    // host closes its port and opens it again.
    int slaveFd = -1;
    int signalFd = -1;
    int signal = 0;
    std::string hostPath;
    std::string linkPath;
    // What one system read brought beyond what the engine asked for: the engine reads a
    // header and then its payload, and the two usually arrive together.
    std::vector<uint8_t> received = std::vector<uint8_t>(65536);
    size_t receivedAt = 0;
    size_t receivedEnd = 0;
};
