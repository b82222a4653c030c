// kvxlog convert: a raw DM capture file into an enciphered .kvx log, through the logging
// worker's raw-file branch, with the status line of the window on stderr.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "Command.h"
#include "capture/LoggingWorker.h"
#include "dm/KvxLog.h"
#include "version.h"

namespace kvx::cli {
namespace {

// The window of a conversion: message boxes go to stderr, everything else is not shown.
class ConvertWindow : public capture::Window {
public:
    bool isChecked(int) override { return false; }
    void setChecked(int, bool) override {}
    std::string getText(int) override { return {}; }
    void setText(int, const std::string&) override {}
    void enable(int, bool) override {}
    void setStatus(const std::string&) override {}
    void messageBox(const std::string& text) override {
        std::lock_guard lock(mutex_);
        std::fputs(text.c_str(), stderr);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
    }
    void startTimer(int, int) override {}
    void stopTimer(int) override {}
    void close() override {}
    void notify(uint32_t, const dm::InfoNotification&) override {}

private:
    std::mutex mutex_;
};

std::string statusLine(const dm::Stats& s) {
    char text[128];
    std::snprintf(text, sizeof text, " Bytes: %d, Packets: %d, Errors: %d (crc), %d (size)",
                  static_cast<int>(s.bytes), static_cast<int>(s.packets),
                  static_cast<int>(s.crcErrors), static_cast<int>(s.sizeErrors));
    return text;
}

std::string progressBar(uint64_t done, uint64_t total) {
    const int width = 30;
    const double share = total ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) : 1.0;
    const int filled = static_cast<int>(share * width);
    char text[64];
    std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(share * 100));
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "] " + text;
}

int runConvert(const std::string& rawPath, const std::string& base) {
    dm::KvxLog engine;
    ConvertWindow window;
    capture::CaptureFlags flags;
    capture::WorkerSettings settings;
    settings.rawFile = true;
    settings.rawPath = rawPath;
    settings.baseLogPath = base.substr(0, 1023);
    for (int i = 0; i < 4; ++i) settings.version[static_cast<size_t>(i)] = kVersion[i];
    flags.nextFile.store(true);
    capture::LoggingWorker worker(engine, window, flags, settings, nullptr);

    struct stat st {};
    const uint64_t total = ::stat(rawPath.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    const bool tty = ::isatty(STDERR_FILENO);

    auto result = std::async(std::launch::async, [&] { return worker.run(); });
    auto lastStatus = std::chrono::steady_clock::now();
    const auto tick = tty ? std::chrono::milliseconds(200) : std::chrono::milliseconds(2000);
    while (result.wait_for(tick) != std::future_status::ready) {
        const dm::Stats s = engine.getstats();
        if (tty) {
            std::fprintf(stderr, "\r%s%s", progressBar(s.bytes, total).c_str(), statusLine(s).c_str());
        } else if (std::chrono::steady_clock::now() - lastStatus >= std::chrono::seconds(2)) {
            std::fprintf(stderr, "%s\n", statusLine(s).c_str());
            lastStatus = std::chrono::steady_clock::now();
        }
    }
    const int code = result.get();
    const dm::Stats s = engine.getstats();
    if (tty) std::fprintf(stderr, "\r%s", progressBar(total, total).c_str());
    std::fprintf(stderr, "%s\n", statusLine(s).c_str());
    if (code == capture::kExitNormal) std::printf("%s\n", worker.currentFile().c_str());
    return code;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("convert", "Convert a raw DM capture file into a .kvx log");
    auto raw = std::make_shared<std::string>();
    auto base = std::make_shared<std::string>();
    cmd->add_option("RAWFILE", *raw, "Raw DM capture (the byte stream of a DM port)")->required();
    cmd->add_option("-o,--output", *base,
                    "Base of the log name: the time stamp and .kvx are appended "
                    "(a folder ending in / gives a name of the time stamp alone); default: "
                    "the current folder");
    cmd->footer(
        "Prints the log file's name on stdout and the status line on stderr.\n"
        "Exit status: 0 done, 3 the output file could not be created, 4 the raw file could not "
        "be opened.");
    cmd->callback([raw, base] { exitStatus() = runConvert(*raw, *base); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
