#include "tools/klvflash/port_facts.h"

#include <vector>

#include "discovery/port_info.h"
#include "discovery/scan_for_device.h"
#include "discovery/usb_instance_id.h"
#include "discovery/utf_text.h"
#include "tools/klvflash/port_system.h"

PortFacts FactsOfPort(PortEnumerator& ports, const std::string& path) {
    constexpr int kCapacity = 256;
    std::vector<PortInfo> table(kCapacity);
    const int count = ports.EnumeratePorts(table.data(), kCapacity);
    const std::string wanted = ComparablePortName(path);
    PortFacts facts;
    for (int i = 0; i < count; ++i) {
        const std::string name = Utf16ToUtf8(std::u16string(FieldText(table[i].portName)));
        if (name.empty() || ComparablePortName(name) != wanted) {
            continue;
        }
        facts.usb = ReadUsbIds(table[i].instanceId);
        facts.serial = Utf16ToUtf8(SerialOfInstance(table[i].instanceId));
        break;
    }
    return facts;
}
