// kvxlog convert: raw DM capture files into enciphered .kvx logs. Each input runs the window's
// very capture logic with "Log from a Raw DM File" ticked (no port, no filter), one file
// without a limit unless --size or --minutes asks for one. Several inputs are converted
// --jobs at a time, each into a log named after its own stem in the -o folder.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CaptureRun.h"
#include "Command.h"
#include "Platform.h"
#include "app/MainDialog.h"
#include "capture/LoggingWorker.h"

namespace kvx::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct ConvertArgs {
    std::vector<std::string> raw;
    std::string base;
    int sizeMb = 0;
    int minutes = 0;
    int jobs = 1;
    int threads = 0;
    bool verbose = false;
    bool keepAll = false;
};

uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size)
                                                                  : 0;
}

// The progress line on a terminal: nothing for the first second (a short run stays quiet),
// then redrawn at most four times a second in place. Not used when stderr is no terminal.
class ProgressLine {
  public:
    explicit ProgressLine(uint64_t total) : total_(total), began_(Clock::now()) {}

    void update(uint64_t done) {
        const auto now = Clock::now();
        if (now - began_ < std::chrono::seconds(1)) return;
        if (drawn_ && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - began_).count();
        const double rate = static_cast<double>(done) / seconds;  // bytes per second
        const uint64_t shown = std::min(done, total_);
        char left[32] = "--:--";
        if (rate > 0 && total_ >= shown) {
            const auto s = static_cast<long>(static_cast<double>(total_ - shown) / rate + 0.5);
            std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
        }
        const int percent = total_ ? static_cast<int>(100.0 * static_cast<double>(shown) /
                                                      static_cast<double>(total_))
                                   : 100;
        std::fprintf(stderr, "\r\033[K%3d%%  %.1f of %.1f MB, %.1f MB/s, %s left", percent,
                     static_cast<double>(shown) / 1e6, static_cast<double>(total_) / 1e6,
                     rate / 1e6, left);
        std::fflush(stderr);
        drawn_ = true;
    }
    // Takes the line away (before a summary line, and at the end).
    void clear() {
        if (!drawn_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }

  private:
    uint64_t total_;
    Clock::time_point began_;
    Clock::time_point last_{};
    bool drawn_ = false;
};

// The end-of-run line: what was read, what the log holds, where it is and how fast it went.
std::string summaryLine(const dm::Stats& s, const std::string& names, double seconds) {
    std::string out = names;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    for (char& c : out) {
        if (c == '\n') c = ' ';
    }
    const double mb = static_cast<double>(s.bytes) / 1e6;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Converted %u bytes: %u packets, %u errors (crc), %u (size), %.1f MB/s -> ",
                  s.bytes, s.packets, s.crcErrors, s.sizeErrors,
                  seconds > 0 ? mb / seconds : 0.0);
    return text + (out.empty() ? std::string("no log") : out);
}

CaptureOptions baseOptions(const ConvertArgs& a) {
    CaptureOptions o;
    o.rawFile = true;
    o.useSettings = false;
    o.keepAll = a.keepAll;
    o.threads = a.threads;
    o.watchdogSeconds = 0;  // a file does not fall silent; a restart would convert it again
    o.rotation = a.sizeMb > 0   ? CaptureOptions::Rotation::Size
                 : a.minutes > 0 ? CaptureOptions::Rotation::Minutes
                                 : CaptureOptions::Rotation::Single;
    o.limit = a.sizeMb > 0 ? a.sizeMb : a.minutes > 0 ? a.minutes : 20;
    // The window's status pane ("Ready", "Starting Log...", the counters) is no news for a
    // script; --verbose shows it.
    o.printStatus = a.verbose;
    o.progressMs = 250;
    return o;
}

// One conversion with its outputs caught: the log names (stdout of a single run) and the
// messages (message boxes, --verbose status texts).
struct Outcome {
    int code = 0;
    dm::Stats stats;
    std::string names;
    std::string messages;
    double seconds = 0;
};

Outcome convertOne(CaptureOptions o, std::FILE* messages,
                   const std::function<void(uint64_t)>& progress) {
    Outcome r;
    // The name goes to stdout only once the log is really there.
    TextBuffer names;
    o.names = names.stream();
    o.messages = messages;
    o.onProgress = [&](const dm::Stats& s, bool) {
        r.stats = s;
        if (progress) progress(s.bytes);
    };
    const auto began = Clock::now();
    r.code = runCapture(o);
    r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    r.names = names.take();
    return r;
}

int runConvert(const ConvertArgs& a) {
    const std::string& raw = a.raw.front();
    if (std::string error; !checkOutputFolder(a.base, error)) {
        std::fprintf(stderr, "kvxlog convert: %s\n", error.c_str());
        return 3;
    }
    CaptureOptions o = baseOptions(a);
    o.rawPath = raw;
    o.base = a.base;
    const bool tty = ::isatty(STDERR_FILENO) && !a.verbose;
    ProgressLine line(fileSize(raw));
    const Outcome r = convertOne(o, stderr, [&](uint64_t done) {
        if (tty) line.update(done);
    });
    line.clear();
    const std::string written = r.code == 0 ? r.names : "";
    if (r.code == 0) {
        std::fprintf(stderr, "%s\n", summaryLine(r.stats, written, r.seconds).c_str());
        std::fputs(written.c_str(), stdout);
    } else if (r.code == capture::kExitLogWriteFailed) {
        // The figures count what reached the disk; the log is not named as a finished one.
        std::fprintf(stderr, "Incomplete: %s\n", summaryLine(r.stats, r.names, r.seconds).c_str());
    }
    return r.code;
}

// The name stem of each input's log: its own stem; where two inputs share one, the name of
// the folder each is in goes in front, and a number behind where that is not enough.
std::vector<std::string> logStems(const std::vector<std::string>& inputs) {
    namespace fs = std::filesystem;
    std::vector<std::string> stems;
    std::map<std::string, int> uses;
    for (const auto& in : inputs) {
        std::string stem = fs::path(in).stem().string();
        if (stem.empty()) stem = "log";
        stems.push_back(stem);
        ++uses[stem];
    }
    std::map<std::string, int> taken;
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (uses[stems[i]] > 1) {
            std::error_code ec;
            const fs::path abs = fs::absolute(inputs[i], ec);
            const std::string folder = abs.parent_path().filename().string();
            if (!folder.empty()) stems[i] = folder + "_" + stems[i];
        }
    }
    for (auto& stem : stems) {
        const int n = ++taken[stem];
        if (n > 1) stem += "_" + std::to_string(n);
    }
    // A numbered stem may meet another input's own stem ("a_2"): numbered on until free.
    std::map<std::string, int> seen;
    for (auto& stem : stems) {
        std::string candidate = stem;
        for (int k = 2; seen.count(candidate); ++k) candidate = stem + "_" + std::to_string(k);
        stem = candidate;
        seen[stem] = 1;
    }
    return stems;
}

int runMany(const ConvertArgs& a) {
    namespace fs = std::filesystem;
    std::string folder = a.base.empty() ? std::string(".") : a.base;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        std::fprintf(stderr,
                     "kvxlog convert: with several inputs, -o names the folder of the logs: %s is "
                     "no folder\n",
                     folder.c_str());
        return kExitBadArguments;
    }
    if (folder.back() != '/') folder += '/';
    if (std::string error; !checkOutputFolder(folder, error)) {
        std::fprintf(stderr, "kvxlog convert: %s\n", error.c_str());
        return 3;
    }
    const std::vector<std::string> stems = logStems(a.raw);
    const size_t n = a.raw.size();
    const int jobs = std::clamp(a.jobs, 1, static_cast<int>(n));
    ConvertArgs per = a;
    // The CPUs are shared among the jobs unless --threads says otherwise.
    if (per.threads == 0) per.threads = std::max(1, dm::usableCpus() / jobs);

    std::vector<uint64_t> sizes(n);
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i) total += sizes[i] = fileSize(a.raw[i]);

    // Every job thread inherits the blocked signals; the runs take them as Stop.
    std::optional<InterruptsHeld> held(std::in_place);

    std::mutex mutex;
    std::condition_variable finished;
    size_t next = 0, ended = 0;
    std::vector<std::atomic<uint64_t>> done(n);
    uint64_t doneFinished = 0;  // bytes of the inputs already ended
    uint64_t bytesAll = 0;
    int firstFailure = 0;
    size_t failures = 0;
    size_t skipped = 0;
    size_t firstFailed = n;
    const bool tty = ::isatty(STDERR_FILENO) && !a.verbose;
    ProgressLine line(total);
    const auto began = Clock::now();

    auto job = [&] {
        for (;;) {
            size_t i;
            {
                std::lock_guard lock(mutex);
                if (next == n) return;
                i = next++;
                // Ctrl-C: the runs in progress end with their stop note; no other begins.
                if (stopSignalled()) {
                    line.clear();
                    std::fprintf(stderr, "%s: not converted (stopped)\n", a.raw[i].c_str());
                    ++skipped;
                    doneFinished += sizes[i];
                    ++ended;
                    finished.notify_all();
                    continue;
                }
            }
            CaptureOptions o = baseOptions(per);
            o.rawPath = a.raw[i];
            o.base = folder + stems[i] + "-";
            TextBuffer messages;
            const Outcome r = convertOne(o, messages.stream(), [&](uint64_t bytes) { done[i] = bytes; });
            const std::string said = messages.take();

            std::lock_guard lock(mutex);
            line.clear();
            std::fputs(said.c_str(), stderr);
            const std::string& in = a.raw[i];
            if (r.code == 0) {
                std::fprintf(stderr, "%s: %s\n", in.c_str(),
                             summaryLine(r.stats, r.names, r.seconds).c_str());
                std::fputs(r.names.c_str(), stdout);
                std::fflush(stdout);
            } else if (r.code == capture::kExitLogWriteFailed) {
                std::fprintf(stderr, "%s: Incomplete: %s\n", in.c_str(),
                             summaryLine(r.stats, r.names, r.seconds).c_str());
            } else {
                std::fprintf(stderr, "%s: not converted (exit status %d)\n", in.c_str(), r.code);
            }
            std::fflush(stderr);
            if (r.code != 0) {
                ++failures;
                // The status of the first input (in the order given) that failed.
                if (i < firstFailed) {
                    firstFailed = i;
                    firstFailure = r.code;
                }
            }
            bytesAll += r.stats.bytes;
            doneFinished += sizes[i];
            done[i] = 0;
            ++ended;
            finished.notify_all();
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < jobs; ++j) threads.emplace_back(job);
    {
        std::unique_lock lock(mutex);
        while (ended < n) {
            finished.wait_for(lock, std::chrono::milliseconds(250));
            if (!tty || ended == n) continue;
            uint64_t now = doneFinished;
            for (const auto& d : done) now += d.load();
            line.update(now);
        }
        line.clear();
    }
    for (auto& t : threads) t.join();
    held.reset();

    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    const std::string notStarted =
        skipped ? ", " + std::to_string(skipped) + " not started (stopped)" : std::string();
    std::fprintf(stderr, "Total: %zu inputs, %zu converted, %zu failed%s; %llu bytes in %.1f s, "
                         "%.1f MB/s\n",
                 n, n - failures - skipped, failures, notStarted.c_str(),
                 static_cast<unsigned long long>(bytesAll), seconds,
                 seconds > 0 ? static_cast<double>(bytesAll) / 1e6 / seconds : 0.0);
    return firstFailure;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("convert", "Convert raw DM capture files into .kvx logs");
    auto a = std::make_shared<ConvertArgs>();
    cmd->add_option("RAWFILE", a->raw,
                    "Raw DM captures (the byte stream of a DM port); each gives a log of its own")
        ->required();
    cmd->add_option("-o,--output", a->base,
                    "One input: base of the log name, to which the time stamp and .kvx are "
                    "appended (a folder ending in / gives a name of the time stamp alone). "
                    "Several inputs: the folder of the logs, each named INPUTSTEM-time.kvx. "
                    "Default: the current folder");
    auto* size = cmd->add_option("--size", a->sizeMb,
                                 "End the log after this many MB read (1 MB = 1,000,000 bytes); "
                                 "the rest of the input is not converted")
                     ->check(CLI::Range(1, 2147));
    cmd->add_option("--minutes", a->minutes, "End the log after this many minutes")
        ->check(CLI::PositiveNumber)
        ->excludes(size);
    cmd->add_option("-j,--jobs", a->jobs, "Convert this many inputs at once (default 1)")
        ->check(CLI::Range(1, 64));
    cmd->add_option("--threads", a->threads,
                    "Threads of one conversion: 1 does everything on one thread, more encipher "
                    "and write beside the reading (default: the CPUs this process may use, "
                    "shared among the jobs)")
        ->check(CLI::Range(1, 64));
    cmd->add_flag("-v,--verbose", a->verbose,
                  "Also print the window's status texts (Ready, Starting Log..., the counters "
                  "every 2 s)");
    cmd->add_flag("--keep-all", a->keepAll,
                  "Also log packets of command codes the conversion does not know, whole as "
                  "packet records (otherwise they are only counted: \"not kept: ...\")");
    cmd->footer(
        "Prints each log file's name on stdout; on stderr a progress line (on a terminal, once a "
        "conversion takes longer than a second) and a line per input with the bytes read, "
        "packets, errors, the log and the speed; with several inputs each such line begins with "
        "the input, and a total line ends the run.\n"
        "Exit status: 0 done, 3 the output file could not be created (or its folder is missing), "
        "4 the raw file could not be opened, 6 a write to the log failed (disk full): the file "
        "keeps what reached the disk, 64 a malformed command line. With several inputs the "
        "others are still converted, and the status is that of the first input that failed.");
    cmd->callback([a] { exitStatus() = a->raw.size() == 1 ? runConvert(*a) : runMany(*a); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
