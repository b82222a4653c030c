// `kvxlog pcap` and `kvxlog export` of a 100 MB log against the `kvxlog convert` that made it,
// as a user runs them (whole processes), interleaved round by round on the same machine, with
// medians and their ratios to the conversion; then the same export work in process for the
// share of each step. The raw capture is generated here: a dual-SIM 5G phone, over-the-air
// messages of every layout (LTE, GSM, NR RRC, 5G NAS) between larger measurement records, half
// of the packets wrapped in 0x98 for subscription 1 or 2.
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
#include "dm/LogStream.h"
#include "ota/PcapExport.h"
#include "ota/RawExport.h"

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

// Writes a raw DM capture of about `bytes`; false when it could not be written.
bool makeRaw(const std::string& path, uint64_t bytes) {
    Bytes rrc = {15,   0x0d, 0x21, 0x01, 0xc0, 0x00, 0x6e, 0x14, 0, 0,
                 0x21, 0x34, 7,    0,    0,    0,    0,    40,   0};
    rrc.resize(rrc.size() + 40, 0x2b);
    const Bytes nas = {1,    9,    5,    0,    0x07, 0x41, 0x71, 0x08,
                       0x39, 0x51, 0x10, 0x00, 0x20, 0x07, 0x42};
    Bytes gsm = {0x81, 0x19, 23, 0x55, 0x06, 0x19};
    gsm.resize(3 + 23, 0x2b);
    // NR RRC version 26, DL-DCCH, and a 5G NAS registration reject.
    Bytes nr = {26, 0, 0, 0, 0x11, 0x80, 1, 0xa9, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0xde, 0x93, 6, 0,
                0, 0, 0, 4, 0, 0, 0, 0, 48, 0, 0, 0, 0, 0};
    nr.resize(nr.size() + 48, 0x7e);  // escapes too
    const Bytes nas5g = {1, 0, 0, 0, 15, 4, 0, 0x7e, 0x00, 0x44, 0x1b, 0x16, 0x01, 0x2c};
    Bytes meas(220, 0x11);  // e.g. an ML1 measurement record: not over the air
    meas[0] = 4;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    Bytes out, packet;
    uint64_t stamp = uint64_t{1445182872} * 800 << 16, written = 0;
    for (uint64_t i = 0; written < bytes; ++i) {
        stamp += 0x10000;
        Bytes r;
        switch (i % 10) {
            case 0:
            case 4:
                r = record(0xB0C0, stamp, rrc);
                break;
            case 1:
                r = record(0xB0ED, stamp, nas);
                break;
            case 2:
                r = record(0xB821, stamp, nr);
                break;
            case 3:
                r = record(0x512F, stamp, gsm);
                break;
            case 5:
                r = record(0xB80A, stamp, nas5g);
                break;
            default:
                r = record(0xB17F, stamp, meas);
                break;
        }
        packet.clear();
        if (i % 2 == 0) {
            const uint8_t sub = static_cast<uint8_t>(1 + i / 2 % 2);
            packet = {dm::kCmdMultiSim, 1, 0, 0, sub, 0, 0, 0};
        }
        const uint8_t head[4] = {0x10, 0, static_cast<uint8_t>(r.size()),
                                 static_cast<uint8_t>(r.size() >> 8)};
        packet.insert(packet.end(), head, head + 4);
        packet.insert(packet.end(), r.begin(), r.end());
        out.clear();
        ota::appendDmFrame(out, packet);
        if (std::fwrite(out.data(), 1, out.size(), f) != out.size()) {
            std::fclose(f);
            return false;
        }
        written += out.size();
    }
    return std::fclose(f) == 0;
}

// Streams the records of the log at `path` into `f`; their number.
template <class F>
size_t streamLog(const std::string& path, F&& f) {
    dm::LogStream stream;
    if (!stream.open(path)) return 0;
    dm::LogRecord r;
    std::span<const uint8_t> bytes;
    size_t n = 0;
    while (stream.next(r, bytes)) {
        f(r, bytes);
        ++n;
    }
    return n;
}

// Runs kvxlog with `args`, stdout to `out` (or /dev/null); its CPU time (user and system) in
// `cpu`, which a busy machine leaves alone where it stretches the wall-clock time.
bool runKvxlog(std::vector<std::string> args, double& cpu, const char* out = "/dev/null") {
    const std::string kvxlog = KVX_KVXLOG;
    args.insert(args.begin(), kvxlog);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    const std::string raw = (dir / "big.qmdl").string();
    const std::string logBase = (dir / "big").string();
    const std::string pcap = (dir / "big.pcapng").string();
    const std::string exported = (dir / "export.qmdl").string();
    const std::string named = (dir / "name.txt").string();
    if (!makeRaw(raw, static_cast<uint64_t>(sizeMb) * 1000000)) {
        std::fprintf(stderr, "could not write the raw capture\n");
        return 1;
    }
    double cpuSeconds = 0;
    // The log that the rounds export; each round's conversion replaces it with the same bytes.
    if (!runKvxlog({"convert", raw, "-o", logBase}, cpuSeconds, named.c_str())) {
        std::fprintf(stderr, "kvxlog convert failed\n");
        return 1;
    }
    std::string log;
    if (FILE* f = std::fopen(named.c_str(), "r")) {
        char line[4096] = {};
        if (std::fgets(line, sizeof line, f)) log = line;
        std::fclose(f);
    }
    while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
    if (log.empty()) return 1;
    const double rawMb = static_cast<double>(std::filesystem::file_size(raw)) / 1e6;
    const double mb = static_cast<double>(std::filesystem::file_size(log)) / 1e6;
    std::printf("input: %.1f MB raw DM capture, converted to a %.1f MB .kvx log%s\n", rawMb, mb,
                all ? " (pcap --all)" : "");

    std::vector<double> convert, pcapWall, exportWall, convertCpu, pcapCpu, exportCpu, read,
        pcapIn, exportIn;
    for (int r = 0; r < rounds; ++r) {
        // The conversion writes a new log each round (the name carries the time); the export
        // rounds read the first one, the same bytes.
        const std::string again = (dir / ("again" + std::to_string(r))).string();
        auto t = Clock::now();
        if (!runKvxlog({"convert", raw, "-o", again}, cpuSeconds)) return 1;
        convert.push_back(since(t));
        convertCpu.push_back(cpuSeconds);

        // Each run writes a new file, as the conversion does: replacing a file costs more on
        // ext4, whose rename over an older file starts writing the new one out first.
        std::filesystem::remove(pcap);
        std::filesystem::remove(exported);
        std::vector<std::string> args = {"pcap", log, "-o", pcap};
        if (all) args.push_back("--all");
        t = Clock::now();
        if (!runKvxlog(args, cpuSeconds)) {
            std::fprintf(stderr, "kvxlog pcap failed\n");
            return 1;
        }
        pcapWall.push_back(since(t));
        pcapCpu.push_back(cpuSeconds);

        t = Clock::now();
        if (!runKvxlog({"export", log, "-o", exported}, cpuSeconds)) {
            std::fprintf(stderr, "kvxlog export failed\n");
            return 1;
        }
        exportWall.push_back(since(t));
        exportCpu.push_back(cpuSeconds);
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind("again", 0) == 0)
                std::filesystem::remove(e.path());

        // The same steps in process, over the stream the commands read, nothing written:
        // reading and deciphering alone, then with each export (its bytes dropped every MB).
        t = Clock::now();
        size_t records = streamLog(log, [](const dm::LogRecord&, std::span<const uint8_t>) {});
        read.push_back(since(t));
        t = Clock::now();
        ota::PcapExporter exporter(all);
        Bytes bytes;
        uint64_t pcapBytes = 0;
        streamLog(log, [&](const dm::LogRecord& rec, std::span<const uint8_t> b) {
            exporter.addRecord(rec, b, bytes);
            if (bytes.size() >= (1 << 20)) pcapBytes += bytes.size(), bytes.clear();
        });
        pcapBytes += bytes.size();
        pcapIn.push_back(since(t));
        t = Clock::now();
        ota::RawExporter rawExporter(true);
        streamLog(log, [&](const dm::LogRecord& rec, std::span<const uint8_t> b) {
            rawExporter.addRecord(rec, b, bytes);
            if (bytes.size() >= (1 << 20)) bytes.clear();
        });
        exportIn.push_back(since(t));
        if (records == 0) return 1;
        if (r == 0) {
            std::printf("pcap: %llu packets, %.1f MB; export: %llu packets, %.1f MB (every "
                        "packet after a subscription note wrapped)\n",
                        static_cast<unsigned long long>(exporter.stats().packets()),
                        static_cast<double>(pcapBytes) / 1e6,
                        static_cast<unsigned long long>(rawExporter.stats().frames),
                        static_cast<double>(rawExporter.stats().bytes) / 1e6);
        }
    }
    const double c = median(convert), p = median(pcapWall), e = median(exportWall);
    std::printf("%d interleaved rounds, medians (whole processes):\n", rounds);
    std::printf("  kvxlog convert   %.3f s  %7.1f MB/s  CPU %.3f s\n", c, rawMb / c,
                median(convertCpu));
    std::printf("  kvxlog pcap      %.3f s  %7.1f MB/s  CPU %.3f s  %.2f of convert\n", p, mb / p,
                median(pcapCpu), p / c);
    std::printf("  kvxlog export    %.3f s  %7.1f MB/s  CPU %.3f s  %.2f of convert\n", e, mb / e,
                median(exportCpu), e / c);
    std::printf("  in process: streaming (read, decipher) %.3f s, with pcap %.3f s, with export "
                "%.3f s\n",
                median(read), median(pcapIn), median(exportIn));
    std::filesystem::remove_all(dir);
    // Target: each export takes less time than the conversion that made the log.
    return p < c && e < c ? 0 : 1;
}
