// Processor time of a live capture: `kvxlog capture` logging the simulated modem over a
// pseudo-terminal at several packet rates, measured as the capture process's user + system
// seconds per MB read from the port (the whole process, its start-up included; the modem's own
// time is not counted). With --baseline another kvxlog (the build of an earlier commit) runs
// the same captures in the same run, alternating with this one, so both see the same load.
// Prints, per rate and build, the medians of MB/s, processor seconds per MB and percent of a
// core per MB/s (which is processor seconds per MB times 100), and the ratio of the medians.
//
//   bench_capture_cpu [--kvxlog PATH] [--baseline PATH] [--modem PATH]
//                     [--rates 12000,50000,100000] [--seconds 10] [--repeat 5]
//
// bench/capture_cpu.sh builds the baseline from a commit and runs this program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The mix of a drive test: LTE RRC, ML1 and NR items, GSM L1 and RR, WCDMA RRC, LTE NAS, two
// events and a message level; about 80 bytes a packet from the simulated modem.
const std::vector<std::string> kFilter = {
    "--log",   "0xB0C0", "--log",   "0xB193", "--log",     "0xB821", "--log", "0x5072",
    "--log",   "0x512F", "--log",   "0x412F", "--log",     "0xB0EC", "--log", "0xB0ED",
    "--event", "0x100",  "--event", "0x1FF",  "--message", "5000/2"};

struct Sample {
    double seconds = 0;  // wall time of the capture process
    double cpu = 0;      // its user + system seconds
    double megabytes = 0;
};

pid_t spawn(const std::vector<std::string>& args, int outFd, int errFd) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (outFd >= 0) ::dup2(outFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    _exit(127);
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One capture of `seconds` at `rate` packets a second; false when something failed.
bool capture(const std::string& kvxlog, const std::string& modem, int rate, int seconds,
             Sample& sample) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvxcpu-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return false;
    const std::filesystem::path dir = pattern;
    const auto modemOut = dir / "modem.txt";
    const int mout = ::open(modemOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int mnull = ::open("/dev/null", O_WRONLY);
    const pid_t sim = spawn({modem, "--rate", std::to_string(rate)}, mout, mnull);
    ::close(mout);
    ::close(mnull);
    std::string port;
    for (int i = 0; i < 100 && port.empty(); ++i) {
        ::usleep(50000);
        const std::string text = readFile(modemOut);
        if (text.find('\n') != std::string::npos) port = text.substr(0, text.find('\n'));
    }
    bool ok = false;
    if (!port.empty()) {
        std::vector<std::string> args = {kvxlog, "capture", "--port", port};
        args.insert(args.end(), kFilter.begin(), kFilter.end());
        for (const std::string& a :
             {std::string("--single-file"), std::string("--duration"), std::to_string(seconds),
              std::string("--error-log"), (dir / "errorlog").string(), std::string("-o"),
              (dir / "cap-").string()})
            args.push_back(a);
        const int out = ::open("/dev/null", O_WRONLY);
        const int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const auto t0 = std::chrono::steady_clock::now();
        const pid_t pid = spawn(args, out, err);
        ::close(out);
        ::close(err);
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        sample.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        sample.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        // The summary: "N file(s); B bytes read, ..."
        const std::string text = readFile(dir / "stderr.txt");
        const size_t at = text.find(" bytes read");
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && at != std::string::npos) {
            size_t from = at;
            while (from > 0 && std::isdigit(static_cast<unsigned char>(text[from - 1]))) --from;
            sample.megabytes = std::stod(text.substr(from, at - from)) / 1e6;
            ok = sample.megabytes > 0;
        } else {
            std::fprintf(stderr, "capture failed (status %d):\n%s\n", status, text.c_str());
        }
    }
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ok;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string loadAverage() {
    std::string text = readFile("/proc/loadavg");
    const size_t cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return cut == std::string::npos ? text : text.substr(0, cut);
}

}  // namespace

int main(int argc, char** argv) {
    std::string kvxlog = KVX_KVXLOG;
    std::string modem = KVX_MODEMSIM;
    std::string baseline;
    std::vector<int> rates = {12000, 50000, 100000};
    int seconds = 10;
    int repeat = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--kvxlog" && more) {
            kvxlog = argv[++i];
        } else if (a == "--baseline" && more) {
            baseline = argv[++i];
        } else if (a == "--modem" && more) {
            modem = argv[++i];
        } else if (a == "--rates" && more) {
            rates.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) rates.push_back(std::stoi(item));
        } else if (a == "--seconds" && more) {
            seconds = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--repeat" && more) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--kvxlog PATH] [--baseline PATH] [--modem PATH] "
                         "[--rates N,N..] [--seconds S] [--repeat R]\n",
                         argv[0]);
            return 64;
        }
    }
    std::vector<std::pair<std::string, std::string>> builds = {{"this", kvxlog}};
    if (!baseline.empty()) builds.insert(builds.begin(), {"baseline", baseline});

    std::printf("live capture processor time: %d s captures, %d repetitions, load average %s\n",
                seconds, repeat, loadAverage().c_str());
    std::fflush(stdout);
    // samples[rate][build]
    std::map<int, std::map<std::string, std::vector<Sample>>> samples;
    for (int r = 0; r < repeat; ++r) {
        for (int rate : rates) {
            // Alternate which build goes first, so neither always meets the same moment.
            for (size_t k = 0; k < builds.size(); ++k) {
                const auto& [name, path] = builds[(k + static_cast<size_t>(r)) % builds.size()];
                Sample s;
                if (!capture(path, modem, rate, seconds, s)) return 1;
                samples[rate][name].push_back(s);
                std::printf("  run %d, rate %6d, %-8s: %6.2f MB/s, %.4f s per MB\n", r + 1, rate,
                            name.c_str(), s.megabytes / s.seconds, s.cpu / s.megabytes);
                std::fflush(stdout);
            }
        }
    }
    std::printf("\n%8s  %-8s  %8s  %12s  %18s\n", "rate", "build", "MB/s", "cpu s per MB",
                "% core per MB/s");
    for (int rate : rates) {
        std::map<std::string, double> perMb;
        for (const auto& [name, path] : builds) {
            std::vector<double> mbs, cpu;
            for (const auto& s : samples[rate][name]) {
                mbs.push_back(s.megabytes / s.seconds);
                cpu.push_back(s.cpu / s.megabytes);
            }
            perMb[name] = median(cpu);
            std::printf("%8d  %-8s  %8.2f  %12.4f  %18.2f\n", rate, name.c_str(), median(mbs),
                        perMb[name], perMb[name] * 100);
        }
        if (builds.size() == 2 && perMb["baseline"] > 0)
            std::printf("%8d  this / baseline: %.2f\n", rate, perMb["this"] / perMb["baseline"]);
    }
    std::printf("load average at the end %s\n", loadAverage().c_str());
    return 0;
}
