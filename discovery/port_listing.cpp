#include "discovery/port_listing.h"

#include <cstdio>

#include "discovery/port_table.h"
#include "discovery/usb_instance_id.h"
#include "discovery/utf_text.h"

std::vector<PortListEntry> ListPorts(PortEnumerator& ports, const FWPackage& package) {
    std::vector<PortListEntry> entries;
    const PortTable table = PortTable::Read(ports);
    for (int i = 0; i < table.count(); ++i) {
        const PortInfo& record = table[i];
        PortListEntry entry;
        entry.portName = FieldText(record.portName);
        entry.description = FieldText(record.description);
        entry.usbIds = ReadUsbIds(record.instanceId);
        entry.serial = SerialOfInstance(record.instanceId);
        entry.served = entry.usbIds && PackageServes(package, *entry.usbIds);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string FormatPortList(const std::vector<PortListEntry>& entries) {
    if (entries.empty()) {
        return "no ports\n";
    }
    std::string out;
    for (const PortListEntry& entry : entries) {
        out += entry.portName.empty() ? "(none)" : Utf16ToUtf8(entry.portName);
        if (entry.usbIds) {
            char ids[32];
            std::snprintf(ids, sizeof ids, "  VID_%04X PID_%04X  ",
                          unsigned{entry.usbIds->vendorId}, unsigned{entry.usbIds->productId});
            out += ids;
            if (!entry.serial.empty()) {
                out += "serial " + Utf16ToUtf8(entry.serial) + "  ";
            }
            out += entry.served ? "served" : "not served";
        } else {
            out += "  no USB ids  -";
        }
        if (!entry.description.empty()) {
            out += "  ";
            out += Utf16ToUtf8(entry.description);
        }
        out += '\n';
    }
    return out;
}
