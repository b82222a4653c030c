// kvxlog capture: live logging of a modem's DM port, unattended, through the main dialog's
// capture logic (the same Start, rotation, watchdog and Stop as the desktop window).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CaptureRun.h"
#include "Command.h"
#include "Platform.h"
#include "ServiceNotify.h"

namespace kvx::cli {
namespace {

struct Args {
    std::string port;  // empty: the settings' choice
    std::string filter;
    std::vector<std::string> logs, events, messages, nv;
    std::string output;
    int sizeMb = 0;
    int minutes = 0;
    bool singleFile = false;
    int watchdog = 10;
    int duration = 0;
    bool info = false;
    std::string errorLog;
    bool keepAll = false;
    int ring = 0;
    std::string maxTotal;
    std::string minFree;
};

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

// The end of a run as a user reads it: the files with their sizes, the counts, the restarts
// and their causes, and how the run ended.
void printSummary(const CaptureReport& r, int status) {
    // Written whole, then passed on line by line with the journal's marks when it is there.
    TextBuffer buffer;
    std::FILE* out = buffer.stream();
    if (out == nullptr) return;
    std::fprintf(out, "--- capture summary\n");
    dm::Stats total;
    for (const auto& f : r.files) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(f.name, ec);
        // Packets as the status line counts them: a multi-event report is one packet, even
        // though the log holds a record per event, and the file's own notes are not packets.
        const bool removed = std::any_of(r.removed.begin(), r.removed.end(), [&](const auto& x) {
            return x.name == f.name && x.error == 0;
        });
        std::fprintf(out, "  %s  %s, %u packets\n", f.name.c_str(),
                     removed ? "removed"
                     : ec    ? "not created"
                             : megabytes(size).c_str(),
                     f.stats.packets);
        total.bytes += f.stats.bytes;
        total.packets += f.stats.packets;
        total.crcErrors += f.stats.crcErrors;
        total.sizeErrors += f.stats.sizeErrors;
        total.streamed += f.stats.streamed;
    }
    std::fprintf(out,
                 "  %zu file(s); %u bytes read, %u packets written (%u streamed by the modem), "
                 "%u CRC errors, %u size errors\n",
                 r.files.size(), total.bytes, total.packets, total.streamed, total.crcErrors,
                 total.sizeErrors);
    if (r.restarts.empty()) {
        std::fprintf(out, "  no restarts\n");
    } else {
        std::fprintf(out, "  %zu restart(s):", r.restarts.size());
        for (size_t i = 0; i < r.restarts.size(); ++i)
            std::fprintf(out, "%s %s", i ? "," : "", r.restarts[i].c_str());
        std::fprintf(out, "\n");
    }
    if (!r.removed.empty()) {
        size_t failed = 0;
        uint64_t bytes = 0;
        for (const auto& f : r.removed) {
            if (f.error != 0)
                ++failed;
            else
                bytes += f.bytes;
        }
        std::fprintf(out, "  %zu file(s) removed by retention (%s)", r.removed.size() - failed,
                     capture::formatBytes(bytes).c_str());
        if (failed > 0) std::fprintf(out, ", %zu could not be removed", failed);
        std::fprintf(out, "\n");
    }
    if (r.failedRestarts > 0)
        std::fprintf(out, "  %d restart attempt(s) found no modem answering\n", r.failedRestarts);
    const char* how = r.stoppedByUser       ? "stopped by the user"
                      : r.durationEnded     ? "the duration ended"
                      : !r.lowSpace.empty() ? "free space ran low"
                                            : "logging ended";
    std::fprintf(out, "  ended: %s%s; exit status %d\n", how,
                 r.gaveUp ? ", the modem never answered again" : "", status);
    writeLines(stderr, status == 0 ? Severity::Info : Severity::Error, buffer.take());
}

int runFromArgs(const Args& a) {
    if (std::string error; !a.output.empty() && !checkOutputFolder(a.output, error)) {
        writeLines(stderr, Severity::Error, "kvxlog capture: " + error);
        return 3;
    }
    CaptureOptions o;
    o.retention.ring = a.ring;
    auto size = [](const char* name, const std::string& text, std::optional<uint64_t>& out) {
        if (text.empty()) return true;
        out = capture::parseByteSize(text);
        if (!out)
            std::fprintf(stderr,
                         "kvxlog capture: %s %s: not a size (a number of bytes, or with k, M, G "
                         "or T: 500M, 20G)\n",
                         name, text.c_str());
        return out.has_value();
    };
    std::optional<uint64_t> maxTotal;
    if (!size("--max-total", a.maxTotal, maxTotal) ||
        !size("--min-free", a.minFree, o.retention.minFree))
        return kExitUsage;
    o.retention.maxTotal = maxTotal.value_or(0);
    o.port = a.port;
    o.base = a.output;
    o.watchdogSeconds = a.watchdog;
    o.durationSeconds = a.duration;
    o.info = a.info;
    o.keepAll = a.keepAll;
    if (a.singleFile) {
        o.rotation = CaptureOptions::Rotation::Single;
    } else if (a.minutes > 0) {
        o.rotation = CaptureOptions::Rotation::Minutes;
        o.limit = a.minutes;
    } else if (a.sizeMb > 0) {
        o.limit = a.sizeMb;
    }
    const bool items = !a.logs.empty() || !a.events.empty() || !a.messages.empty() || !a.nv.empty();
    if (items) {
        o.guiFilter = true;
        auto numbers = [](const std::vector<std::string>& in, std::vector<int32_t>& out,
                          const char* what) {
            for (const auto& text : in) {
                int32_t v = 0;
                if (!parseNumber(text, v)) {
                    std::fprintf(stderr, "Not a number for %s: %s\n", what, text.c_str());
                    return false;
                }
                out.push_back(v);
            }
            return true;
        };
        if (!numbers(a.logs, o.items.logs, "--log") ||
            !numbers(a.events, o.items.events, "--event") || !numbers(a.nv, o.items.nv, "--nv")) {
            return kExitUsage;
        }
        for (const auto& text : a.messages) {
            std::pair<int32_t, int32_t> item;
            if (!parseMessageItem(text, item)) {
                std::fprintf(stderr, "Not SSID/LEVEL for --message: %s\n", text.c_str());
                return kExitUsage;
            }
            o.items.messages.push_back(item);
        }
        std::string error;
        if (!checkItemRanges(o.items, error)) {
            std::fprintf(stderr, "kvxlog capture: %s\n", error.c_str());
            return kExitUsage;
        }
    } else {
        o.filterFile = a.filter;
    }
    o.errorLogPath = a.errorLog;
    CaptureReport report;
    o.report = &report;
    const ServiceNotify notify = ServiceNotify::fromEnvironment();
    o.notify = &notify;
    int status = runCapture(o);
    notify.send("STOPPING=1");
    if (!report.errorLogProblem.empty()) {
        writeLines(stderr, Severity::Error,
                   "kvxlog capture: could not write the error log " + report.errorLogProblem);
    }
    uint32_t streamed = 0;
    for (const auto& f : report.files) streamed += f.stats.streamed;
    if (status == 0 && !report.files.empty() && streamed == 0) {
        writeLines(stderr, Severity::Error, "kvxlog capture: no packet arrived from the modem");
        status = kExitNoPackets;
    }
    if (status != kExitUsage && (status != kExitNoModem || !report.files.empty()))
        printSummary(report, status);
    return status;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("capture", "Log a modem's DM port into .kvx files");
    auto a = std::make_shared<Args>();
    cmd->add_option("--port", a->port,
                    "auto (the maker's modem, found by name; waits until it is present) or a "
                    "port: a number (ttyUSB<n>), COM<n> or a device path; default: the port "
                    "of the settings (see below), else auto");
    auto* filter = cmd->add_option("--filter", a->filter,
                                   "Filter file (.sqf) to replay (\"Send Filters from Input "
                                   "File\"); default: the filter file of the settings");
    auto* logs = cmd->add_option("--log", a->logs, "Log item codes to enable (e.g. 0x5072)");
    auto* events = cmd->add_option("--event", a->events, "Event ids to enable");
    auto* messages = cmd->add_option("--message", a->messages, "Messages as SSID/LEVEL");
    auto* nv = cmd->add_option("--nv", a->nv, "NV items to read");
    for (auto* item : {logs, events, messages, nv}) item->excludes(filter);
    cmd->add_option("-o,--output", a->output,
                    "Base of the log names (the time stamp and .kvx are appended); default: "
                    "LogPath of the settings, else the current folder");
    auto* size = cmd->add_option("--size", a->sizeMb,
                                 "Start a new file after this many MB "
                                 "(1 MB = 1,000,000 bytes; default 20)")
                     ->check(CLI::Range(1, 2147));
    auto* minutes =
        cmd->add_option("--minutes", a->minutes, "Start a new file after this many minutes")
            ->check(CLI::PositiveNumber);
    auto* single = cmd->add_flag("--single-file", a->singleFile, "Never start a new file");
    size->excludes(minutes)->excludes(single);
    auto* ring = cmd->add_option("--ring", a->ring,
                                 "Keep only the newest N files of this capture: the oldest is "
                                 "removed once its successor is written to")
                     ->check(CLI::Range(1, 1000000));
    auto* maxTotal = cmd->add_option("--max-total", a->maxTotal,
                                     "Remove this capture's oldest files while together they "
                                     "exceed SIZE (500M, 20G: powers of 1000)");
    cmd->add_option("--min-free", a->minFree,
                    "Keep SIZE free on the log's file system: below it, rotate and remove "
                    "this capture's oldest files as --ring or --max-total allow, else end the "
                    "log cleanly (exit status 10); default 1% of the file system or 1G, the "
                    "smaller; 0: off");
    ring->excludes(single);
    maxTotal->excludes(single);
    minutes->excludes(single);
    cmd->add_option("--watchdog", a->watchdog,
                    "Restart logging after this many seconds without a packet (0: off)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--duration", a->duration, "Stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    cmd->add_flag("--info", a->info, "Print the Info Box fields (stderr) as they change");
    cmd->add_option("--error-log", a->errorLog,
                    "Where restarts and failures are recorded; default: kvxlogplus.errorlog in "
                    "the current folder");
    cmd->add_flag("--keep-all", a->keepAll,
                  "Also log packets of command codes the conversion does not know, whole as "
                  "packet records (otherwise they are only counted: \"not kept: ...\"); "
                  "also set by a nonzero KeepAll in the settings");
    cmd->footer(
        "Without --port the settings file chooses the port as the desktop window does: "
        "Device=1 is the maker's modem (auto); any other Device uses PortPath when it is not "
        "empty, else Port (a number: ttyUSB<n>). No settings file, or no port stored: auto.\n"
        "Prints each log file's name on stdout as it opens it, the status line every 2 s and "
        "every message on stderr. Ctrl-C (SIGINT) or SIGTERM stops: the log is closed with its "
        "note. A modem that hangs up is restarted at once (and awaited); a restart that finds "
        "it still booting is tried again with a growing pause until --duration or Ctrl-C. At "
        "the end a summary of the files, counts and restarts goes to stderr.\n"
        "Exit status: 0 ended normally or stopped, 1 filter not sent, 2 could not communicate "
        "with the modem (also when it never answered again after a restart), 3 log not "
        "created, 5 worker could not be stopped, 6 a write to the log failed, 7 the modem never "
        "streamed a packet, 8 the error log could not be written, 10 free space fell below "
        "--min-free with no file of the capture left to remove (the log ends cleanly), 64 a "
        "malformed item or no filter.\n"
        "Retention removes only files this run opened (across rotations and restarts), never "
        "the one being written, nor anything else in the folder; each removal is a line here "
        "and in the error log.\n"
        "Under systemd (kvxlog@NAME, see the README): READY=1 once the filter is sent, STATUS= "
        "and, while the capture is healthy, WATCHDOG=1 every 2 s; with JOURNAL_STREAM each line "
        "carries its severity (<3>, <4>, <6>) and no status line is printed.");
    cmd->callback([a] { exitStatus() = runFromArgs(*a); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
