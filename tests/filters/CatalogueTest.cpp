// Catalogue files: the six line parsers, reading lines, loading files into tables and trees,
// node texts, re-parenting, refused moves and pruning.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "FilterTestUtil.h"
#include "filters/FilterEntry.h"
#include "filters/FilterSet.h"

namespace kvx::filters {
namespace {

using test::dumpTree;
using test::FilterTempDir;

struct ParseCase {
    const char* what;
    LineKind kind;
    std::string line;
    int32_t id, sub;
    std::string name;
    int32_t ref0, ref1;
};

TEST(CatalogueLine, ExtractionRules) {
    const ParseCase cases[] = {
        {"category", LineKind::Category, "12^\"GSM\"^x^3\n", 12, 0, "GSM", 3, -1},
        {"category, longer third field", LineKind::Category, "12^\"GSM\"^abc^7\n", 12, 0, "GSM", 7,
         -1},
        // The character after the caret is skipped even when it is the next caret.
        {"category, empty third field", LineKind::Category, "12^\"GSM\"^^5\n", 12, 0, "GSM", 0, -1},
        {"category, no parent", LineKind::Category, "12^\"GSM\"\n", 12, 0, "GSM", 0, -1},
        {"log", LineKind::Log, "0x5072^\"GSM L1 Burst Metrics\"^\"3\"^1\n", 0x5072, 0,
         "GSM L1 Burst Metrics", 3, -1},
        {"log without 0x", LineKind::Log, "5072^\"Name here\"^\"3\"^\n", 0, 0, "Name here", 3, -1},
        {"log ends after its parent", LineKind::Log, "0x1234^\"Name\"^\"7\"\n", 0x1234, 0, "Name",
         0, -1},
        // Up to, not including, the character before the next caret: the closing quote.
        {"log parent without closing quote", LineKind::Log, "0x1^\"N\"^\"12^\n", 1, 0, "N", 1, -1},
        {"log lower-case hex", LineKind::Log, "0xb0c0^\"LTE RRC OTA\"^\"9\"^\n", 0xB0C0, 0,
         "LTE RRC OTA", 9, -1},
        {"ota hex", LineKind::Ota, "0x412F^1^\"RRC DL\"^\"4\"^x\n", 0x412F, 0, "RRC DL", 4, -1},
        {"ota decimal", LineKind::Ota, "16687^1^\"RRC DL\"^\"4\"\n", 16687, 0, "RRC DL", 4, -1},
        {"ota quote in second field", LineKind::Ota, "0x10^\"a\"^\"Name\"^\"6\"\n", 0x10, 0, "Name",
         6, -1},
        {"ota no name field", LineKind::Ota, "0x10^abc^def\n", 0x10, 0, "", 0, -1},
        {"event", LineKind::Event, "1606^\"LTE RRC state change\"^\"2\"^\n", 1606, 0,
         "LTE RRC state change", 2, -1},
        {"nv", LineKind::Nv, "87^\"Speed dial\"^\"1\"^\n", 87, 0, "Speed dial", 1, -1},
        {"message", LineKind::Message, "5000^2^\"UMTS high\"^{3,4}\n", 5000, 2, "UMTS high", 3, 4},
        {"message three refs", LineKind::Message, "5000^2^\"UMTS\"^{3,4,5}\n", 5000, 2, "UMTS", 3,
         4},
        {"message one ref", LineKind::Message, "5000^3^\"UMTS\"^{3}\n", 5000, 3, "UMTS", 3, 0},
        {"message at end of file", LineKind::Message, "21^1^\"WMS\"^{8,9}\xFF", 21, 1, "WMS", 8, 9},
        {"message without list", LineKind::Message, "21^1^\"WMS\"\n", 21, 1, "WMS", 0, 0},
        {"garbage", LineKind::Event, "hello world\n", 0, 0, "", 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const FilterEntry e = parseCatalogueLine(c.kind, c.line);
        EXPECT_EQ(e.id, c.id);
        EXPECT_EQ(e.sub, c.sub);
        EXPECT_EQ(e.name, c.name);
        EXPECT_EQ(e.categoryRefs[0], c.ref0);
        EXPECT_EQ(e.categoryRefs[1], c.ref1);
        EXPECT_EQ(e.categoryRefCount, c.kind == LineKind::Message ? 2 : 1);
        EXPECT_EQ(e.categoryRefs[2], -1);
    }
}

TEST(CatalogueLine, Numbers) {
    EXPECT_EQ(parseDecimal("  -12abc"), -12);
    EXPECT_EQ(parseDecimal("+7"), 7);
    EXPECT_EQ(parseDecimal("abc"), 0);
    EXPECT_EQ(parseDecimal("99999999999"), INT_MAX);
    EXPECT_EQ(parseDecimal("-99999999999"), INT_MIN);
    EXPECT_EQ(parseHexId("0x5072"), 0x5072);
    EXPECT_EQ(parseHexId("id 0xAbC"), 0xABC);
    EXPECT_EQ(parseHexId("5072"), 0);
    EXPECT_EQ(parseHexId("0x10 "), 0x100);  // the space is a digit
    EXPECT_EQ(parseHexId("0xFFFFFFFF1"), static_cast<int32_t>(0xFFFFFFF1u));
    EXPECT_EQ(parseNumber(" 257"), 257);
    EXPECT_EQ(parseNumber("0x0100"), 256);
}

TEST(CatalogueLine, NodeTexts) {
    FilterEntry e;
    e.id = 87;
    e.sub = 3;
    e.name = "N";
    EXPECT_EQ(nodeText(e, LineKind::Category, true), "N");
    EXPECT_EQ(nodeText(e, LineKind::Message, true), "[00087/03] - N");
    EXPECT_EQ(nodeText(e, LineKind::Message, false), "[0x0057/03] - N");
    EXPECT_EQ(nodeText(e, LineKind::Nv, true), "[00087] - N");
    EXPECT_EQ(nodeText(e, LineKind::Nv, false), "[0x0057] - N");
    for (LineKind k : {LineKind::Log, LineKind::Ota, LineKind::Event}) {
        EXPECT_EQ(nodeText(e, k, true), "[0x0057] - N");
        EXPECT_EQ(nodeText(e, k, false), "[0x0057] - N");
    }
    e.id = 0x1B0C0;
    EXPECT_EQ(nodeText(e, LineKind::Log, true), "[0x1B0C0] - N");
}

std::vector<std::string> readLines(const std::string& content) {
    FILE* f = fmemopen(const_cast<char*>(content.data()), content.size(), "rb");
    std::vector<std::string> lines;
    bool last = false;
    while (f && !last) lines.push_back(readCatalogueLine(f, last));
    if (f) std::fclose(f);
    return lines;
}

TEST(CatalogueLine, ReadingLines) {
    using V = std::vector<std::string>;
    EXPECT_EQ(readLines("a\r\nb\n"), (V{"a\n", "b\n", "\xFF"}));
    EXPECT_EQ(readLines("a\rb"), (V{"a\rb\xFF"}));
    EXPECT_EQ(readLines("one\ntwo\xFFthree\n"), (V{"one\n", "two\xFF"}));
    EXPECT_EQ(readLines(""), (V{"\xFF"}));
    const std::string longLine(600, 'x');
    const V lines = readLines(longLine + "\nnext\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(kMaxCatalogueLine, 'x'));
    EXPECT_EQ(lines[1], "next\n");
}

class CatalogueLoad : public ::testing::Test {
  protected:
    void load(FilterTable& table, const std::string& content, LineKind kind) {
        const std::string path = dir.write("f" + std::to_string(files++) + ".txt", content);
        set.loadCatalogueFile(table, path, kind, reporter);
    }
    FilterTempDir dir;
    FilterSet set;
    std::vector<std::string> messages;
    FilterReporter reporter{[this](const std::string& m) { messages.push_back(m); }, {}, {}};
    int files = 0;
};

TEST_F(CatalogueLoad, ShortLinesLastLineAndEndMark) {
    // 10 characters with the newline: skipped; 11: a record.
    load(set.logTable(), "0x12^\"ab\"\n0x13^\"abc\"\n0x14^\"last\"", LineKind::Log);
    EXPECT_EQ(dumpTree(set.logTree()), "[0x0013] - abc [3]\n[0x0014] - last [3]\n");
    load(set.eventTable(), "1^\"event one\"\n2^\"second\"^\"0\"\xFF\"\n3^\"three never read\"\n",
         LineKind::Event);
    EXPECT_EQ(dumpTree(set.eventTree()), "[0x0001] - event one [3]\n[0x0002] - second [3]\n");
}

TEST_F(CatalogueLoad, ItemsGoUnderTheirCategories) {
    load(set.logTable(), "1^\"GSM\"^x^0\n2^\"LTE\"^x^0\n", LineKind::Category);
    load(set.logTable(),
         "0x5072^\"GSM L1 Burst Metrics\"^\"1\"^\n"
         "0xB0C0^\"LTE RRC OTA Packet\"^\"2\"^\n"
         "0x1234^\"Nowhere\"^\"9\"^\n",
         LineKind::Log);
    EXPECT_EQ(dumpTree(set.logTree()),
              "GSM [3]\n  [0x5072] - GSM L1 Burst Metrics [3]\n"
              "LTE [3]\n  [0xB0C0] - LTE RRC OTA Packet [3]\n"
              "[0x1234] - Nowhere [3]\n");
    EXPECT_EQ(set.logTable().entryCount(), 3);
    EXPECT_EQ(set.logTable().categoryCount(), 2);
}

TEST_F(CatalogueLoad, MessageUnderTwoCategoriesAndCategoryZero) {
    load(set.messageTable(), "0^\"Legacy\"^x^9\n3^\"UMTS\"^x^9\n4^\"WCDMA\"^x^9\n",
         LineKind::Category);
    load(set.messageTable(),
         "5000^2^\"UMTS High\"^{3,4}\n5000^3^\"UMTS Error\"^{3}\n9999^1^\"Loose\"^{7,8}\n",
         LineKind::Message);
    // A one-entry list has 0 as second reference: also under category 0.
    EXPECT_EQ(dumpTree(set.messageTree()),
              "Legacy [3]\n  [05000/03] - UMTS Error [3]\n"
              "UMTS [3]\n  [05000/02] - UMTS High [3]\n  [05000/03] - UMTS Error [3]\n"
              "WCDMA [3]\n  [05000/02] - UMTS High [3]\n"
              "[0x270F/01] - Loose [3]\n");
    EXPECT_EQ(set.messageTable().entryCount(), 5);
}

TEST_F(CatalogueLoad, NvTextsByPlacement) {
    load(set.nvTable(), "1^\"Dialing\"^x^0\n", LineKind::Category);
    load(set.nvTable(), "87^\"Speed dial\"^\"1\"^\n550^\"IMEI\"^\"2\"^\n", LineKind::Nv);
    EXPECT_EQ(dumpTree(set.nvTree()),
              "Dialing [3]\n  [00087] - Speed dial [3]\n[0x0226] - IMEI [3]\n");
}

TEST_F(CatalogueLoad, UnreadableCategoryFileStillMovesTheMark) {
    load(set.logTable(), "1^\"GSM\"^x^0\n", LineKind::Category);
    set.loadCatalogueFile(set.logTable(), dir.file("missing.txt"), LineKind::Category, reporter);
    EXPECT_EQ(set.categoryLoadStart(), 1);
    load(set.logTable(), "0x5072^\"Burst metrics\"^\"1\"^\n", LineKind::Log);
    EXPECT_EQ(dumpTree(set.logTree()), "GSM [3]\n[0x5072] - Burst metrics [3]\n");
    EXPECT_TRUE(messages.empty());
}

TEST_F(CatalogueLoad, MarkIsSharedBetweenTables) {
    load(set.messageTable(), "1^\"Alpha\"^x^0\n2^\"Bravo\"^x^0\n", LineKind::Category);
    load(set.eventTable(), "1^\"Echo5\"^x^0\n", LineKind::Category);
    EXPECT_EQ(set.categoryLoadStart(), 0);
    load(set.messageTable(), "3^\"Charlie\"^x^0\n", LineKind::Category);
    EXPECT_EQ(set.categoryLoadStart(), 2);
    // The event table has one category, below the mark 2: its items find none.
    load(set.eventTable(), "5^\"ev\"^\"1\"^\n", LineKind::Event);
    EXPECT_EQ(dumpTree(set.eventTree()), "Echo5 [3]\n[0x0005] - ev [3]\n");
}

TEST_F(CatalogueLoad, CategoriesBeforeTheirParents) {
    load(
        set.logTable(),
        "30^\"NR RRC\"^x^20\n20^\"NR\"^x^10\n10^\"Radio\"^x^0\n11^\"Other\"^x^0\n21^\"LTE\"^x^10\n",
        LineKind::Category);
    // LTE found Radio while loading; NR joined it in the passes, behind LTE.
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [3]\n  LTE [3]\n  NR [3]\n    NR RRC [3]\nOther [3]\n");
    EXPECT_TRUE(messages.empty());
    // Every slot names its live node.
    for (const FilterSlot& s : set.logTable().categories())
        EXPECT_TRUE(set.logTree().valid(s.node));
    load(set.logTable(), "0xB821^\"NR5G RRC OTA Packet\"^\"30\"^\n", LineKind::Log);
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [3]\n  LTE [3]\n  NR [3]\n    NR RRC [3]\n"
              "      [0xB821] - NR5G RRC OTA Packet [3]\nOther [3]\n");
}

TEST_F(CatalogueLoad, DoubleParentNumberRunsAllPassesWithOneOverflow) {
    load(set.logTable(), "2^\"Charlie\"^x^1\n1^\"Alpha\"^x^0\n1^\"Bravo\"^x^0\n",
         LineKind::Category);
    EXPECT_EQ(messages, std::vector<std::string>{"Overflow"});
    EXPECT_EQ(dumpTree(set.logTree()), "Alpha [3]\nBravo [3]\n  Charlie [3]\n");
    int32_t start = 0;
    EXPECT_EQ(set.logTable().reparentCategories(start, reporter), FilterTable::kMaxPasses);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(CatalogueLoad, MoveIntoOwnSubtreeIsRefused) {
    load(set.logTable(), "1^\"Alpha\"^x^2\n2^\"Bravo\"^x^1\n", LineKind::Category);
    EXPECT_EQ(dumpTree(set.logTree()), "Alpha [3]\n  Bravo [3]\n");
    const auto cats = set.logTable().categories();
    ASSERT_EQ(cats.size(), 2u);
    EXPECT_EQ(cats[0].node, kNoNode);
    EXPECT_EQ(cats[1].node, kNoNode);
    // Slots without a node are left alone by pruning; the tree keeps its nodes.
    set.pruneAll();
    EXPECT_EQ(dumpTree(set.logTree()), "Alpha [3]\n  Bravo [3]\n");
}

TEST_F(CatalogueLoad, MoveSubtreeCases) {
    load(set.logTable(), "1^\"Alpha\"^x^0\n2^\"Bravo\"^x^1\n3^\"Charlie\"^x^2\n4^\"Delta\"^x^0\n",
         LineKind::Category);
    TreeModel& tree = set.logTree();
    FilterTable& t = set.logTable();
    const NodeId a = test::findNode(tree, "Alpha"), b = test::findNode(tree, "Bravo"),
                 c = test::findNode(tree, "Charlie"), d = test::findNode(tree, "Delta");
    EXPECT_EQ(t.moveSubtree(kNoNode, a), kNoNode);
    EXPECT_EQ(t.moveSubtree(a, kNoNode), kNoNode);
    EXPECT_EQ(t.moveSubtree(a, a), a);
    EXPECT_EQ(t.moveSubtree(b, a), b);  // already there
    EXPECT_EQ(t.moveSubtree(a, c), kNoNode);
    tree.setState(b, tree.state(b) | 0xE2);  // selected, expanded, expanded once, bit 7
    tree.setItemData(b, 42);
    const NodeId moved = t.moveSubtree(b, d);
    ASSERT_NE(moved, kNoNode);
    EXPECT_FALSE(tree.valid(b));
    EXPECT_EQ(tree.state(moved), 0x3000u);
    EXPECT_EQ(tree.itemData(moved), 42);
    EXPECT_EQ(dumpTree(tree), "Alpha [3]\nDelta [3]\n  Bravo [3]\n    Charlie [3]\n");
    // The child category's slot follows its moved node.
    const NodeId newC = test::findNode(tree, "Charlie");
    EXPECT_EQ(t.findCategoryByNode(newC), 2);
    EXPECT_EQ(t.categories()[2].node, newC);
}

TEST_F(CatalogueLoad, PruningRepeatsUntilEmpty) {
    load(set.eventTable(), "1^\"Alpha\"^x^0\n2^\"Bravo\"^x^1\n3^\"Charlie\"^x^2\n4^\"Kept\"^x^0\n",
         LineKind::Category);
    load(set.eventTable(), "1606^\"RRC state\"^\"4\"^\n", LineKind::Event);
    int calls = 0;
    while (set.eventTable().pruneEmptyCategories()) ++calls;
    EXPECT_EQ(calls, 3);  // C, then B, then A
    EXPECT_EQ(dumpTree(set.eventTree()), "Kept [3]\n  [0x0646] - RRC state [3]\n");
    EXPECT_FALSE(set.eventTable().pruneEmptyCategories());

    // Categories alone: pruning repeats until the tree is empty.
    load(set.nvTable(), "5^\"Deepest one\"^x^4\n4^\"Middle one\"^x^3\n3^\"Top level\"^x^0\n",
         LineKind::Category);
    ASSERT_EQ(dumpTree(set.nvTree()), "Top level [3]\n  Middle one [3]\n    Deepest one [3]\n");
    set.pruneAll();
    EXPECT_EQ(set.nvTree().size(), 0u);
}

TEST_F(CatalogueLoad, FullTablesDropAndCount) {
    std::string cats;
    for (int i = 0; i < FilterTable::kMaxCategories + 3; ++i)
        cats += std::to_string(i + 1) + "^\"Category\"^x^0\n";
    load(set.logTable(), cats, LineKind::Category);
    EXPECT_EQ(set.logTable().categoryCount(), FilterTable::kMaxCategories);
    EXPECT_EQ(set.logTable().droppedCount(), 3u);
    std::string items;
    for (int i = 0; i < FilterTable::kMaxEntries + 5; ++i) items += "0x1^\"Item name\"^\"1\"^\n";
    load(set.logTable(), items, LineKind::Log);
    EXPECT_EQ(set.logTable().entryCount(), FilterTable::kMaxEntries);
    EXPECT_EQ(set.logTable().droppedCount(), 8u);
    EXPECT_EQ(set.logTree().size(),
              static_cast<size_t>(FilterTable::kMaxEntries + FilterTable::kMaxCategories));
}

TEST(FilterTableBinding, UnboundTableDoesNothing) {
    FilterTable t;
    EXPECT_EQ(t.kind(), FilterKind::Unbound);
    int32_t start = 0;
    t.placeRecord(parseLogLine("0x1^\"x\"^\"1\"^\n"), LineKind::Log, start);
    EXPECT_EQ(t.entryCount(), 0);
    EXPECT_TRUE(t.collectChecked().empty());
    EXPECT_FALSE(t.pruneEmptyCategories());
}

}  // namespace
}  // namespace kvx::filters
