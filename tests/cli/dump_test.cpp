// kvxlog dump: what a record shows (items, names, subscriptions, times), the filters and
// their time limits, and, on converted real captures, the listing, the summary and every
// filter checked against the records as the plain whole-file reader gives them.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "../dm/LogTestSupport.h"
#include "dm/DmTime.h"
#include "dm/KvxLog.h"
#include "dm/LogReader.h"
#include "dump/DumpView.h"
#include "filters/FilterSet.h"

namespace kvx::cli::dump {
namespace {

namespace fs = std::filesystem;
using dmtest::Bytes;

Bytes record(uint16_t code, uint64_t stamp, const Bytes& body) {
    Bytes r = dmtest::header(12 + body.size(), code);
    for (int i = 0; i < 8; ++i) r[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(stamp >> (8 * i));
    r.insert(r.end(), body.begin(), body.end());
    return r;
}

dm::LogRecord headerOf(const Bytes& r, size_t offset = 0) {
    dm::LogRecord h;
    h.offset = offset;
    h.length = static_cast<uint16_t>(r[0] | r[1] << 8);
    h.code = static_cast<uint16_t>(r[2] | r[3] << 8);
    for (int i = 7; i >= 0; --i) h.time = h.time << 8 | r[4 + static_cast<size_t>(i)];
    return h;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A catalogue of three files: one log code, one event, one message level.
struct Names {
    fs::path dir = fs::temp_directory_path() / ("kvxdump-" + std::to_string(::getpid()));
    filters::FilterSet set;
    ItemNames names;
    Names() {
        fs::create_directories(dir);
        auto write = [&](const char* file, const char* line) {
            std::FILE* f = std::fopen((dir / file).string().c_str(), "w");
            std::fputs(line, f);
            std::fclose(f);
        };
        // A second code whose name holds an escape sequence: shown, but never sent raw.
        write("logs.txt", "0xB0C0^\"LTE RRC OTA Packet\"^\"1\"^0\n0xB0C2^\"\x1b[2Jcleared\"^\"1\"^0\n");
        write("events.txt", "1024^\"EVENT_TEST\"^\"1\"^0\n");
        write("messages.txt", "3010^2^\"NAS REG High\"^{1}\n");
        filters::FilterReporter quiet;
        set.loadCatalogueFile(set.logTable(), (dir / "logs.txt").string(), filters::LineKind::Log, quiet);
        set.loadCatalogueFile(set.eventTable(), (dir / "events.txt").string(), filters::LineKind::Event, quiet);
        set.loadCatalogueFile(set.messageTable(), (dir / "messages.txt").string(), filters::LineKind::Message,
                              quiet);
        names = ItemNames(set);
    }
    ~Names() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// 2025-03-13 20:06:33.360 UTC as a DM stamp.
const int64_t kAt = 1741896393360000;
const uint64_t kStamp = dm::unixMicrosToDmTime(kAt);

Bytes messageBody(uint16_t ssid, uint32_t mask, uint8_t args, const std::string& format) {
    Bytes b = {0x79, 0, args, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x00,
               static_cast<uint8_t>(ssid), static_cast<uint8_t>(ssid >> 8),
               static_cast<uint8_t>(mask), static_cast<uint8_t>(mask >> 8),
               static_cast<uint8_t>(mask >> 16), static_cast<uint8_t>(mask >> 24)};
    b.resize(b.size() + 4u * args, 0xAA);
    b.insert(b.end(), format.begin(), format.end());
    b.push_back(0);
    for (char c : std::string("file.c")) b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
    return b;
}

TEST(DumpView, EachKindOfRecordShowsItsItemAndName) {
    Names n;
    const Bytes wrappedLog = [] {
        // 98, version, two reserved, subscription 2, then a log packet 10 00 len len + record.
        Bytes b = {0x98, 1, 0, 0, 2, 0, 0, 0, 0x10, 0, 16, 0, 16, 0, 0xC0, 0xB0};
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(kStamp >> (8 * i)));
        return b;
    }();
    const struct {
        const char* what;
        Bytes rec;
        std::string label, name, text;
        std::string line;  // the line's part after the fixed columns
    } cases[] = {
        {"named log", record(0xB0C0, kStamp, {1, 2, 3}), "0xB0C0", "LTE RRC OTA Packet", "",
         "modem log LTE RRC OTA Packet"},
        {"unnamed log", record(0xB0C1, kStamp, {}), "0xB0C1", "", "", "modem log"},
        {"name with a control code", record(0xB0C2, kStamp, {}), "0xB0C2", "\\x1b[2Jcleared", "",
         "modem log \\x1b[2Jcleared"},
        {"named event", record(dm::kCodeEvent, kStamp, {10, 0, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}),
         "event 1024", "EVENT_TEST", "", "event     event 1024 EVENT_TEST"},
        {"event with payload-kind bits", record(dm::kCodeEvent, kStamp, {10, 0, 0x05, 0x64}), "event 1029", "",
         "", "event     event 1029"},
        {"named message", record(dm::kCodeMessage, kStamp, messageBody(3010, 4, 1, "mcc = %d")), "msg 3010/2",
         "NAS REG High", "mcc = %d", "message   msg 3010/2 NAS REG High \"mcc = %d\""},
        {"message cut short", record(dm::kCodeMessage, kStamp, {0x79, 0, 0}), "msg", "", "", "message   msg"},
        {"note", record(dm::kCodeNote, 0, text("a\\b\x01")), "note", "", "a\\x5cb\\x01",
         "note      \"a\\x5cb\\x01\""},
        {"packet", record(dm::kCodePacket, 0, {0x92, 1, 2}), "cmd 0x92", "", "", "packet    cmd 0x92"},
        {"log inside a kept multi-SIM packet", record(dm::kCodePacket, 0, wrappedLog), "log 0xB0C0",
         "LTE RRC OTA Packet", "", "packet    wrapped sub 2 log 0xB0C0 LTE RRC OTA Packet"},
        {"empty packet", record(dm::kCodePacket, 0, {}), "packet", "", "", "packet    packet"},
    };
    for (const auto& c : cases) {
        RecordWalk walk(n.names);
        const RecordView v = walk.view(headerOf(c.rec), c.rec);
        EXPECT_EQ(itemLabel(v), c.label) << c.what;
        EXPECT_EQ(v.name, c.name) << c.what;
        EXPECT_EQ(v.text, c.text) << c.what;
        TimeText times;
        std::string line;
        formatLine(v, {}, times, line);
        EXPECT_EQ(line.substr(48), c.line) << c.what << ": " << line;
        char columns[32];
        std::snprintf(columns, sizeof columns, "%10d %5zu 0x%04X ", 0, c.rec.size(), headerOf(c.rec).code);
        EXPECT_EQ(line.substr(0, 24), columns) << c.what;
        // The time column: the stamp as UTC (a log inside a packet gives its own), else blank.
        const bool stamped = headerOf(c.rec).time != 0 || std::string(c.what).find("inside") != std::string::npos;
        EXPECT_EQ(line.substr(24, 23), stamped ? "2025-03-13 20:06:33.360" : std::string(23, ' ')) << c.what;
    }
}

TEST(DumpView, SubscriptionsAndTimesCarryOverToLaterRecords) {
    ItemNames none;
    RecordWalk walk(none);
    const Bytes sequence[] = {
        record(dm::kCodeNote, 0, text("KvxLog Plus - Version 1.0.0.0")),
        record(dm::kCodeNote, 0, text("Subscription 2")),
        record(0xB0C0, kStamp, {}),
        record(dm::kCodeNote, 0, text("Subscription 1x")),  // not a subscription note
        record(dm::kCodePacket, 0, {0x4B}),
        record(dm::kCodeNote, 0, text("Subscription 1")),
        record(0xB0C0, kStamp + dm::kDmTicksPerSecond, {}),
    };
    struct Want {
        std::optional<uint32_t> sub;
        std::optional<int64_t> time;
    };
    const Want want[] = {{{}, {}}, {{}, {}}, {2, kAt}, {{}, kAt}, {2, kAt}, {{}, kAt}, {1, kAt + 1000000}};
    for (size_t i = 0; i < std::size(sequence); ++i) {
        const RecordView v = walk.view(headerOf(sequence[i]), sequence[i]);
        EXPECT_EQ(v.subscription, want[i].sub) << i;
        ASSERT_EQ(walk.filterTime().has_value(), want[i].time.has_value()) << i;
        if (want[i].time) {
            EXPECT_EQ(*walk.filterTime() / 1000, *want[i].time / 1000) << i;
        }
        EXPECT_EQ(walk.firstTime().has_value(), i >= 2) << i;
    }
}

TEST(DumpView, TimeLimitsAndFilters) {
    // Time limits: UTC texts, or seconds after the first stamped record.
    EXPECT_EQ(parseTimeLimit("2025-03-13 20:06:33.360")->absolute, kAt);
    EXPECT_EQ(parseTimeLimit("2025-03-13T20:06:33.36Z")->absolute, kAt);
    EXPECT_EQ(parseTimeLimit("90")->relative, 90000000);
    EXPECT_EQ(parseTimeLimit("1.5")->relative, 1500000);
    EXPECT_FALSE(parseTimeLimit("90").value().absolute);
    for (const char* bad : {"", ".", "-5", "1.2.3", "12:00", "2025-02-30 00:00:00", "5s", "1e400"})
        EXPECT_FALSE(parseTimeLimit(bad)) << bad;

    ItemNames none;
    const Bytes log = record(0xB0C0, kStamp, {});
    const Bytes wrapped = record(dm::kCodePacket, 0, {0x98, 1, 0, 0, 1, 0, 0, 0, 0x10, 0, 16, 0, 16, 0, 0xC0, 0xB0, 1, 0, 0, 0, 0, 0, 0, 0});
    const Bytes event = record(dm::kCodeEvent, kStamp, {10, 0, 1, 0});
    const Bytes note = record(dm::kCodeNote, 0, text("x"));
    auto view = [&](const Bytes& r) {
        RecordWalk walk(none);
        return walk.view(headerOf(r), r);
    };
    const std::optional<int64_t> first = kAt - 10000000;  // the first stamp, 10 s earlier
    auto limit = [](const char* t) { return parseTimeLimit(t); };
    const struct {
        const char* what;
        Filter filter;
        const Bytes* rec;
        std::optional<int64_t> time;
        bool match;
    } cases[] = {
        {"no filter", {}, &note, std::nullopt, true},
        {"code", {{0xB0C0}, {}, {}, {}}, &log, kAt, true},
        {"other code", {{0xB0C1}, {}, {}, {}}, &log, kAt, false},
        {"code inside a packet", {{0xB0C0}, {}, {}, {}}, &wrapped, kAt, true},
        {"record code of a packet", {{dm::kCodePacket}, {}, {}, {}}, &wrapped, kAt, true},
        {"kind", {{}, {Kind::Event, Kind::Note}, {}, {}}, &event, kAt, true},
        {"other kind", {{}, {Kind::ModemLog}, {}, {}}, &event, kAt, false},
        {"code and kind both needed", {{0xB0C0}, {Kind::Event}, {}, {}}, &log, kAt, false},
        {"from, at the limit", {{}, {}, limit("2025-03-13 20:06:33.360"), {}}, &log, kAt, true},
        {"from, a millisecond late", {{}, {}, limit("2025-03-13 20:06:33.361"), {}}, &log, kAt, false},
        {"to, at the limit", {{}, {}, {}, limit("2025-03-13 20:06:33.360")}, &log, kAt, true},
        {"to, a millisecond early", {{}, {}, {}, limit("2025-03-13 20:06:33.359")}, &log, kAt, false},
        {"relative from", {{}, {}, limit("10"), {}}, &log, kAt, true},
        {"relative from, later", {{}, {}, limit("10.001"), {}}, &log, kAt, false},
        {"relative to", {{}, {}, {}, limit("9.999")}, &log, kAt, false},
        {"no time yet, from", {{}, {}, limit("0"), {}}, &note, std::nullopt, false},
        {"no time yet, to", {{}, {}, {}, limit("0")}, &note, std::nullopt, true},
        {"note between limits", {{}, {}, limit("5"), limit("11")}, &note, kAt, true},
    };
    for (const auto& c : cases) {
        const RecordView v = view(*c.rec);
        EXPECT_EQ(c.filter.matches(v, c.time, c.time ? first : std::nullopt), c.match) << c.what;
    }
}

TEST(DumpView, SummaryRowsByCountThenLabel) {
    ItemNames none;
    RecordWalk walk(none);
    Summary s;
    const Bytes recs[] = {record(0xB0C1, kStamp, {}), record(0xB0C0, kStamp, {1}),
                          record(0xB0C0, kStamp + 52428800, {1, 2}), record(dm::kCodeNote, 0, text("n")),
                          record(dm::kCodeEvent, kStamp, {10, 0, 1, 0}), record(dm::kCodeEvent, kStamp, {10, 0, 2, 0})};
    for (const auto& r : recs) s.add(walk.view(headerOf(r), r));
    const auto rows = s.rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0].label, "0xB0C0");
    EXPECT_EQ(rows[0].count, 2u);
    EXPECT_EQ(rows[0].bytes, 13u + 14u);
    EXPECT_EQ(rows[0].firstStamp, kStamp);
    EXPECT_EQ(rows[0].lastStamp, kStamp + 52428800);
    std::vector<std::string> rest;
    for (size_t i = 1; i < rows.size(); ++i) rest.push_back(rows[i].label);
    EXPECT_EQ(rest, (std::vector<std::string>{"0xB0C1", "event 1", "event 2", "note"}));
    EXPECT_EQ(rows[4].firstStamp, 0u);
    EXPECT_EQ(s.records(), 6u);
}

TEST(DumpView, ClosingNotes) {
    EXPECT_EQ(closingOf(text("Log manually stopped from UI")), Closing::End);
    EXPECT_EQ(closingOf(text("RAW DM file conversion is complete")), Closing::End);
    EXPECT_EQ(closingOf(text("Log manually restarted from UI")), Closing::NextFile);
    EXPECT_EQ(closingOf(text("Log capacity reached: Filesize = 1000123 Bytes")), Closing::NextFile);
    EXPECT_EQ(closingOf(text("Log manually stopped from UI ")), Closing::None);
    EXPECT_EQ(closingOf(text("RAW DM file conversion starting")), Closing::None);
}

TEST(DumpView, TimeTextReusesTheSecondButNotItsMilliseconds) {
    TimeText t;
    EXPECT_EQ(t.of(kStamp), "2025-03-13 20:06:33.360");
    EXPECT_EQ(t.of(dm::unixMicrosToDmTime(kAt + 5000)), "2025-03-13 20:06:33.365");
    EXPECT_EQ(t.of(dm::unixMicrosToDmTime(kAt + 700000)), "2025-03-13 20:06:34.060");
    // A modem whose clock was not yet set: near the GPS epoch.
    EXPECT_EQ(t.of(0x0000000062ff87f3ULL), "1980-01-06 00:00:31.679");
    EXPECT_EQ(t.of(1), "1980-01-06 00:00:00.000");
}

// ---- converted real captures through the kvxlog program --------------------------------------

std::string kvxlog() { return std::string(KVX_BINARY_DIR) + "/cli/kvxlog"; }

// Runs a shell command; its standard output.
std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    const int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        out.push_back(nlohmann::json::parse(text.substr(at, end - at)));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

class RealCaptures : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kvxlog())) GTEST_SKIP() << "kvxlog not built";
        if (!fs::exists(fs::path(KVX_REALDATA_DIR) / "scat-test_hwcombos.qmdl")) GTEST_SKIP() << "no real captures";
        dir_ = fs::temp_directory_path() / ("kvxdumpreal-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        ini_ = (dir_ / "absent.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    // The log of a real capture, converted by kvxlog convert.
    std::string convert(const std::string& name) {
        const std::string out = run(env() + kvxlog() + " convert '" + std::string(KVX_REALDATA_DIR) + "/" + name +
                                    "' -o '" + (dir_ / name).string() + ".' 2>/dev/null");
        return out.substr(0, out.find('\n'));
    }
    std::string env() const { return "KVXLOGPLUS_SETTINGS='" + ini_ + "' "; }
    std::string dump(const std::string& log, const std::string& options, int* status = nullptr) {
        return run(env() + kvxlog() + " dump " + options + " '" + log + "' 2>/dev/null", status);
    }

    fs::path dir_;
    std::string ini_;
};

// The captures whose names hold their recording time as a Unix time, and whose modem clock
// was set: the first stamped record decodes to within a few seconds of that time.
TEST_F(RealCaptures, TimesDecodeToTheRecordingTime) {
    const struct {
        const char* file;
        int64_t unixTime;
        const char* firstUtc;
        // The first 0xB0C0 record's stamp worked out apart from this code: upper 48 bits x
        // 1250 us + low 16 bits x 1250 us / 49152 after 1980-01-06, in microseconds.
        int64_t firstRrcMicros;
    } cases[] = {
        {"rayhunter-traces_1741896393-deadsim.qmdl", 1741896393, "2025-03-13 20:06:33.360", 1741896393360481},
        {"DrexxLaggui_1761147671_MNL-20251022.qmdl", 1761147671, "2025-10-22 15:41:12.045", 1761147672045170},
    };
    for (const auto& c : cases) {
        const std::string log = convert(c.file);
        ASSERT_FALSE(log.empty()) << c.file;
        const auto lines = jsonLines(dump(log, "--json"));
        ASSERT_GE(lines.size(), 3u);
        const nlohmann::json* first = nullptr;
        for (const auto& j : lines)
            if (j.contains("utc") && j.contains("offset")) {
                first = &j;
                break;
            }
        ASSERT_NE(first, nullptr) << c.file;
        EXPECT_EQ((*first)["utc"], c.firstUtc) << c.file;
        const int64_t us = (*first)["unix_us"];
        EXPECT_LT(std::llabs(us / 1000000 - c.unixTime), 5) << c.file;
        EXPECT_EQ(lines.front()["first_utc"], c.firstUtc) << c.file;
        const auto rrc = jsonLines(dump(log, "--json --code 0xB0C0"));
        const auto firstRrc = std::find_if(rrc.begin(), rrc.end(),
                                           [](const nlohmann::json& j) { return j.contains("unix_us"); });
        ASSERT_NE(firstRrc, rrc.end()) << c.file;
        EXPECT_EQ((*firstRrc)["unix_us"], c.firstRrcMicros) << c.file;
    }
    // A modem whose clock was not set begins near the GPS epoch: listed, not refused.
    const std::string good = convert("rayhunter-traces_1749211282-goodsim.qmdl");
    int status = -1;
    const std::string text = dump(good, "", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(text.find(" 1980-01-06 "), std::string::npos);
}

// A stamp in the last of the 49152 units of a step reaches dump's JSON and the pcap export
// as 2.49997 ms after the epoch, cut to 2499 us (not 2187 us, as 1/65536 of a step would give).
TEST_F(RealCaptures, LastUnitOfAStepInDumpAndPcap) {
    const uint64_t stamp = 0x1BFFF;
    Bytes record = dmtest::header(12 + 6, 0xB0ED);
    for (int i = 0; i < 8; ++i) record[4 + i] = static_cast<uint8_t>(stamp >> (8 * i));
    dmtest::append(record, Bytes{1, 9, 5, 0, 0x07, 0x41});  // a plain EMM message, uplink
    const std::string raw = (dir_ / "step.raw").string();
    dmtest::writeBytes(raw, dmtest::wire(dmtest::logPacket(record)));
    std::string log = run(env() + kvxlog() + " convert '" + raw + "' -o '" + (dir_ / "step.").string() +
                          "' 2>/dev/null");
    log = log.substr(0, log.find('\n'));
    ASSERT_FALSE(log.empty());
    const auto rows = jsonLines(dump(log, "--json --code 0xB0ED"));
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [](const nlohmann::json& j) { return j.contains("unix_us"); });
    ASSERT_NE(row, rows.end());
    EXPECT_EQ((*row)["unix_us"], 315964800002499);
    EXPECT_EQ((*row)["utc"], "1980-01-06 00:00:00.002");

    const std::string pcap = (dir_ / "step.pcap").string();
    int status = -1;
    run(env() + kvxlog() + " pcap '" + log + "' -o '" + pcap + "' 2>/dev/null", &status);
    ASSERT_EQ(status, 0);
    // The first enhanced packet block of the pcapng file: its time in microseconds.
    const Bytes file = dmtest::readBytes(pcap);
    const auto le32 = [&](size_t at) {
        return file[at] | file[at + 1] << 8 | file[at + 2] << 16 | static_cast<uint32_t>(file[at + 3]) << 24;
    };
    uint64_t micros = 0;
    for (size_t at = 0; at + 20 <= file.size() && le32(at + 4) >= 12;) {
        if (le32(at) == 6) {
            micros = static_cast<uint64_t>(le32(at + 12)) << 32 | le32(at + 16);
            break;
        }
        at += le32(at + 4);
    }
    EXPECT_EQ(micros, 315964800002499u);
}

TEST_F(RealCaptures, NamesFromTheCatalogueOrPlainCodes) {
    const std::string log = convert("rayhunter-traces_1741896393-deadsim.qmdl");
    // No settings file of the user: the shipped catalogue names the items.
    const std::string named = dump(log, "--quiet");
    EXPECT_NE(named.find("        43    72 0xB0C0 2025-03-13 20:06:33.360 modem log LTE RRC OTA Packet\n"),
              std::string::npos)
        << named.substr(0, 400);
    // A settings file that names no catalogue: plain codes.
    {
        std::FILE* f = std::fopen(ini_.c_str(), "w");
        std::fputs("[KvxLogPlus]\nDevice=1\n", f);
        std::fclose(f);
    }
    const std::string plain = dump(log, "");
    EXPECT_NE(plain.find("        43    72 0xB0C0 2025-03-13 20:06:33.360 modem log\n"), std::string::npos);
    EXPECT_NE(plain.find("-- names: none"), std::string::npos);
    EXPECT_EQ(plain.find("LTE RRC"), std::string::npos);
}

// The records as the whole-file reader gives them, for the test's own counts.
struct Plain {
    dm::LogContents log;
    // The time of each record for the time filters: its own stamp, else the last one before.
    std::vector<std::optional<int64_t>> times;
    std::optional<int64_t> first;
    explicit Plain(const std::string& path) : log(dm::readLogFile(path)) {
        std::optional<int64_t> last;
        for (const auto& r : log.records) {
            if (r.time != 0) {
                last = dm::dmTimeToUnixMicros(r.time);
                if (!first) first = last;
            }
            times.push_back(last);
        }
    }
};

TEST_F(RealCaptures, SummaryCountsEqualTheRecords) {
    for (const char* name : {"mi_unit-test_att-iphone.mi2log", "scat-test_hwcombos.qmdl",
                             "mi_examples_attach_sample.mi2log", "rayhunter-traces_1749222138-goodsim.qmdl"}) {
        const std::string log = convert(name);
        const Plain plain(log);
        ASSERT_EQ(plain.log.status, dm::LogReadStatus::Ok) << name;
        std::map<uint16_t, uint64_t> count, bytes;  // by record code
        for (const auto& r : plain.log.records) {
            ++count[r.code];
            bytes[r.code] += r.length;
        }
        const auto lines = jsonLines(dump(log, "--summary --json"));
        ASSERT_EQ(lines.size(), 1u) << name << ": one object";
        const auto& s = lines[0];
        EXPECT_EQ(s["records"], plain.log.records.size()) << name;
        EXPECT_EQ(s["shown"], plain.log.records.size()) << name;
        // Modem logs by their code; the program's records summed over their rows by kind.
        std::map<uint16_t, uint64_t> gotCount, gotBytes;
        const std::map<std::string, uint16_t> codeOfKind = {{"note", dm::kCodeNote}, {"event", dm::kCodeEvent},
                                                           {"message", dm::kCodeMessage}, {"packet", dm::kCodePacket},
                                                           {"converted", dm::kCodeConverted1F}};
        uint64_t previous = UINT64_MAX;
        for (const auto& row : s["codes"]) {
            const std::string kind = row["kind"];
            const uint16_t code = kind == "modem log" ? static_cast<uint16_t>(row["code"]) : codeOfKind.at(kind);
            gotCount[code] += row["count"].get<uint64_t>();
            gotBytes[code] += row["bytes"].get<uint64_t>();
            EXPECT_LE(row["count"].get<uint64_t>(), previous) << name << ": sorted by count";
            previous = row["count"];
        }
        EXPECT_EQ(gotCount, count) << name;
        EXPECT_EQ(gotBytes, bytes) << name;
    }
}

// Offsets listed by `kvxlog dump --json --quiet OPTIONS`.
std::vector<size_t> listedOffsets(const std::string& text) {
    std::vector<size_t> out;
    for (const auto& j : jsonLines(text))
        if (j.contains("offset")) out.push_back(j["offset"]);
    return out;
}

TEST_F(RealCaptures, EachFilterSelectsTheRecordsItNames) {
    const std::string log = convert("mi_unit-test_att-iphone.mi2log");
    const Plain plain(log);
    ASSERT_TRUE(plain.first);
    const auto& recs = plain.log.records;
    // Limits at a third and two thirds of the stamped span.
    const int64_t t1 = *plain.first + (*plain.times.back() - *plain.first) / 3;
    const int64_t t2 = *plain.first + (*plain.times.back() - *plain.first) * 2 / 3;
    const std::string u1 = dm::formatUtcMillis(t1), u2 = dm::formatUtcMillis(t2);
    const int64_t t1ms = t1 / 1000 * 1000, t2ms = t2 / 1000 * 1000;
    using Pred = std::function<bool(size_t)>;
    const struct {
        std::string options;
        Pred want;
    } cases[] = {
        {"--code 0xB1A7", [&](size_t i) { return recs[i].code == 0xB1A7; }},
        {"--code 0xB1A7,0x12e8,4587", [&](size_t i) { return recs[i].code == 0xB1A7 || recs[i].code == 0x12E8 || recs[i].code == 4587; }},
        {"--kind event,message", [&](size_t i) { return recs[i].code == dm::kCodeEvent || recs[i].code == dm::kCodeMessage; }},
        {"--kind 'modem log'", [&](size_t i) { return kindOf(recs[i].code) == Kind::ModemLog; }},
        {"--kind note", [&](size_t i) { return recs[i].code == dm::kCodeNote; }},
        {"--from '" + u1 + "'", [&](size_t i) { return plain.times[i] && *plain.times[i] >= t1ms; }},
        {"--to '" + u2 + "'", [&](size_t i) { return !plain.times[i] || *plain.times[i] <= t2ms; }},
        {"--from '" + u1 + "' --to '" + u2 + "' --kind packet",
         [&](size_t i) { return plain.times[i] && *plain.times[i] >= t1ms && *plain.times[i] <= t2ms && recs[i].code == dm::kCodePacket; }},
        // This capture spans about a second.
        {"--from 0.25 --to .5", [&](size_t i) {
             return plain.times[i] && *plain.times[i] >= *plain.first + 250000 && *plain.times[i] <= *plain.first + 500000;
         }},
    };
    for (const auto& c : cases) {
        std::vector<size_t> want;
        for (size_t i = 0; i < recs.size(); ++i)
            if (c.want(i)) want.push_back(recs[i].offset);
        ASSERT_FALSE(want.empty()) << c.options << ": a case that selects nothing proves little";
        ASSERT_LT(want.size(), recs.size()) << c.options;
        EXPECT_EQ(listedOffsets(dump(log, "--json --quiet " + c.options)), want) << c.options;
        // The summary counts what the list shows.
        const auto s = jsonLines(dump(log, "--summary --json " + c.options));
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(s[0]["shown"], want.size()) << c.options;
        uint64_t rows = 0;
        for (const auto& row : s[0]["codes"]) rows += row["count"].get<uint64_t>();
        EXPECT_EQ(rows, want.size()) << c.options;
    }
    int status = 0;
    dump(log, "--code 0x10000", &status);
    EXPECT_EQ(status, 64);
    dump(log, "--kind nothing", &status);
    EXPECT_EQ(status, 64);
    dump(log, "--from yesterday", &status);
    EXPECT_EQ(status, 64);
}

// The text listing and the JSON list the same records as the whole-file reader, in order,
// whether the bodies are deciphered whole (JSON) or only as far as the line needs (text).
TEST_F(RealCaptures, ListingsFollowTheRecords) {
    for (const char* name : {"scat-test_hwcombos.qmdl", "mi_unit-test_cmcc.mi2log"}) {
        const std::string log = convert(name);
        const Plain plain(log);
        std::vector<size_t> want;
        for (const auto& r : plain.log.records) want.push_back(r.offset);
        const auto json = jsonLines(dump(log, "--json --quiet"));
        ASSERT_EQ(json.size(), want.size()) << name;
        for (size_t i = 0; i < json.size(); ++i) {
            const auto& r = plain.log.records[i];
            ASSERT_EQ(json[i]["offset"], r.offset) << name;
            const auto body = plain.log.body(r);
            std::string hex;
            char b[3];
            for (uint8_t x : body) {
                std::snprintf(b, sizeof b, "%02x", x);
                hex += b;
            }
            ASSERT_EQ(json[i]["body"], hex) << name << " at " << r.offset;
        }
        const std::string text = dump(log, "--quiet");
        std::vector<size_t> listed;
        size_t at = 0;
        while (at < text.size()) {
            listed.push_back(std::stoul(text.substr(at, 10)));
            at = text.find('\n', at) + 1;
        }
        EXPECT_EQ(listed, want) << name;
    }
}

}  // namespace
}  // namespace kvx::cli::dump
