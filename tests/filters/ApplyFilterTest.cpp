// Building and sending the filter through the engine to a fake modem port: the order of the
// requests, the mask bits, both sources and both destinations, Save Filters with its status
// texts and the chosen file left whole by a failed save, and Load Filters restoring what the
// modem's ranges cover.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FileSizeLimit.h"
#include "FilterTestUtil.h"
#include "dm/Frame.h"
#include "dm/KvxLog.h"
#include "filters/FilterActions.h"
#include "serial/Port.h"

namespace kvx::filters {
namespace {

using Bytes = std::vector<uint8_t>;

// A modem that answers the three connection queries and records every request's payload.
struct FakeModem {
    std::array<uint32_t, 16> logLimits{};
    std::vector<std::pair<uint16_t, uint16_t>> ranges;
    uint16_t eventBits = 0x400;
    bool absent = false;
    std::vector<std::string> opened;
    std::vector<Bytes> requests;  // unescaped payloads, CRC and flag removed
    std::deque<Bytes> pending;

    void answer(const Bytes& p) {
        Bytes reply;
        if (p.size() >= 2 && p[0] == 0x7D && p[1] == 0x01) {
            reply = {0x7D, 0x01, 0x01, 0x00, static_cast<uint8_t>(ranges.size()), 0, 0, 0};
            for (auto [first, last] : ranges) {
                reply.insert(reply.end(),
                             {static_cast<uint8_t>(first), static_cast<uint8_t>(first >> 8),
                              static_cast<uint8_t>(last), static_cast<uint8_t>(last >> 8)});
            }
        } else if (p.size() >= 8 && p[0] == 0x73 && p[4] == 1) {
            reply = {0x73, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
            for (uint32_t l : logLimits)
                for (int i = 0; i < 4; ++i) reply.push_back(static_cast<uint8_t>(l >> (8 * i)));
        } else if (p.size() >= 1 && p[0] == 0x81) {
            reply = {0x81,
                     0,
                     0,
                     0,
                     static_cast<uint8_t>(eventBits),
                     static_cast<uint8_t>(eventBits >> 8)};
        } else {
            return;
        }
        pending.push_back(dm::buildFrame(reply));
    }
    // Payloads sent after the connection queries.
    std::vector<Bytes> sentAfterConnect() const {
        return std::vector<Bytes>(requests.begin() + std::min<size_t>(3, requests.size()),
                                  requests.end());
    }
};

class FakeModemPort final : public serial::Port {
  public:
    FakeModemPort(std::shared_ptr<FakeModem> modem, std::string path)
        : modem_(std::move(modem)), path_(std::move(path)) {}
    size_t read(std::span<uint8_t> buffer) override {
        if (modem_->pending.empty()) return 0;
        Bytes r = std::move(modem_->pending.front());
        modem_->pending.pop_front();
        const size_t n = std::min(r.size(), buffer.size());
        std::copy_n(r.begin(), n, buffer.begin());
        return n;
    }
    bool write(std::span<const uint8_t> bytes) override {
        Bytes b(bytes.begin(), bytes.end());
        b.resize(dm::unescapereply(b.data(), b.size()));
        if (b.size() >= 3) b.resize(b.size() - 3);
        modem_->requests.push_back(b);
        modem_->answer(b);
        return true;
    }
    void wake() override {}
    bool dead() const override { return false; }
    const std::string& path() const override { return path_; }

  private:
    std::shared_ptr<FakeModem> modem_;
    std::string path_;
};

// Splits script bytes (after the header) into unescaped payloads.
std::vector<Bytes> scriptPayloads(const std::string& content) {
    std::vector<Bytes> out;
    Bytes cur;
    for (size_t i = 3; i < content.size(); ++i) {
        cur.push_back(static_cast<uint8_t>(content[i]));
        if (static_cast<uint8_t>(content[i]) == 0x7E) {
            cur.resize(dm::unescapereply(cur.data(), cur.size()));
            cur.resize(cur.size() - 3);
            out.push_back(cur);
            cur.clear();
        }
    }
    return out;
}

class ApplyFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        modem->logLimits[1] = 0x500;  // equipment 1: 1280 items, 160 mask bytes
        modem->logLimits[4] = 9;      // equipment 4: 2 mask bytes
        modem->ranges = {{5000, 5010}, {0, 3}};
        engine.setportopener(
            [m = modem](const std::string& name,
                        serial::OpenStatus* status) -> std::unique_ptr<serial::Port> {
                m->opened.push_back(name);
                if (m->absent) {
                    if (status) *status = {serial::OpenError::NotFound, ENOENT, name};
                    return nullptr;
                }
                return std::make_unique<FakeModemPort>(m, name);
            });
        load(set.nvTable(), "1^\"Dialing\"^x^0\n2^\"Identity\"^x^0\n", LineKind::Category);
        load(set.nvTable(),
             "87^\"Speed dial\"^\"1\"^\n87^\"Speed dial\"^\"2\"^\n10^\"Mode pref\"^\"1\"^\n",
             LineKind::Nv);
        load(set.logTable(), "1^\"Everything\"^x^0\n", LineKind::Category);
        load(set.logTable(),
             "0x1234^\"Item one two\"^\"1\"^\n0x4008^\"Equipment four\"^\"1\"^\n"
             "0x4010^\"Beyond limit\"^\"1\"^\n0x2001^\"No equipment\"^\"1\"^\n",
             LineKind::Log);
        load(set.eventTable(), "9^\"Event nine\"^\"0\"^\n3^\"Event three\"^\"0\"^\n",
             LineKind::Event);
        load(set.messageTable(),
             "5005^3^\"SSID 5005 err\"^{1}\n7000^1^\"Outside ranges\"^{1}\n"
             "2^0^\"SSID 2 low\"^{1}\n",
             LineKind::Message);
        reporter.messageBox = [this](const std::string& m) { messages.push_back(m); };
        reporter.status = [this](const std::string& m) { statuses.push_back(m); };
        reporter.logError = [this](int code, int64_t a, int64_t b, int64_t c) {
            errors.push_back({code, a, b, c});
        };
    }
    void load(FilterTable& table, const std::string& content, LineKind kind) {
        set.loadCatalogueFile(table, dir.write("c" + std::to_string(files++), content), kind,
                              reporter);
    }
    void checkAll() {
        for (FilterTable* t :
             {&set.nvTable(), &set.logTable(), &set.eventTable(), &set.messageTable()}) {
            for (const FilterSlot& s : t->entries())
                t->setStateById(s.entry.id, CheckState::Checked, s.entry.sub);
            t->recomputeStates(kNoNode);
        }
    }
    bool connect() { return engine.connect(0, "\\\\.\\COM3"); }

    std::shared_ptr<FakeModem> modem = std::make_shared<FakeModem>();
    dm::KvxLog engine;
    FilterSet set;
    test::FilterTempDir dir;
    int files = 0;
    FilterReporter reporter;
    std::vector<std::string> messages, statuses;
    std::vector<std::array<int64_t, 4>> errors;
};

const Bytes kStop = {0x4B, 0, 0, 0, 1, 0, 0, 0};
const Bytes kEventsOff = {0x60, 0};
const Bytes kMessagesOff = {0x7D, 5, 0, 0, 0, 0, 0, 0};
const Bytes kLoggingOff = {0x73, 0, 0, 0, 0, 0, 0, 0};
const Bytes kEventsOn = {0x60, 1};
const Bytes kStart = {0x4B, 0, 0, 0, 0, 0, 5, 0xFF};

Bytes logMaskHeader(uint8_t equipment, uint32_t limit) {
    return {0x73,
            0,
            0,
            0,
            3,
            0,
            0,
            0,
            equipment,
            0,
            0,
            0,
            static_cast<uint8_t>(limit),
            static_cast<uint8_t>(limit >> 8),
            0,
            0};
}

TEST_F(ApplyFilter, NothingCheckedSendsEmptyMasksInOrder) {
    ASSERT_TRUE(connect());
    FilterContext ctx{engine, set, FilterSource::Gui, {}, nullptr, reporter};
    ASSERT_TRUE(applyFilter(kDestinationModem, ctx));
    const auto sent = modem->sentAfterConnect();
    Bytes log1 = logMaskHeader(1, 0x500);
    log1.resize(log1.size() + 160, 0);
    Bytes log4 = logMaskHeader(4, 9);
    log4.resize(log4.size() + 2, 0);
    Bytes msgA = {0x7D, 4, 0x88, 0x13, 0x92, 0x13, 0, 0};
    msgA.resize(msgA.size() + 44, 0);
    Bytes msgB = {0x7D, 4, 0, 0, 3, 0, 0, 0};
    msgB.resize(msgB.size() + 16, 0);
    const std::vector<Bytes> expected = {
        kStop, kEventsOff, kMessagesOff, kLoggingOff,
        log1,  log4,       kEventsOn,    Bytes{0x82, 0, 0, 0, 0x00, 0x04, 0x00},
        msgA,  msgB,       kStart};
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(errors.empty());
}

TEST_F(ApplyFilter, CheckedItemsSetTheirBits) {
    checkAll();
    ASSERT_TRUE(connect());
    const std::string path = dir.file("out.sqf");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    FilterContext ctx{engine, set, FilterSource::Gui, {}, out, reporter};
    ASSERT_TRUE(applyFilter(kDestinationFile, ctx));
    std::fclose(out);
    // To the modem: only the stop group and event reporting on; no logging start.
    EXPECT_EQ(modem->sentAfterConnect(),
              (std::vector<Bytes>{kStop, kEventsOff, kMessagesOff, kLoggingOff, kEventsOn}));

    const std::string content = test::readAll(path);
    ASSERT_EQ(content.substr(0, 3), std::string("v\0\1", 3));
    const auto frames = scriptPayloads(content);
    // NV in tree order: 87 (20 indexes) and 10 under Dialing, 87 again under Identity.
    ASSERT_EQ(frames.size(), 41u + 2 + 1 + 2);
    for (int i = 0; i < 41; ++i) {
        const Bytes& f = frames[static_cast<size_t>(i)];
        EXPECT_EQ(f.size(), 133u);
        EXPECT_EQ(f[1], i == 20 ? 10 : 87) << i;
        EXPECT_EQ(f[3], i == 20 ? 0 : (i < 20 ? i : i - 21)) << i;
    }
    // Log 0x1234: byte 0x46 bit 4 of equipment 1. 0x4008: byte 1 bit 0 of equipment 4;
    // 0x4010 is beyond the two bytes of the limit 9 and 0x2001 has no equipment mask.
    const Bytes& log1 = frames[41];
    ASSERT_EQ(log1.size(), 16u + 160);
    for (size_t k = 16; k < log1.size(); ++k) EXPECT_EQ(log1[k], k == 16 + 0x46 ? 0x10 : 0) << k;
    EXPECT_EQ(frames[42], (Bytes{0x73, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0x00, 0x01}));
    // Event 9, the highest: bit 1 of byte 1; the mask has two bytes.
    EXPECT_EQ(frames[43], (Bytes{0x82, 0, 0, 0, 0x00, 0x04, 0x08, 0x02}));
    // Message 5005 level 3: bit 3 of byte 20 of a 44-byte mask; 7000 is in no range.
    const Bytes& msgA = frames[44];
    ASSERT_EQ(msgA.size(), 8u + 44);
    for (size_t k = 8; k < msgA.size(); ++k) EXPECT_EQ(msgA[k], k == 8 + 20 ? 0x08 : 0) << k;
    EXPECT_EQ(frames[45][8 + 2 * 4], 0x01);  // SSID 2 level 0 in range 0..3
}

TEST_F(ApplyFilter, InvalidDestinationIsRecordedPerStep) {
    ASSERT_TRUE(connect());
    FilterContext ctx{engine, set, FilterSource::Gui, {}, nullptr, reporter};
    EXPECT_TRUE(applyFilter(kDestinationFile, ctx));
    ASSERT_EQ(errors.size(), 4u);
    for (const auto& e : errors) EXPECT_EQ(e, (std::array<int64_t, 4>{1, 0, 0, 0}));
    EXPECT_EQ(modem->sentAfterConnect(),
              (std::vector<Bytes>{kStop, kEventsOff, kMessagesOff, kLoggingOff, kEventsOn}));
}

TEST_F(ApplyFilter, InputFileSource) {
    ASSERT_TRUE(connect());
    struct Case {
        std::string content;  // empty: no such file
        bool ok;
        std::string message;
    } cases[] = {
        {"", false, "Could not decode the input file!"},
        {std::string("v\x00\x02", 3), false,
         "This tool is incompatable with the selected filter version."},
        {"v", true, ""},
    };
    for (const auto& c : cases) {
        messages.clear();
        modem->requests.clear();
        const std::string path =
            c.content.empty() ? dir.file("none.sqf") : dir.write("in.sqf", c.content);
        FilterContext ctx{engine, set, FilterSource::InputFile, path, nullptr, reporter};
        EXPECT_EQ(applyFilter(kDestinationModem, ctx), c.ok);
        std::vector<Bytes> expected = {kStop, kEventsOff, kMessagesOff, kLoggingOff};
        if (c.ok) expected.push_back(kStart);
        EXPECT_EQ(modem->requests, expected);
        EXPECT_EQ(messages, c.message.empty() ? std::vector<std::string>{}
                                              : std::vector<std::string>{c.message});
    }
}

// Files in the test folder, hidden temporary ones included.
std::vector<std::string> folderNames(const test::FilterTempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ApplyFilter, FailedSavesLeaveTheChosenFileAlone) {
    test::FilterTempDir out;  // the fixture's folder holds the catalogue
    // No modem: the user's existing file stays as it was, and no file is made for a new name.
    const std::string existing = out.write("old.sqf", "old");
    modem->absent = true;
    EXPECT_FALSE(saveFilters(existing, engine, set, 0, "7", reporter));
    EXPECT_EQ(modem->opened.back(), "\\\\.\\COM7");
    EXPECT_EQ(messages, std::vector<std::string>{"Could not communicate with the modem"});
    EXPECT_EQ(statuses, (std::vector<std::string>{"Attempting to save filter...",
                                                  "Filter could not be saved."}));
    EXPECT_EQ(test::readAll(existing), "old");

    statuses.clear();
    EXPECT_FALSE(saveFilters(out.file("new.sqf"), engine, set, 0, "7", reporter));
    EXPECT_EQ(statuses.back(), "Filter could not be saved.");
    EXPECT_EQ(folderNames(out), std::vector<std::string>{"old.sqf"});

    modem->absent = false;
    messages.clear();
    EXPECT_FALSE(saveFilters(out.file("no/such/dir.sqf"), engine, set, 0, "7", reporter));
    EXPECT_EQ(messages, std::vector<std::string>{"Could not open output file!"});
    EXPECT_FALSE(engine.portopen());

    // The disk fills up halfway through the write: still the old file, no stray temporary.
    {
        test::FileSizeLimit full(8);
        EXPECT_FALSE(saveFilters(existing, engine, set, 0, "7", reporter));
    }
    EXPECT_EQ(statuses.back(), "Filter could not be saved.");
    EXPECT_EQ(test::readAll(existing), "old");
    EXPECT_EQ(folderNames(out), std::vector<std::string>{"old.sqf"});
    EXPECT_FALSE(engine.portopen());

    statuses.clear();
    const std::string good = out.file("good.sqf");
    EXPECT_TRUE(saveFilters(good, engine, set, 0, "7", reporter));
    EXPECT_EQ(statuses.back(), "Filter saved successfully");
    EXPECT_FALSE(engine.portopen());
    // Nothing checked: header, two empty log masks, a one-byte event mask, two message masks.
    EXPECT_EQ(scriptPayloads(test::readAll(good)).size(), 5u);
    // A save over an existing file replaces it and keeps its permissions.
    std::filesystem::permissions(existing, std::filesystem::perms::owner_read |
                                               std::filesystem::perms::owner_write |
                                               std::filesystem::perms::others_read);
    EXPECT_TRUE(saveFilters(existing, engine, set, 0, "7", reporter));
    EXPECT_EQ(test::readAll(existing), test::readAll(good));
    EXPECT_EQ(std::filesystem::status(existing).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::others_read);
    EXPECT_EQ(folderNames(out), (std::vector<std::string>{"good.sqf", "old.sqf"}));
}

TEST_F(ApplyFilter, SaveWithTheDetectedDeviceGone) {
    test::FilterTempDir sysfs;  // no ports at all
    engine.setsysfsroot(sysfs.path().string());
    const std::string existing = dir.write("chosen.sqf", "old");
    EXPECT_FALSE(saveFilters(existing, engine, set, 1, "", reporter));
    EXPECT_EQ(messages, (std::vector<std::string>{"Couldn't locate the device",
                                                  "Could not communicate with the modem"}));
    EXPECT_EQ(statuses.back(), "Filter could not be saved.");
    EXPECT_EQ(test::readAll(existing), "old");
    EXPECT_TRUE(modem->opened.empty());
}

TEST_F(ApplyFilter, SaveThenLoadRestoresWhatTheRangesCover) {
    checkAll();
    const auto before = [&](FilterTable& t) { return t.collectChecked().size(); };
    ASSERT_EQ(before(set.logTable()), 4u);
    const std::string path = dir.file("round.sqf");
    ASSERT_TRUE(saveFilters(path, engine, set, 0, "3", reporter));
    set.resetAll();
    ASSERT_EQ(loadFilters(path, set, reporter), FilterFileResult::Read);
    auto ids = [](const std::vector<FilterEntry>& v) {
        std::vector<std::pair<int32_t, int32_t>> out;
        for (const auto& e : v) out.push_back({e.id, e.sub});
        return out;
    };
    using P = std::vector<std::pair<int32_t, int32_t>>;
    EXPECT_EQ(ids(set.nvTable().collectChecked()), (P{{87, 0}, {10, 0}, {87, 0}}));
    EXPECT_EQ(ids(set.logTable().collectChecked()), (P{{0x1234, 0}, {0x4008, 0}}));
    EXPECT_EQ(ids(set.eventTable().collectChecked()), (P{{9, 0}, {3, 0}}));
    EXPECT_EQ(ids(set.messageTable().collectChecked()), (P{{5005, 3}, {2, 0}}));
    EXPECT_EQ(set.logTable().stateOf(test::findNode(set.logTree(), "Everything")),
              CheckState::Partial);
}

TEST_F(ApplyFilter, LoadFailuresLeaveTreesUnchecked) {
    checkAll();
    const std::string bad = dir.write("bad.sqf", std::string("v\x01", 2));
    EXPECT_EQ(loadFilters(bad, set, reporter), FilterFileResult::BadHeader);
    EXPECT_TRUE(set.nvTable().collectChecked().empty());
    EXPECT_TRUE(set.messageTable().collectChecked().empty());
    const std::string dmc = dir.write("q.dmc", "<QXDM>");
    EXPECT_EQ(loadFilters(dmc, set, reporter), FilterFileResult::NotQxdm);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "This tool is incompatable with the selected filter version.");
    EXPECT_NE(messages[1].find("interpreted.\r\nPlease re-save"), std::string::npos);
    // A .dmc file checks its items; unknown identifiers check nothing.
    const std::string good =
        dir.write("ok.dmc",
                  "<QXDM><LoggingView><LogCodes>0x1234,0x9999,</LogCodes>"
                  "<MessageLevels>5005/3,</MessageLevels></LoggingView></QXDM>");
    EXPECT_EQ(loadFilters(good, set, reporter), FilterFileResult::Read);
    EXPECT_EQ(set.logTable().collectChecked().size(), 1u);
    EXPECT_EQ(set.messageTable().collectChecked().size(), 1u);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(ApplyFilter, LoadSaysWhatItCouldNotRead) {
    // Entries without a number check nothing, and the load says so once; the rest is checked.
    const std::string dmc =
        dir.write("some.dmc",
                  "<QXDMProfessional><LoggingView><LogCodes>0x1234, ,oops</LogCodes>"
                  "<MessageLevels>5005/3</MessageLevels><EventIDs>9,3</EventIDs>"
                  "</LoggingView></QXDMProfessional>\n");
    EXPECT_EQ(loadFilters(dmc, set, reporter), FilterFileResult::Read);
    EXPECT_EQ(messages, (std::vector<std::string>{"2 entries could not be read, the first: ''"}));
    EXPECT_EQ(set.logTable().collectChecked().size(), 1u);
    EXPECT_EQ(set.messageTable().collectChecked().size(), 1u);
    EXPECT_EQ(set.eventTable().collectChecked().size(), 2u);

    // A filter file cut inside a request: the whole ones are checked, the cut is said.
    messages.clear();
    checkAll();
    const std::string whole = dir.file("whole.sqf");
    ASSERT_TRUE(saveFilters(whole, engine, set, 0, "3", reporter));
    std::string content = test::readAll(whole);
    content.pop_back();
    const std::string cut = dir.write("cut.sqf", content);
    EXPECT_EQ(loadFilters(cut, set, reporter), FilterFileResult::Read);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("The file ends inside a request: its last ", 0), 0u) << messages[0];
    EXPECT_FALSE(set.nvTable().collectChecked().empty());
}

}  // namespace
}  // namespace kvx::filters
