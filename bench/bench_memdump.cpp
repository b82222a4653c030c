// Memory dump throughput: 8 MB (four regions of 2,000,000 bytes) read from the simulated
// modem in download mode on a pseudo-terminal, at full speed, one request in flight. Reports
// the rate (MB/s of region bytes, wall clock) and the client's own CPU time per MB, to show
// that the request-response round trip, not the client, sets the pace. Every run's files are
// checked against the regions.
//
//   bench_memdump --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// (those are the defaults of this program: the median of five dumps).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "memdump/MemDebugClient.h"
#include "modemsim/SimModem.h"

namespace {

namespace fs = std::filesystem;
using namespace kvx;

constexpr size_t kRegionBytes = 2000000;
constexpr size_t kRegions = 4;
constexpr double kMegabyte = 1e6;

double threadCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Quiet final : public memdump::DumpTarget {
  public:
    void progress(const memdump::DumpProgress&) override {}
    void regions(const memdump::RegionTable&) override {}
    void messageBox(const std::string&) override {}
};

// Arg 0: contents of which half are 0x7E/0x7D (every such byte doubles on the wire);
// arg 1: varied contents without them.
void BM_Dump8MB(benchmark::State& state) {
    const bool escapeHeavy = state.range(0) == 0;
    modemsim::SimModemConfig config;
    config.download.on = true;
    for (size_t i = 0; i < kRegions; ++i) {
        std::vector<uint8_t> bytes = modemsim::escapeHeavyBytes(kRegionBytes, static_cast<uint32_t>(i + 1));
        if (!escapeHeavy)
            for (size_t k = 0; k < bytes.size(); ++k)
                if (bytes[k] == 0x7E || bytes[k] == 0x7D) bytes[k] = static_cast<uint8_t>(k);
        config.download.regions.push_back({1, static_cast<uint32_t>(0x10000000u * (i + 1)),
                                           "RAM" + std::to_string(i), "ram" + std::to_string(i) + ".bin",
                                           std::move(bytes)});
    }
    const auto regions = config.download.regions;
    modemsim::SimModem modem(std::move(config));
    if (modem.start().error != modemsim::StartError::None) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::string pattern = (fs::temp_directory_path() / "kvx-bench-memdump-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const fs::path out(pattern);

    double cpu = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        Quiet quiet;
        memdump::MemDebugClient client;
        client.setTarget(&quiet);
        client.setOutputFolder(out);
        const double c0 = threadCpuSeconds();
        const int result = client.runOn(modem.path());
        cpu += threadCpuSeconds() - c0;
        if (result != memdump::kDumpFinished ||
            client.summary().bytesRead != kRegionBytes * kRegions) {
            state.SkipWithError("dump incomplete");
            break;
        }
        bytes += client.summary().bytesRead;
        state.PauseTiming();
        for (const auto& r : regions) {
            std::ifstream in(out / r.fileName, std::ios::binary);
            const std::vector<uint8_t> got{std::istreambuf_iterator<char>(in), {}};
            if (got != r.bytes) state.SkipWithError(("file differs: " + r.fileName).c_str());
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (bytes > 0) {
        state.counters["client_cpu_ms_per_MB"] = cpu * 1000.0 / (static_cast<double>(bytes) / kMegabyte);
        state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / kMegabyte,
                                                    benchmark::Counter::kIsRate);
    }
    std::error_code ec;
    fs::remove_all(out, ec);
}
BENCHMARK(BM_Dump8MB)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
