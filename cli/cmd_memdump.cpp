// kvxlog memdump: reads the memory regions of a modem in download mode into files (the
// memory-dump tool without its window), or sends it the reset that restarts it.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "Command.h"
#include "Platform.h"
#include "memdump/DumpTexts.h"
#include "memdump/MemDebugClient.h"

namespace kvx::cli {
namespace {

using memdump::DumpSummary;
using memdump::MemDebugClient;

// Exit statuses.
constexpr int kExitComplete = 0;
constexpr int kExitOther = 1;           // usage, declined reset, nothing done
constexpr int kExitNoCommunication = 2; // port not found or opened, no answer (as capture)
constexpr int kExitProtocol = 3;
constexpr int kExitOutputFile = 4;
constexpr int kExitAborted = 5;         // SIGINT: the dump is incomplete

constexpr const char* kResetQuestion =
    "Please do not reset the modem until the log has been collected.\n"
    "Resetting the modem will clear the log from the device.\n"
    "Do you wish to reset the device?";

struct Options {
    std::string port = "auto";
    std::string out = ".";
    bool json = false;
    bool reset = false;
    bool yes = false;
};

// "auto" (or empty) auto-detects; anything else is a port number or path for the port layer.
std::string portName(const std::string& port) { return port == "auto" ? std::string() : port; }

// Prints what the run reports: state texts as they change, the regions when announced, and
// a progress line (a bar with percentage on a terminal).
class ConsoleTarget : public memdump::DumpTarget {
  public:
    ConsoleTarget(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

    void progress(const memdump::DumpProgress& p) override {
        if (quiet_) return;
        const auto t = memdump::progressTexts(p);
        if (t.state && *t.state != lastState_) {
            endBar();
            lastState_ = *t.state;
            std::printf("%s\n", lastState_.c_str());
            std::fflush(stdout);
        }
    }
    void regions(const memdump::RegionTable& table) override {
        if (quiet_) return;
        endBar();
        std::printf("Regions announced: %u\n", table.count);
        for (size_t i = 0; i < table.count; ++i) {
            const auto& r = table.regions[i];
            std::printf("  %zu. %-24s base 0x%08X  length %u  file %s\n", i + 1,
                        r.description.c_str(), r.base, r.length,
                        memdump::safeFileName(r.fileName, i + 1).c_str());
        }
        std::fflush(stdout);
    }
    void messageBox(const std::string& text) override {
        endBar();
        std::fprintf(stderr, "kvxlog memdump: %s\n", text.c_str());
    }
    void bytesStored(uint64_t done, uint64_t total) override {
        if (quiet_ || !terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (done < total && now - lastBar_ < std::chrono::milliseconds(100)) return;
        lastBar_ = now;
        constexpr int kWidth = 30;
        const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
        const int filled = static_cast<int>(share * kWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(kWidth, ' ');
        std::printf("\r[%s] %3d%%  %llu of %llu bytes", bar.c_str(), static_cast<int>(share * 100),
                    static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
        std::fflush(stdout);
        barShown_ = true;
    }
    void fileClosed(const memdump::RegionFile& f) override {
        if (quiet_) return;
        if (!terminal_ || !f.complete) {
            endBar();
            std::printf("%s %s (%llu bytes)\n", f.complete ? "Wrote" : "Incomplete:",
                        f.path.c_str(), static_cast<unsigned long long>(f.bytes));
            std::fflush(stdout);
        }
    }
    // Checksum errors and dropped answers are for the curious: standard error.
    void diagnostic(const std::string& line) override {
        endBar();
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    void endBar() {
        if (!barShown_) return;
        std::printf("\n");
        barShown_ = false;
    }

  private:
    bool quiet_;
    bool terminal_;
    bool barShown_ = false;
    std::string lastState_;
    std::chrono::steady_clock::time_point lastBar_{};
};

const char* resultName(int result, bool aborted) {
    if (aborted) return "aborted";
    switch (result) {
        case memdump::kDumpFinished: return "complete";
        case memdump::kPortFailed:
        case memdump::kNoCommunication: return "no_communication";
        case memdump::kProtocolError: return "protocol_error";
        case memdump::kOutputFileFailed: return "output_file_error";
        default: return "failed";
    }
}

int exitStatusOf(int result, bool aborted) {
    if (aborted) return kExitAborted;
    switch (result) {
        case memdump::kDumpFinished: return kExitComplete;
        case memdump::kPortFailed:
        case memdump::kNoCommunication: return kExitNoCommunication;
        case memdump::kProtocolError: return kExitProtocol;
        case memdump::kOutputFileFailed: return kExitOutputFile;
        default: return kExitOther;
    }
}

void printJson(const DumpSummary& s) {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const auto& f : s.files)
        files.push_back({{"region", f.region},
                         {"name", f.name},
                         {"path", f.path},
                         {"bytes", f.bytes},
                         {"complete", f.complete}});
    nlohmann::ordered_json j = {{"result", resultName(s.result, s.aborted)},
                                {"regions", s.regions},
                                {"bytes_announced", s.bytesAnnounced},
                                {"bytes_read", s.bytesRead},
                                {"files", files},
                                {"message", s.message}};
    std::printf("%s\n",
                j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

void printSummary(const DumpSummary& s) {
    size_t complete = 0;
    for (const auto& f : s.files) complete += f.complete ? 1 : 0;
    std::printf("%s: %u region%s, %llu of %llu bytes read, %zu file%s written\n",
                s.aborted ? "Aborted" : s.result == memdump::kDumpFinished ? "Dump complete"
                                                                           : "Dump incomplete",
                s.regions, s.regions == 1 ? "" : "s",
                static_cast<unsigned long long>(s.bytesRead),
                static_cast<unsigned long long>(s.bytesAnnounced), complete,
                complete == 1 ? "" : "s");
    for (const auto& f : s.files)
        std::printf("  %s%s\n", f.path.c_str(), f.complete ? "" : "  (incomplete)");
}

int runReset(const Options& o) {
    if (!o.yes) {
        if (::isatty(STDIN_FILENO) == 0) {
            std::fprintf(stderr,
                         "kvxlog memdump: --reset asks for confirmation on a terminal; add --yes "
                         "to reset without asking\n");
            return kExitOther;
        }
        std::printf("%s [y/N] ", kResetQuestion);
        std::fflush(stdout);
        std::string answer;
        std::getline(std::cin, answer);
        if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y')) {
            std::printf("Not reset.\n");
            return kExitOther;
        }
    }
    MemDebugClient client;
    if (!client.resetOn(portName(o.port))) {
        std::fprintf(stderr, "kvxlog memdump: %s: %s\n", memdump::kCouldNotCommunicate,
                     client.summary().message.c_str());
        return kExitNoCommunication;
    }
    std::printf("Reset sent to %s\n", client.openStatus().path.c_str());
    return kExitComplete;
}

int runDump(const Options& o) {
    std::error_code ec;
    if (!std::filesystem::is_directory(o.out, ec)) {
        std::fprintf(stderr, "kvxlog memdump: the output folder %s does not exist\n", o.out.c_str());
        return kExitOther;
    }
    ConsoleTarget target(o.json, ::isatty(STDOUT_FILENO) != 0);
    MemDebugClient client;
    client.setTarget(&target);
    client.setOutputFolder(o.out);
    int result = 0;
    {
        // Ctrl-C (SIGINT, SIGTERM) aborts the dump: complete files stay.
        InterruptListener signals([&client] { client.abort(); });
        result = client.runOn(portName(o.port));
    }
    target.endBar();
    const DumpSummary& s = client.summary();
    if (o.json) {
        printJson(s);
    } else {
        if (result == memdump::kPortFailed || result == memdump::kNoCommunication)
            std::printf("%s\n", memdump::kCouldNotCommunicate);
        else if (result == memdump::kProtocolError)
            std::printf("%s\n", memdump::kProtocolErrorText);
        if (s.files.size() > 0 || s.regions > 0 || result == memdump::kDumpFinished) printSummary(s);
        if (!s.message.empty())
            std::fprintf(stderr, "kvxlog memdump: %s\n", s.message.c_str());
    }
    return exitStatusOf(result, s.aborted);
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "memdump", "Read the memory regions of a modem in download mode into files");
    auto o = std::make_shared<Options>();
    cmd->add_option("--port", o->port,
                    "auto (a port named like \"MGX\" or a USB device 05c6:9008), a COM port "
                    "number N (/dev/ttyUSB<N>), or a device path")
        ->capture_default_str();
    cmd->add_option("-o,--output", o->out, "Folder for the region files")->capture_default_str();
    cmd->add_flag("--json", o->json,
                  "One JSON object at the end: result, regions, bytes_announced, bytes_read, "
                  "files [{region, name, path, bytes, complete}], message");
    cmd->add_flag("--reset", o->reset,
                  "Send the reset command instead (the modem restarts and its log is lost)");
    cmd->add_flag("--yes", o->yes, "With --reset: do not ask for confirmation");
    cmd->footer(
        "Exit status: 0 complete dump (or reset sent), 1 nothing done (usage, reset declined),\n"
        "2 could not communicate with the modem, 3 protocol error, 4 a region file could not\n"
        "be written, 5 aborted by SIGINT/SIGTERM (complete files stay, the one being written\n"
        "is left as <name>.partial).");
    cmd->callback([o] { exitStatus() = o->reset ? runReset(*o) : runDump(*o); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
