// Throughput of a whole transfer (both images, every chunk acknowledged, the finish
// command, no settle wait) to the simulated instrument in this process, beside a plain
// copy of the same chunk packets through the same in-memory transport with no protocol
// and no answers. The ratio says what the stop-and-wait protocol costs over the copy.
//
// The images are those of the demo package when the build has made it, otherwise
// generated ones of the same sizes.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "package/fw_package.h"
#include "protocol/mt_update_protocol.h"
#include "tests/support/memory_transport.h"
#include "tools/sim/instrument_engine.h"

namespace {

constexpr ModelId kModel = {'B', 'E', 'N', 'C'};
constexpr size_t kImage1Size = 1400 * 1024;
constexpr size_t kImage2Size = 300 * 1024;

void Fill(FWImage& image, size_t size, uint8_t seed) {
    image.length = static_cast<uint32_t>(size);
    image.data = std::make_unique<uint8_t[]>(size);
    for (size_t i = 0; i < size; ++i) {
        image.data[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    }
}

// The package whose images are sent, with this benchmark's model and version prefix.
struct BenchPackage {
    FWPackage package;
    std::string source;

    BenchPackage() {
        std::ifstream file(KLV_DEMO_PACKAGE_FILE, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        if (!bytes.empty()) {
            package.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()));
        }
        if (package.IsUsable()) {
            source = KLV_DEMO_PACKAGE_FILE;
        } else {
            package.valid = true;
            Fill(package.image1, kImage1Size, 1);
            Fill(package.image2, kImage2Size, 7);
            source = "generated images";
        }
        package.modelIds = {kModel};
        VersionPrefix prefix;
        prefix.prefixLength = 3;
        std::memcpy(prefix.prefix, "B01", 3);
        package.versionPrefixes = {prefix};
    }

    uint64_t Bytes() const { return uint64_t{package.image1.length} + package.image2.length; }
};

const BenchPackage& Package() {
    static const BenchPackage bench;
    return bench;
}

void NoSleep(int) {}

// Both rates, by maxPacket, for the ratio printed at the end.
std::map<int, double> protocolRate;
std::map<int, double> copyRate;
std::map<int, double> inlineRate;

void Record(benchmark::State& state, std::map<int, double>& rates, double seconds) {
    const double bytes = static_cast<double>(Package().Bytes()) * state.iterations();
    const double rate = seconds > 0 ? bytes / seconds / 1e6 : 0;
    state.counters["MB/s"] = rate;
    rates[static_cast<int>(state.range(0))] = rate;
}

void BM_Transfer(benchmark::State& state) {
    const uint16_t maxPacket = static_cast<uint16_t>(state.range(0));
    const FWPackage& package = Package().package;
    double seconds = 0;
    for (auto _ : state) {
        InstrumentConfig config;
        config.maxPacket = maxPacket;
        config.modelId = kModel;
        config.versions = {"B01.00"};
        MemoryLink link;
        MemoryTransport port(link.host());
        InstrumentEngine engine(config);
        std::thread instrument([&] { engine.Run(link.device()); });

        MTUpdateProtocol protocol;
        protocol.transport = &port;
        protocol.package = const_cast<FWPackage*>(&package);
        protocol.sleepMs = NoSleep;
        bool ok = protocol.Connect() == 0 && protocol.CheckVersion() == 0;
        const auto start = std::chrono::steady_clock::now();
        ok = ok && protocol.Transfer() == 0;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();

        engine.Stop();
        instrument.join();
        if (!ok || !engine.ImagesMatch(package) || !engine.Report().violations.empty()) {
            state.SkipWithError("the transfer did not complete cleanly");
            break;
        }
    }
    Record(state, protocolRate, seconds);
}

// The protocol's own work with no second thread: a transport that answers every packet
// at once with an acknowledgement, in the sending thread. Beside BM_Transfer this shows
// how much of a transfer is the hand-over between host and instrument.
class AckingTransport final : public MTAccessInterface {
  public:
    bool Lock() override { return true; }
    bool Unlock() override { return true; }
    int Send(const uint8_t* data, int count, int) override {
        sent += static_cast<uint64_t>(count);
        benchmark::DoNotOptimize(data[count - 1]);
        pendingAt = 0;  // one acknowledgement waits now
        return 0;
    }
    int Recv(uint8_t* buffer, int count, int*, int) override {
        if (pendingAt + count > static_cast<int>(sizeof kAck)) {
            return 2;
        }
        std::memcpy(buffer, kAck + pendingAt, static_cast<size_t>(count));
        pendingAt += count;
        return 0;
    }
    int Close() override { return 0; }
    bool IsRecvEmpty() override { return true; }
    void Purge() override {}

    uint64_t sent = 0;

  private:
    static constexpr uint8_t kAck[6] = {0x03, 0x01, 0x02, 0x00, 0x00, 0x00};
    int pendingAt = sizeof kAck;  // nothing to read before the first packet
};

void BM_TransferInline(benchmark::State& state) {
    const FWPackage& package = Package().package;
    double seconds = 0;
    for (auto _ : state) {
        AckingTransport port;
        MTUpdateProtocol protocol;
        protocol.transport = &port;
        protocol.package = const_cast<FWPackage*>(&package);
        protocol.maxPacket = static_cast<uint16_t>(state.range(0));
        protocol.sleepMs = NoSleep;
        const auto start = std::chrono::steady_clock::now();
        const int result = protocol.Transfer();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
        if (result != 0 || port.sent < Package().Bytes()) {
            state.SkipWithError("the transfer did not complete");
            break;
        }
    }
    Record(state, inlineRate, seconds);
}

// The same chunk packets, built the same way, written back to back; the other side
// only reads them.
void BM_PlainCopy(benchmark::State& state) {
    const int maxPacket = static_cast<int>(state.range(0));
    const int chunkSize = maxPacket % 64 == 0 ? maxPacket - 8 : maxPacket - 4;
    const FWPackage& package = Package().package;
    const FWImage* const images[] = {&package.image2, &package.image1};
    uint64_t total = 0;
    for (const FWImage* image : images) {
        const uint64_t chunks = (image->length + chunkSize - 1) / chunkSize;
        total += image->length + 4 * chunks;
    }
    double seconds = 0;
    for (auto _ : state) {
        MemoryLink link;
        MemoryTransport port(link.host());
        const auto start = std::chrono::steady_clock::now();
        std::thread reader([&] {
            std::vector<uint8_t> sink(static_cast<size_t>(maxPacket));
            uint64_t got = 0;
            while (got < total) {
                const int n = link.device().Read(sink.data(), maxPacket, -1);
                if (n < 0) {
                    return;
                }
                got += static_cast<uint64_t>(n);
            }
        });
        std::vector<uint8_t> chunk(static_cast<size_t>(maxPacket));
        chunk[0] = 0x01;
        chunk[1] = 0x03;
        for (const FWImage* image : images) {
            for (uint32_t offset = 0; offset < image->length;) {
                const uint32_t n = std::min<uint32_t>(chunkSize, image->length - offset);
                chunk[2] = static_cast<uint8_t>(n);
                chunk[3] = static_cast<uint8_t>(n >> 8);
                std::memcpy(chunk.data() + 4, image->data.get() + offset, n);
                port.Send(chunk.data(), static_cast<int>(4 + n), 5000);
                offset += n;
            }
        }
        reader.join();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        seconds += took.count();
    }
    Record(state, copyRate, seconds);
}

BENCHMARK(BM_Transfer)
    ->Arg(1024)
    ->Arg(4096)
    ->Arg(65535)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransferInline)
    ->Arg(1024)
    ->Arg(4096)
    ->Arg(65535)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainCopy)
    ->Arg(1024)
    ->Arg(4096)
    ->Arg(65535)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::cout << "images: " << Package().source << ", " << Package().package.image2.length << " + "
              << Package().package.image1.length << " bytes\n";
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const auto& [maxPacket, rate] : protocolRate) {
        const auto copy = copyRate.find(maxPacket);
        if (copy != copyRate.end() && copy->second > 0) {
            std::cout << "maxPacket " << maxPacket << ": protocol " << rate << " MB/s, copy "
                      << copy->second << " MB/s, protocol/copy " << rate / copy->second
                      << "; protocol alone " << inlineRate[maxPacket] << " MB/s\n";
        }
    }
    return 0;
}
