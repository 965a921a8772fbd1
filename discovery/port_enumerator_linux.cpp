#include "discovery/port_enumerator_linux.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/utf_text.h"

namespace fs = std::filesystem;

namespace {

// sysfs attributes are one short line; a few kilobytes is more than any of them holds.
constexpr std::streamsize kAttributeMax = 4096;
constexpr int kClimbMax = 16;

std::optional<std::string> ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(kAttributeMax), '\0');
    in.read(text.data(), kAttributeMax);
    text.resize(static_cast<std::size_t>(in.gcount()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// idVendor and idProduct hold four hexadecimal digits.
std::optional<uint16_t> ReadHexAttribute(const fs::path& file) {
    const std::optional<std::string> text = ReadAttribute(file);
    if (!text || text->empty() || text->size() > 4) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : *text) {
        const bool digit = (c >= '0' && c <= '9');
        const bool lower = (c >= 'a' && c <= 'f');
        const bool upper = (c >= 'A' && c <= 'F');
        if (!digit && !lower && !upper) {
            return std::nullopt;
        }
        value = value * 16 + (digit ? c - '0' : lower ? c - 'a' + 10 : c - 'A' + 10);
    }
    return static_cast<uint16_t>(value);
}

void StoreUtf8(char16_t (&field)[PortInfo::kFieldUnits], const std::optional<std::string>& text) {
    if (text) {
        StoreField(field, Utf8ToUtf16(*text));
    }
}

// ttyACM2 before ttyACM10: the trailing numbers compare as numbers.
bool NameOrder(const std::string& a, const std::string& b) {
    const auto digitsFrom = [](std::string_view s) {
        std::size_t at = s.size();
        while (at > 0 && s[at - 1] >= '0' && s[at - 1] <= '9') {
            --at;
        }
        return at;
    };
    const std::size_t ia = digitsFrom(a);
    const std::size_t ib = digitsFrom(b);
    const std::string_view stemA = std::string_view(a).substr(0, ia);
    const std::string_view stemB = std::string_view(b).substr(0, ib);
    if (stemA != stemB) {
        return stemA < stemB;
    }
    const std::string_view numberA = std::string_view(a).substr(ia);
    const std::string_view numberB = std::string_view(b).substr(ib);
    if (numberA.size() != numberB.size()) {
        return numberA.size() < numberB.size();
    }
    return numberA < numberB;
}

// The nearest directory at or above the port's device that describes a USB device.
std::optional<fs::path> FindUsbDevice(fs::path dir, const fs::path& sysRoot) {
    std::error_code ec;
    for (int depth = 0; depth < kClimbMax; ++depth) {
        if (fs::is_regular_file(dir / "idVendor", ec) &&
            fs::is_regular_file(dir / "idProduct", ec)) {
            return dir;
        }
        if (dir == sysRoot || dir == dir.parent_path()) {
            break;
        }
        dir = dir.parent_path();
    }
    return std::nullopt;
}

std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// A serial-core port reports its UART type; 0 means no UART was found at that address.
bool IsUnusedUart(const fs::path& ttyEntry) {
    const std::optional<std::string> type = ReadAttribute(ttyEntry / "type");
    return type && *type == "0";
}

}  // namespace

SysfsPortEnumerator::SysfsPortEnumerator(fs::path sysRoot, fs::path devRoot)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)) {}

int SysfsPortEnumerator::EnumeratePorts(PortInfo* table, int capacity) {
    if (table == nullptr || capacity <= 0) {
        return 0;
    }
    std::error_code ec;
    const fs::path sysRoot = fs::canonical(sysRoot_, ec);
    if (ec) {
        return 0;
    }
    const fs::path classDir = sysRoot / "class" / "tty";
    std::vector<std::string> names;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end(), NameOrder);

    int filled = 0;
    for (const std::string& name : names) {
        if (filled == capacity) {
            break;
        }
        const fs::path entry = classDir / name;
        if (!fs::exists(entry / "device", ec) || IsUnusedUart(entry)) {
            continue;
        }
        PortInfo& record = table[filled++];
        record = PortInfo{};
        Describe(entry, name, sysRoot, record);
    }
    return filled;
}

void SysfsPortEnumerator::Describe(const fs::path& ttyEntry, const std::string& name,
                                   const fs::path& sysRoot, PortInfo& record) const {
    StoreUtf8(record.portName, (devRoot_ / name).string());

    std::error_code ec;
    const fs::path device = fs::canonical(ttyEntry / "device", ec);
    if (ec) {
        return;
    }
    const std::optional<fs::path> usb = FindUsbDevice(device, sysRoot);
    const std::optional<uint16_t> vendor = usb ? ReadHexAttribute(*usb / "idVendor") : std::nullopt;
    const std::optional<uint16_t> product =
        usb ? ReadHexAttribute(*usb / "idProduct") : std::nullopt;
    if (!vendor || !product) {
        const fs::path bus = fs::canonical(device / "subsystem", ec);
        if (!ec) {
            std::string busName = bus.filename().string();
            std::transform(busName.begin(), busName.end(), busName.begin(),
                           [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; });
            StoreUtf8(record.enumerator, busName);
        }
        return;
    }

    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", unsigned{*vendor},
                  unsigned{*product});
    std::optional<std::string> serial = ReadAttribute(*usb / "serial");
    if (!serial || serial->empty()) {
        serial = usb->filename().string();
    }
    std::u16string instanceId = Ascii(ids);
    instanceId += Utf8ToUtf16(*serial);
    StoreField(record.instanceId, instanceId);
    StoreField(record.enumerator, u"USB");
    StoreUtf8(record.description, ReadAttribute(*usb / "product"));
    StoreUtf8(record.friendlyName, ReadAttribute(*usb / "manufacturer"));
}

std::unique_ptr<PortEnumerator> CreateSystemPortEnumerator() {
    return std::make_unique<SysfsPortEnumerator>();
}
