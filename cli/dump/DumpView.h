// What `kvxlog dump` shows of a record: its time, its item (log code, event, message,
// the packet inside a packet record) with the catalogue's name, the filter that selects
// records, the per-item summary, and the text lines and JSON objects it prints.
//
// Records are taken in file order through a RecordWalk, which carries what earlier records
// tell about later ones (the subscription of a dual-SIM device, the time of the last stamped
// record), so that a whole file and a followed file give the same lines.
//
// Threads: plain values; one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "dm/LogReader.h"

namespace kvx::filters {
class FilterSet;
}

namespace kvx::cli::dump {

// Item names from the catalogue tables; empty texts where the catalogue has none.
class ItemNames {
  public:
    ItemNames() = default;
    explicit ItemNames(const filters::FilterSet& set);
    const std::string& log(uint16_t code) const;
    const std::string& event(uint32_t id) const;
    const std::string& message(uint32_t ssid, uint32_t level) const;
    bool empty() const { return logs_.empty() && events_.empty() && messages_.empty(); }

  private:
    std::unordered_map<uint32_t, std::string> logs_, events_, messages_;
};

enum class Kind : uint8_t { Note, ModemLog, Event, Message, Packet, Converted };
inline constexpr int kKindCount = 6;
Kind kindOf(uint16_t code);
const char* kindName(Kind kind);  // as dm::recordKind
// "note", "modem log" (also "log", "modem-log"), "event", "message", "packet", "converted".
std::optional<Kind> parseKind(const std::string& text);

// A record as shown.
struct RecordView {
    dm::LogRecord record;
    Kind kind = Kind::Note;
    // The record's own time stamp, or for a packet record holding a log packet that log's.
    uint64_t stamp = 0;
    // The item: the log code (of the record, or of a log inside a packet record), the event
    // id, the message's SSID and level, or the packet's command byte.
    std::optional<uint16_t> logCode;
    std::optional<uint32_t> eventId;
    std::optional<uint32_t> ssid, level;
    std::optional<uint8_t> command;        // packet records
    std::optional<uint32_t> wrappedSub;    // a multi-SIM packet kept whole
    std::optional<uint32_t> subscription;  // from the last "Subscription N" note
    std::string name;                      // catalogue name; empty when unknown
    std::string text;                      // note text, message format text
    // Summary key: one row per item.
    uint64_t key = 0;
};

// The label of a record's item: "0xB0C0", "event 1024", "msg 3010/2", "cmd 0x4B", "note".
std::string itemLabel(const RecordView& v);

// Parses the records' bodies in order.
class RecordWalk {
  public:
    explicit RecordWalk(const ItemNames& names) : names_(&names) {}
    RecordView view(const dm::LogRecord& r, std::span<const uint8_t> bytes);
    // The time, in Unix microseconds, of the record just viewed for the time filter: its own,
    // or that of the last stamped record before it; nullopt before any stamped record.
    std::optional<int64_t> filterTime() const { return lastTime_; }
    std::optional<int64_t> firstTime() const { return firstTime_; }

  private:
    const ItemNames* names_;
    std::optional<uint32_t> subscription_;
    std::optional<int64_t> lastTime_, firstTime_;
};

// A time limit: a UTC time, or seconds after the first stamped record.
struct TimeLimit {
    std::optional<int64_t> absolute;  // Unix microseconds
    int64_t relative = 0;             // microseconds after the first stamped record
};
// "2025-03-13 20:06:33[.fff]", "2025-03-13T20:06:33Z", or seconds such as "90" or "1.5".
std::optional<TimeLimit> parseTimeLimit(const std::string& text);

struct Filter {
    std::set<uint16_t> codes;  // record codes, or the log code inside a packet record
    std::set<Kind> kinds;
    std::optional<TimeLimit> from, to;  // both inclusive

    bool any() const { return !codes.empty() || !kinds.empty() || from || to; }
    // `time`: the walk's filterTime; `first`: its firstTime.
    bool matches(const RecordView& v, std::optional<int64_t> time, std::optional<int64_t> first) const;
};

// Counts per item, for --summary.
struct SummaryRow {
    std::string label, name;
    Kind kind = Kind::Note;
    std::optional<uint16_t> logCode;
    uint64_t count = 0, bytes = 0;
    uint64_t firstStamp = 0, lastStamp = 0;  // 0: no stamped record
};
class Summary {
  public:
    void add(const RecordView& v);
    // Rows by count, most first; equal counts by label.
    std::vector<SummaryRow> rows() const;
    uint64_t records() const { return records_; }

  private:
    std::unordered_map<uint64_t, SummaryRow> rows_;
    uint64_t records_ = 0;
};

// "YYYY-MM-DD HH:MM:SS.mmm" of a DM time stamp; repeated seconds are formatted once.
class TimeText {
  public:
    const std::string& of(uint64_t stamp);

  private:
    int64_t second_ = INT64_MIN;
    std::string text_;
};

// What a note says of the file it ends: nothing, the end of the capture (Stop, a finished
// conversion), or that the capture goes on in a new file (Start New, a watchdog restart, a
// size or time limit).
enum class Closing { None, End, NextFile };
Closing closingOf(std::span<const uint8_t> noteText);

// Bytes outside printable ASCII (and the backslash) as \xNN.
std::string printable(std::span<const uint8_t> bytes);
std::string printable(const std::string& text);

struct LineOptions {
    bool rawTime = false;
    size_t width = 0;  // cut lines to this many characters; 0: never
};
// One aligned text line (no newline): offset, length, code, time, kind, then the item.
void formatLine(const RecordView& v, const LineOptions& options, TimeText& times, std::string& out);
// The column heading that goes with formatLine.
std::string headingLine(const LineOptions& options);

}  // namespace kvx::cli::dump
