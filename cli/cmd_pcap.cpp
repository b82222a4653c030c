// kvxlog pcap: the over-the-air messages of .kvx logs as a pcap capture for Wireshark.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Command.h"
#include "Platform.h"
#include "dm/LogReader.h"
#include "os/Files.h"
#include "ota/PcapExport.h"

namespace kvx::cli {
namespace {

constexpr int kExitUnreadable = 1;
constexpr int kExitDamaged = 2;
constexpr int kExitNotWritten = 3;

// The capture is written under a temporary name beside the target and renamed when whole, so
// a failed run never leaves a file that looks finished (nor destroys an older one).
class TempOutput {
  public:
    explicit TempOutput(std::string target) : target_(std::move(target)) {}
    ~TempOutput() { discard(); }
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    bool open() {
        fd_ = createTempBeside(target_, temp_);
        if (fd_ < 0) {
            error_ = errno;
            return false;
        }
        // Ctrl-C or SIGTERM mid-run removes it instead of leaving a half capture behind.
        cleanup_.emplace(temp_, fd_);
        return true;
    }
    bool write(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }
    bool commit() {
        const int fd = fd_;
        fd_ = -1;
        cleanup_.reset();
        if (::close(fd) != 0 || !os::replaceFile(temp_, target_)) {
            error_ = errno;
            return false;
        }
        temp_.clear();
        return true;
    }
    void discard() {
        cleanup_.reset();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }
    int error() const { return error_; }

  private:
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    int error_ = 0;
    std::optional<RemoveOnInterrupt> cleanup_;
};

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(os::pathOf(a), os::pathOf(b), ec);
}

void printSummary(const ota::ExportStats& s, size_t logs, const std::string& out, bool all) {
    std::fprintf(stderr, "kvxlog pcap: %llu packets from %zu log%s -> %s\n",
                 static_cast<unsigned long long>(s.packets()), logs, logs == 1 ? "" : "s",
                 out.c_str());
    std::string line;
    for (size_t k = 0; k < ota::kMessageKinds; ++k) {
        if (s.written[k] == 0) continue;
        line += line.empty() ? "" : ", ";
        line += ota::kindName(static_cast<ota::MessageKind>(k));
        line += " " + std::to_string(s.written[k]);
    }
    std::fprintf(stderr, "  messages: %s\n", line.empty() ? "none" : line.c_str());
    line.clear();
    for (size_t k = 0; k < ota::kSkipReasons; ++k) {
        if (s.skipped[k] == 0) continue;
        line += line.empty() ? "" : ", ";
        line += ota::skipReasonName(static_cast<ota::SkipReason>(k));
        line += " " + std::to_string(s.skipped[k]);
    }
    std::fprintf(stderr, "  skipped: %s\n", line.empty() ? "none" : line.c_str());
    if (all)
        std::fprintf(stderr, "  raw DIAG: %llu (every record without a message above)\n",
                     static_cast<unsigned long long>(s.rawDiag));
    else
        std::fprintf(stderr, "  left out: %llu other records (--all adds them as raw DIAG)\n",
                     static_cast<unsigned long long>(s.otherRecords));
}

int runPcap(const std::vector<std::string>& logs, const std::string& out, bool all) {
    for (const auto& in : logs) {
        if (sameFile(in, out)) {
            std::fprintf(stderr, "kvxlog pcap: the output %s is one of the input logs\n",
                         out.c_str());
            return kExitBadArguments;
        }
    }
    struct stat st {};
    if (::stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kvxlog pcap: cannot write %s: %s\n", out.c_str(),
                     std::strerror(EISDIR));
        return kExitNotWritten;
    }
    TempOutput file(out);
    if (!file.open()) {
        std::fprintf(stderr, "kvxlog pcap: cannot write %s: %s\n", out.c_str(),
                     std::strerror(file.error()));
        return kExitNotWritten;
    }
    ota::PcapExporter exporter(all);
    std::vector<uint8_t> bytes;
    ota::appendFileHeader(bytes);
    bool damaged = false;
    for (const auto& in : logs) {
        const dm::LogContents log = dm::readLogFile(in);
        if (log.status == dm::LogReadStatus::OpenFailed) {
            std::fprintf(stderr, "kvxlog pcap: cannot read %s: %s\n", in.c_str(),
                         std::strerror(log.sysErrno != 0 ? log.sysErrno : EIO));
            return kExitUnreadable;  // the temporary file goes with `file`
        }
        if (log.status != dm::LogReadStatus::Ok) {
            std::fprintf(stderr, "kvxlog pcap: %s: %s; exported as far as it could be read\n",
                         in.c_str(), dm::describe(log).c_str());
            damaged = true;
        }
        // The capture is about half the log for a typical mix; growing costs more than this.
        bytes.reserve(bytes.size() + log.streamLength / 2);
        exporter.addLog(log, bytes);
        if (!file.write(bytes)) {
            std::fprintf(stderr, "kvxlog pcap: cannot write %s: %s\n", out.c_str(),
                         std::strerror(file.error()));
            return kExitNotWritten;
        }
        bytes.clear();
    }
    if (!file.commit()) {
        std::fprintf(stderr, "kvxlog pcap: cannot write %s: %s\n", out.c_str(),
                     std::strerror(file.error()));
        return kExitNotWritten;
    }
    printSummary(exporter.stats(), logs.size(), out, all);
    return damaged ? kExitDamaged : 0;
}

void setup(CLI::App& app) {
    auto* cmd =
        app.add_subcommand("pcap", "Export the over-the-air messages of .kvx logs for Wireshark");
    auto logs = std::make_shared<std::vector<std::string>>();
    auto out = std::make_shared<std::string>();
    auto all = std::make_shared<bool>(false);
    cmd->add_option("LOGS", *logs, "The .kvx logs, exported in the order given")->required();
    cmd->add_option("-o,--output", *out, "The pcap file to write (replaced when it exists)")
        ->required();
    cmd->add_flag("--all", *all,
                  "Also write every other record, as a Qualcomm DIAG packet (GSMTAP type 0x11)");
    cmd->footer(
        "The capture has link type raw IPv4; each message is a UDP datagram from and to port "
        "4729 behind a GSMTAP version 2 header, as Wireshark reads it: LTE RRC (0xB0C0), LTE NAS "
        "EMM/ESM plain and secured (0xB0E0-0xB0E3, 0xB0EA-0xB0ED), WCDMA RRC (0x412F), UMTS NAS "
        "(0x713A), GSM RR (0x512F) and GPRS GMM/SM (0x5230). NR RRC (0xB821) is counted but not "
        "written: Wireshark 4.0's GSMTAP has no type for it. A packet version without a known "
        "layout is counted and skipped. Packet times are the records' DM time stamps (UTC; a "
        "record without one, such as a note, takes the time of the record before it); "
        "after a \"Subscription N\" note the packets carry N in the GSMTAP sub-slot. With --all "
        "the packets of other records (and of skipped ones) are DIAG packets under GSMTAP type "
        "0x11, in the same file and order: log records behind a DIAG log header (10 00 and the "
        "length), replies and messages as they came. A summary goes to stderr.\n"
        "Exit status: 0 done; 1 a log could not be read (nothing written); 2 a damaged log was "
        "exported as far as it could be read; 3 the output could not be written (nothing left "
        "behind); 64 a malformed command line, or the output names an input log.");
    cmd->callback([logs, out, all] { exitStatus() = runPcap(*logs, *out, *all); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
