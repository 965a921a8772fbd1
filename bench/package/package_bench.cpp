// How Parse of the 1.7 MB demo package compares with one memcpy of the same bytes.
// The reader copies, rotates and walks once, and copies the images out: about three
// passes over the package, so a few memcpy times is the floor.
//
// Two pairs: with memory the process already has (BM_Memcpy, BM_Parse, the allocator
// told to keep what is freed) and with pages the kernel must hand out first
// (BM_MemcpyFreshPages, BM_ParseFreshPages, glibc's default, which returns the
// reader's 3.5 MB to the kernel after each Parse). The product parses once, at start,
// so it pays the fresh-page price; the reader's own work is the first pair. BM_DigestCheck
// is the digest check that follows Parse at start-up.
//
//   package_bench [--benchmark_repetitions=5] [package file]

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "package/fw_package.h"
#include "package/package_integrity.h"

namespace {

std::vector<uint8_t> package;

void ParseLoop(benchmark::State& state) {
    for (auto _ : state) {
        FWPackage parsed;
        parsed.Parse(package.data(), static_cast<uint32_t>(package.size()));
        benchmark::DoNotOptimize(parsed.image1.data.get());
        if (!parsed.IsUsable()) {
            state.SkipWithError("the package is not usable");
            break;
        }
        parsed.Release();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.size()));
}

void BM_ParseFreshPages(benchmark::State& state) {
    ParseLoop(state);
}

void BM_Parse(benchmark::State& state) {
    // Keep freed memory in the heap: later iterations reuse pages already mapped.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    ParseLoop(state);
}

void BM_MemcpyFreshPages(benchmark::State& state) {
    for (auto _ : state) {
        void* target = mmap(nullptr, package.size(), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (target == MAP_FAILED) {
            state.SkipWithError("mmap failed");
            break;
        }
        std::memcpy(target, package.data(), package.size());
        benchmark::DoNotOptimize(target);
        benchmark::ClobberMemory();
        munmap(target, package.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.size()));
}

void BM_Memcpy(benchmark::State& state) {
    std::vector<uint8_t> target(package.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), package.data(), package.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.size()));
}

// What the window program adds at start-up: the digest check of the embedded package
// (one SHA-256 pass over it, read where it lies, no copy).
void BM_DigestCheck(benchmark::State& state) {
    for (auto _ : state) {
        const auto report =
            klv::package::CheckIntegrity(package.data(), static_cast<uint32_t>(package.size()));
        if (report.verdict != klv::package::Integrity::Verified) {
            state.SkipWithError("the package's digest is not verified");
            break;
        }
        benchmark::DoNotOptimize(report.computed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * package.size()));
}

// In this order: BM_Parse changes the allocator's settings for the rest of the run.
BENCHMARK(BM_MemcpyFreshPages)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseFreshPages)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Parse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DigestCheck)->Unit(benchmark::kMicrosecond);

// Prints the table as usual, then Parse over memcpy and the digest check over Parse
// (mean times when repeated).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string name = run.benchmark_name();
            const bool plain = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
            if (plain || mean) {
                const std::string base = mean ? name.substr(0, name.rfind('_')) : name;
                times_[base] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        Ratio("BM_Parse", "BM_Memcpy");
        Ratio("BM_ParseFreshPages", "BM_MemcpyFreshPages");
        Ratio("BM_DigestCheck", "BM_Parse");
        Ratio("BM_DigestCheck", "BM_ParseFreshPages");
    }

  private:
    void Ratio(const std::string& parse, const std::string& copy) {
        if (times_.count(parse) && times_.count(copy) && times_[copy] > 0) {
            std::printf("%s / %s (%zu bytes): %.2f\n", parse.c_str(), copy.c_str(), package.size(),
                        times_[parse] / times_[copy]);
        }
    }

    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* path = argc > 1 ? argv[1] : KLV_DEMO_PACKAGE_PATH;
    std::ifstream in(path, std::ios::binary);
    package.assign(std::istreambuf_iterator<char>(in), {});
    if (package.size() < FWPackage::kMinimumSize) {
        std::fprintf(stderr, "package_bench: cannot read a package from %s\n", path);
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
