#include "tools/klvflash/port_selection.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "discovery/device_change_watch.h"
#include "discovery/port_listing.h"
#include "discovery/scan_for_device.h"
#include "discovery/utf_text.h"
#include "package/fw_package.h"
#include "platform/sleep.h"
#include "transport/mt_access_if_comm_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using PortFailures = std::map<std::string, OpenFailure>;

constexpr int kStopCheckMs = 100;
constexpr int kRescanMinMs = 10;  // a shorter period would only spin

// The ports of the instrument that are present but do not open, with the reason. A port
// listed before its device node exists is left out: udev is still making it.
PortFailures UnopenedPorts(PortEnumerator& ports, const FWPackage& package) {
    PortFailures failures;
    for (const PortListEntry& entry : ListPorts(ports, package)) {
        if (!entry.served || entry.portName.empty()) {
            continue;
        }
        const std::string name = Utf16ToUtf8(entry.portName);
        const OpenFailure why = DiagnoseOpenFailure(name);
        if (why != OpenFailure::Missing) {
            failures[name] = why;
        }
    }
    return failures;
}

// Without a device watch: sleeps in short slices so that the stop flag is seen.
bool SleepUnlessStopped(int ms, const std::atomic<bool>& stop) {
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        SleepMs(static_cast<int>(std::min<long long>(left, kStopCheckMs)));
    }
    return false;
}

}  // namespace

SearchOutcome SearchForInstrument(MTAccessIfCommPort& port, const FWPackage& package,
                                  PortEnumerator& ports, DeviceChangeWatch& watch,
                                  const SearchSettings& settings, const std::atomic<bool>& stop,
                                  SearchObserver& observer) {
    const Clock::time_point start = Clock::now();
    const int rescanMs = std::max(settings.rescanMs, kRescanMinMs);
    bool waiting = false;
    bool watchLost = false;
    PortFailures told;
    for (;;) {
        if (ScanForDevice(port, package, ports) == ScanAttached) {
            return {SearchEnd::Attached, false};
        }
        if (!waiting) {
            waiting = true;
            observer.Waiting();
        }
        PortFailures now = UnopenedPorts(ports, package);
        for (const auto& [name, why] : now) {
            const auto before = told.find(name);
            if (before == told.end() || before->second != why) {
                observer.CannotOpen(name, why);
            }
        }
        told = std::move(now);

        int sliceMs = rescanMs;
        if (settings.limitMs >= 0) {
            const auto left =
                settings.limitMs -
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (left <= 0) {
                return {SearchEnd::Expired, !told.empty()};
            }
            sliceMs = static_cast<int>(std::min<long long>(left, rescanMs));
        }
        if (stop.load()) {
            return {SearchEnd::Stopped, !told.empty()};
        }
        switch (watch.WaitForChange(sliceMs, stop)) {
            case DeviceChangeWatch::Result::Stopped:
                return {SearchEnd::Stopped, !told.empty()};
            case DeviceChangeWatch::Result::Failed:
                if (!watchLost) {
                    watchLost = true;
                    observer.NotWatching();
                }
                if (!SleepUnlessStopped(sliceMs, stop)) {
                    return {SearchEnd::Stopped, !told.empty()};
                }
                break;
            case DeviceChangeWatch::Result::Changed:
            case DeviceChangeWatch::Result::TimedOut:
                break;
        }
    }
}
