#pragma once
// The instrument's end of a serial line on Linux: a fresh pseudo-terminal, or a device
// given by path. Reads and writes also watch SIGINT and SIGTERM, so that a signal ends
// the run like a closed line and klvsim can still give its verdict.

#include <string>

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
};
