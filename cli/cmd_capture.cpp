// kvxlog capture: live logging of a modem's DM port, unattended, through the main dialog's
// capture logic (the same Start, rotation, watchdog and Stop as the desktop window).
#include <memory>
#include <string>
#include <vector>

#include "CaptureRun.h"
#include "Command.h"

namespace kvx::cli {
namespace {

struct Args {
    std::string port = "auto";
    std::string filter;
    std::vector<std::string> logs, events, messages, nv;
    std::string output;
    int sizeMb = 0;
    int minutes = 0;
    bool singleFile = false;
    int watchdog = 10;
    int duration = 0;
    bool info = false;
    bool keepAll = false;
};

int runFromArgs(const Args& a) {
    CaptureOptions o;
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
            return 64;
        }
        for (const auto& text : a.messages) {
            std::pair<int32_t, int32_t> item;
            if (!parseMessageItem(text, item)) {
                std::fprintf(stderr, "Not SSID/LEVEL for --message: %s\n", text.c_str());
                return 64;
            }
            o.items.messages.push_back(item);
        }
    } else {
        o.filterFile = a.filter;
    }
    return runCapture(o);
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("capture", "Log a modem's DM port into .kvx files");
    auto a = std::make_shared<Args>();
    cmd->add_option("--port", a->port,
                    "auto (the maker's modem, found by name; waits until it is present) or a "
                    "port: a number (ttyUSB<n>), COM<n> or a device path")
        ->capture_default_str();
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
    minutes->excludes(single);
    cmd->add_option("--watchdog", a->watchdog,
                    "Restart logging after this many seconds without a packet (0: off)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--duration", a->duration, "Stop after this many seconds")
        ->check(CLI::NonNegativeNumber);
    cmd->add_flag("--info", a->info, "Print the Info Box fields (stderr) as they change");
    cmd->add_flag("--keep-all", a->keepAll,
                  "Also log packets of command codes the conversion does not know, whole as "
                  "packet records (otherwise they are only counted: \"not kept: ...\"); "
                  "also set by a nonzero KeepAll in the settings");
    cmd->footer(
        "Prints each log file's name on stdout as it opens it, the status line every 2 s and "
        "every message on stderr. Ctrl-C (SIGINT) or SIGTERM stops: the log is closed with its "
        "note.\nExit status: the logging worker's exit code (0 ended normally or stopped, 1 "
        "filter not sent, 3 log not created, 5 worker could not be stopped), 2 could not "
        "communicate with the modem.");
    cmd->callback([a] { exitStatus() = runFromArgs(*a); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
