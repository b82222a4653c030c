// kvxlog convert: a raw DM capture file into an enciphered .kvx log. It runs the window's very
// capture logic with "Log from a Raw DM File" ticked (no port, no filter), one file without a
// limit unless --size or --minutes asks for one.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "CaptureRun.h"
#include "Command.h"
#include "app/MainDialog.h"

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
    bool keepAll = false;
};

int runConvert(const ConvertArgs& a) {
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
    o.printStatus = !tty;  // a terminal gets a progress bar with the status line instead
    o.onProgress = [&](const dm::Stats& s, bool final) {
        if (tty) {
            std::fprintf(stderr, "\r%s%s", progressBar(final ? total : s.bytes, total).c_str(),
                         app::statusLine(s).c_str());
            if (final) std::fputc('\n', stderr);
        } else if (final) {
            std::fprintf(stderr, "%s\n", app::statusLine(s).c_str());
        }
        std::fflush(stderr);
    };

    const int code = runCapture(o);
    namesStream.reset();
    if (code == 0 && names) std::fputs(names, stdout);
    std::free(names);
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
    cmd->add_flag("--keep-all", a->keepAll,
                  "Also log packets of command codes the conversion does not know, whole as "
                  "packet records (otherwise they are only counted: \"not kept: ...\")");
    cmd->footer(
        "Prints the log file's name on stdout and the status line on stderr (every 2 s and at "
        "the end; a progress bar on a terminal).\n"
        "Exit status: 0 done, 3 the output file could not be created, 4 the raw file could not "
        "be opened.");
    cmd->callback([a] { exitStatus() = runConvert(*a); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
