// The run shared by the export commands (pcap, export): the logs are read as a stream, one
// record at a time, and the output is written in pieces of about a megabyte under a temporary
// name, renamed when whole. A log of any size takes a few megabytes of memory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "dm/LogReader.h"

namespace kvx::cli {

struct LogExportSteps {
    std::function<void()> beginLog;
    std::function<void(const dm::LogRecord&, std::span<const uint8_t>, std::vector<uint8_t>&)>
        addRecord;
    std::function<void(std::vector<uint8_t>&)> endLog;
};

// Exports `logs` in order into `out`, starting with `head`, and says on stderr (as
// "kvxlog COMMAND: ...") what went wrong. Returns the exit status: 0 done; 1 a log could not
// be read (nothing written); 2 a damaged log was exported as far as it could be read; 3 the
// output could not be written (nothing left behind); 64 the output names an input log.
int exportLogs(const char* command, const std::vector<std::string>& logs, const std::string& out,
               const std::vector<uint8_t>& head, const LogExportSteps& steps);

}  // namespace kvx::cli
