#include "discovery/usb_instance_id.h"

#include <string>

#include "discovery/ansi_text.h"

namespace {

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

constexpr int64_t kLongMax = 0x7FFFFFFF;
constexpr int64_t kLongMin = -kLongMax - 1;

}  // namespace

uint16_t ParseHex16(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && IsCSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // "0x" counts as a prefix only when a digit follows; otherwise the 0 is the number.
    if (at + 2 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        HexDigit(text[at + 2]) >= 0) {
        at += 2;
    }
    // Saturate just past the range so the magnitude never overflows however long the text.
    int64_t magnitude = 0;
    for (; at < text.size() && HexDigit(text[at]) >= 0; ++at) {
        magnitude = magnitude * 16 + HexDigit(text[at]);
        if (magnitude > -kLongMin) {
            magnitude = -kLongMin + 1;
        }
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > kLongMax) {
        value = kLongMax;
    } else if (value < kLongMin) {
        value = kLongMin;
    }
    return static_cast<uint16_t>(static_cast<uint64_t>(value) & 0xFFFF);
}

std::optional<UsbId> FindUsbIds(std::string_view upperText) {
    const std::size_t vid = upperText.find("VID_");
    const std::size_t pid = upperText.find("PID_");
    if (vid == std::string_view::npos || pid == std::string_view::npos) {
        return std::nullopt;
    }
    UsbId ids;
    ids.vendorId = ParseHex16(upperText.substr(vid + 4));
    ids.productId = ParseHex16(upperText.substr(pid + 4));
    return ids;
}

std::optional<UsbId> ReadUsbIds(const char16_t* instanceId) {
    std::string text = ToAnsiText(instanceId);
    // ASCII only: the markers and the hexadecimal digits are all the search needs, and
    // this keeps the result independent of the C locale.
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return FindUsbIds(text);
}

bool PackageServes(const FWPackage& package, UsbId ids) {
    for (const UsbId& entry : package.usbIds) {
        if (entry.vendorId == ids.vendorId && entry.productId == ids.productId) {
            return true;
        }
    }
    return false;
}

std::u16string SerialOfInstance(const char16_t* instanceId) {
    if (!ReadUsbIds(instanceId)) {
        return {};
    }
    const std::u16string text(instanceId);
    const size_t slash = text.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : text.substr(slash + 1);
}
