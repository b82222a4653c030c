// Reading filter files: the .sqf header and frame decoding, escapes, path rules, and the
// QXDM .dmc import with its comma and number rules.
#include <gtest/gtest.h>

#include <algorithm>
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
    EXPECT_EQ(r.lists.logs, (Ints{0x5072, 0xB0C0, 0x412F, 17, 0}));
    EXPECT_TRUE(r.lists.nv.empty());
}

TEST(DmcImport, CommaAndNumberRules) {
    struct Case {
        std::string section;
        Pairs messages;
        Ints events;
    } cases[] = {
        {"<MessageLevels>5000/2,5000/3,</MessageLevels>", {{5000, 2}, {5000, 3}}, {}},
        {"<MessageLevels>5000/2,5000/3</MessageLevels>", {{5000, 2}}, {}},
        {"<EventIDs>0x10 ,</EventIDs>", {}, {0x100}},  // the space counts as a digit
        {"<EventIDs>0x10,</EventIDs>", {}, {16}},
        {"<EventIDs>1,2,</EventIDs><EventIDs>3,</EventIDs>", {}, {1, 2}},
        // No closing tag: nothing is read.
        {"<EventIDs>1,2,", {}, {}},
        // A comma after the closing tag ends the section.
        {"<EventIDs>1</EventIDs>,", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        const FilterFileRead r = decodeDmcText(dmc(c.section));
        EXPECT_EQ(r.result, FilterFileResult::Read);
        EXPECT_EQ(r.lists.messages, c.messages);
        EXPECT_EQ(r.lists.events, c.events);
    }
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
