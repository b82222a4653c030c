// End-to-end raw DM conversion (file to file, through the logging worker's raw-file branch, as
// `kvxlog convert` runs it) against OpenSSL's Blowfish-ECB over the same number of bytes, in
// the same run on the same machine. Also the conversion's peak resident memory, measured in a
// child process.
//
//   bench_convert [--size-mb N] [benchmark flags]   (default 100 MB, 5 repetitions)
#include <openssl/blowfish.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <vector>

#include "capture/LoggingWorker.h"
#include "dm/Blowfish.h"
#include "dm/KvxLog.h"

namespace {

std::string gDir;
std::string gRaw;
uint64_t gRawBytes = 0;

class NullWindow : public kvx::capture::Window {
public:
    bool isChecked(int) override { return false; }
    void setChecked(int, bool) override {}
    std::string getText(int) override { return {}; }
    void setText(int, const std::string&) override {}
    void enable(int, bool) override {}
    void setStatus(const std::string&) override {}
    void messageBox(const std::string& t) override { std::fprintf(stderr, "%s", t.c_str()); }
    void startTimer(int, int) override {}
    void stopTimer(int) override {}
    void close() override {}
    void notify(uint32_t, const kvx::dm::InfoNotification&) override {}
};

int convertOnce() {
    kvx::dm::KvxLog engine;
    NullWindow window;
    kvx::capture::CaptureFlags flags;
    kvx::capture::WorkerSettings settings;
    settings.rawFile = true;
    settings.rawPath = gRaw;
    settings.baseLogPath = gDir + "/out-";
    flags.nextFile.store(true);
    kvx::capture::LoggingWorker worker(engine, window, flags, settings, nullptr);
    const int code = worker.run();
    std::remove(worker.currentFile().c_str());
    return code;
}

void BM_ConvertEndToEnd(benchmark::State& state) {
    for (auto _ : state) {
        if (convertOnce() != 0) state.SkipWithError("conversion failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gRawBytes));
}

void BM_OpenSslBlowfishEcb(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(kvx::dm::kLogKey.size()), kvx::dm::kLogKey.data());
    std::vector<unsigned char> buf(1 << 20, 0x5A);
    for (auto _ : state) {
        uint64_t left = gRawBytes;
        while (left > 0) {
            const size_t n = std::min<uint64_t>(left, buf.size()) / 8 * 8;
            for (size_t i = 0; i < n; i += 8) BF_ecb_encrypt(&buf[i], &buf[i], &key, BF_ENCRYPT);
            left -= n ? n : left;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gRawBytes));
}

void BM_OurBlowfishEcb(benchmark::State& state) {
    std::vector<unsigned char> buf(1 << 20, 0x5A);
    for (auto _ : state) {
        uint64_t left = gRawBytes;
        while (left > 0) {
            const size_t n = std::min<uint64_t>(left, buf.size()) / 8 * 8;
            kvx::dm::logCipher().encryptBlocks(buf.data(), n / 8);
            left -= n ? n : left;
        }
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gRawBytes));
}

// Peak resident memory of one conversion, in a child process of its own.
long conversionPeakKb() {
    const pid_t pid = fork();
    if (pid == 0) _exit(convertOnce());
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

}  // namespace

BENCHMARK(BM_ConvertEndToEnd)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslBlowfishEcb)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OurBlowfishEcb)->Unit(benchmark::kMillisecond);

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Conversion and OpenSSL runs interleaved, so both see the same load on a shared machine;
// medians of wall-clock and processor time, and the ratio of the two rates.
void ratioSummary(int rounds) {
    std::vector<double> convWall, convCpu, sslWall, sslCpu;
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(kvx::dm::kLogKey.size()), kvx::dm::kLogKey.data());
    std::vector<unsigned char> buf(1 << 20, 0x5A);
    for (int r = 0; r < rounds; ++r) {
        double w = seconds(CLOCK_MONOTONIC), c = seconds(CLOCK_THREAD_CPUTIME_ID);
        convertOnce();
        convWall.push_back(seconds(CLOCK_MONOTONIC) - w);
        convCpu.push_back(seconds(CLOCK_THREAD_CPUTIME_ID) - c);
        w = seconds(CLOCK_MONOTONIC);
        c = seconds(CLOCK_THREAD_CPUTIME_ID);
        for (uint64_t left = gRawBytes; left >= 8;) {
            const size_t n = std::min<uint64_t>(left, buf.size()) / 8 * 8;
            for (size_t i = 0; i < n; i += 8) BF_ecb_encrypt(&buf[i], &buf[i], &key, BF_ENCRYPT);
            left -= n;
        }
        benchmark::DoNotOptimize(buf.data());
        sslWall.push_back(seconds(CLOCK_MONOTONIC) - w);
        sslCpu.push_back(seconds(CLOCK_THREAD_CPUTIME_ID) - c);
    }
    const double mb = static_cast<double>(gRawBytes) / 1e6;
    auto line = [&](const char* what, const std::vector<double>& wall, const std::vector<double>& cpu) {
        std::printf("%-28s wall median %7.1f MB/s (min %.1f, max %.1f)   cpu median %7.1f MB/s\n",
                    what, mb / median(wall), mb / *std::max_element(wall.begin(), wall.end()),
                    mb / *std::min_element(wall.begin(), wall.end()), mb / median(cpu));
    };
    std::printf("\n%d interleaved rounds over %.1f MB:\n", rounds, mb);
    line("conversion (file to file)", convWall, convCpu);
    line("OpenSSL BF_ecb_encrypt", sslWall, sslCpu);
    std::printf("conversion / OpenSSL: wall %.0f%%, cpu %.0f%% (target: at least 70%%)\n",
                100.0 * median(sslWall) / median(convWall), 100.0 * median(sslCpu) / median(convCpu));
}

}  // namespace

int main(int argc, char** argv) {
    int sizeMb = 100;
    std::vector<char*> args;
    bool repetitionsGiven = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--size-mb") == 0 && i + 1 < argc) {
            sizeMb = std::atoi(argv[++i]);
            continue;
        }
        if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) repetitionsGiven = true;
        args.push_back(argv[i]);
    }
    static char reps[] = "--benchmark_repetitions=5";
    static char aggr[] = "--benchmark_report_aggregates_only=true";
    if (!repetitionsGiven) {
        args.push_back(reps);
        args.push_back(aggr);
    }
    char tmpl[] = "/tmp/kvx-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    gDir = tmpl;
    gRaw = gDir + "/input.raw";
    const std::string cmd = std::string(KVX_SAMPLEGEN) + " " + gRaw + " " +
                            std::to_string(static_cast<uint64_t>(sizeMb) * 1000000) + " 7";
    if (std::system(cmd.c_str()) != 0) return 1;
    struct stat st {};
    ::stat(gRaw.c_str(), &st);
    gRawBytes = static_cast<uint64_t>(st.st_size);
    std::printf("input: %llu bytes of generated raw DM stream\n",
                static_cast<unsigned long long>(gRawBytes));
    std::printf("peak resident memory of one conversion: %ld kB\n", conversionPeakKb());

    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ratioSummary(7);
    std::remove(gRaw.c_str());
    rmdir(gDir.c_str());
    return 0;
}
