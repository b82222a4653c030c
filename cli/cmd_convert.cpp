// kvxlog convert: a raw DM capture file into an enciphered .kvx log. It runs the window's very
// capture logic with "Log from a Raw DM File" ticked (no port, no filter), one file without a
// limit unless --size or --minutes asks for one.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "CaptureRun.h"
#include "Command.h"
#include "app/MainDialog.h"
#include "capture/LoggingWorker.h"

namespace kvx::cli {
namespace {

std::string progressBar(uint64_t done, uint64_t total) {
    constexpr int kWidth = 30;
    const double share =
        total ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) : 1.0;
    const int filled = static_cast<int>(share * kWidth);
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(share * 100));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kWidth - filled), '.') + "] " + pct;
}

struct ConvertArgs {
    std::string raw;
    std::string base;
    int sizeMb = 0;
    int minutes = 0;
    bool verbose = false;
    bool keepAll = false;
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

int runConvert(const ConvertArgs& a) {
    if (std::string error; !checkOutputFolder(a.base, error)) {
        std::fprintf(stderr, "kvxlog convert: %s\n", error.c_str());
        return 3;
    }
    CaptureOptions o;
    o.rawFile = true;
    o.rawPath = a.raw;
    o.base = a.base;
    o.useSettings = false;
    o.keepAll = a.keepAll;
    o.watchdogSeconds = 0;  // a file does not fall silent; a restart would convert it again
    o.rotation = a.sizeMb > 0   ? CaptureOptions::Rotation::Size
                 : a.minutes > 0 ? CaptureOptions::Rotation::Minutes
                                 : CaptureOptions::Rotation::Single;
    o.limit = a.sizeMb > 0 ? a.sizeMb : a.minutes > 0 ? a.minutes : 20;

    // The name goes to stdout only once the log is really there.
    char* names = nullptr;
    size_t namesSize = 0;
    std::unique_ptr<FILE, int (*)(FILE*)> namesStream(open_memstream(&names, &namesSize), fclose);
    o.names = namesStream.get();

    struct stat st {};
    const uint64_t total = ::stat(a.raw.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const bool tty = ::isatty(STDERR_FILENO);
    // The window's status pane ("Ready", "Starting Log...", the counters) is no news for a
    // script; --verbose shows it.
    o.printStatus = a.verbose;
    dm::Stats last;
    o.onProgress = [&](const dm::Stats& s, bool final) {
        last = s;
        if (tty && !a.verbose) {
            std::fprintf(stderr, "\r%s%s", progressBar(final ? total : s.bytes, total).c_str(),
                         app::statusLine(s).c_str());
            if (final) std::fputc('\n', stderr);
            std::fflush(stderr);
        }
    };

    const auto began = std::chrono::steady_clock::now();
    const int code = runCapture(o);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    namesStream.reset();
    const std::string allNames = names ? names : "";
    const std::string written = code == 0 ? allNames : "";
    std::free(names);
    if (code == 0) {
        std::fprintf(stderr, "%s\n", summaryLine(last, written, seconds).c_str());
        std::fputs(written.c_str(), stdout);
    } else if (code == capture::kExitLogWriteFailed) {
        // The figures count what reached the disk; the log is not named as a finished one.
        std::fprintf(stderr, "Incomplete: %s\n", summaryLine(last, allNames, seconds).c_str());
    }
    return code;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("convert", "Convert a raw DM capture file into a .kvx log");
    auto a = std::make_shared<ConvertArgs>();
    cmd->add_option("RAWFILE", a->raw, "Raw DM capture (the byte stream of a DM port)")->required();
    cmd->add_option("-o,--output", a->base,
                    "Base of the log name: the time stamp and .kvx are appended "
                    "(a folder ending in / gives a name of the time stamp alone); default: "
                    "the current folder");
    auto* size = cmd->add_option("--size", a->sizeMb,
                                 "End the log after this many MB read (1 MB = 1,000,000 bytes); "
                                 "the rest of the input is not converted")
                     ->check(CLI::Range(1, 2147));
    cmd->add_option("--minutes", a->minutes, "End the log after this many minutes")
        ->check(CLI::PositiveNumber)
        ->excludes(size);
    cmd->add_flag("-v,--verbose", a->verbose,
                  "Also print the window's status texts (Ready, Starting Log..., the counters "
                  "every 2 s)");
    cmd->add_flag("--keep-all", a->keepAll,
                  "Also log packets of command codes the conversion does not know, whole as "
                  "packet records (otherwise they are only counted: \"not kept: ...\")");
    cmd->footer(
        "Prints the log file's name on stdout; on stderr a progress bar (on a terminal) and a "
        "last line with the bytes read, packets, errors, the log and the speed.\n"
        "Exit status: 0 done, 3 the output file could not be created (or its folder is missing), "
        "4 the raw file could not be opened, 6 a write to the log failed (disk full): the file "
        "keeps what reached the disk, 64 a malformed command line.");
    cmd->callback([a] { exitStatus() = runConvert(*a); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
