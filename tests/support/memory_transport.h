#pragma once
// MemoryTransport: the host side of a MemoryLink as an MTAccessInterface, for tests and
// benchmarks that run the protocol against a peer in the same process (the instrument
// engine, or a test thread playing the instrument).
//
//   MemoryLink link;
//   MemoryTransport port(link.host());
//   protocol.transport = &port;          // the peer reads and writes link.device()
//
// It behaves like the serial port where the protocol can tell:
// - Lock takes a recursive lock, waiting at most lockTimeoutMs (500 ms like the serial
//   port). With failLock set, Lock fails at once. Unlock from a thread that does
//   not hold the lock returns false and changes nothing.
// - Send writes all bytes (0), or fails with 1 once the cable is pulled.
// - Recv gathers bytes until count have arrived (0) or timeoutMs has passed (2); 1 when
//   the cable is pulled. `received`, if given, gets the bytes read.
// - Close makes later Send and Recv return 4 (port not open), and a Recv waiting at that
//   moment returns 4 within one short slice (kCloseSliceMs). Reopen undoes it.
// - IsRecvEmpty and Purge look at the bytes waiting at this end; the bytes already sent
//   have reached the other end and cannot be taken back.
// Every operation is safe to call from any thread. The counters are for assertions and
// figures.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "protocol/mt_access_interface.h"
#include "tools/sim/memory_link.h"

class MemoryTransport final : public MTAccessInterface {
  public:
    static constexpr int kNotOpen = 4;
    static constexpr int kCloseSliceMs = 10;

    explicit MemoryTransport(MemoryLink::End& end) : end(end) {}
    MemoryTransport(const MemoryTransport&) = delete;
    MemoryTransport& operator=(const MemoryTransport&) = delete;

    bool Lock() override;
    bool Unlock() override;
    int Send(const uint8_t* data, int count, int timeoutMs) override;
    int Recv(uint8_t* buffer, int count, int* received, int timeoutMs) override;
    int Close() override;
    bool IsRecvEmpty() override;
    void Purge() override;

    void Reopen() { closed.store(false); }
    bool IsClosed() const { return closed.load(); }

    std::atomic<int> lockTimeoutMs{500};
    std::atomic<bool> failLock{false};

    struct Counters {
        std::atomic<int> locks{0};         // Lock calls that obtained the lock
        std::atomic<int> lockFailures{0};  // Lock calls that did not
        std::atomic<int> unlocks{0};       // Unlock calls that released it
        std::atomic<int> sends{0};
        std::atomic<long long> bytesSent{0};
        std::atomic<int> recvs{0};  // counted on entry, so a test can see one waiting
        std::atomic<long long> bytesReceived{0};
        std::atomic<int> closes{0};
        std::atomic<int> purges{0};
    };
    Counters counters;

  private:
    MemoryLink::End& end;
    // A recursive lock with a timed wait, built on a condition variable: the sanitizers
    // on this platform do not see the timed lock of std::recursive_timed_mutex.
    std::mutex lockState;
    std::condition_variable lockReleased;
    std::thread::id owner;
    int depth = 0;
    std::atomic<bool> closed{false};
};
