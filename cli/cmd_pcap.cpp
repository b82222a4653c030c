// kvxlog pcap: the over-the-air messages of .kvx logs as a pcapng capture for Wireshark.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "LogExport.h"
#include "ota/PcapExport.h"

namespace kvx::cli {
namespace {

constexpr int kExitDamaged = 2;

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
    if (s.segments != 0)
        std::fprintf(stderr, "  NR RRC parts without their last part: %llu\n",
                     static_cast<unsigned long long>(s.segments));
    if (all)
        std::fprintf(stderr, "  raw DIAG: %llu (every record without a message above)\n",
                     static_cast<unsigned long long>(s.rawDiag));
    else
        std::fprintf(stderr, "  left out: %llu other records (--all adds them as raw DIAG)\n",
                     static_cast<unsigned long long>(s.otherRecords));
}

int runPcap(const std::vector<std::string>& logs, const std::string& out, bool all) {
    ota::PcapExporter exporter(all);
    std::vector<uint8_t> head;
    ota::appendFileHeader(head);
    LogExportSteps steps;
    steps.beginLog = [&] { exporter.beginLog(); };
    steps.addRecord = [&](const dm::LogRecord& r, std::span<const uint8_t> bytes,
                          std::vector<uint8_t>& to) { exporter.addRecord(r, bytes, to); };
    steps.endLog = [&](std::vector<uint8_t>& to) { exporter.endLog(to); };
    const int status = exportLogs("pcap", logs, out, head, steps);
    if (status == 0 || status == kExitDamaged)
        printSummary(exporter.stats(), logs.size(), out, all);
    return status;
}

void setup(CLI::App& app) {
    auto* cmd =
        app.add_subcommand("pcap", "Export the over-the-air messages of .kvx logs for Wireshark (pcapng)");
    auto logs = std::make_shared<std::vector<std::string>>();
    auto out = std::make_shared<std::string>();
    auto all = std::make_shared<bool>(false);
    cmd->add_option("LOGS", *logs, "The .kvx logs, exported in the order given")->required();
    cmd->add_option("-o,--output", *out, "The pcapng file to write (replaced when it exists)")
        ->required();
    cmd->add_flag("--all", *all,
                  "Also write every other record, as a Qualcomm DIAG packet (GSMTAP type 0x11)");
    cmd->footer(
        "The capture is a pcapng file with two interfaces, its packets in the order of the "
        "records (time order). Interface 0, link type raw IPv4: each GSMTAP message is a UDP "
        "datagram to port 4729 behind a GSMTAP version 2 header: LTE RRC (0xB0C0), LTE NAS "
        "EMM/ESM plain and secured (0xB0E0-0xB0E3, 0xB0EA-0xB0ED), WCDMA RRC (0x412F), UMTS NAS "
        "(0x713A), GSM RR (0x512F) and GPRS GMM/SM (0x5230). Interface 1, link type Wireshark "
        "upper PDU (252): NR RRC (0xB821, packet versions 7-9, 12, 14, 17, 19, 20, 23-26, 28) "
        "and 5G NAS (0xB800, 0xB801, 0xB808, 0xB809, 0xB80A, 0xB80B, 0xB814), each tagged with "
        "the Wireshark dissector that reads it (\"nr-rrc.dl.dcch\", \"nas-5gs\", ...), since "
        "Wireshark 4.0's GSMTAP has no type for them; the parts of a segmented NR RRC message "
        "are joined into one packet. A packet version without a known layout is counted and "
        "skipped. Packet times are the records' DM time stamps (UTC; a record without one, such "
        "as a note, takes the time of the record before it). Packets go from 127.0.0.1 to "
        "127.0.0.1; after a \"Subscription N\" note (a multi-SIM device) they go to 127.0.0.N "
        "(N from 1 to 255), as SCAT writes them, and GSMTAP packets carry N in the sub-slot: "
        "in Wireshark, \"ip.dst == 127.0.0.2 || exported_pdu.ipv4_dst == 127.0.0.2\" shows "
        "the second SIM. With --all the packets of other records (and of skipped ones) are DIAG "
        "packets under GSMTAP type 0x11, in the same order: log records behind a DIAG log "
        "header (10 00 and the length), replies and messages as they came. A summary goes to "
        "stderr.\n"
        "Exit status: 0 done; 1 a log could not be read (nothing written); 2 a damaged log was "
        "exported as far as it could be read; 3 the output could not be written (nothing left "
        "behind); 64 a malformed command line, or the output names an input log.");
    cmd->callback([logs, out, all] { exitStatus() = runPcap(*logs, *out, *all); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
