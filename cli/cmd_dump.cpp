// kvxlog dump: deciphers a .kvx log and lists its records, for people and tests: times in
// UTC, items named from the catalogue, a per-item summary, filters, and a follow mode for a
// log that a capture is still writing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "CaptureRun.h"
#include "Command.h"
#include "Platform.h"
#include "app/Settings.h"
#include "os/Files.h"
#include "dm/DmTime.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "dump/DumpView.h"
#include "filters/FilterSet.h"

namespace kvx::cli {
namespace {

using namespace dump;

constexpr int kExitIncomplete = 9;
constexpr int kExitDamaged = 2;
constexpr int kExitUnreadable = 1;

struct DumpOptions {
    std::string path;
    bool json = false;
    bool rawTime = false;
    bool quiet = false;
    bool summary = false;
    bool follow = false;
    std::vector<std::string> codes, kinds;
    std::string from, to;
};

std::string hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

std::string stampHex(uint64_t stamp) {
    char t[24];
    std::snprintf(t, sizeof t, "%016llx", static_cast<unsigned long long>(stamp));
    return t;
}

std::string utcOf(uint64_t stamp) { return dm::formatUtcMillis(dm::dmTimeToUnixMicros(stamp)); }

void putLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void putJson(const nlohmann::json& j) {
    putLine(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// The catalogue of the settings file, found as `kvxlog capture` finds it (the shipped one
// when the user has none); names stay empty when neither can be read.
struct Catalogue {
    filters::FilterSet set;
    std::unique_ptr<ItemNames> names;
    std::string source;
};

std::unique_ptr<Catalogue> loadNames() {
    auto c = std::make_unique<Catalogue>();
    const SettingsChoice chosen = chooseSettings(nullptr);
    if (chosen.file) {
        filters::FilterReporter quiet;  // an "Overflow" of a catalogue file changes no name
        app::loadCatalogue(app::readSettings(*chosen.file), c->set, quiet);
        c->source = chosen.path;
    }
    c->names = std::make_unique<ItemNames>(c->set);
    if (c->names->empty()) c->source.clear();
    return c;
}

// Where the records go: text lines, JSON objects, or the summary's counts.
class Printer {
  public:
    Printer(const DumpOptions& o, const ItemNames& names, const Filter& filter)
        : o_(o), filter_(filter), walk_(names) {
        if (!o.json) {
            if (const int columns = terminalColumns(); columns > 0) lineOptions_.width = columns;
        }
        lineOptions_.rawTime = o.rawTime;
    }

    // A new file (follow into the next file of a capture): the walk starts afresh.
    void restart(const ItemNames& names) { walk_ = RecordWalk(names); }

    void heading() {
        if (!o_.quiet && !o_.json && !o_.summary) putLine(headingLine(lineOptions_));
    }

    // Returns the view, for the caller's look at notes.
    RecordView take(const dm::LogRecord& r, std::span<const uint8_t> bytes) {
        RecordView v = walk_.view(r, bytes);
        if (!filter_.matches(v, walk_.filterTime(), walk_.firstTime())) return v;
        ++shown_;
        shownBytes_ += r.length;
        if (o_.summary) {
            summary_.add(v);
        } else if (o_.json) {
            json(v, bytes);
        } else {
            formatLine(v, lineOptions_, times_, line_);
            putLine(line_);
        }
        endIfOutputClosed();
        return v;
    }

    void printSummary(const nlohmann::json& file) {
        const auto rows = summary_.rows();
        if (o_.json) {
            nlohmann::json j = file;
            j["summary"] = true;
            j["shown"] = shown_;
            nlohmann::json list = nlohmann::json::array();
            for (const auto& row : rows) {
                nlohmann::json item = {{"label", row.label}, {"kind", kindName(row.kind)},
                                       {"count", row.count}, {"bytes", row.bytes}};
                if (row.logCode) item["code"] = *row.logCode;
                if (!row.name.empty()) item["name"] = row.name;
                if (row.firstStamp != 0) {
                    item["first_utc"] = utcOf(row.firstStamp);
                    item["last_utc"] = utcOf(row.lastStamp);
                }
                list.push_back(item);
            }
            j["codes"] = list;
            putJson(j);
            return;
        }
        size_t labelWidth = 4, countWidth = 5, bytesWidth = 5;
        for (const auto& row : rows) {
            labelWidth = std::max(labelWidth, row.label.size());
            countWidth = std::max(countWidth, std::to_string(row.count).size());
            bytesWidth = std::max(bytesWidth, std::to_string(row.bytes).size());
        }
        char text[512];
        std::snprintf(text, sizeof text, "%-*s %-9s %*s %*s %-23s %-23s name", static_cast<int>(labelWidth),
                      "item", "kind", static_cast<int>(countWidth), "count", static_cast<int>(bytesWidth),
                      "bytes", "first (UTC)", "last (UTC)");
        if (!o_.quiet) putLine(text);
        for (const auto& row : rows) {
            std::snprintf(text, sizeof text, "%-*s %-9s %*llu %*llu %-23s %-23s", static_cast<int>(labelWidth),
                          row.label.c_str(), kindName(row.kind), static_cast<int>(countWidth),
                          static_cast<unsigned long long>(row.count), static_cast<int>(bytesWidth),
                          static_cast<unsigned long long>(row.bytes),
                          row.firstStamp ? utcOf(row.firstStamp).c_str() : "",
                          row.lastStamp ? utcOf(row.lastStamp).c_str() : "");
            std::string line = text;
            if (!row.name.empty()) line += " " + row.name;
            while (!line.empty() && line.back() == ' ') line.pop_back();
            if (lineOptions_.width > 0 && line.size() > lineOptions_.width) line.resize(lineOptions_.width);
            putLine(line);
            endIfOutputClosed();
        }
    }

    uint64_t shown() const { return shown_; }
    uint64_t shownBytes() const { return shownBytes_; }

  private:
    void json(const RecordView& v, std::span<const uint8_t> bytes) {
        const dm::LogRecord& r = v.record;
        const auto body = bytes.subspan(12);
        nlohmann::json j = {{"offset", r.offset}, {"length", r.length}, {"code", r.code},
                            {"kind", kindName(v.kind)}, {"time", stampHex(r.time)}, {"body", hex(body)},
                            {"label", itemLabel(v)}};
        if (v.stamp != 0) {
            j["utc"] = utcOf(v.stamp);
            j["unix_us"] = dm::dmTimeToUnixMicros(v.stamp);
        }
        if (!v.name.empty()) j["name"] = v.name;
        if (v.kind == Kind::Note) j["text"] = std::string(body.begin(), body.end());
        if (v.kind == Kind::Message && !v.text.empty()) j["text"] = v.text;
        if (v.kind == Kind::Packet && v.logCode) j["log_code"] = *v.logCode;
        if (v.wrappedSub) j["wrapped_subscription"] = *v.wrappedSub;
        if (v.subscription) j["subscription"] = *v.subscription;
        putJson(j);
    }

    const DumpOptions& o_;
    const Filter& filter_;
    RecordWalk walk_;
    LineOptions lineOptions_;
    TimeText times_;
    std::string line_;
    Summary summary_;
    uint64_t shown_ = 0, shownBytes_ = 0;
};

// ---- a whole file ------------------------------------------------------------------------------

// How much of a record the listing needs: a modem log's line is all header, an event or a
// packet shows what its first bytes say, a note or a message shows its text.
size_t bytesNeeded(const dm::LogRecord& r, bool whole) {
    if (whole) return r.length;
    switch (kindOf(r.code)) {
        case Kind::ModemLog:
        case Kind::Converted: return 12;
        case Kind::Event:
        case Kind::Packet: return std::min<size_t>(r.length, 64);
        case Kind::Note:
        case Kind::Message: return r.length;
    }
    return r.length;
}

int dumpFile(const DumpOptions& o, const Catalogue& cat, const Filter& filter) {
    // Mapped and deciphered on demand: a long text listing or a summary deciphers little
    // more than the record headers.
    dm::MappedLog mapped;
    if (!mapped.open(o.path)) {
        std::fprintf(stderr, "kvxlog dump: cannot read %s: %s\n", o.path.c_str(),
                     std::strerror(mapped.error() != 0 ? mapped.error() : EIO));
        return kExitUnreadable;
    }
    const dm::LogContents log = mapped.index();
    uint64_t firstStamp = 0, lastStamp = 0;
    for (const auto& r : log.records) {
        if (r.time == 0) continue;
        if (firstStamp == 0) firstStamp = r.time;
        lastStamp = r.time;
    }
    Closing closing = Closing::None;
    std::string lastNote;
    if (!log.records.empty() && log.records.back().code == dm::kCodeNote) {
        const auto& last = log.records.back();
        const auto body = mapped.read(last.offset + 12, last.length - 12u);
        closing = closingOf(body);
        lastNote = printable(body);
    }
    const bool complete = closing != Closing::None;
    const size_t fileSize = mapped.fileSize();

    nlohmann::json file = {{"file", o.path}, {"size", fileSize}, {"records", log.records.size()},
                           {"stream_length", log.streamLength}, {"padding", log.padding},
                           {"status", dm::describe(log)}, {"closing_note", complete}};
    if (firstStamp != 0) {
        file["first_utc"] = utcOf(firstStamp);
        file["last_utc"] = utcOf(lastStamp);
    }
    if (!cat.source.empty()) file["names"] = cat.source;

    // With --summary --json the one summary object carries the file's facts.
    if (!o.quiet && !(o.json && o.summary)) {
        if (o.json) {
            nlohmann::json head = file;
            head["header"] = true;
            putJson(head);
        } else {
            std::string text = "-- " + o.path + ": " + std::to_string(fileSize) + " bytes, " +
                               std::to_string(log.records.size()) + " records, ";
            text += firstStamp != 0 ? utcOf(firstStamp) + " to " + utcOf(lastStamp) + " UTC, " : "no time stamps, ";
            if (log.status != dm::LogReadStatus::Ok) {
                text += dm::describe(log);
            } else if (complete) {
                text += "ends with its closing note \"" + lastNote + "\"";
            } else {
                text += "no closing note";
            }
            putLine(text);
            putLine("-- names: " + (cat.source.empty() ? std::string("none (no catalogue found)") : cat.source));
        }
    }

    Printer printer(o, *cat.names, filter);
    printer.heading();
    for (const auto& r : log.records) printer.take(r, mapped.read(r.offset, bytesNeeded(r, o.json)));

    if (o.summary) printer.printSummary(file);
    if (!o.quiet && !o.summary) {
        if (o.json) {
            nlohmann::json j = {{"summary", true}, {"records", log.records.size()},
                                {"stream_length", log.streamLength}, {"padding", log.padding},
                                {"status", dm::describe(log)}, {"shown", printer.shown()}};
            putJson(j);
        } else {
            std::string text = "-- " + std::to_string(log.records.size()) + " records, " +
                               std::to_string(log.streamLength) + " bytes of records, final padding " +
                               std::to_string(log.padding) + " bytes";
            if (filter.any())
                text += "; " + std::to_string(printer.shown()) + " shown (" +
                        std::to_string(printer.shownBytes()) + " bytes)";
            putLine(text);
        }
    }
    if (log.status != dm::LogReadStatus::Ok) {
        std::fprintf(stderr, "kvxlog dump: %s: %s\n", o.path.c_str(), dm::describe(log).c_str());
        return kExitDamaged;
    }
    if (!complete) {
        // A capture that was killed, or a disk that filled: the log is whole blocks but cut.
        const char* text = o.json ? "{\"complete\":false}" : "-- incomplete: the log does not end with its closing note";
        std::fprintf(o.quiet ? stderr : stdout, "%s\n", text);
        return kExitIncomplete;
    }
    return 0;
}

// ---- a file being written ----------------------------------------------------------------------

std::atomic<bool> interrupted{false};

// A pause between looks at a growing file. A reader of stdout that went away meanwhile
// (`kvxlog dump -f LOG | head`) ends the command, although nothing was written since.
void pauseFollowing(long ms) {
    if (waitUnlessStdoutGone(ms)) {
        std::fflush(stdout);
        std::_Exit(0);
    }
}

// The file a capture moved on to after `current`: same folder and base, a later time stamp
// ("base" + "%Y-%m-%d_%H-%M-%S" + optional "_N" + ".kvx"). Empty when none is there yet.
std::string nextLogFile(const std::string& current) {
    namespace fs = std::filesystem;
    const fs::path path(current);
    const std::string name = path.filename().string();
    auto stampAt = [](const std::string& n) -> size_t {  // where the time stamp begins, or npos
        if (n.size() < 23 || n.compare(n.size() - 4, 4, ".kvx") != 0) return std::string::npos;
        size_t end = n.size() - 4;
        size_t digits = end;
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(n[digits - 1]))) --digits;
        if (digits < end && digits > 0 && n[digits - 1] == '_' && end - digits <= 2) end = digits - 1;
        if (end < 19) return std::string::npos;
        const size_t at = end - 19;
        static constexpr char kShape[] = "dddd-dd-dd_dd-dd-dd";
        for (size_t i = 0; i < 19; ++i) {
            const char c = n[at + i];
            if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != kShape[i])
                return std::string::npos;
        }
        return at;
    };
    const size_t at = stampAt(name);
    if (at == std::string::npos) return {};
    const std::string base = name.substr(0, at);
    std::error_code ec;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::string best;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string other = entry.path().filename().string();
        if (other <= name || other.compare(0, base.size(), base) != 0 || stampAt(other) != at) continue;
        if (best.empty() || other < best) best = other;
    }
    return best.empty() ? std::string() : (folder / best).string();
}

int followFile(const DumpOptions& o, const Catalogue& cat, const Filter& filter) {
    // Ctrl-C ends the listing at its next look at the file (at most 50 ms away).
    InterruptListener stop([] { interrupted = true; });

    Printer printer(o, *cat.names, filter);
    std::string path = o.path;
    bool first = true;
    std::vector<uint8_t> chunk(1 << 16);
    while (!interrupted) {
        const int fd = ::open(path.c_str(), O_RDONLY | os::kOpenFlags);
        if (fd < 0) {
            std::fprintf(stderr, "kvxlog dump: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
            return kExitUnreadable;
        }
        if (!first) printer.restart(*cat.names);
        if (!o.quiet && !o.json && !o.summary) {
            putLine("-- following " + path + " (Ctrl-C ends)");
            if (first) putLine("-- names: " + (cat.source.empty() ? std::string("none (no catalogue found)") : cat.source));
            if (first) printer.heading();
        }
        first = false;
        std::fflush(stdout);
        dm::LogFollower follower;
        Closing closing = Closing::None;
        while (closing == Closing::None && !interrupted) {
            const ssize_t n = ::read(fd, chunk.data(), chunk.size());
            if (n < 0 && errno != EINTR) {
                std::fprintf(stderr, "kvxlog dump: %s: %s\n", path.c_str(), std::strerror(errno));
                ::close(fd);
                return kExitUnreadable;
            }
            if (n > 0) follower.feed({chunk.data(), static_cast<size_t>(n)});
            dm::LogRecord r;
            std::span<const uint8_t> bytes;
            while (closing == Closing::None && follower.next(r, bytes)) {
                printer.take(r, bytes);
                if (r.code == dm::kCodeNote) closing = closingOf(bytes.subspan(12));
            }
            std::fflush(stdout);
            endIfOutputClosed();
            if (follower.status() != dm::LogReadStatus::Ok) {
                std::fprintf(stderr, "kvxlog dump: %s: damaged: record length below 12 at offset %zu\n",
                             path.c_str(), follower.stopOffset());
                ::close(fd);
                return kExitDamaged;
            }
            if (n == static_cast<ssize_t>(chunk.size())) continue;  // more is there at once
            if (closing == Closing::None && n <= 0) pauseFollowing(50);
        }
        ::close(fd);
        if (closing != Closing::NextFile) break;
        // The capture goes on in a new file: follow it once it appears.
        bool told = false;
        std::string next;
        while (!interrupted && (next = nextLogFile(path)).empty()) {
            if (!told && !o.quiet && !o.json && !o.summary) {
                putLine("-- the capture goes on in a new file: waiting for it");
                std::fflush(stdout);
                told = true;
            }
            pauseFollowing(200);
        }
        if (next.empty()) break;
        path = next;
    }
    if (o.summary) printer.printSummary({{"file", o.path}});
    if (!o.quiet && !o.json && !o.summary) {
        putLine("-- " + std::to_string(printer.shown()) + " records shown" +
                (interrupted ? ", stopped by the user" : ", the capture ended"));
    }
    return 0;
}

bool buildFilter(const DumpOptions& o, Filter& filter) {
    for (const auto& text : o.codes) {
        int32_t value = 0;
        if (!parseNumber(text, value) || value < 0 || value > 0xFFFF) {
            std::fprintf(stderr, "kvxlog dump: --code %s: a code is 0x0000 to 0xFFFF\n", text.c_str());
            return false;
        }
        filter.codes.insert(static_cast<uint16_t>(value));
    }
    for (const auto& text : o.kinds) {
        const auto kind = parseKind(text);
        if (!kind) {
            std::fprintf(stderr,
                         "kvxlog dump: --kind %s: one of note, modem log, event, message, packet, converted\n",
                         text.c_str());
            return false;
        }
        filter.kinds.insert(*kind);
    }
    for (auto [text, limit, option] : {std::tuple{&o.from, &filter.from, "--from"}, std::tuple{&o.to, &filter.to, "--to"}}) {
        if (text->empty()) continue;
        *limit = parseTimeLimit(*text);
        if (!*limit) {
            std::fprintf(stderr,
                         "kvxlog dump: %s %s: a UTC time (\"2025-03-13 20:06:33\") or seconds after the "
                         "first record\n",
                         option, text->c_str());
            return false;
        }
    }
    return true;
}

int runDump(const DumpOptions& o) {
    Filter filter;
    if (!buildFilter(o, filter)) return kExitBadArguments;
    const auto catalogue = loadNames();
    if (!o.follow) {
        static char buffer[1 << 16];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
    return o.follow ? followFile(o, *catalogue, filter) : dumpFile(o, *catalogue, filter);
}

void setup(CLI::App& app) {
    auto* cmd = app.add_subcommand("dump", "List the records of a .kvx log");
    auto o = std::make_shared<DumpOptions>();
    cmd->add_option("LOGFILE", o->path, "The .kvx log")->required();
    cmd->add_flag("--json", o->json,
                  "One JSON object per record (offset, length, code, kind, time as hex, utc, "
                  "unix_us, label, name, body, text, subscription), after a header object and "
                  "before a summary object");
    cmd->add_flag("--raw-time", o->rawTime, "The time stamp as its 16 hex digits, not as UTC");
    cmd->add_flag("-q,--quiet", o->quiet, "No header and no footer lines");
    cmd->add_flag("--summary", o->summary,
                  "One row per item (log code, event, message, packet command) with its name, "
                  "count, bytes, first and last time, most frequent first");
    cmd->add_option("--code", o->codes, "Only these codes (record code, or the log code inside a packet), e.g. 0xB0C0,0xB0ED")
        ->delimiter(',');
    cmd->add_option("--kind", o->kinds, "Only these kinds: note, \"modem log\", event, message, packet, converted")
        ->delimiter(',');
    cmd->add_option("--from", o->from,
                    "Only records from this time on: UTC \"YYYY-MM-DD HH:MM:SS[.mmm]\", or seconds after the "
                    "first stamped record");
    cmd->add_option("--to", o->to, "Only records up to this time (inclusive), as --from");
    cmd->add_flag("-f,--follow", o->follow,
                  "Read a log a capture is still writing: print each record once all its blocks are on "
                  "disk, until the closing note or Ctrl-C; when the capture moves to a new file (Start "
                  "New, a restart, a size or time limit), follow that one");
    cmd->footer(
        "Columns: offset in the deciphered stream, length, code, time (UTC; blank for the program's "
        "own records), kind, then the item: the catalogue name of a log code, \"event N\", "
        "\"msg SSID/LEVEL\" with the message text, what a packet record holds, or a note's text. "
        "After a \"Subscription N\" note (a dual-SIM device) records carry \"sub N\". Names come from "
        "the catalogue of the settings file (the shipped one when there is none). A record without "
        "a time stamp counts, for --from and --to, at the time of the stamped record before it.\n"
        "Exit status: 0 read to the end (--follow: the closing note or Ctrl-C), 1 unreadable, 2 "
        "damaged (listed as far as it goes), 9 whole but cut: the last record is not a closing note "
        "(a capture that was killed, a disk that filled), 64 a malformed option.");
    cmd->callback([o] { exitStatus() = runDump(*o); });
}

CommandRegistrar registrar(setup);

}  // namespace
}  // namespace kvx::cli
