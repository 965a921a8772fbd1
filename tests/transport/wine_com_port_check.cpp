// The Windows port on a COM link to a pseudo-terminal, run under Wine by
// wine_com_port_test.py, which holds the pty's other side and plays this conversation:
//
//   this program                         the driver
//   opens the port, prints READY   ->    writes the 256 byte values
//   reads them, sends 64 + 65 bytes ->   checks the 129 bytes and when they arrived:
//                                          63, about 100 ms later the 64th, then 65
//                                          without a pause
//   close during a blocked read, reopen, prints DONE, exit 0
//
// Any failed check prints FAIL with what was wrong and ends with exit status 1.

#include <windows.h>

#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "transport/mt_access_if_comm_port.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAIL %s\n", what);
        std::fflush(stdout);
        ++failures;
    }
}

std::vector<uint8_t> Pattern(int count, int seed) {
    std::vector<uint8_t> bytes(count);
    for (int i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 13 + seed);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: wine_com_port_check COMn\n");
        return 2;
    }
    const std::string ascii = argv[1];
    const std::u16string name(ascii.begin(), ascii.end());

    MTAccessIfCommPort port;
    port.trace = nullptr;
    if (!port.Open(name)) {
        std::printf("FAIL open %s\n", argv[1]);
        return 1;
    }
    // No second-opener check: Wine does not enforce the share mode on COM devices, so
    // exclusive access cannot be seen here. The share mode 0 that asks for it is checked
    // in win32_serial_device_test.
    Check(port.IsRecvEmpty(), "nothing waiting after the open");
    std::printf("READY\n");
    std::fflush(stdout);

    std::vector<uint8_t> all(256);
    int received = 0;
    Check(port.Recv(all.data(), 256, &received, 10000) == 0, "receive 256 bytes");
    for (int i = 0; i < 256; ++i) {
        if (all[i] != i) {
            std::printf("FAIL byte %d is %d\n", i, all[i]);
            ++failures;
            break;
        }
    }

    const std::vector<uint8_t> split = Pattern(64, 1);  // goes out as 63 + 1
    const std::vector<uint8_t> whole = Pattern(65, 2);
    Check(port.Send(split.data(), 64, 5000) == 0, "send 64 bytes");
    Check(port.Send(whole.data(), 65, 5000) == 0, "send 65 bytes");

    // The close from another thread while this one waits in a read on a silent line.
    auto reader = std::async(std::launch::async, [&] {
        uint8_t buffer[4];
        return port.Recv(buffer, 4, nullptr, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Check(port.Close() == 0, "close during the read");
    Check(reader.get() == 2, "the read ends short after the close");
    Check(port.Close() == 4, "second close");
    uint8_t byte = 0;
    Check(port.Send(&byte, 1, 5000) == 4, "send on the closed port");
    Check(port.Open(name), "reopen after the close: the handle was released");
    Check(port.Close() == 0, "final close");

    std::printf(failures == 0 ? "DONE\n" : "FAILED\n");
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}
