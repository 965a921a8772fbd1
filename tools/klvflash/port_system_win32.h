#pragma once
// Windows only: why a COM port does not open, with the system calls taken from a table,
// so that a test can give the refusals Wine never gives (Wine lets a second program open
// a COM port that one program holds).

#include <string>

#include "tools/klvflash/flash_messages.h"
#include "transport/serial_device_win32_api.h"

OpenFailure DiagnoseOpenFailureWith(const Win32CommApi& api, const std::string& path);
