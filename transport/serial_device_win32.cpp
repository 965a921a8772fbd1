// The serial device on Windows: a COM port opened for synchronous I/O.

#include <windows.h>

#include <cwchar>
#include <string>

#include "transport/serial_device.h"
#include "transport/serial_device_win32_api.h"

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kQueueBytes = 1048576;
constexpr DWORD kReadConstantMs = 100;
constexpr int kPathUnits = 512;
constexpr DWORD kLongTimeoutMs = 50000;

// The five time-outs as Open sets them; the reads lower the read constant.
COMMTIMEOUTS OpenTimeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kLongTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kLongTimeoutMs;
    return timeouts;
}

class Win32SerialDevice final : public SerialDevice {
public:
    explicit Win32SerialDevice(const Win32CommApi& api) : api(api) {}
    ~Win32SerialDevice() override { Close(); }

    bool Open(const std::u16string& portName) override {
        if (handle != INVALID_HANDLE_VALUE) {
            return false;
        }
        const std::wstring name(portName.begin(), portName.end());
        wchar_t path[kPathUnits];
        const int formed = _snwprintf(path, kPathUnits, L"\\\\.\\%ls", name.c_str());
        if (formed < 0 || formed >= kPathUnits) {
            return false;
        }
        handle = api.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        // The results of the configuration are not examined: once the port is open it
        // is used as the driver allows. Only the flow control changes; speed and framing
        // stay as the driver has them. A DCB that could not be read is not written back.
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (api.GetCommState(handle, &dcb)) {
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutxDsrFlow = FALSE;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            api.SetCommState(handle, &dcb);
        }
        COMMTIMEOUTS current{};
        api.GetCommTimeouts(handle, &current);  // all five are set whatever it read
        COMMTIMEOUTS timeouts = OpenTimeouts();
        api.SetCommTimeouts(handle, &timeouts);
        api.SetupComm(handle, kQueueBytes, kQueueBytes);
        api.PurgeComm(handle, kPurgeAll);
        return true;
    }

    void Close() override {
        if (handle == INVALID_HANDLE_VALUE) {
            return;
        }
        api.CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }

    void PrepareRead() override {
        // Each system read waits at most 100 ms; the port counts the reads.
        // The other four keep what Open set, also when they cannot be read back: a
        // zero write constant would let a write to a stalled device block for ever.
        COMMTIMEOUTS timeouts{};
        if (!api.GetCommTimeouts(handle, &timeouts)) {
            timeouts = OpenTimeouts();
        }
        timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
        api.SetCommTimeouts(handle, &timeouts);
        ClearErrors(nullptr);
    }

    IoResult ReadSome(uint8_t* buffer, int count) override {
        DWORD got = 0;
        const BOOL ok = api.ReadFile(handle, buffer, static_cast<DWORD>(count), &got, nullptr);
        return {ok != FALSE, static_cast<int>(got)};
    }

    void PrepareWrite() override { ClearErrors(nullptr); }

    bool WriteSome(const uint8_t* data, int count) override {
        DWORD written = 0;
        return api.WriteFile(handle, data, static_cast<DWORD>(count), &written, nullptr) != FALSE;
    }

    bool InputWaiting() override {
        // When the queue cannot be asked, answer that bytes are waiting: the caller
        // then purges, which does no harm, where "empty" could leave stale bytes in
        // front of the next reply.
        COMSTAT status{};
        if (!ClearErrors(&status)) {
            return true;
        }
        return status.cbInQue > 0;
    }

    void Purge() override { api.PurgeComm(handle, kPurgeAll); }

    void Interrupt() override {
        // Ends a ReadFile or WriteFile that another thread is blocked in, where the
        // driver supports it; otherwise the read ends within its 100 ms.
        api.CancelIoEx(handle, nullptr);
    }

private:
    bool ClearErrors(COMSTAT* status) {
        DWORD errors = 0;
        return api.ClearCommError(handle, &errors, status) != FALSE;
    }

    const Win32CommApi& api;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

}  // namespace

const Win32CommApi& SystemCommApi() {
    static const Win32CommApi system{
        ::CreateFileW,     ::CloseHandle,  ::GetCommState, ::SetCommState,
        ::GetCommTimeouts, ::SetCommTimeouts, ::SetupComm, ::PurgeComm,
        ::ClearCommError,  ::ReadFile,     ::WriteFile,    ::CancelIoEx,
    };
    return system;
}

std::unique_ptr<SerialDevice> CreateWin32SerialDevice(const Win32CommApi& api) {
    return std::make_unique<Win32SerialDevice>(api);
}

std::unique_ptr<SerialDevice> CreateSystemSerialDevice() {
    return CreateWin32SerialDevice(SystemCommApi());
}
