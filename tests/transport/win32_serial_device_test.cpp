// The Windows serial device's line configuration, on its own code path, over a recording
// table of the Win32 communications calls: what it asks CreateFileW for, which DCB
// fields it changes and keeps, the five time-outs at the open and the read constant from
// the first read on, the queue sizes and the purge flags.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/serial_device_win32_api.h"

namespace {

HANDLE const kHandle = reinterpret_cast<HANDLE>(0x4C4B);

// What the driver reports and what the device asked for. The calls are plain functions,
// so the record is the process's.
struct Record {
    DCB driverDcb{};
    bool getStateFails = false;
    bool getTimeoutsFails = false;
    COMMTIMEOUTS driverTimeouts{};

    std::wstring path;
    DWORD access = 0;
    DWORD share = 0xFFFF;
    DWORD creation = 0;
    DWORD flags = 0;
    bool securityGiven = false;
    bool templateGiven = false;
    DWORD dcbLengthAsked = 0;
    std::vector<DCB> statesSet;
    std::vector<COMMTIMEOUTS> timeoutsSet;
    std::vector<std::pair<DWORD, DWORD>> queues;
    std::vector<DWORD> purges;
    int closes = 0;
};
Record record;

HANDLE WINAPI RecordCreateFile(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD creation, DWORD flags,
                               HANDLE templateFile) {
    record.path = path;
    record.access = access;
    record.share = share;
    record.securityGiven = security != nullptr;
    record.creation = creation;
    record.flags = flags;
    record.templateGiven = templateFile != nullptr;
    return kHandle;
}
BOOL WINAPI RecordCloseHandle(HANDLE) {
    ++record.closes;
    return TRUE;
}
BOOL WINAPI RecordGetCommState(HANDLE, LPDCB dcb) {
    record.dcbLengthAsked = dcb->DCBlength;
    if (record.getStateFails) {
        return FALSE;
    }
    *dcb = record.driverDcb;
    return TRUE;
}
BOOL WINAPI RecordSetCommState(HANDLE, LPDCB dcb) {
    record.statesSet.push_back(*dcb);
    return TRUE;
}
BOOL WINAPI RecordGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    if (record.getTimeoutsFails) {
        return FALSE;
    }
    *timeouts = record.timeoutsSet.empty() ? record.driverTimeouts : record.timeoutsSet.back();
    return TRUE;
}
BOOL WINAPI RecordSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    record.timeoutsSet.push_back(*timeouts);
    return TRUE;
}
BOOL WINAPI RecordSetupComm(HANDLE, DWORD in, DWORD out) {
    record.queues.emplace_back(in, out);
    return TRUE;
}
BOOL WINAPI RecordPurgeComm(HANDLE, DWORD flags) {
    record.purges.push_back(flags);
    return TRUE;
}
BOOL WINAPI RecordClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    *errors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
    }
    return TRUE;
}
BOOL WINAPI RecordReadFile(HANDLE, LPVOID, DWORD, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    return TRUE;
}
BOOL WINAPI RecordWriteFile(HANDLE, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED) {
    *written = count;
    return TRUE;
}
BOOL WINAPI RecordCancelIoEx(HANDLE, LPOVERLAPPED) {
    return TRUE;
}

const Win32CommApi kRecordingApi{
    RecordCreateFile,      RecordCloseHandle,     RecordGetCommState, RecordSetCommState,
    RecordGetCommTimeouts, RecordSetCommTimeouts, RecordSetupComm,    RecordPurgeComm,
    RecordClearCommError,  RecordReadFile,        RecordWriteFile,    RecordCancelIoEx,
};

// A driver DCB in which every field holds a value that the device has no reason to
// write, so that any field it changes shows.
DCB DriverDcb() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 57600;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.fErrorChar = 1;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 123;
    dcb.XoffLim = 456;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '!';
    return dcb;
}

bool SameDcb(const DCB& a, const DCB& b) {
    return std::memcmp(&a, &b, sizeof(DCB)) == 0;
}

class Win32SerialDeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        record = Record{};
        record.driverDcb = DriverDcb();
        // Whatever the driver had before: the open sets all five.
        record.driverTimeouts = {7, 8, 9, 10, 11};
    }
    std::unique_ptr<SerialDevice> device = CreateWin32SerialDevice(kRecordingApi);
};

TEST_F(Win32SerialDeviceTest, OpensThePathExclusivelyForSynchronousIo) {
    ASSERT_TRUE(device->Open(u"COM7"));
    EXPECT_EQ(record.path, L"\\\\.\\COM7");
    EXPECT_EQ(record.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(record.share, 0u);
    EXPECT_FALSE(record.securityGiven);
    EXPECT_EQ(record.creation, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(record.flags, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(record.templateGiven);
    EXPECT_FALSE(device->Open(u"COM7")) << "already open";
    device->Close();
    EXPECT_EQ(record.closes, 1);
}

TEST_F(Win32SerialDeviceTest, ChangesOnlyTheFourFlowControlFields) {
    ASSERT_TRUE(device->Open(u"COM3"));
    EXPECT_EQ(record.dcbLengthAsked, 28u);
    ASSERT_EQ(record.statesSet.size(), 1u);
    DCB expected = DriverDcb();
    expected.fOutxCtsFlow = FALSE;
    expected.fOutxDsrFlow = FALSE;
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fRtsControl = RTS_CONTROL_HANDSHAKE;
    const DCB& set = record.statesSet[0];
    EXPECT_EQ(set.fOutxCtsFlow, 0u);
    EXPECT_EQ(set.fOutxDsrFlow, 0u);
    EXPECT_EQ(set.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(set.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(set.BaudRate, 57600u);
    EXPECT_EQ(set.ByteSize, 7);
    EXPECT_TRUE(SameDcb(set, expected)) << "a field beyond the four flow-control ones changed";
}

TEST_F(Win32SerialDeviceTest, ADcbThatCannotBeReadIsNotWrittenBack) {
    record.getStateFails = true;
    ASSERT_TRUE(device->Open(u"COM3"));  // the configuration results are not examined
    EXPECT_TRUE(record.statesSet.empty());
    EXPECT_EQ(record.timeoutsSet.size(), 1u);
}

struct Timeouts {
    DWORD interval, readMultiplier, readConstant, writeMultiplier, writeConstant;
};
Timeouts Of(const COMMTIMEOUTS& t) {
    return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}
bool operator==(const Timeouts& a, const Timeouts& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
void PrintTo(const Timeouts& t, std::ostream* out) {
    *out << "{" << t.interval << ", " << t.readMultiplier << ", " << t.readConstant << ", "
         << t.writeMultiplier << ", " << t.writeConstant << "}";
}

TEST_F(Win32SerialDeviceTest, SetsTheFiveTimeoutsQueuesAndPurgeAtTheOpen) {
    ASSERT_TRUE(device->Open(u"COM3"));
    ASSERT_EQ(record.timeoutsSet.size(), 1u);
    EXPECT_EQ(Of(record.timeoutsSet[0]), (Timeouts{0, 0, 50000, 0, 50000}));
    EXPECT_EQ(record.queues, (std::vector<std::pair<DWORD, DWORD>>{{1048576, 1048576}}));
    EXPECT_EQ(record.purges, std::vector<DWORD>{0x0F});
    device->Purge();
    EXPECT_EQ(record.purges, (std::vector<DWORD>{0x0F, 0x0F}));
}

// From the first read on the read constant is 100 ms; the other four keep what the open
// set, also when the time-outs cannot be read back before a read.
TEST_F(Win32SerialDeviceTest, ReadsLowerOnlyTheReadConstant) {
    for (const bool unreadable : {false, true}) {
        SCOPED_TRACE(unreadable ? "time-outs unreadable" : "time-outs readable");
        SetUp();
        auto port = CreateWin32SerialDevice(kRecordingApi);
        ASSERT_TRUE(port->Open(u"COM3"));
        record.getTimeoutsFails = unreadable;
        uint8_t byte;
        for (int read = 0; read < 2; ++read) {
            port->PrepareRead();
            port->ReadSome(&byte, 1);
        }
        ASSERT_EQ(record.timeoutsSet.size(), 3u);
        EXPECT_EQ(Of(record.timeoutsSet[1]), (Timeouts{0, 0, 100, 0, 50000}));
        EXPECT_EQ(Of(record.timeoutsSet[2]), (Timeouts{0, 0, 100, 0, 50000}));
    }
}

}  // namespace
