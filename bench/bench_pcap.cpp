// `kvxlog pcap` over 100 MB of logs, as a user runs it (whole process: reading, deciphering,
// the layouts, writing the capture), and the same work in process for the share of each step.
// The log is generated here: a mix like a real LTE capture, over-the-air messages of every
// layout between larger measurement records and the program's notes.
//
//   bench_pcap [--size-mb N] [--rounds R] [--all]     (defaults: 100 MB, 3 rounds)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "dm/LogWriter.h"
#include "ota/PcapExport.h"

extern char** environ;

namespace {

namespace dm = kvx::dm;
namespace ota = kvx::ota;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Bytes record(uint16_t code, uint64_t time, const Bytes& body) {
    const size_t n = 12 + body.size();
    Bytes r = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(code),
               static_cast<uint8_t>(code >> 8)};
    for (int i = 0; i < 8; ++i) r.push_back(static_cast<uint8_t>(time >> (8 * i)));
    r.insert(r.end(), body.begin(), body.end());
    return r;
}

// Writes about `bytes` of records; false when the log could not be written.
bool makeLog(const std::string& path, uint64_t bytes) {
    Bytes rrc = {15,   0x0d, 0x21, 0x01, 0xc0, 0x00, 0x6e, 0x14, 0, 0,
                 0x21, 0x34, 7,    0,    0,    0,    0,    40,   0};
    rrc.resize(rrc.size() + 40, 0x2b);
    const Bytes nas = {1,    9,    5,    0,    0x07, 0x41, 0x71, 0x08,
                       0x39, 0x51, 0x10, 0x00, 0x20, 0x07, 0x42};
    Bytes gsm = {0x81, 0x19, 23, 0x55, 0x06, 0x19};
    gsm.resize(3 + 23, 0x2b);
    Bytes meas(220, 0x11);  // e.g. an ML1 measurement record: not over the air
    meas[0] = 4;
    dm::LogWriter w;
    if (!w.openlog(path)) return false;
    const Bytes note = record(dm::kCodeNote, 0, {'K', 'v', 'x', 'L', 'o', 'g'});
    w.append(note.data(), note.size());
    uint64_t stamp = uint64_t{1445182872} * 800 << 16, written = 0;
    for (uint64_t i = 0; written < bytes; ++i) {
        stamp += 0x10000;
        Bytes r;
        switch (i % 8) {
            case 0:
            case 2:
            case 4:
                r = record(0xB0C0, stamp, rrc);
                break;
            case 1:
                r = record(0xB0ED, stamp, nas);
                break;
            case 3:
                r = record(0x512F, stamp, gsm);
                break;
            default:
                r = record(0xB17F, stamp, meas);
                break;
        }
        w.append(r.data(), r.size());
        written += r.size();
    }
    w.closelog();
    return w.ok();
}

// Runs kvxlog pcap; its CPU time (user and system) in `cpu`, which a busy machine leaves
// alone where it stretches the wall-clock time.
bool runKvxlog(const std::string& log, const std::string& out, bool all, double& cpu) {
    const std::string kvxlog = KVX_KVXLOG;
    std::vector<std::string> args = {kvxlog, "pcap", log, "-o", out};
    if (all) args.push_back("--all");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, kvxlog.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return false;
    cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    int sizeMb = 100, rounds = 3;
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--all")
            all = true;
        else if (flag == "--size-mb" && i + 1 < argc)
            sizeMb = std::atoi(argv[++i]);
        else if (flag == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_pcap [--size-mb N] [--rounds R] [--all]\n");
            return 2;
        }
    }
    char tmpl[] = "/tmp/kvx-bench-pcap-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::filesystem::path dir = tmpl;
    const std::string log = (dir / "big.kvx").string();
    const std::string out = (dir / "big.pcap").string();
    if (!makeLog(log, static_cast<uint64_t>(sizeMb) * 1000000)) {
        std::fprintf(stderr, "could not write the log\n");
        return 1;
    }
    const double mb = static_cast<double>(std::filesystem::file_size(log)) / 1e6;
    std::printf("input: %.1f MB of generated .kvx log%s\n", mb, all ? " (--all)" : "");

    std::vector<double> whole, cpu, read, exported;
    for (int r = 0; r < rounds; ++r) {
        auto t = Clock::now();
        double cpuSeconds = 0;
        if (!runKvxlog(log, out, all, cpuSeconds)) {
            std::fprintf(stderr, "kvxlog pcap failed\n");
            return 1;
        }
        whole.push_back(since(t));
        cpu.push_back(cpuSeconds);

        t = Clock::now();
        const dm::LogContents contents = dm::readLogFile(log);
        read.push_back(since(t));
        t = Clock::now();
        ota::PcapExporter exporter(all);
        Bytes bytes;
        ota::appendFileHeader(bytes);
        exporter.addLog(contents, bytes);
        exported.push_back(since(t));
        if (r == 0)
            std::printf("%llu packets, %.1f MB of capture\n",
                        static_cast<unsigned long long>(exporter.stats().packets()),
                        static_cast<double>(bytes.size()) / 1e6);
    }
    const double secs = median(whole);
    std::printf("%d rounds, medians:\n", rounds);
    std::printf(
        "  kvxlog pcap (whole process)   %.3f s  %7.1f MB/s  (target: under 2 s for 100 MB)\n",
        secs, mb / secs);
    std::printf("  its CPU time (user + system)  %.3f s\n", median(cpu));
    std::printf("  in process: reading and deciphering %.3f s, export %.3f s\n", median(read),
                median(exported));
    std::filesystem::remove_all(dir);
    return secs * 100.0 / mb < 2.0 ? 0 : 1;
}
