#pragma once
// The table a scan fills with the present serial ports: 100 records, made for one scan
// and released with it.
//
// More than 100 ports: when the enumerator fills every record, the table is made twice
// as large and filled again, so an instrument is never missed because of how many other
// ports the system has. Growth stops at kMaxRecords; past that the enumeration stops
// where the table ends. The enumerator is never given more room than the table has.

#include <memory>

#include "discovery/port_info.h"
#include "discovery/scan_for_device.h"

class PortTable {
  public:
    static constexpr int kInitialRecords = 100;
    static constexpr int kMaxRecords = 1600;

    // Lists the present ports.
    static PortTable Read(PortEnumerator& ports);

    int count() const { return count_; }
    const PortInfo& operator[](int index) const { return records_[index]; }

  private:
    std::unique_ptr<PortInfo[]> records_;
    int count_ = 0;
};
