// Reading filter files: the .sqf header and frame decoding, escapes, path rules, and the
// QXDM .dmc import with its comma and number rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "FilterTestUtil.h"
#include "dm/Frame.h"
#include "filters/FilterFile.h"

namespace kvx::filters {
namespace {

using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<int32_t, int32_t>>;
using Ints = std::vector<int32_t>;

std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes script(std::initializer_list<Bytes> payloads) {
    Bytes out = {'v', 0, 1};
    for (const Bytes& p : payloads) {
        const Bytes f = dm::buildFrame(p);
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

Bytes nvRead(uint16_t item, uint8_t index) {
    Bytes p(133, 0);
    p[0] = 0x26;
    p[1] = static_cast<uint8_t>(item);
    p[2] = static_cast<uint8_t>(item >> 8);
    p[3] = index;
    return p;
}

Bytes logMask(uint32_t equipment, Bytes mask) {
    const uint8_t head[] = {0x73, 0, 0, 0, 3, 0, 0, 0, static_cast<uint8_t>(equipment), 0, 0, 0,
                            static_cast<uint8_t>(mask.size() * 8), 0, 0, 0};
    // Built in one piece: gcc 12 warns falsely about inserting behind a braced vector.
    Bytes p(sizeof head + mask.size());
    std::copy(std::begin(head), std::end(head), p.begin());
    std::copy(mask.begin(), mask.end(), p.begin() + sizeof head);
    return p;
}

TEST(FilterScript, HeaderCases) {
    struct Case {
        Bytes content;
        FilterFileResult expected;
    } cases[] = {
        {{'v'}, FilterFileResult::Read},
        {{'v', 0}, FilterFileResult::Read},
        {{'v', 0, 0}, FilterFileResult::Read},
        {{'v', 0, 1}, FilterFileResult::Read},
        {{'v', 1}, FilterFileResult::BadHeader},
        {{'v', 0, 2}, FilterFileResult::BadHeader},
        {{'w', 0, 1}, FilterFileResult::BadHeader},
        {{}, FilterFileResult::BadHeader},
    };
    test::FilterTempDir dir;
    for (const auto& c : cases) {
        EXPECT_EQ(decodeFilterScript(c.content).result, c.expected) << str(c.content);
        const std::string path = dir.write("f.sqf", str(c.content));
        EXPECT_EQ(readFilterFile(path).result, c.expected) << str(c.content);
    }
}

TEST(FilterScript, DecodesEveryRequestKind) {
    Bytes messages = {0x7D, 0x04, 0x88, 0x13, 0x8A, 0x13, 0, 0};  // SSIDs 5000..5002
    messages.insert(messages.end(), {0x04, 0, 0, 0, 0, 0, 0, 0x80, 0x01, 0, 0, 0});
    Bytes events = {0x82, 0, 0, 0, 0x10, 0x00, 0x00, 0x02};  // bit 9
    const Bytes content = script({nvRead(87, 0),
                                  nvRead(87, 1),
                                  nvRead(550, 0),
                                  logMask(1, {0, 0, 0, 0, 0, 0x10}),
                                  messages,
                                  events,
                                  {0x4B, 0, 0, 0}});
    const FilterFileRead r = decodeFilterScript(content);
    ASSERT_EQ(r.result, FilterFileResult::Read);
    EXPECT_EQ(r.lists.nv, (Ints{87, 87, 550}));
    EXPECT_EQ(r.lists.logs, (Ints{0x1000 + 5 * 8 + 4}));
    EXPECT_EQ(r.lists.messages, (Pairs{{5000, 2}, {5001, 31}, {5002, 0}}));
    EXPECT_EQ(r.lists.events, (Ints{9}));
}

TEST(FilterScript, EscapedFlagInsideAMaskIsData) {
    // Log mask byte 0x7E: bits 1..6 of equipment 0, byte 0. On the wire it is 7D 5E.
    const Bytes content = script({logMask(0, {0x7E, 0x00})});
    const Bytes escaped = {0x7D, 0x5E};
    ASSERT_NE(std::search(content.begin(), content.end(), escaped.begin(), escaped.end()),
              content.end());
    const FilterFileRead r = decodeFilterScript(content);
    EXPECT_EQ(r.lists.logs, (Ints{1, 2, 3, 4, 5, 6}));
}

TEST(FilterScript, BytesAfterLastFlagAndOverlongFrames) {
    Bytes content = script({nvRead(10, 0)});
    content.insert(content.end(), {0x26, 0x05, 0x00});  // no terminator: ignored
    EXPECT_EQ(decodeFilterScript(content).lists.nv, (Ints{10}));

    Bytes big = {'v', 0, 1};
    big.insert(big.end(), 5000, 0x26);
    big.push_back(0x7E);
    const Bytes tail = script({nvRead(20, 0)});
    big.insert(big.end(), tail.begin() + 3, tail.end());
    const FilterFileRead r = decodeFilterScript(big);
    EXPECT_EQ(r.lists.nv, (Ints{20}));
    EXPECT_EQ(r.lists.skippedFrames, 1u);
}

TEST(FilterScript, ListsAreBounded) {
    Bytes content = {'v', 0, 1};
    const Bytes one = dm::buildFrame(nvRead(1, 0));
    for (size_t i = 0; i < kMaxFilterValues + 10; ++i)
        content.insert(content.end(), one.begin(), one.end());
    const FilterFileRead r = decodeFilterScript(content);
    EXPECT_EQ(r.lists.nv.size(), kMaxFilterValues);
    EXPECT_EQ(r.lists.dropped, 10u);
}

TEST(FilterScript, CutFilesAreSaid) {
    const Bytes whole = script({nvRead(10, 0), nvRead(11, 0)});
    const size_t lastFrame = dm::buildFrame(nvRead(11, 0)).size();
    struct Case {
        Bytes content;
        FilterFileEnd end;
        size_t cutBytes;
        Ints nv;
    } cases[] = {
        {whole, FilterFileEnd::Whole, 0, {10, 11}},
        {Bytes(whole.begin(), whole.end() - 1), FilterFileEnd::CutRequest, lastFrame - 1, {10}},
        {Bytes(whole.begin(), whole.begin() + 5), FilterFileEnd::CutRequest, 2, {}},
        {{'v', 0, 1}, FilterFileEnd::Whole, 0, {}},
        {{'v'}, FilterFileEnd::ShortHeader, 0, {}},
        {{'v', 0}, FilterFileEnd::ShortHeader, 0, {}},
    };
    test::FilterTempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.size());
        const std::string path = dir.write("f.sqf", str(c.content));
        for (const FilterFileRead& r : {decodeFilterScript(c.content), readFilterFile(path)}) {
            EXPECT_EQ(r.result, FilterFileResult::Read);
            EXPECT_EQ(r.end, c.end);
            EXPECT_EQ(r.cutBytes, c.cutBytes);
            EXPECT_EQ(r.lists.nv, c.nv);
            EXPECT_EQ(filterFileCut(r), c.end != FilterFileEnd::Whole);
            EXPECT_EQ(filterFileWarnings(r).size(), c.end != FilterFileEnd::Whole ? 1u : 0u);
        }
    }
    const FilterFileRead cut = decodeFilterScript(cases[2].content);
    EXPECT_EQ(filterFileWarnings(cut),
              (std::vector<std::string>{"The file ends inside a request: its last 2 bytes "
                                        "were not read."}));
}

TEST(FilterFilePaths, OpeningRules) {
    test::FilterTempDir dir;
    EXPECT_EQ(readFilterFile("").result, FilterFileResult::NotOpened);
    const FilterFileRead missing = readFilterFile(dir.file("missing.sqf"));
    EXPECT_EQ(missing.result, FilterFileResult::NotOpened);
    EXPECT_EQ(missing.sysErrno, ENOENT);
    // A folder named like a .dmc file is not a file.
    std::filesystem::create_directory(dir.file("x.dmc"));
    EXPECT_EQ(readFilterFile(dir.file("x.dmc")).result, FilterFileResult::NotOpened);
    // A file inside a folder whose name holds ".dmc" is read as a .dmc file.
    const std::string inside = dir.write("x.dmc/filter.sqf", str(script({nvRead(5, 0)})));
    EXPECT_EQ(readFilterFile(inside).result, FilterFileResult::NotQxdm);
    // ".DMC" in capitals is read as .sqf, and its header is refused.
    const std::string upper = dir.write("old.DMC", "<QXDM></QXDM>");
    EXPECT_EQ(readFilterFile(upper).result, FilterFileResult::BadHeader);
    const std::string lower = dir.write("old.dmc", "<QXDM></QXDM>");
    EXPECT_EQ(readFilterFile(lower).result, FilterFileResult::Read);
}

std::string dmc(const std::string& view) {
    return "<QXDMProfessional><LoggingView>" + view + "</LoggingView></QXDMProfessional>";
}

TEST(DmcImport, Sections) {
    const FilterFileRead r = decodeDmcText(
        dmc("<LogCodes>0x5072,0xB0C0,</LogCodes><OTATypes>0x412F/3,17/1,nothing,</OTATypes>"
            "<EventIDs>0x0100, 257,</EventIDs><MessageLevels>5000/2,5000/3,7,</MessageLevels>"));
    ASSERT_EQ(r.result, FilterFileResult::Read);
    EXPECT_EQ(r.lists.messages, (Pairs{{5000, 2}, {5000, 3}, {0, 7}}));
    EXPECT_EQ(r.lists.events, (Ints{256, 257}));
    EXPECT_EQ(r.lists.logs, (Ints{0x5072, 0xB0C0, 0x412F, 17}));
    EXPECT_TRUE(r.lists.nv.empty());
    EXPECT_EQ(r.lists.unreadable, 1u);
    EXPECT_EQ(r.lists.firstUnreadable, "nothing");
    EXPECT_EQ(r.end, FilterFileEnd::Whole);
}

TEST(DmcImport, CommaAndNumberRules) {
    struct Case {
        std::string section;
        Pairs messages;
        Ints events;
    } cases[] = {
        {"<MessageLevels>5000/2,5000/3,</MessageLevels>", {{5000, 2}, {5000, 3}}, {}},
        // The last entry needs no comma; a blank one after the last comma is none.
        {"<MessageLevels>5000/2,5000/3</MessageLevels>", {{5000, 2}, {5000, 3}}, {}},
        {"<MessageLevels>\r\n10374/04,\r\n5011/4\r\n</MessageLevels>", {{10374, 4}, {5011, 4}}, {}},
        {"<EventIDs>1,2, \r\n\t</EventIDs>", {}, {1, 2}},
        {"<EventIDs>0x10 ,</EventIDs>", {}, {16}},  // a blank ends a hex number
        {"<EventIDs>0x10,</EventIDs>", {}, {16}},
        {"<EventIDs>1,2,</EventIDs><EventIDs>3,</EventIDs>", {}, {1, 2}},
        // A comma after the closing tag ends the section.
        {"<EventIDs>1</EventIDs>,", {}, {1}},
        {"<EventIDs></EventIDs>", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        const FilterFileRead r = decodeDmcText(dmc(c.section));
        EXPECT_EQ(r.result, FilterFileResult::Read);
        EXPECT_EQ(r.lists.messages, c.messages);
        EXPECT_EQ(r.lists.events, c.events);
        EXPECT_EQ(r.lists.unreadable, 0u);
    }
}

// One entry between "<EventIDs>" and "," (the first unreadable one is quoted as kept).
TEST(DmcImport, EntryNumbers) {
    struct Case {
        std::string entry;
        Ints events;         // empty: the entry is unreadable
        std::string quoted;  // the kept text of an unreadable entry
    } cases[] = {
        {"03246", {3246}, ""},
        {"00000", {0}, ""},  // a real 0 stays
        {" 257", {257}, ""},
        {"\r\n 0xD124\r\n", {0xD124}, ""},
        {"0xb0c0", {0xB0C0}, ""},
        {"0x0100", {256}, ""},
        {"-5", {-5}, ""},
        {"12abc", {12}, ""},
        {"", {}, ""},
        {"   ", {}, ""},
        {" abc ", {}, "abc"},
        {"abc12", {}, "abc12"},
        {"0x", {}, "0x"},
        {"0xZZ", {}, "0xZZ"},
        {"+", {}, "+"},
        {"a\x01\xC3\xA9", {}, "a???"},
        {std::string(50, 'q'), {}, std::string(kMaxQuotedEntry, 'q') + "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        const FilterFileRead r = decodeDmcText(dmc("<EventIDs>" + c.entry + ",</EventIDs>"));
        EXPECT_EQ(r.lists.events, c.events);
        EXPECT_EQ(r.lists.unreadable, c.events.empty() ? 1u : 0u);
        EXPECT_EQ(r.lists.firstUnreadable, c.quoted);
    }
}

TEST(DmcImport, MessageAndOtaEntries) {
    const FilterFileRead r =
        decodeDmcText(dmc("<MessageLevels>10374/04,7,5000/,/3,x/1,20/0x1F</MessageLevels>"
                          "<OTATypes>0x412F/3,0xB821, 0xB0C0 ,/3,,0x1078</OTATypes>"));
    EXPECT_EQ(r.lists.messages, (Pairs{{10374, 4}, {0, 7}, {20, 31}}));
    EXPECT_EQ(r.lists.logs, (Ints{0x412F, 0xB821, 0xB0C0, 0x1078}));
    EXPECT_EQ(r.lists.unreadable, 5u);
    EXPECT_EQ(r.lists.firstUnreadable, "5000/");
}

TEST(DmcImport, UnclosedSectionsAreSaid) {
    struct Case {
        std::string text;
        std::string tag;  // empty: the file is whole
        Ints events;
    } cases[] = {
        {"<QXDM><LoggingView><EventIDs>1,2,</EventIDs></QXDM>", "<LoggingView>", {}},
        {"<QXDM></LoggingView><LoggingView><EventIDs>1,</EventIDs></QXDM>", "<LoggingView>", {}},
        {dmc("<EventIDs>1,2,"), "<EventIDs>", {}},
        {dmc("</EventIDs><EventIDs>1,2,"), "<EventIDs>", {}},
        {dmc("<EventIDs>1,2</EventIDs><LogCodes>0x10,"), "<LogCodes>", {1, 2}},
        {"<QXDM></QXDM>", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const FilterFileRead r = decodeDmcText(c.text);
        EXPECT_EQ(r.result, FilterFileResult::Read);
        EXPECT_EQ(r.end, c.tag.empty() ? FilterFileEnd::Whole : FilterFileEnd::UnclosedTag);
        EXPECT_EQ(r.unclosedTag, c.tag);
        EXPECT_EQ(r.lists.events, c.events);
        EXPECT_EQ(filterFileCut(r), !c.tag.empty());
    }
    // A file cut before its root's closing tag is refused, and the missing tag is named.
    const FilterFileRead cut = decodeDmcText("<QXDMProfessional><LoggingView><EventIDs>1,2");
    EXPECT_EQ(cut.result, FilterFileResult::NotQxdm);
    EXPECT_TRUE(cut.lists.events.empty());
    EXPECT_EQ(filterFileWarnings(cut),
              (std::vector<std::string>{
                  "<QXDMProfessional> has no closing tag: the file may be cut short."}));
    EXPECT_TRUE(filterFileWarnings(decodeDmcText("no tags")).empty());
}

// A file in the shape QXDM Professional 5 writes: views under <Displays> carry lists of their
// own, the logging view's lists have no comma after their last entry, OTA types no "/" part.
std::string qxdm5File(Ints& events, Pairs& messages, Ints& logs, Ints& ota) {
    auto hex = [](int32_t v) {
        char b[8];
        std::snprintf(b, sizeof b, "0x%04X", static_cast<unsigned>(v));
        return std::string(b);
    };
    auto list = [](const std::string& tag, const std::vector<std::string>& entries) {
        std::string out = "      <" + tag + ">";
        for (size_t i = 0; i < entries.size(); ++i) out += (i ? "," : "") + entries[i];
        return out + "</" + tag + ">\r\n";
    };
    std::vector<std::string> ev, msg, lg, ot;
    for (int32_t i = 0; i < 2782; ++i) {
        events.push_back(i == 0 ? 0 : 287 + (2781 - i) * 3);  // "00000" first, 287 last
        char b[8];
        std::snprintf(b, sizeof b, "%05d", events.back());
        ev.push_back(b);
    }
    for (int32_t i = 0; i < 886; ++i) {
        messages.push_back(i + 1 == 886 ? std::pair{5011, 4} : std::pair{10374 - i, i % 5});
        char b[24];
        std::snprintf(b, sizeof b, "%d/%02d", messages.back().first, messages.back().second);
        msg.push_back(b);
    }
    for (int32_t i = 0; i < 1395; ++i) {
        logs.push_back(i + 1 == 1395 ? 0xB122 : 0xD124 - i);
        lg.push_back(hex(logs.back()));
    }
    for (int32_t i = 0; i < 30; ++i) {
        ota.push_back(i == 0 ? 0xB821 : i == 1 ? 0xB0C0 : i + 1 == 30 ? 0x1078 : 0xB800 + i);
        ot.push_back(hex(ota.back()));
    }
    std::string isv = "    <ISVConfig>\r\n" + list("EventIDs", {"00001", "00002"}) +
                      list("LogCodes", {"0x1111", "0x2222"}) + list("OTATypes", {"0x3333"}) +
                      "    </ISVConfig>\r\n";
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<QXDMProfessional>\r\n  <Displays>\r\n"
           "   <View Name=\"Item View\">\r\n" +
           isv +
           "   </View>\r\n  </Displays>\r\n"
           "  <LoggingView>\r\n" +
           list("MessageLevels", msg) + list("EventIDs", ev) + list("LogCodes", lg) +
           list("OTATypes", ot) +
           "  </LoggingView>\r\n"
           "</QXDMProfessional>\r\n";
}

TEST(DmcImport, Qxdm5FileReadsEveryEntry) {
    Ints events, logs, ota;
    Pairs messages;
    const std::string text = qxdm5File(events, messages, logs, ota);
    test::FilterTempDir dir;
    const FilterFileRead r = readFilterFile(dir.write("qxdm5.dmc", text));
    ASSERT_EQ(r.result, FilterFileResult::Read);
    EXPECT_EQ(r.lists.events, events);
    EXPECT_EQ(r.lists.messages, messages);
    logs.insert(logs.end(), ota.begin(), ota.end());
    EXPECT_EQ(r.lists.logs, logs);
    EXPECT_EQ(r.lists.logs.size(), 1425u);
    EXPECT_EQ(std::count(r.lists.logs.begin(), r.lists.logs.end(), 0), 0);
    EXPECT_EQ(r.lists.events.back(), 287);
    EXPECT_EQ(r.lists.messages.back(), (std::pair<int32_t, int32_t>{5011, 4}));
    EXPECT_EQ(r.lists.logs.back(), 0x1078);
    EXPECT_EQ(r.lists.unreadable, 0u);
    EXPECT_EQ(r.end, FilterFileEnd::Whole);
    EXPECT_TRUE(filterFileWarnings(r).empty());
}

TEST(DmcImport, ListsBeyondTheLimitSaySo) {
    std::string entries;
    for (size_t i = 0; i < kMaxFilterValues + 12; ++i) entries += std::to_string(i) + ",";
    const FilterFileRead r =
        decodeDmcText(dmc("<EventIDs>" + entries + "x</EventIDs><LogCodes>0x10</LogCodes>"));
    EXPECT_EQ(r.lists.events.size(), kMaxFilterValues);
    EXPECT_EQ(r.lists.events.back(), static_cast<int32_t>(kMaxFilterValues - 1));
    EXPECT_EQ(r.lists.logs, (Ints{16}));
    EXPECT_EQ(r.lists.dropped, 12u);
    EXPECT_TRUE(filterFileCut(r));
    EXPECT_EQ(
        filterFileWarnings(r),
        (std::vector<std::string>{"12 entries were left out: a list holds at most 7000 values.",
                                  "1 entry could not be read: 'x'"}));
}

TEST(DmcImport, TagsThatMakeAFile) {
    struct Case {
        std::string text;
        FilterFileResult result;
        size_t logs;
    } cases[] = {
        {"<QXDMProfessional></QXDMProfessional>", FilterFileResult::Read, 0},
        {"<QXDM><LoggingView><LogCodes>1,</LogCodes></LoggingView></QXDM>", FilterFileResult::Read,
         1},
        {"</QXDM><QXDM>", FilterFileResult::Read, 0},  // presence, not order
        {"<QXDM><LoggingView><LogCodes>1,</LogCodes></LoggingView>", FilterFileResult::NotQxdm, 0},
        {"<QXDMProfessional><LoggingView><LogCodes>1,</LogCodes></LoggingView></QXDM>",
         FilterFileResult::NotQxdm, 0},
        // Sections outside the logging view are not seen.
        {"<QXDM><LogCodes>1,</LogCodes><LoggingView></LoggingView></QXDM>", FilterFileResult::Read,
         0},
        // Text after a byte 0xFF is not read.
        {"<QXDM>\xFF</QXDM>", FilterFileResult::NotQxdm, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const FilterFileRead r = decodeDmcText(c.text);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.lists.logs.size(), c.logs);
    }
}

TEST(FilterFileMessages, Texts) {
    EXPECT_EQ(filterFileMessage(FilterFileResult::Read), "");
    EXPECT_EQ(filterFileMessage(FilterFileResult::NotOpened), "Could not decode the input file!");
    EXPECT_EQ(filterFileMessage(FilterFileResult::BadHeader),
              "This tool is incompatable with the selected filter version.");
    EXPECT_EQ(filterFileMessage(FilterFileResult::NotQxdm),
              "The Qualcomm filter you have selected cannot be interpreted.\r\nPlease re-save the "
              "filter with a newer version of QXDM (v03.11.01 or above), and reload.");
}

}  // namespace
}  // namespace kvx::filters
