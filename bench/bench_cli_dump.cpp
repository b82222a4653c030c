// Whole-process `kvxlog dump` of a large log against `kvxlog convert` of the capture that made
// it, in the same run with rounds interleaved so both see the same load: the listing (to
// /dev/null and through a pipe, as `| less` reads it), the summary, and the load average the
// figures were taken under (other builds on the machine make them noisy).
//
//   bench_cli_dump [--size-mb N] [--rounds R]
//   (defaults: a raw capture of 104 MB, giving a log of about 100 MB; 5 rounds)
// Targets: the dump takes no longer than the conversion; --summary under 1 s.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct RunResult {
    bool ok = false;
    double seconds = 0;
    uint64_t outputBytes = 0;  // read through the pipe
};

// Runs kvxlog with `args`; stdout to /dev/null, or through a pipe read here to its end.
RunResult runKvxlog(const std::vector<std::string>& args, bool piped, std::string* firstLine = nullptr) {
    std::vector<std::string> all = {KVX_KVXLOG};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (piped && ::pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (piped) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    RunResult r;
    const auto began = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (piped) ::close(fds[1]);
    if (spawned != 0) return r;
    if (piped) {
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const ssize_t n = ::read(fds[0], buffer.data(), buffer.size());
            if (n <= 0) break;
            if (firstLine && firstLine->empty())
                firstLine->assign(buffer.data(), std::find(buffer.data(), buffer.data() + n, '\n'));
            r.outputBytes += static_cast<uint64_t>(n);
        }
        ::close(fds[0]);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) < 0) return r;
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
    int sizeMb = 104, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--size-mb") {
            sizeMb = value;
        } else if (flag == "--rounds") {
            rounds = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    char tmpl[] = "/tmp/kvx-bench-dump-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::filesystem::path dir = tmpl;
    const std::string raw = (dir / "big.raw").string();
    const std::string make = std::string(KVX_SAMPLEGEN) + " " + raw + " " +
                             std::to_string(static_cast<uint64_t>(sizeMb) * 1000000) + " 7 >/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not make the input\n");
        return 1;
    }
    // The log every dump reads, from a first conversion (a single file).
    std::string log;
    if (!runKvxlog({"convert", raw, "-o", (dir / "log-").string()}, true, &log).ok || log.empty()) {
        std::fprintf(stderr, "kvxlog convert failed\n");
        return 1;
    }
    const auto logBytes = std::filesystem::file_size(log);
    std::printf("input: %llu bytes of generated raw DM stream; log: %llu bytes\n",
                static_cast<unsigned long long>(std::filesystem::file_size(raw)),
                static_cast<unsigned long long>(logBytes));
    std::printf("load average before: %s\n", loadAverage().c_str());

    std::vector<double> convert, dump, piped, summary;
    uint64_t lines = 0;
    for (int r = 0; r < rounds; ++r) {
        const RunResult c = runKvxlog({"convert", raw, "-o", (dir / "again-").string()}, false);
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().rfind("again-", 0) == 0) std::filesystem::remove(e.path());
        const RunResult d = runKvxlog({"dump", log}, false);
        const RunResult p = runKvxlog({"dump", log}, true);
        const RunResult s = runKvxlog({"dump", "--summary", log}, false);
        if (!c.ok || !d.ok || !p.ok || !s.ok) {
            std::fprintf(stderr, "a run failed (convert %d, dump %d, piped %d, summary %d)\n", c.ok, d.ok, p.ok,
                         s.ok);
            return 1;
        }
        convert.push_back(c.seconds);
        dump.push_back(d.seconds);
        piped.push_back(p.seconds);
        summary.push_back(s.seconds);
        lines = p.outputBytes;
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
    const double mb = static_cast<double>(logBytes) / 1e6;
    std::printf("%d interleaved rounds, medians (min):\n", rounds);
    std::printf("  kvxlog convert of the capture      %.3f s (%.3f)\n", median(convert),
                *std::min_element(convert.begin(), convert.end()));
    std::printf("  kvxlog dump LOG >/dev/null         %.3f s (%.3f)  %.0f MB/s of log\n", median(dump),
                *std::min_element(dump.begin(), dump.end()), mb / median(dump));
    std::printf("  kvxlog dump LOG | reader           %.3f s (%.3f)  %.1f MB of text\n", median(piped),
                *std::min_element(piped.begin(), piped.end()), static_cast<double>(lines) / 1e6);
    std::printf("  kvxlog dump --summary LOG          %.3f s (%.3f)\n", median(summary),
                *std::min_element(summary.begin(), summary.end()));
    std::printf("  dump / convert: %.2f (target: at most 1.0); summary: %s 1 s\n",
                median(dump) / median(convert), median(summary) < 1.0 ? "under" : "NOT under");
    std::filesystem::remove_all(dir);
    return 0;
}
