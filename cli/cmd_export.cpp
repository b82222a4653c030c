// kvxlog export: the DM packets that .kvx logs hold, back as a raw DM stream (.qmdl) for the
// open tools of the field (SCAT, QCSuper, MobileInsight).
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Command.h"
#include "TempOutput.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "ota/RawExport.h"

namespace kvx::cli {
namespace {

constexpr int kExitUnreadable = 1;
constexpr int kExitDamaged = 2;
constexpr int kExitNotWritten = 3;

int runExport(const std::vector<std::string>& logs, const std::string& out, bool noWrap) {
    for (const auto& in : logs) {
        if (sameFile(in, out)) {
            std::fprintf(stderr, "kvxlog export: the output %s is one of the input logs\n",
                         out.c_str());
            return kExitBadArguments;
        }
    }
    struct stat st {};
    if (::stat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kvxlog export: cannot write %s: %s\n", out.c_str(),
                     std::strerror(EISDIR));
        return kExitNotWritten;
    }
    TempOutput file(out);
    if (!file.open()) {
        std::fprintf(stderr, "kvxlog export: cannot write %s: %s\n", out.c_str(),
                     std::strerror(file.error()));
        return kExitNotWritten;
    }
    ota::RawExporter exporter(!noWrap);
    ota::RawExportStats stats;  // of the helpers' exporters
    const int threads = dm::usableCpus();
    std::vector<uint8_t> bytes;
    bool damaged = false;
    for (const auto& in : logs) {
        const dm::LogContents log = dm::readLogFile(in, threads);
        if (log.status == dm::LogReadStatus::OpenFailed) {
            std::fprintf(stderr, "kvxlog export: cannot read %s: %s\n", in.c_str(),
                         std::strerror(log.sysErrno != 0 ? log.sysErrno : EIO));
            return kExitUnreadable;  // the temporary file goes with `file`
        }
        if (log.status != dm::LogReadStatus::Ok) {
            std::fprintf(stderr, "kvxlog export: %s: %s; exported as far as it could be read\n",
                         in.c_str(), dm::describe(log).c_str());
            damaged = true;
        }
        // Written in pieces of about a megabyte as the frames are made, while a second
        // thread (where there is a CPU for it) frames the second half of a large log.
        constexpr size_t kPiece = size_t{1} << 20;
        const size_t n = log.records.size();
        const size_t half = threads > 1 && log.streamLength > 8 * kPiece ? n / 2 : n;
        ota::RawExporter second(!noWrap);
        std::vector<uint8_t> secondBytes;
        std::thread helper;
        if (half < n) {
            second.beginLog(ota::subscriptionAt(log, half));
            try {
                helper = std::thread([&log, &second, &secondBytes, half, n] {
                    secondBytes.reserve(log.streamLength - log.records[half].offset +
                                        (n - half) * 16);
                    for (size_t i = half; i < n; ++i)
                        second.addRecord(log, log.records[i], secondBytes);
                });
            } catch (const std::system_error&) {
                // No thread to be had: the first exporter does it all.
            }
        }
        const size_t firstEnd = helper.joinable() ? half : n;
        bytes.reserve(kPiece + 2 * 0x10000 + 64);
        exporter.beginLog();
        bool ok = true;
        for (size_t i = 0; i < firstEnd && ok; ++i) {
            exporter.addRecord(log, log.records[i], bytes);
            if (bytes.size() < kPiece && i + 1 < firstEnd) continue;
            ok = file.write(bytes);
            bytes.clear();
        }
        if (helper.joinable()) {
            helper.join();
            stats += second.stats();
            ok = ok && file.write(secondBytes);
        }
        if (!ok) {
            std::fprintf(stderr, "kvxlog export: cannot write %s: %s\n", out.c_str(),
                         std::strerror(file.error()));
            return kExitNotWritten;
        }
    }
    if (!file.commit()) {
        std::fprintf(stderr, "kvxlog export: cannot write %s: %s\n", out.c_str(),
                     std::strerror(file.error()));
        return kExitNotWritten;
    }
    ota::RawExportStats s = exporter.stats();
    s += stats;
    std::fprintf(stderr, "kvxlog export: %llu packets (%llu bytes) from %zu log%s -> %s\n",
                 static_cast<unsigned long long>(s.frames),
                 static_cast<unsigned long long>(s.bytes), logs.size(),
                 logs.size() == 1 ? "" : "s", out.c_str());
    std::fprintf(stderr, "  wrapped for a subscription: %llu; notes left out: %llu\n",
                 static_cast<unsigned long long>(s.wrapped),
                 static_cast<unsigned long long>(s.notes));
    return damaged ? kExitDamaged : 0;
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "export", "Write the DM packets of .kvx logs back as a raw DM stream (.qmdl)");
    auto logs = std::make_shared<std::vector<std::string>>();
    auto out = std::make_shared<std::string>();
    auto noWrap = std::make_shared<bool>(false);
    cmd->add_option("LOGS", *logs, "The .kvx logs, exported in the order given")->required();
    cmd->add_option("-o,--output", *out, "The raw DM file to write (replaced when it exists)")
        ->required();
    cmd->add_flag("--no-wrap", *noWrap,
                  "Write the packets of a multi-SIM device plainly, not wrapped in 0x98 with "
                  "their subscription");
    cmd->footer(
        "The output is the DM stream that the logs were made from, as SCAT, QCSuper and "
        "MobileInsight read it (.qmdl): HDLC frames (0x7D/0x7E escaped, CRC-16 low byte first, "
        "0x7E) in the order of the records. Modem log records go out as the log packets (0x10) "
        "they came in; wrapped replies and messages (0x79) as the packets they are; each event "
        "as an event report (0x60) of its own; a converted 0x1F record as a 0x1F packet (the "
        "16-bit field after the command, which the log does not keep, written as 1). After a "
        "\"Subscription N\" note the packets are wrapped again in 0x98 with subscription N "
        "(--no-wrap: plainly). The program's own notes are left out and counted. Converting "
        "the output again (kvxlog convert) gives the same records, notes apart. A summary goes "
        "to stderr.\n"
        "Exit status: 0 done; 1 a log could not be read (nothing written); 2 a damaged log was "
        "exported as far as it could be read; 3 the output could not be written (nothing left "
        "behind); 64 a malformed command line, or the output names an input log.");
    cmd->callback([logs, out, noWrap] { exitStatus() = runExport(*logs, *out, *noWrap); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
