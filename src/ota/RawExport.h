// Turns the records of .kvx logs back into the raw DM stream they came from (`kvxlog export`):
// HDLC frames (payload with 0x7D/0x7E escaped, CRC-16/X-25 low byte first, 0x7E) in record
// order, the stream that SCAT, QCSuper and MobileInsight read as a .qmdl file. Converting it
// again gives the same records, notes apart:
//   modem log record      -> the log packet it came in: 10 00, the record length, the record
//   packet record         -> its packet as it is (the body, command byte first)
//   message record (79)   -> its packet as it is
//   event record          -> an event report (60) holding that one event with its full time
//   converted 0x1F record -> 1F, a nonzero field (01 00; the log does not keep the modem's),
//                            then the record body (whose last 8 bytes are its time)
//   note record           -> nothing: the program's own notes are left out and counted.
// After a "Subscription N" note the packets are wrapped again in a multi-SIM packet (98 01 00
// 00 and N), unless wrapping is off.
//
// The exporter builds bytes in memory; the caller writes them out. Not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dm/LogReader.h"

namespace kvx::ota {

// Appends `packet` as one frame: escaped payload and CRC, then 0x7E.
void appendDmFrame(std::vector<uint8_t>& out, std::span<const uint8_t> packet);

struct RawExportStats {
    RawExportStats& operator+=(const RawExportStats& o) {
        frames += o.frames;
        wrapped += o.wrapped;
        notes += o.notes;
        empty += o.empty;
        bytes += o.bytes;
        return *this;
    }
    uint64_t frames = 0;   // packets written
    uint64_t wrapped = 0;  // of them, wrapped for a subscription
    uint64_t notes = 0;    // note records left out
    uint64_t empty = 0;    // packet records without a byte (not from the receive path): left out
    uint64_t bytes = 0;    // bytes written
};

class RawExporter {
  public:
    explicit RawExporter(bool wrap) : wrap_(wrap) {}

    // Appends the frames of one log's records, in order. Subscription notes count from the
    // start of each log, as the logger writes them anew into every file.
    void addLog(const dm::LogContents& log, std::vector<uint8_t>& out);
    // The same a record at a time, for a caller that writes as it goes: beginLog, then
    // addRecord for each record of the log in order (`bytes` are its bytes, header included).
    void beginLog() { subscription_.reset(); }
    void addRecord(const dm::LogRecord& r, std::span<const uint8_t> bytes,
                   std::vector<uint8_t>& out);
    const RawExportStats& stats() const { return stats_; }

  private:
    void addLogPacket(std::span<const uint8_t> bytes, std::vector<uint8_t>& out);
    void addPacket(std::span<const uint8_t> head, std::span<const uint8_t> rest,
                   std::vector<uint8_t>& out);

    bool wrap_;
    RawExportStats stats_;
    std::optional<uint32_t> subscription_;
};

}  // namespace kvx::ota
