// kvxlog export: the DM packets that .kvx logs hold, back as a raw DM stream (.qmdl) for the
// open tools of the field (SCAT, QCSuper, MobileInsight).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "LogExport.h"
#include "ota/RawExport.h"

namespace kvx::cli {
namespace {

constexpr int kExitDamaged = 2;

int runExport(const std::vector<std::string>& logs, const std::string& out, bool noWrap) {
    ota::RawExporter exporter(!noWrap);
    LogExportSteps steps;
    steps.beginLog = [&] { exporter.beginLog(); };
    steps.addRecord = [&](const dm::LogRecord& r, std::span<const uint8_t> bytes,
                          std::vector<uint8_t>& to) { exporter.addRecord(r, bytes, to); };
    steps.endLog = [](std::vector<uint8_t>&) {};
    const int status = exportLogs("export", logs, out, {}, steps);
    if (status != 0 && status != kExitDamaged) return status;
    const ota::RawExportStats& s = exporter.stats();
    std::fprintf(stderr, "kvxlog export: %llu packets (%llu bytes) from %zu log%s -> %s\n",
                 static_cast<unsigned long long>(s.frames),
                 static_cast<unsigned long long>(s.bytes), logs.size(),
                 logs.size() == 1 ? "" : "s", out.c_str());
    std::fprintf(stderr, "  wrapped for a subscription: %llu; notes left out: %llu\n",
                 static_cast<unsigned long long>(s.wrapped),
                 static_cast<unsigned long long>(s.notes));
    return status;
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
