// Prints what the system's port enumerator lists, one port a line:
//   instanceId|portName|description|friendlyName|enumerator
// (UTF-8). The registry test under Wine compares these lines with the devices it wrote.
// With --wait-change MS it prints "watching", waits for a change of the port set and
// prints the outcome (changed, timed out, stopped, failed) instead.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_change_watch.h"
#include "discovery/scan_for_device.h"
#include "discovery/utf_text.h"

namespace {

int WaitForChange(int timeoutMs) {
    DeviceChangeWatch watch;
    std::printf("watching\n");
    std::fflush(stdout);
    const std::atomic<bool> stop{false};
    const char* names[] = {"changed", "timed out", "stopped", "failed"};
    std::printf("%s\n", names[static_cast<int>(watch.WaitForChange(timeoutMs, stop))]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--wait-change") == 0) {
        return WaitForChange(std::atoi(argv[2]));
    }
    const std::unique_ptr<PortEnumerator> ports = CreateSystemPortEnumerator();
    std::vector<PortInfo> table(400);
    const int count = ports->EnumeratePorts(table.data(), static_cast<int>(table.size()));
    for (int i = 0; i < count; ++i) {
        const PortInfo& record = table[i];
        const std::string line = Utf16ToUtf8(FieldText(record.instanceId)) + '|' +
                                 Utf16ToUtf8(FieldText(record.portName)) + '|' +
                                 Utf16ToUtf8(FieldText(record.description)) + '|' +
                                 Utf16ToUtf8(FieldText(record.friendlyName)) + '|' +
                                 Utf16ToUtf8(FieldText(record.enumerator));
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
