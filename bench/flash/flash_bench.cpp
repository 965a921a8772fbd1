// klvflash updating klvsim over a pseudo-terminal, beside a plain stop-and-wait echo of
// the same packet size over a pseudo-terminal pair of the same kind, in the same run.
//
// flash: image bytes / time from the first image start to the finish command's
//        acknowledgement, as klvflash measures it (its hidden --x-timing).
// echo:  payload bytes / time, sending one full chunk packet and waiting for a 6-byte
//        reply, for as many payload bytes as the two images hold.
// ratio: flash / echo, what the updater achieves of what the link allows this protocol.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Shell(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

struct FlashRun {
    double bytes = 0;
    double seconds = 0;
};

FlashRun RunFlash(int maxPacket) {
    // klvsim prints its pty on the first line; klvflash prints its timing on stderr.
    const std::string command =
        std::string("exec 3< <(exec ") + KLVSIM + " --quiet --timeout 30 --max-packet " +
        std::to_string(maxPacket) + " --package " + DEMO_PACKAGE + "); read -r port <&3; " +
        KLVFLASH + " --port \"$port\" --yes --x-settle-slice-ms 0 --x-timing 2>&1 >/dev/null; " +
        "cat <&3 >/dev/null";
    const std::string out = Shell("bash -c '" + command + "'");
    unsigned long long bytes = 0;
    double seconds = 0;
    const auto at = out.find("transfer ");
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "transfer %llu bytes in %lf s", &bytes, &seconds) != 2) {
        throw std::runtime_error("klvflash gave no timing: " + out);
    }
    return {static_cast<double>(bytes), seconds};
}

bool WriteAll(int fd, const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t count) {
    while (count > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return false;
        }
        const ssize_t n = read(fd, data, count);
        if (n <= 0) {
            continue;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Seconds for payloadTotal bytes in packets of packetSize (4 of which are the header).
double RunEcho(int packetSize, double payloadTotal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, O_NONBLOCK);

    const int payload = packetSize - 4;
    const long packets = static_cast<long>((payloadTotal + payload - 1) / payload);
    std::thread echo([&] {
        std::vector<uint8_t> in(packetSize);
        const uint8_t ack[6] = {3, 1, 2, 0, 0, 0};
        for (long i = 0; i < packets; ++i) {
            if (!ReadAll(master, in.data(), in.size())) {
                return;
            }
            WriteAll(master, ack, sizeof ack);
        }
    });
    std::vector<uint8_t> out(packetSize, 0x5A);
    uint8_t ack[6];
    const auto start = Clock::now();
    for (long i = 0; i < packets; ++i) {
        WriteAll(slave, out.data(), out.size());
        if (!ReadAll(slave, ack, sizeof ack)) {
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    echo.join();
    close(slave);
    close(master);
    return seconds * payloadTotal / (static_cast<double>(packets) * payload);
}

void BM_FlashVersusEcho(benchmark::State& state) {
    const int maxPacket = static_cast<int>(state.range(0));
    // A full chunk packet is never a multiple of 64 bytes long.
    const int packetSize = maxPacket % 64 == 0 ? maxPacket - 4 : maxPacket;
    double flashRate = 0;
    double echoRate = 0;
    for (auto _ : state) {
        const FlashRun flash = RunFlash(maxPacket);
        const double echoSeconds = RunEcho(packetSize, flash.bytes);
        flashRate += flash.bytes / flash.seconds;
        echoRate += flash.bytes / echoSeconds;
        state.SetIterationTime(flash.seconds);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["flash_MiBps"] = flashRate / n / 1048576.0;
    state.counters["echo_MiBps"] = echoRate / n / 1048576.0;
    state.counters["ratio"] = flashRate / echoRate;
}

BENCHMARK(BM_FlashVersusEcho)
    ->Arg(1024)
    ->Arg(4096)
    ->Arg(65535)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
