#include "discovery/scan_for_device.h"

#include "discovery/port_table.h"
#include "discovery/usb_instance_id.h"
#include "package/fw_package.h"
#include "transport/mt_access_if_comm_port.h"

namespace {

constexpr int kNoDecision = -1;

// Walks the table once. While no name is held, the first matching port that opens is
// attached and the walk goes on, comparing later matches with the name just taken.
int WalkPorts(MTAccessIfCommPort& port, const FWPackage& package, const PortTable& table) {
    int noted = kNoDecision;
    for (int i = 0; i < table.count(); ++i) {
        const PortInfo& record = table[i];
        const std::optional<UsbId> ids = ReadUsbIds(record.instanceId);
        if (!ids || !PackageServes(package, *ids)) {
            continue;
        }
        const std::u16string_view name = FieldText(record.portName);
        if (port.currentPortName.empty()) {
            // A record without a port name has nothing to open; opening "" must never
            // leave an open port with an empty held name.
            if (name.empty()) {
                continue;
            }
            std::u16string portName(name);
            if (port.Open(portName)) {
                port.currentPortName = std::move(portName);
                noted = ScanAttached;
            }
            continue;
        }
        if (name == port.currentPortName) {
            // The same name listed twice right after this scan opened it is still a fresh
            // attach: reporting "still attached" would leave the controller waiting on an
            // open port it was never handed.
            if (noted != ScanAttached) {
                noted = ScanStillAttached;
            }
            break;
        }
    }
    return noted;
}

}  // namespace

int ScanForDevice(MTAccessIfCommPort& port, const FWPackage& package, PortEnumerator& ports) {
    // The table lives for the walk only.
    const int noted = WalkPorts(port, package, PortTable::Read(ports));
    if (noted != kNoDecision) {
        return noted;
    }
    if (port.currentPortName.empty()) {
        return ScanNoDevice;
    }
    port.currentPortName.clear();
    port.Close();  // 4 when it was closed already; either way it is closed now
    return ScanDetached;
}

int ScanForDevice(MTAccessIfCommPort& port, const FWPackage& package) {
    const std::unique_ptr<PortEnumerator> ports = CreateSystemPortEnumerator();
    return ScanForDevice(port, package, *ports);
}
