// File and port checks on Windows. Paths arrive as UTF-8 and are opened wide, so that a
// folder with any name works. A COM port is recognised by opening it the way the
// transport does and reading its line settings; a file of any kind is refused as a port
// before anything is opened.

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "tools/common/file_checks.h"
#include "tools/common/tool_exit.h"
#include "tools/common/wide_text_win32.h"

namespace klv::tools {

const char* const kPrivateFileAccess = "readable by you only";

namespace {

std::string SystemMessage(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : L"";
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    while (!text.empty() && (std::iswspace(text.back()) || text.back() == L'.')) {
        text.pop_back();
    }
    if (text.empty()) {
        return "system error " + std::to_string(error);
    }
    return Utf8Text(text);
}

// Closes a handle when it goes out of scope.
class Handle {
  public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() {
        if (valid()) {
            CloseHandle(handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
    HANDLE get() const { return handle; }

  private:
    HANDLE handle;
};

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH;
}

std::wstring Upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

// The device namespace (\\.\NAME) or a name that Windows takes for a device in any folder
// (CON, NUL, COM1 ... also with an extension): opening it would open the device.
bool NamesDevice(const std::wstring& path) {
    if (path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\\\?\\GLOBALROOT", 0) == 0) {
        return true;
    }
    const size_t slash = path.find_last_of(L"\\/:");
    std::wstring name = Upper(slash == std::wstring::npos ? path : path.substr(slash + 1));
    name = name.substr(0, name.find(L'.'));
    while (!name.empty() && (name.back() == L' ')) {
        name.pop_back();
    }
    for (const wchar_t* reserved : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (name == reserved) {
            return true;
        }
    }
    return name.size() == 4 && (name.rfind(L"COM", 0) == 0 || name.rfind(L"LPT", 0) == 0) &&
           name[3] >= L'0' && name[3] <= L'9';
}

std::string KindOfAttributes(DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return "a directory";
    }
    if (attributes & FILE_ATTRIBUTE_DEVICE) {
        return "a device";
    }
    return "a regular file";
}

std::string KindOfHandle(HANDLE handle) {
    switch (GetFileType(handle)) {
        case FILE_TYPE_CHAR:
            return "a character device";
        case FILE_TYPE_PIPE:
            return "a pipe";
        case FILE_TYPE_DISK: {
            BY_HANDLE_FILE_INFORMATION info{};
            if (GetFileInformationByHandle(handle, &info)) {
                return KindOfAttributes(info.dwFileAttributes);
            }
            return "a regular file";
        }
        default:
            return "not a regular file";
    }
}

FileRead Refuse(const std::string& option, const std::string& path, const std::string& why,
                int status) {
    FileRead read;
    read.error = option + " " + path + ": " + why;
    read.exitStatus = status;
    return read;
}

}  // namespace

std::string DescribePath(const std::string& path) {
    const std::wstring wide = WideText(path);
    if (NamesDevice(wide)) {
        return "a device";
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return IsMissing(error) ? "nothing" : SystemMessage(error);
    }
    return KindOfAttributes(attributes);
}

bool SameFile(const std::string& a, const std::string& b) {
    const auto identity = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        const std::wstring wide = WideText(path);
        if (wide.empty() || NamesDevice(wide)) {
            return false;
        }
        // No access to the contents: only the identity is read.
        Handle file(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return file.valid() && GetFileInformationByHandle(file.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return identity(a, first) && identity(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

FileRead ReadRegularFile(const std::string& option, const std::string& path, uint64_t limit) {
    if (path.empty()) {
        FileRead read;
        read.error = option + ": the file name is empty; name a package file";
        read.exitStatus = kExitUsage;
        return read;
    }
    const std::wstring wide = WideText(path);
    if (NamesDevice(wide)) {
        return Refuse(option, path, "is a device, not a package file", kExitUnreadable);
    }
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (IsMissing(error)) {
            return Refuse(option, path, "there is no such file", kExitUnreadable);
        }
        return Refuse(option, path, SystemMessage(error), kExitUnreadable);
    }
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        return Refuse(option, path, "is " + KindOfAttributes(attributes) + ", not a package file",
                      kExitUnreadable);
    }
    Handle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        return Refuse(option, path, "cannot be opened: " + SystemMessage(GetLastError()),
                      kExitUnreadable);
    }
    // What was opened is what is read: a path swapped after the check is seen here.
    const std::string kind = KindOfHandle(file.get());
    if (kind != "a regular file") {
        return Refuse(option, path, "is " + kind + ", not a package file", kExitUnreadable);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        return Refuse(option, path, "read failed: " + SystemMessage(GetLastError()),
                      kExitUnreadable);
    }
    const std::string tooLarge = "is larger than " + std::to_string(limit >> 20) +
                                 " MiB, far more than any package; is it the right file?";
    if (static_cast<uint64_t>(size.QuadPart) > limit) {
        return Refuse(option, path, tooLarge, kExitUnreadable);
    }
    FileRead read;
    read.bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t have = 0;
    // Another program may share the file for writing no more (FILE_SHARE_READ only), but
    // one that held it open before may still let it grow: one byte past the limit refuses.
    for (;;) {
        if (have == read.bytes.size()) {
            if (have > limit) {
                return Refuse(option, path, tooLarge, kExitUnreadable);
            }
            read.bytes.resize(have + 64 * 1024);
        }
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(read.bytes.size() - have, 1u << 20));
        if (!ReadFile(file.get(), read.bytes.data() + have, want, &n, nullptr)) {
            return Refuse(option, path, "read failed: " + SystemMessage(GetLastError()),
                          kExitUnreadable);
        }
        if (n == 0) {
            break;
        }
        have += n;
    }
    if (have > limit) {
        return Refuse(option, path, tooLarge, kExitUnreadable);
    }
    read.bytes.resize(have);
    read.ok = true;
    return read;
}

PortCheck CheckTerminalDevice(const std::string& option, const std::string& path) {
    PortCheck check;
    if (path.empty()) {
        check.result = PortCheck::Result::EmptyName;
        check.error = option +
                      ": the port name is empty; name the instrument's COM port (for example "
                      "COM7)";
        return check;
    }
    const std::string expected =
        ", not a serial port; name the instrument's COM port (for example COM7)";
    std::wstring wide = WideText(path);
    const bool deviceSpace = wide.rfind(L"\\\\.\\", 0) == 0;
    if (!NamesDevice(wide)) {
        // A file or a folder: never opened as a port.
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            check.result = PortCheck::Result::NotTerminal;
            check.error = option + " " + path + ": is " + KindOfAttributes(attributes) + expected;
            return check;
        }
    }
    if (!deviceSpace && (wide.find_first_of(L"\\/:") != std::wstring::npos)) {
        // A path to nothing: no port is ever named like that.
        check.result = PortCheck::Result::NotTerminal;
        check.error = option + " " + path + ": there is no such file and it is no port name" +
                      expected;
        return check;
    }
    if (!deviceSpace) {
        wide = L"\\\\.\\" + wide;
    }
    // Opened as the transport opens it; a COM port answers GetCommState, any other device
    // does not. Nothing is written.
    Handle device(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!device.valid()) {
        check.result = PortCheck::Result::CannotOpen;
        return check;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (GetFileType(device.get()) != FILE_TYPE_CHAR || !GetCommState(device.get(), &settings)) {
        check.result = PortCheck::Result::NotTerminal;
        check.error = option + " " + path + ": is a device but no serial port" + expected;
        return check;
    }
    check.result = PortCheck::Result::Terminal;
    return check;
}

namespace {

// A COM port open elsewhere cannot be opened a second time; the port's name in the
// device namespace goes away when the device does.
class Win32PortWatch final : public PortWatch {
  public:
    explicit Win32PortWatch(std::wstring name) : name(std::move(name)) {}
    bool Lost() override {
        wchar_t target[1024];
        return QueryDosDeviceW(name.c_str(), target, 1024) == 0 &&
               GetLastError() == ERROR_FILE_NOT_FOUND;
    }

  private:
    const std::wstring name;
};

}  // namespace

std::unique_ptr<PortWatch> PortWatch::Open(const std::string& path) {
    std::wstring name = WideText(path);
    if (name.rfind(L"\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    wchar_t target[1024];
    if (name.empty() || QueryDosDeviceW(name.c_str(), target, 1024) == 0) {
        return nullptr;
    }
    return std::make_unique<Win32PortWatch>(name);
}

}  // namespace klv::tools
