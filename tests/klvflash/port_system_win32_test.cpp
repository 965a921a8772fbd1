// Why a COM port did not open, from the system's refusal: Wine lets any number of
// programs open one COM port, so the refusals Windows gives are put in through the
// table of system calls.

#include <gtest/gtest.h>

#include <string>

#include "tools/klvflash/flash_messages.h"
#include "tools/klvflash/port_system.h"
#include "tools/klvflash/port_system_win32.h"

namespace {

DWORD refusal = 0;  // the error CreateFileW gives; 0 opens
std::wstring opened;
int closed = 0;

HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                              DWORD, HANDLE) {
    opened = name;
    EXPECT_EQ(share, 0u) << "a port is opened for this program alone";
    if (refusal != 0) {
        SetLastError(refusal);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(0x1234);
}

BOOL WINAPI FakeCloseHandle(HANDLE) {
    ++closed;
    return TRUE;
}

Win32CommApi FakeApi() {
    Win32CommApi api = SystemCommApi();
    api.CreateFileW = &FakeCreateFileW;
    api.CloseHandle = &FakeCloseHandle;
    return api;
}

TEST(OpenFailureOnWindows, TheSystemsRefusalNamesTheCause) {
    const struct {
        DWORD error;
        OpenFailure expected;
    } cases[] = {
        {ERROR_ACCESS_DENIED, OpenFailure::Busy},  // what Windows says when a program holds it
        {ERROR_SHARING_VIOLATION, OpenFailure::Busy},
        {ERROR_BUSY, OpenFailure::Busy},
        {ERROR_FILE_NOT_FOUND, OpenFailure::Missing},
        {ERROR_PATH_NOT_FOUND, OpenFailure::Missing},
        {ERROR_GEN_FAILURE, OpenFailure::Other},
        {0, OpenFailure::Other},  // it opens now: no cause to name
    };
    const Win32CommApi api = FakeApi();
    for (const auto& c : cases) {
        refusal = c.error;
        closed = 0;
        EXPECT_EQ(DiagnoseOpenFailureWith(api, "COM5"), c.expected) << "error " << c.error;
        EXPECT_EQ(closed, c.error == 0 ? 1 : 0) << "a port opened to look is closed again";
    }
}

TEST(OpenFailureOnWindows, EveryFormOfTheNameOpensTheDevice) {
    const Win32CommApi api = FakeApi();
    refusal = ERROR_FILE_NOT_FOUND;
    for (const char* name : {"COM12", "\\\\.\\COM12"}) {
        DiagnoseOpenFailureWith(api, name);
        EXPECT_EQ(opened, L"\\\\.\\COM12") << name;
    }
    EXPECT_EQ(TransportPortName("\\\\.\\COM12"), "COM12");
    EXPECT_EQ(ComparablePortName("\\\\.\\com12"), ComparablePortName("COM12"));
    EXPECT_NE(ComparablePortName("COM1"), ComparablePortName("COM12"));
}

TEST(OpenFailureOnWindows, AHeldPortIsReportedAsInUse) {
    const FlashOutcome outcome = OutcomeOfOpenFailure(OpenFailure::Busy, "COM5");
    EXPECT_EQ(outcome.exitStatus, 80);
    EXPECT_NE((outcome.headline + outcome.advice).find("in use by another program"),
              std::string::npos);
}

}  // namespace
