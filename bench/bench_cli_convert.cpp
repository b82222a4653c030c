// Whole-process `kvxlog convert`, as a user runs it: start-up, the conversion, the end of the
// run and the exit, against OpenSSL's Blowfish-ECB (`openssl speed -evp bf-ecb`, 16 KiB
// blocks) over the same number of bytes. Rounds are interleaved so that all see the same load:
// each round runs kvxlog on every CPU it may use, kvxlog held to CPU 0 (as `taskset -c 0`),
// OpenSSL free, and OpenSSL held to CPU 0. Also the speed of our own cipher alone, the peak
// resident memory of the command, and a series of small conversions in a row, where any wait
// at the end of a run shows.
//
//   bench_cli_convert [--size-mb N] [--rounds R] [--small-kb K] [--small-runs N]
//   (defaults: 60 MB, 5 rounds, 20 runs of 64 KB)
#include <fcntl.h>
#include <openssl/blowfish.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dm/Blowfish.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;  // user + system time of the child
    long peakKb = 0;
    std::string out;  // the child's stdout when asked for
};

// Runs `args` in a child (on CPU 0 alone when `cpu0`), stderr discarded, stdout kept when
// `keepOut` else discarded; the wall time and the child's own peak memory.
RunResult run(std::vector<std::string> args, bool cpu0, bool keepOut = false) {
    RunResult r;
    int pipeFd[2] = {-1, -1};
    if (keepOut && ::pipe(pipeFd) != 0) return r;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto began = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) return r;
    if (pid == 0) {
        if (cpu0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(0, &set);
            if (sched_setaffinity(0, sizeof set, &set) != 0) _exit(126);
        }
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(keepOut ? pipeFd[1] : null, 1);
        ::dup2(null, 2);
        if (keepOut) {
            ::close(pipeFd[0]);
            ::close(pipeFd[1]);
        }
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    if (keepOut) {
        ::close(pipeFd[1]);
        char buf[4096];
        for (ssize_t n; (n = ::read(pipeFd[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<size_t>(n));
        ::close(pipeFd[0]);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKb = usage.ru_maxrss;
    r.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return r;
}

RunResult convert(const std::string& raw, const std::string& base, bool cpu0) {
    return run({KVX_KVXLOG, "convert", raw, "-o", base}, cpu0);
}

// `openssl speed -evp bf-ecb` on 16 KiB blocks for one second of wall-clock time (-elapsed;
// by default it divides by its CPU time, which a loaded machine does not slow down, unlike
// the wall time of a conversion): bytes per second, 0 when OpenSSL could not run it (OpenSSL
// 3 keeps Blowfish in its legacy provider).
double openSslSpeed(bool cpu0, bool elapsed = true) {
    std::vector<std::string> args = {"openssl", "speed", "-provider", "legacy",
                                     "-provider", "default", "-evp", "bf-ecb",
                                     "-bytes", "16384", "-seconds", "1"};
    if (elapsed) args.push_back("-elapsed");
    const RunResult r = run(args, cpu0, true);
    if (!r.ok) return 0;
    const size_t at = r.out.rfind("BF-ECB");
    if (at == std::string::npos) return 0;
    return std::strtod(r.out.c_str() + at + 6, nullptr) * 1000.0;  // given in 1000s of bytes
}

// OpenSSL's one-block routine in this process, when the command is not there.
double openSslInProcessSeconds(uint64_t bytes) {
    BF_KEY key;
    BF_set_key(&key, static_cast<int>(kvx::dm::kLogKey.size()), kvx::dm::kLogKey.data());
    std::vector<unsigned char> buf(1 << 20, 0x5A);
    const auto began = Clock::now();
    for (uint64_t left = bytes; left >= 8;) {
        const size_t n = std::min<uint64_t>(left, buf.size()) / 8 * 8;
        for (size_t i = 0; i < n; i += 8) BF_ecb_encrypt(&buf[i], &buf[i], &key, BF_ENCRYPT);
        left -= n;
    }
    volatile unsigned char sink = buf[7];
    (void)sink;
    return std::chrono::duration<double>(Clock::now() - began).count();
}

// Our cipher alone over `bytes`, in 64 KiB batches as the log writer hands them over.
double ownCipherSeconds(uint64_t bytes) {
    std::vector<uint8_t> buf(64 * 1024, 0x5A);
    const auto began = Clock::now();
    for (uint64_t left = bytes; left >= 8;) {
        const size_t n = std::min<uint64_t>(left, buf.size()) / 8 * 8;
        kvx::dm::logCipher().encryptBlocks(buf.data(), n / 8);
        left -= n;
    }
    volatile uint8_t sink = buf[7];
    (void)sink;
    return std::chrono::duration<double>(Clock::now() - began).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool makeInput(const std::string& path, uint64_t bytes) {
    const std::string cmd = std::string(KVX_SAMPLEGEN) + " " + path + " " +
                            std::to_string(bytes) + " 7 >/dev/null";
    return std::system(cmd.c_str()) == 0;
}

void removeLogs(const std::filesystem::path& dir) {
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() == ".kvx") std::filesystem::remove(e.path());
    }
}

}  // namespace

int main(int argc, char** argv) {
    int sizeMb = 60, rounds = 5, smallKb = 64, smallRuns = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--size-mb") sizeMb = value;
        else if (flag == "--rounds") rounds = value;
        else if (flag == "--small-kb") smallKb = value;
        else if (flag == "--small-runs") smallRuns = value;
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    char tmpl[] = "/tmp/kvx-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::filesystem::path dir = tmpl;
    const std::string big = (dir / "big.raw").string();
    const std::string small = (dir / "small.raw").string();
    if (!makeInput(big, static_cast<uint64_t>(sizeMb) * 1000000) ||
        !makeInput(small, static_cast<uint64_t>(smallKb) * 1024)) {
        std::fprintf(stderr, "could not make the inputs\n");
        return 1;
    }
    const uint64_t bytes = std::filesystem::file_size(big);
    const double mb = static_cast<double>(bytes) / 1e6;
    double load[3] = {};
    if (getloadavg(load, 3) < 0) load[0] = -1;
    std::printf("input: %llu bytes of generated raw DM stream; %ld CPUs online, load average "
                "%.2f at the start\n",
                static_cast<unsigned long long>(bytes), sysconf(_SC_NPROCESSORS_ONLN), load[0]);

    // Seconds per round: kvxlog free, kvxlog on CPU 0, OpenSSL free, OpenSSL on CPU 0.
    std::vector<double> cliAll, cliOne, sslAll, sslOne, own;
    // Processor time, which other work on the machine hardly changes: kvxlog on one thread
    // (CPU 0 alone), and OpenSSL by its own default measure (its CPU time).
    std::vector<double> cliCpu, sslCpu;
    long peakKb = 0;
    bool commandSpeed = true;
    for (int r = 0; r < rounds; ++r) {
        for (bool cpu0 : {false, true}) {
            const RunResult c = convert(big, (dir / "big-").string(), cpu0);
            if (!c.ok) {
                std::fprintf(stderr, "kvxlog convert failed\n");
                return 1;
            }
            (cpu0 ? cliOne : cliAll).push_back(c.seconds);
            if (cpu0) cliCpu.push_back(c.cpuSeconds);
            peakKb = std::max(peakKb, c.peakKb);
            removeLogs(dir);
            const double speed = commandSpeed ? openSslSpeed(cpu0) : 0;
            if (speed > 0) {
                (cpu0 ? sslOne : sslAll).push_back(static_cast<double>(bytes) / speed);
            } else {
                commandSpeed = false;
                (cpu0 ? sslOne : sslAll).push_back(openSslInProcessSeconds(bytes));
            }
        }
        own.push_back(ownCipherSeconds(bytes));
        if (commandSpeed) {
            const double speed = openSslSpeed(false, false);
            if (speed > 0) sslCpu.push_back(static_cast<double>(bytes) / speed);
        }
    }
    const char* ref = commandSpeed ? "openssl speed -evp bf-ecb" : "OpenSSL BF_ecb_encrypt";
    std::printf("%d interleaved rounds, medians (seconds for the same %.1f MB):\n", rounds, mb);
    std::printf("  kvxlog convert, every CPU      %7.1f MB/s  (%.3f s)\n", mb / median(cliAll),
                median(cliAll));
    std::printf("  kvxlog convert, CPU 0 alone    %7.1f MB/s  (%.3f s)\n", mb / median(cliOne),
                median(cliOne));
    std::printf("  %-30s %7.1f MB/s  (%.3f s)\n", ref, mb / median(sslAll), median(sslAll));
    std::printf("  %-30s %7.1f MB/s  (%.3f s, on CPU 0)\n", ref, mb / median(sslOne),
                median(sslOne));
    std::printf("  our Blowfish alone, one thread %7.1f MB/s  (%.3f s)\n", mb / median(own),
                median(own));
    std::printf("  ratio kvxlog / OpenSSL, every CPU: %.2fx (target: at least 1.5x)\n",
                median(sslAll) / median(cliAll));
    std::printf("  ratio kvxlog / OpenSSL, CPU 0 alone: %.2fx (target: at least 1.0x)\n",
                median(sslOne) / median(cliOne));
    if (!sslCpu.empty()) {
        std::printf("  processor time, unlike the above hardly changed by other work on the "
                    "machine:\n"
                    "    kvxlog convert on CPU 0 %.3f s (%.1f MB/s), openssl speed %.3f s "
                    "(%.1f MB/s): %.2fx\n",
                    median(cliCpu), mb / median(cliCpu), median(sslCpu), mb / median(sslCpu),
                    median(sslCpu) / median(cliCpu));
    }
    std::printf("  peak resident memory of kvxlog convert: %.1f MB (target: below 16 MB)\n",
                static_cast<double>(peakKb) / 1024.0);

    const auto began = Clock::now();
    for (int r = 0; r < smallRuns; ++r) {
        if (!convert(small, (dir / "small-").string(), false).ok) {
            std::fprintf(stderr, "kvxlog convert of the small input failed\n");
            return 1;
        }
    }
    const double all = std::chrono::duration<double>(Clock::now() - began).count();
    removeLogs(dir);
    std::printf("%d conversions of %d KB in a row: %.2f s in all, %.0f ms each (target: under "
                "2 s in all)\n",
                smallRuns, smallKb, all, 1000.0 * all / smallRuns);
    if (getloadavg(load, 3) < 0) load[0] = -1;
    std::printf("load average at the end: %.2f\n", load[0]);
    std::filesystem::remove_all(dir);
    return 0;
}
