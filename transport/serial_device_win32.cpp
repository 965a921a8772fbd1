// The serial device on Windows: a COM port opened for synchronous I/O.

#include <windows.h>

#include <cwchar>
#include <string>

#include "transport/serial_device.h"

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kQueueBytes = 1048576;
constexpr DWORD kReadConstantMs = 100;
constexpr int kPathUnits = 512;

class Win32SerialDevice final : public SerialDevice {
public:
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
        handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        // The results of the configuration are not examined: once the port is open it
        // is used as the driver allows. Only the flow control changes; speed and framing
        // stay as the driver has them. A DCB that could not be read is not written back.
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (GetCommState(handle, &dcb)) {
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutxDsrFlow = FALSE;
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            SetCommState(handle, &dcb);
        }
        COMMTIMEOUTS timeouts{};
        GetCommTimeouts(handle, &timeouts);
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 50000;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 50000;
        SetCommTimeouts(handle, &timeouts);
        SetupComm(handle, kQueueBytes, kQueueBytes);
        PurgeComm(handle, kPurgeAll);
        return true;
    }

    void Close() override {
        if (handle == INVALID_HANDLE_VALUE) {
            return;
        }
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }

    void PrepareRead() override {
        // Each system read waits at most 100 ms; the port counts the reads.
        COMMTIMEOUTS timeouts{};
        GetCommTimeouts(handle, &timeouts);
        timeouts.ReadTotalTimeoutConstant = kReadConstantMs;
        SetCommTimeouts(handle, &timeouts);
        ClearErrors(nullptr);
    }

    IoResult ReadSome(uint8_t* buffer, int count) override {
        DWORD got = 0;
        const BOOL ok = ReadFile(handle, buffer, static_cast<DWORD>(count), &got, nullptr);
        return {ok != FALSE, static_cast<int>(got)};
    }

    void PrepareWrite() override { ClearErrors(nullptr); }

    bool WriteSome(const uint8_t* data, int count) override {
        DWORD written = 0;
        return WriteFile(handle, data, static_cast<DWORD>(count), &written, nullptr) != FALSE;
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

    void Purge() override { PurgeComm(handle, kPurgeAll); }

    void Interrupt() override {
        // Ends a ReadFile or WriteFile that another thread is blocked in, where the
        // driver supports it; otherwise the read ends within its 100 ms.
        CancelIoEx(handle, nullptr);
    }

private:
    bool ClearErrors(COMSTAT* status) {
        DWORD errors = 0;
        return ClearCommError(handle, &errors, status) != FALSE;
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<SerialDevice> CreateSystemSerialDevice() {
    return std::make_unique<Win32SerialDevice>();
}
