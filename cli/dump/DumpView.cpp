#include "DumpView.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/MainDialog.h"
#include "dm/DmTime.h"
#include "dm/KvxLog.h"
#include "filters/FilterSet.h"

namespace kvx::cli::dump {
namespace {

const std::string kNoName;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

uint32_t messageKey(uint32_t ssid, uint32_t level) { return ssid << 5 | (level & 31); }

// The id of a "Subscription %u" note: the records of multi-SIM packets that follow it.
std::optional<uint32_t> subscriptionOf(std::span<const uint8_t> note) {
    static constexpr std::string_view kPrefix = "Subscription ";
    const std::string_view text(reinterpret_cast<const char*>(note.data()), note.size());
    if (text.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
    const std::string_view digits = text.substr(kPrefix.size());
    uint32_t id = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    return id;
}

// An extended message packet (command 0x79): 79, time-stamp type, argument count, drop
// count, 8-byte time, line, SSID, the 32-bit level mask, the arguments, then the format
// text and the file name, each ended by a zero.
constexpr size_t kMessageFixed = 20;

void viewMessage(std::span<const uint8_t> body, RecordView& v, const ItemNames& names) {
    if (body.size() < kMessageFixed) return;
    const uint32_t mask = le32(body.data() + 16);
    v.ssid = le16(body.data() + 14);
    v.level = mask == 0 ? 0u : static_cast<uint32_t>(__builtin_ctz(mask));
    v.name = names.message(*v.ssid, *v.level);
    const size_t text = kMessageFixed + 4u * body[2];
    if (text < body.size()) {
        const auto* from = body.data() + text;
        const auto* end = static_cast<const uint8_t*>(std::memchr(from, 0, body.size() - text));
        v.text = printable(std::span<const uint8_t>(from, end ? end : body.data() + body.size()));
    }
}

// A packet kept whole: a multi-SIM wrapper says which subscription, and a log packet inside
// (command 0x10: 10, a byte, the length, then the log record) is named by its log code.
void viewPacket(std::span<const uint8_t> body, RecordView& v, const ItemNames& names) {
    for (int depth = 0; depth < 4 && !body.empty(); ++depth) {
        v.command = body[0];
        if (body[0] == dm::kCmdMultiSim && body.size() > dm::kMultiSimHeader) {
            v.wrappedSub = le32(body.data() + 4);
            body = body.subspan(dm::kMultiSimHeader);
            continue;
        }
        if (body[0] == 0x10 && body.size() >= 16) {
            v.logCode = le16(body.data() + 6);
            v.stamp = le64(body.data() + 8);
            v.name = names.log(*v.logCode);
        }
        return;
    }
}

// Whole seconds of a DM time stamp (since the Unix epoch) and its milliseconds.
void splitStamp(uint64_t stamp, int64_t& second, int& millis) {
    const int64_t micros = dm::dmTimeToUnixMicros(stamp);
    second = micros / 1000000;
    millis = static_cast<int>(micros % 1000000 / 1000);
}

void appendPadded(std::string& out, std::string_view text, size_t width, bool right) {
    if (right && text.size() < width) out.append(width - text.size(), ' ');
    out.append(text);
    if (!right && text.size() < width) out.append(width - text.size(), ' ');
}

void appendNumber(std::string& out, uint64_t value, size_t width) {
    char digits[24];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    appendPadded(out, std::string_view(digits, static_cast<size_t>(end - digits)), width, true);
}

constexpr char kHex[] = "0123456789ABCDEF";

void appendCode(std::string& out, uint16_t code) {
    const char text[6] = {'0', 'x', kHex[code >> 12], kHex[(code >> 8) & 15], kHex[(code >> 4) & 15],
                          kHex[code & 15]};
    out.append(text, 6);
}

// Column widths: offsets to 10 digits (logs far beyond any file limit), a 16-bit length.
constexpr size_t kOffsetWidth = 10;
constexpr size_t kLengthWidth = 5;
constexpr size_t kTimeWidth = 23;
constexpr size_t kRawTimeWidth = 16;
constexpr size_t kKindWidth = 9;

}  // namespace

ItemNames::ItemNames(const filters::FilterSet& set) {
    // The first slot of an id gives its name, as the trees list it first. A catalogue line
    // may hold any bytes: names are made printable once, so no line carries control codes.
    for (const auto& slot : set.logTable().entries())
        logs_.try_emplace(static_cast<uint32_t>(slot.entry.id) & 0xFFFF, printable(slot.entry.name));
    for (const auto& slot : set.eventTable().entries())
        events_.try_emplace(static_cast<uint32_t>(slot.entry.id), printable(slot.entry.name));
    for (const auto& slot : set.messageTable().entries())
        messages_.try_emplace(messageKey(static_cast<uint32_t>(slot.entry.id) & 0xFFFF,
                                         static_cast<uint32_t>(slot.entry.sub)),
                              printable(slot.entry.name));
}

const std::string& ItemNames::log(uint16_t code) const {
    const auto it = logs_.find(code);
    return it == logs_.end() ? kNoName : it->second;
}
const std::string& ItemNames::event(uint32_t id) const {
    const auto it = events_.find(id);
    return it == events_.end() ? kNoName : it->second;
}
const std::string& ItemNames::message(uint32_t ssid, uint32_t level) const {
    const auto it = messages_.find(messageKey(ssid, level));
    return it == messages_.end() ? kNoName : it->second;
}

Kind kindOf(uint16_t code) {
    switch (code) {
        case dm::kCodePacket: return Kind::Packet;
        case dm::kCodeNote: return Kind::Note;
        case dm::kCodeEvent: return Kind::Event;
        case dm::kCodeMessage: return Kind::Message;
        case dm::kCodeConverted1F: return Kind::Converted;
        default: return Kind::ModemLog;
    }
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Note: return "note";
        case Kind::ModemLog: return "modem log";
        case Kind::Event: return "event";
        case Kind::Message: return "message";
        case Kind::Packet: return "packet";
        case Kind::Converted: return "converted";
    }
    return "?";
}

std::optional<Kind> parseKind(const std::string& text) {
    if (text == "log" || text == "modem-log") return Kind::ModemLog;
    for (int k = 0; k < kKindCount; ++k)
        if (text == kindName(static_cast<Kind>(k))) return static_cast<Kind>(k);
    return std::nullopt;
}

std::string itemLabel(const RecordView& v) {
    char text[32];
    switch (v.kind) {
        case Kind::ModemLog:
            std::snprintf(text, sizeof text, "0x%04X", v.record.code);
            return text;
        case Kind::Event:
            if (!v.eventId) return "event";
            std::snprintf(text, sizeof text, "event %u", *v.eventId);
            return text;
        case Kind::Message:
            if (!v.ssid) return "msg";
            std::snprintf(text, sizeof text, "msg %u/%u", *v.ssid, *v.level);
            return text;
        case Kind::Packet:
            if (v.logCode) {
                std::snprintf(text, sizeof text, "log 0x%04X", *v.logCode);
            } else if (v.command) {
                std::snprintf(text, sizeof text, "cmd 0x%02X", *v.command);
            } else {
                return "packet";
            }
            return text;
        case Kind::Note: return "note";
        case Kind::Converted: return "converted";
    }
    return "?";
}

RecordView RecordWalk::view(const dm::LogRecord& r, std::span<const uint8_t> bytes) {
    RecordView v;
    v.record = r;
    v.kind = kindOf(r.code);
    v.stamp = r.time;
    const auto body = bytes.size() > 12 ? bytes.subspan(12) : std::span<const uint8_t>{};
    uint64_t key = 0;
    switch (v.kind) {
        case Kind::Note:
            if (auto id = subscriptionOf(body)) subscription_ = id;
            v.text = printable(body);
            break;
        case Kind::ModemLog:
            v.logCode = r.code;
            v.name = names_->log(r.code);
            key = r.code;
            break;
        case Kind::Event:
            // Record length - 14, the event word (bit 15 cleared), the time, the payload.
            if (body.size() >= 4) {
                v.eventId = le16(body.data() + 2) & 0x0FFFu;
                v.name = names_->event(*v.eventId);
                key = *v.eventId;
            }
            break;
        case Kind::Message:
            viewMessage(body, v, *names_);
            if (v.ssid) key = messageKey(*v.ssid, *v.level) | 1u << 24;
            break;
        case Kind::Packet:
            viewPacket(body, v, *names_);
            key = v.logCode ? (1u << 24 | *v.logCode) : v.command ? (1u << 25 | *v.command) : 0;
            break;
        case Kind::Converted:
            break;
    }
    v.key = static_cast<uint64_t>(v.kind) << 32 | key;
    if (v.kind != Kind::Note) v.subscription = subscription_;
    if (v.stamp != 0) {
        lastTime_ = dm::dmTimeToUnixMicros(v.stamp);
        if (!firstTime_) firstTime_ = lastTime_;
    }
    return v;
}

std::optional<TimeLimit> parseTimeLimit(const std::string& text) {
    if (auto t = dm::parseUtcMicros(text)) return TimeLimit{t, 0};
    // Seconds after the first stamped record: digits with an optional fraction.
    if (text.empty() || text.size() > 18) return std::nullopt;
    size_t dots = 0;
    for (char c : text) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    if (dots > 1 || text == ".") return std::nullopt;
    const double seconds = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(seconds) || seconds > 1e12) return std::nullopt;
    return TimeLimit{std::nullopt, static_cast<int64_t>(std::llround(seconds * 1e6))};
}

bool Filter::matches(const RecordView& v, std::optional<int64_t> time,
                     std::optional<int64_t> first) const {
    if (!kinds.empty() && !kinds.count(v.kind)) return false;
    if (!codes.empty() && !codes.count(v.record.code) && !(v.logCode && codes.count(*v.logCode)))
        return false;
    auto at = [&](const TimeLimit& limit) -> std::optional<int64_t> {
        if (limit.absolute) return limit.absolute;
        if (first) return *first + limit.relative;
        return std::nullopt;
    };
    if (from) {
        // A record before any stamped one has no time: it is before every limit.
        const auto limit = at(*from);
        if (!time || !limit || *time < *limit) return false;
    }
    if (to && time) {
        const auto limit = at(*to);
        if (limit && *time > *limit) return false;
    }
    return true;
}

void Summary::add(const RecordView& v) {
    ++records_;
    auto [it, added] = rows_.try_emplace(v.key);
    SummaryRow& row = it->second;
    if (added) {
        row.label = itemLabel(v);
        row.name = v.name;
        row.kind = v.kind;
        row.logCode = v.logCode;
    }
    ++row.count;
    row.bytes += v.record.length;
    if (v.stamp != 0) {
        if (row.firstStamp == 0) row.firstStamp = v.stamp;
        row.lastStamp = v.stamp;
    }
}

std::vector<SummaryRow> Summary::rows() const {
    std::vector<SummaryRow> out;
    out.reserve(rows_.size());
    for (const auto& [key, row] : rows_) out.push_back(row);
    std::sort(out.begin(), out.end(), [](const SummaryRow& a, const SummaryRow& b) {
        if (a.count != b.count) return a.count > b.count;
        return a.label < b.label;
    });
    return out;
}

const std::string& TimeText::of(uint64_t stamp) {
    int64_t second = 0;
    int millis = 0;
    splitStamp(stamp, second, millis);
    if (second != second_) {
        second_ = second;
        text_ = dm::formatUtcMillis(second * 1000000);  // "... .000"
    }
    char* ms = text_.data() + text_.size() - 3;
    ms[0] = static_cast<char>('0' + millis / 100);
    ms[1] = static_cast<char>('0' + millis / 10 % 10);
    ms[2] = static_cast<char>('0' + millis % 10);
    return text_;
}

Closing closingOf(std::span<const uint8_t> noteText) {
    const std::string_view text(reinterpret_cast<const char*>(noteText.data()), noteText.size());
    if (text == "RAW DM file conversion is complete" || text == app::kStoppedNote ||
        text.starts_with(app::kLowSpaceNote))
        return Closing::End;
    if (text == app::kRestartedNote || text.starts_with("Log capacity reached: Filesize = "))
        return Closing::NextFile;
    return Closing::None;
}

std::string printable(std::span<const uint8_t> bytes) {
    std::string s;
    s.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            s.push_back(static_cast<char>(b));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            s += esc;
        }
    }
    return s;
}

std::string printable(const std::string& text) {
    return printable({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

void formatLine(const RecordView& v, const LineOptions& options, TimeText& times, std::string& out) {
    out.clear();
    appendNumber(out, v.record.offset, kOffsetWidth);
    out.push_back(' ');
    appendNumber(out, v.record.length, kLengthWidth);
    out.push_back(' ');
    appendCode(out, v.record.code);
    out.push_back(' ');
    if (options.rawTime) {
        static constexpr char kLower[] = "0123456789abcdef";
        char t[16];
        for (int i = 0; i < 16; ++i) t[i] = kLower[(v.record.time >> (60 - 4 * i)) & 15];
        out.append(t, 16);
    } else if (v.stamp != 0) {
        out.append(times.of(v.stamp));
    } else {
        out.append(kTimeWidth, ' ');
    }
    out.push_back(' ');
    appendPadded(out, kindName(v.kind), kKindWidth, false);
    const size_t fixed = out.size();
    auto item = [&](std::string_view text) {
        if (text.empty()) return;
        out.push_back(' ');
        out.append(text);
    };
    if (v.subscription) {
        char sub[24];
        std::snprintf(sub, sizeof sub, "sub %u", *v.subscription);
        item(sub);
    }
    switch (v.kind) {
        case Kind::Note:
            out += " \"";
            out += v.text;
            out += '"';
            break;
        case Kind::ModemLog:
            item(v.name);
            break;
        case Kind::Event:
        case Kind::Message:
            item(itemLabel(v));
            item(v.name);
            if (!v.text.empty()) item("\"" + v.text + "\"");
            break;
        case Kind::Packet:
            if (v.wrappedSub) item("wrapped sub " + std::to_string(*v.wrappedSub));
            item(itemLabel(v));
            item(v.name);
            break;
        case Kind::Converted:
            break;
    }
    if (options.width > 0 && out.size() > options.width && options.width > fixed) out.resize(options.width);
}

std::string headingLine(const LineOptions& options) {
    std::string out;
    appendPadded(out, "offset", kOffsetWidth, true);
    out.push_back(' ');
    appendPadded(out, "len", kLengthWidth, true);
    out += " code   ";
    appendPadded(out, options.rawTime ? "time stamp" : "time (UTC)",
                 options.rawTime ? kRawTimeWidth : kTimeWidth, false);
    out.push_back(' ');
    appendPadded(out, "kind", kKindWidth, false);
    out += " item";
    return out;
}

}  // namespace kvx::cli::dump
