// Prints what the system's port enumerator lists, one port a line:
//   instanceId|portName|description|friendlyName|enumerator
// (UTF-8). The registry test under Wine compares these lines with the devices it wrote.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "discovery/scan_for_device.h"
#include "discovery/utf_text.h"

int main() {
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
