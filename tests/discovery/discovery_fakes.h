#pragma once
// Fakes for discovery tests: a port table and the serial device behind a real port.

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "discovery/port_info.h"
#include "discovery/scan_for_device.h"
#include "transport/serial_device.h"

// What the device saw, kept by the test after the port took the device.
struct DeviceLog {
    std::set<std::u16string> busy;      // opens of these names fail (held elsewhere)
    std::vector<std::u16string> opens;  // every open attempt, in order
    bool open = false;
    int closes = 0;  // of an open device
    int purges = 0;
};

class FakeSerialDevice final : public SerialDevice {
  public:
    explicit FakeSerialDevice(std::shared_ptr<DeviceLog> log) : log_(std::move(log)) {}

    bool Open(const std::u16string& portName) override {
        log_->opens.push_back(portName);
        if (log_->open || log_->busy.count(portName) != 0) {
            return false;
        }
        log_->open = true;
        return true;
    }
    void Close() override {
        if (log_->open) {
            ++log_->closes;
        }
        log_->open = false;
    }
    void PrepareRead() override {}
    IoResult ReadSome(uint8_t*, int) override { return {true, 0}; }
    void PrepareWrite() override {}
    bool WriteSome(const uint8_t*, int) override { return true; }
    bool InputWaiting() override { return false; }
    void Purge() override { ++log_->purges; }

  private:
    std::shared_ptr<DeviceLog> log_;
};

inline PortInfo MakePort(std::u16string_view instanceId, std::u16string_view portName,
                         std::u16string_view description = u"") {
    PortInfo record;
    StoreField(record.instanceId, instanceId);
    StoreField(record.portName, portName);
    StoreField(record.description, description);
    return record;
}

class FakePortEnumerator final : public PortEnumerator {
  public:
    std::vector<PortInfo> present;

    int EnumeratePorts(PortInfo* table, int capacity) override {
        const int count = std::min<int>(capacity, static_cast<int>(present.size()));
        std::copy_n(present.begin(), count, table);
        return count;
    }
};
