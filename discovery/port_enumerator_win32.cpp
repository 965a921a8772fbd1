#include <windows.h>
// after windows.h, which it needs
#include <setupapi.h>

#include <cstring>

#include "discovery/scan_for_device.h"

namespace {

// GUID_DEVCLASS_PORTS, the setup class of serial and parallel ports.
constexpr GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Every value is read into a scratch buffer of 512 bytes (256 UTF-16 units); a value
// whose reported size, NUL included, does not stay below 512 is left out.
constexpr DWORD kScratchBytes = 512;
constexpr DWORD kScratchUnits = kScratchBytes / sizeof(wchar_t);

class DeviceInfoList {
  public:
    explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
    ~DeviceInfoList() {
        if (valid()) {
            SetupDiDestroyDeviceInfoList(set_);
        }
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;

    bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

  private:
    HDEVINFO set_;
};

class RegistryKey {
  public:
    explicit RegistryKey(HKEY key) : key_(key) {}
    ~RegistryKey() {
        if (valid()) {
            RegCloseKey(key_);
        }
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool valid() const { return key_ != nullptr && key_ != INVALID_HANDLE_VALUE; }
    HKEY get() const { return key_; }

  private:
    HKEY key_;
};

// Copies what the system delivered (byteSize bytes, below 512) into a zero-filled field.
// Registry strings need not carry their NUL, so the copy stops at the size as well.
void CopyField(char16_t (&field)[PortInfo::kFieldUnits], const wchar_t* scratch, DWORD byteSize) {
    const std::size_t limit = byteSize / sizeof(wchar_t);
    std::size_t length = 0;
    while (length < limit && scratch[length] != L'\0') {
        ++length;
    }
    StoreField(field, std::u16string_view(reinterpret_cast<const char16_t*>(scratch), length));
}

class SetupDiPortEnumerator final : public PortEnumerator {
  public:
    int EnumeratePorts(PortInfo* table, int capacity) override;

  private:
    static void Describe(HDEVINFO set, SP_DEVINFO_DATA& device, PortInfo& record);
};

int SetupDiPortEnumerator::EnumeratePorts(PortInfo* table, int capacity) {
    if (table == nullptr || capacity <= 0) {
        return 0;
    }
    const DeviceInfoList set(SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT));
    if (!set.valid()) {
        return 0;
    }
    int filled = 0;
    for (DWORD index = 0; filled < capacity; ++index) {
        SP_DEVINFO_DATA device{};
        // 28 bytes in a 32-bit program, 32 in a 64-bit one: the structure's own size.
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) {
            break;
        }
        PortInfo& record = table[filled++];
        record = PortInfo{};
        Describe(set.get(), device, record);
    }
    return filled;
}

void SetupDiPortEnumerator::Describe(HDEVINFO set, SP_DEVINFO_DATA& device, PortInfo& record) {
    wchar_t scratch[kScratchUnits];

    struct Property {
        DWORD code;
        char16_t (*field)[PortInfo::kFieldUnits];
    };
    const Property properties[] = {
        {SPDRP_DEVICEDESC, &record.description},
        {SPDRP_ENUMERATOR_NAME, &record.enumerator},
        {SPDRP_FRIENDLYNAME, &record.friendlyName},
    };
    for (const Property& property : properties) {
        std::memset(scratch, 0, sizeof scratch);
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, property.code, nullptr,
                                              reinterpret_cast<BYTE*>(scratch), kScratchBytes,
                                              &required) &&
            required < kScratchBytes) {
            CopyField(*property.field, scratch, required);
        }
    }

    std::memset(scratch, 0, sizeof scratch);
    DWORD requiredUnits = 0;
    if (SetupDiGetDeviceInstanceIdW(set, &device, scratch, kScratchUnits, &requiredUnits) &&
        requiredUnits * sizeof(wchar_t) < kScratchBytes) {
        // The length check in StoreField also covers a system that leaves the size at 0.
        CopyField(record.instanceId, scratch, kScratchBytes);
    }

    const RegistryKey key(
        SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE));
    if (!key.valid()) {
        return;
    }
    std::memset(scratch, 0, sizeof scratch);
    DWORD size = kScratchBytes;
    if (RegQueryValueExW(key.get(), L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(scratch),
                         &size) == ERROR_SUCCESS &&
        size < kScratchBytes) {
        CopyField(record.portName, scratch, size);
    }
}

}  // namespace

std::unique_ptr<PortEnumerator> CreateSystemPortEnumerator() {
    return std::make_unique<SetupDiPortEnumerator>();
}
