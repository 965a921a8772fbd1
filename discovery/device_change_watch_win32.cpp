#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <utility>

#include "discovery/device_change_watch.h"
#include "discovery/port_table.h"
#include "platform/sleep.h"

namespace {

constexpr int kPollMs = 250;

using PortSet = std::set<std::pair<std::u16string, std::u16string>>;

PortSet ReadPorts(PortEnumerator& ports) {
    PortSet seen;
    const PortTable table = PortTable::Read(ports);
    for (int i = 0; i < table.count(); ++i) {
        seen.emplace(FieldText(table[i].instanceId), FieldText(table[i].portName));
    }
    return seen;
}

}  // namespace

struct DeviceChangeWatch::State {
    std::unique_ptr<PortEnumerator> ports = CreateSystemPortEnumerator();
    PortSet last = ReadPorts(*ports);
};

DeviceChangeWatch::DeviceChangeWatch() : state_(std::make_unique<State>()) {}

DeviceChangeWatch::DeviceChangeWatch(const std::string&) : DeviceChangeWatch() {}

DeviceChangeWatch::~DeviceChangeWatch() = default;

bool DeviceChangeWatch::IsWatching() const {
    return true;
}

DeviceChangeWatch::Result DeviceChangeWatch::WaitForChange(int timeoutMs,
                                                           const std::atomic<bool>& stop) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (stop.load()) {
            return Result::Stopped;
        }
        PortSet now = ReadPorts(*state_->ports);
        if (now != state_->last) {
            state_->last = std::move(now);
            return Result::Changed;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline) {
            return Result::TimedOut;
        }
        // Sleep in slices so that the stop flag is seen within 100 ms.
        for (int slept = 0; slept < kPollMs && !stop.load(); slept += 50) {
            if (timeoutMs >= 0 && Clock::now() >= deadline) {
                break;
            }
            SleepMs(50);
        }
    }
}
