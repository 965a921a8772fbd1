#include "discovery/port_table.h"

#include <algorithm>

PortTable PortTable::Read(PortEnumerator& ports) {
    PortTable table;
    for (int capacity = kInitialRecords;; capacity *= 2) {
        // Value-initialised: every field starts zero-filled.
        table.records_ = std::make_unique<PortInfo[]>(static_cast<std::size_t>(capacity));
        table.count_ =
            std::clamp(ports.EnumeratePorts(table.records_.get(), capacity), 0, capacity);
        if (table.count_ < capacity || capacity >= kMaxRecords) {
            return table;
        }
    }
}
