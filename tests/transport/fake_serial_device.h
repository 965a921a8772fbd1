#pragma once
// A system device in memory for the port's tests: it answers reads from a script (and
// at once with nothing once the script is used up), records every call in order, can
// hold a read or write until the test lets it go, and notices any call that overlaps
// its Close.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "transport/serial_device.h"

class FakeSerialDevice : public SerialDevice {
  public:
    struct ScriptedRead {
        bool ok = true;
        std::string bytes;
    };

    // Everything the test looks at, shared with the device after it moved into a port.
    struct State {
        std::mutex mutex;
        std::condition_variable changed;

        bool openSucceeds = true;
        int failWriteNumber = 0;  // the nth WriteSome (from 1) fails; 0: none fails
        bool inputWaiting = false;
        std::deque<ScriptedRead> reads;

        // Hold ReadSome / WriteSome until Release(); an Interrupt lets them go early
        // unless ignoreInterrupt is set (a call that does not wake).
        bool holdCalls = false;
        bool ignoreInterrupt = false;
        bool released = false;
        bool interrupted = false;

        bool isOpen = false;
        int opens = 0;
        int closes = 0;
        int readCalls = 0;
        int prepareReads = 0;
        int inFlight = 0;
        int callsInFlightAtClose = 0;
        int callsOnClosedDevice = 0;
        std::string written;              // the bytes of every successful write
        std::vector<std::string> events;  // "prepare-write", "write 63", "pause 100", ...

        void Release() {
            std::lock_guard lock(mutex);
            released = true;
            changed.notify_all();
        }
        void WaitUntilInFlight() {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return inFlight > 0; });
        }
        template <typename T>
        T Get(T State::*field) {
            std::lock_guard lock(mutex);
            return this->*field;
        }
    };

    explicit FakeSerialDevice(State& state) : s(state) {}

    bool Open(const std::u16string&) override {
        std::lock_guard lock(s.mutex);
        ++s.opens;
        s.isOpen = s.openSucceeds;
        s.interrupted = false;
        return s.openSucceeds;
    }
    void Close() override {
        std::lock_guard lock(s.mutex);
        s.callsInFlightAtClose += s.inFlight;
        if (s.isOpen) {
            ++s.closes;
        }
        s.isOpen = false;
    }
    void PrepareRead() override {
        std::lock_guard lock(s.mutex);
        Touch();
        ++s.prepareReads;
    }
    IoResult ReadSome(uint8_t* buffer, int count) override {
        std::unique_lock lock(s.mutex);
        Touch();
        ++s.readCalls;
        if (s.holdCalls) {
            return Hold(lock);
        }
        if (s.reads.empty()) {
            return {true, 0};
        }
        const ScriptedRead next = s.reads.front();
        s.reads.pop_front();
        const int n = std::min<int>(count, static_cast<int>(next.bytes.size()));
        std::copy_n(next.bytes.begin(), n, buffer);
        return {next.ok, n};
    }
    void PrepareWrite() override {
        std::lock_guard lock(s.mutex);
        Touch();
        s.events.push_back("prepare-write");
    }
    bool WriteSome(const uint8_t* data, int count) override {
        std::unique_lock lock(s.mutex);
        Touch();
        s.events.push_back("write " + std::to_string(count));
        if (s.holdCalls) {
            return Hold(lock).ok;
        }
        if (++writes == s.failWriteNumber) {
            return false;
        }
        s.written.append(reinterpret_cast<const char*>(data), count);
        return true;
    }
    bool InputWaiting() override {
        std::lock_guard lock(s.mutex);
        Touch();
        return s.inputWaiting;
    }
    void Purge() override {
        std::lock_guard lock(s.mutex);
        Touch();
        s.events.push_back("purge");
    }
    void Interrupt() override {
        std::lock_guard lock(s.mutex);
        s.interrupted = true;
        s.changed.notify_all();
    }
    void Pause(int ms) override {
        std::lock_guard lock(s.mutex);
        s.events.push_back("pause " + std::to_string(ms));
    }

  private:
    void Touch() {
        if (!s.isOpen) {
            ++s.callsOnClosedDevice;
        }
    }
    IoResult Hold(std::unique_lock<std::mutex>& lock) {
        ++s.inFlight;
        s.changed.notify_all();
        s.changed.wait(lock,
                       [this] { return s.released || (s.interrupted && !s.ignoreInterrupt); });
        --s.inFlight;
        // Woken by the close: the system call reports failure, as a cancelled one does.
        return {s.released, 0};
    }

    State& s;
    int writes = 0;
};
