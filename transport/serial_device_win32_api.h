#pragma once
// The Win32 communications calls the serial device makes, as one table. The program
// uses the system's functions; the unit tests put a recording table in its place, so
// that the line configuration is checked on the device's own code path.

#include <windows.h>

#include <memory>

#include "transport/serial_device.h"

struct Win32CommApi {
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetCommState) GetCommState;
    decltype(&::SetCommState) SetCommState;
    decltype(&::GetCommTimeouts) GetCommTimeouts;
    decltype(&::SetCommTimeouts) SetCommTimeouts;
    decltype(&::SetupComm) SetupComm;
    decltype(&::PurgeComm) PurgeComm;
    decltype(&::ClearCommError) ClearCommError;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CancelIoEx) CancelIoEx;
};

// The system's functions.
const Win32CommApi& SystemCommApi();

// A serial device that makes its calls through api, which must outlive it.
std::unique_ptr<SerialDevice> CreateWin32SerialDevice(const Win32CommApi& api);
