#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "discovery/scan_for_device.h"
#include "discovery/utf_text.h"
#include "tools/klvflash/port_selection.h"
#include "tools/klvflash/port_system.h"
#include "tools/klvflash/port_system_win32.h"
#include "tools/common/wide_text_win32.h"

namespace {

std::string WithoutDevicePrefix(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
}

}  // namespace

std::unique_ptr<PortEnumerator> SystemPortList(const std::string&, const std::string&) {
    return CreateSystemPortEnumerator();
}

std::string TransportPortName(const std::string& name) {
    return WithoutDevicePrefix(name);
}

std::string ComparablePortName(const std::string& name) {
    std::string plain = WithoutDevicePrefix(name);
    std::transform(plain.begin(), plain.end(), plain.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return plain;
}

std::string DeviceWatchDescription(const std::string&) {
    return "for new devices (device notifications)";
}

const PortTexts& SystemPortTexts() {
    static const PortTexts texts{
        "COM7",
        "klvflash --list",
        "",
        "a hidden window of its own receives the system's device notifications and it scans "
        "again at each, and also every 2 s, for a port that another program lets go of",
        "Ctrl-Break or closing the console window",
    };
    return texts;
}

OpenFailure DiagnoseOpenFailure(const std::string& path) {
    return DiagnoseOpenFailureWith(SystemCommApi(), path);
}

OpenFailure DiagnoseOpenFailureWith(const Win32CommApi& api, const std::string& path) {
    const std::wstring device = L"\\\\.\\" + klv::tools::WideText(WithoutDevicePrefix(path));
    const HANDLE handle = api.CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
                return OpenFailure::Missing;
            // A COM port is opened by one program at a time; the next is told "access
            // denied" (a sharing violation where the port is a shared file).
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
            case ERROR_BUSY:
                return OpenFailure::Busy;
            default:
                return OpenFailure::Other;
        }
    }
    api.CloseHandle(handle);
    return OpenFailure::Other;
}
