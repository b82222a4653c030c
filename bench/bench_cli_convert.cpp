// Whole-process `kvxlog convert`, as a user runs it: start-up, the conversion, the end of the
// run and the exit, against OpenSSL's Blowfish-ECB over the same bytes in the same process
// (rounds interleaved so both see the same load); the peak resident memory of the command;
// and a series of small conversions in a row, where any wait at the end of a run shows.
//
//   bench_cli_convert [--size-mb N] [--rounds R] [--small-kb K] [--small-runs N]
//   (defaults: 60 MB, 5 rounds, 20 runs of 64 KB)
#include <fcntl.h>
#include <openssl/blowfish.h>
#include <spawn.h>
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

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
    bool ok = false;
    double seconds = 0;
    long peakKb = 0;
};

// Runs kvxlog convert RAW -o BASE with its output discarded; the child's own peak memory.
RunResult convert(const std::string& raw, const std::string& base) {
    const std::string kvxlog = KVX_KVXLOG;
    std::vector<std::string> args = {kvxlog, "convert", raw, "-o", base};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    RunResult r;
    const auto began = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, kvxlog.c_str(), &actions, nullptr, argv.data(), environ) != 0) return r;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) < 0) return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.peakKb = usage.ru_maxrss;
    return r;
}

double openSslSeconds(uint64_t bytes) {
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
    std::printf("input: %llu bytes of generated raw DM stream\n",
                static_cast<unsigned long long>(bytes));

    std::vector<double> cli, ssl;
    long peakKb = 0;
    for (int r = 0; r < rounds; ++r) {
        const RunResult run = convert(big, (dir / "big-").string());
        if (!run.ok) {
            std::fprintf(stderr, "kvxlog convert failed\n");
            return 1;
        }
        cli.push_back(run.seconds);
        peakKb = std::max(peakKb, run.peakKb);
        removeLogs(dir);
        ssl.push_back(openSslSeconds(bytes));
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%d interleaved rounds, medians:\n", rounds);
    std::printf("  kvxlog convert (whole process)  %7.1f MB/s  (%.3f s)\n", mb / median(cli),
                median(cli));
    std::printf("  OpenSSL BF_ecb_encrypt          %7.1f MB/s  (%.3f s)\n", mb / median(ssl),
                median(ssl));
    std::printf("  ratio kvxlog / OpenSSL: %.2fx (target: at least 1.0x)\n",
                median(ssl) / median(cli));
    std::printf("  peak resident memory of kvxlog convert: %.1f MB (target: below 8 MB)\n",
                static_cast<double>(peakKb) / 1024.0);

    const auto began = Clock::now();
    for (int r = 0; r < smallRuns; ++r) {
        if (!convert(small, (dir / "small-").string()).ok) {
            std::fprintf(stderr, "kvxlog convert of the small input failed\n");
            return 1;
        }
    }
    const double all = std::chrono::duration<double>(Clock::now() - began).count();
    removeLogs(dir);
    std::printf("%d conversions of %d KB in a row: %.2f s in all, %.0f ms each (target: under "
                "2 s in all)\n",
                smallRuns, smallKb, all, 1000.0 * all / smallRuns);
    std::filesystem::remove_all(dir);
    return 0;
}
