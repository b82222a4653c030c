// Check marks of the filter trees: clicks, propagation to every node of an item, recomputed
// categories, reset, collecting the checked items, and the export lines.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FilterTestUtil.h"
#include "filters/FilterActions.h"
#include "filters/FilterSet.h"

namespace kvx::filters {
namespace {

using test::dumpTree;
using test::findNode;

class TreeState : public ::testing::Test {
  protected:
    void SetUp() override {
        load(set.logTable(),
             "1^\"Radio\"^x^0\n2^\"GSM L1\"^x^1\n3^\"LTE RRC\"^x^1\n4^\"Spare\"^x^0\n",
             LineKind::Category);
        // 0x5072 is listed under two categories (GSM L1 and Spare).
        load(set.logTable(),
             "0x5072^\"Burst Metrics\"^\"2\"^\n0x5138^\"GSM RR Cell\"^\"2\"^\n"
             "0xB0C0^\"RRC OTA Packet\"^\"3\"^\n0x5072^\"Burst Metrics\"^\"4\"^\n"
             "0x0012^\"Legacy code\"^\"4\"^\n",
             LineKind::Log);
        load(set.messageTable(), "1^\"Call manager\"^x^0\n", LineKind::Category);
        load(set.messageTable(),
             "5^1^\"CM medium\"^{1}\n5^2^\"CM high\"^{1}\n5^3^\"CM error\"^{1}\n",
             LineKind::Message);
    }
    void load(FilterTable& table, const std::string& content, LineKind kind) {
        const std::string path = dir.write("f" + std::to_string(files++) + ".txt", content);
        set.loadCatalogueFile(table, path, kind, reporter);
    }
    NodeId logNode(const std::string& text) { return findNode(set.logTree(), text); }

    test::FilterTempDir dir;
    FilterSet set;
    FilterReporter reporter;
    int files = 0;
};

TEST_F(TreeState, ClickOnLabelChangesNoStateButRecomputes) {
    set.logTable().setStateById(0xB0C0, CheckState::Checked, 0);
    set.logTable().click(logNode("LTE RRC"), false);
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [2]\n"
              "  GSM L1 [3]\n    [0x5072] - Burst Metrics [3]\n    [0x5138] - GSM RR Cell [3]\n"
              "  LTE RRC [1]\n    [0xB0C0] - RRC OTA Packet [1]\n"
              "Spare [3]\n  [0x5072] - Burst Metrics [3]\n  [0x0012] - Legacy code [3]\n");
}

TEST_F(TreeState, ItemUnderTwoCategories) {
    FilterTable& t = set.logTable();
    t.click(findNode(set.logTree(), "[0x5072] - Burst Metrics"), true);
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [2]\n"
              "  GSM L1 [2]\n    [0x5072] - Burst Metrics [1]\n    [0x5138] - GSM RR Cell [3]\n"
              "  LTE RRC [3]\n    [0xB0C0] - RRC OTA Packet [3]\n"
              "Spare [2]\n  [0x5072] - Burst Metrics [1]\n  [0x0012] - Legacy code [3]\n");
    const auto checked = t.collectChecked();
    ASSERT_EQ(checked.size(), 2u);  // once per node
    EXPECT_EQ(checked[0].id, 0x5072);
    EXPECT_EQ(checked[1].id, 0x5072);
    t.click(logNode("[0x0012] - Legacy code"), true);
    EXPECT_EQ(t.stateOf(logNode("Spare")), CheckState::Checked);
}

TEST_F(TreeState, ClicksOnPartialAndCheckedCategories) {
    FilterTable& t = set.logTable();
    t.click(findNode(set.logTree(), "[0x5138] - GSM RR Cell"), true);
    ASSERT_EQ(t.stateOf(logNode("Radio")), CheckState::Partial);
    t.click(logNode("Radio"), true);  // partial -> checked, and everything below
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [1]\n"
              "  GSM L1 [1]\n    [0x5072] - Burst Metrics [1]\n    [0x5138] - GSM RR Cell [1]\n"
              "  LTE RRC [1]\n    [0xB0C0] - RRC OTA Packet [1]\n"
              "Spare [2]\n  [0x5072] - Burst Metrics [1]\n  [0x0012] - Legacy code [3]\n");
    t.click(logNode("Radio"), true);  // checked -> unchecked
    EXPECT_EQ(dumpTree(set.logTree()),
              "Radio [3]\n"
              "  GSM L1 [3]\n    [0x5072] - Burst Metrics [3]\n    [0x5138] - GSM RR Cell [3]\n"
              "  LTE RRC [3]\n    [0xB0C0] - RRC OTA Packet [3]\n"
              "Spare [3]\n  [0x5072] - Burst Metrics [3]\n  [0x0012] - Legacy code [3]\n");
}

TEST_F(TreeState, PartialChildMakesParentPartial) {
    FilterTable& t = set.logTable();
    t.setStateById(0xB0C0, CheckState::Checked, 0);
    t.setStateById(0x5072, CheckState::Checked, 0);
    t.recomputeStates(kNoNode);
    // LTE RRC is checked, GSM L1 partial: Radio is partial.
    EXPECT_EQ(t.stateOf(logNode("LTE RRC")), CheckState::Checked);
    EXPECT_EQ(t.stateOf(logNode("GSM L1")), CheckState::Partial);
    EXPECT_EQ(t.stateOf(logNode("Radio")), CheckState::Partial);
}

TEST_F(TreeState, MessageLevelsAreSeparate) {
    FilterTable& t = set.messageTable();
    t.click(findNode(set.messageTree(), "[00005/02] - CM high"), true);
    EXPECT_EQ(dumpTree(set.messageTree()),
              "Call manager [2]\n  [00005/01] - CM medium [3]\n  [00005/02] - CM high [1]\n"
              "  [00005/03] - CM error [3]\n");
    const auto checked = t.collectChecked();
    ASSERT_EQ(checked.size(), 1u);
    EXPECT_EQ(checked[0].sub, 2);
    EXPECT_TRUE(t.listsItem(5, 3));
    EXPECT_FALSE(t.listsItem(5, 4));
    EXPECT_TRUE(set.logTable().listsItem(0x5072, 99));  // levels count in message tables only
    EXPECT_FALSE(set.logTable().listsItem(0x5073, 0));
}

// Every node of the subtree below `parent`, in tree order.
void allNodes(const TreeModel& tree, NodeId parent, std::vector<NodeId>& out) {
    for (NodeId n = tree.firstChild(parent); n != kNoNode; n = tree.nextSibling(n)) {
        out.push_back(n);
        allNodes(tree, n, out);
    }
}

TEST_F(TreeState, ResetUnchecksEverything) {
    load(set.eventTable(), "257^\"Event 257\"^\"0\"^\n", LineKind::Event);
    load(set.nvTable(), "87^\"Speed dial\"^\"0\"^\n", LineKind::Nv);
    set.logTable().click(logNode("Radio"), true);
    set.logTable().setStateById(0x0012, CheckState::Checked, 0);
    set.logTable().recomputeStates(kNoNode);
    set.messageTable().click(findNode(set.messageTree(), "Call manager"), true);
    set.eventTable().setStateById(257, CheckState::Checked, 0);
    set.nvTable().setStateById(87, CheckState::Checked, 0);
    set.resetAll();
    for (FilterTable* table :
         {&set.logTable(), &set.messageTable(), &set.eventTable(), &set.nvTable()}) {
        std::vector<NodeId> nodes;
        allNodes(*table->tree(), kNoNode, nodes);
        ASSERT_FALSE(nodes.empty());
        for (NodeId n : nodes) {
            EXPECT_EQ(table->tree()->stateImage(n), static_cast<int>(CheckState::Unchecked))
                << table->tree()->text(n);
        }
        EXPECT_TRUE(table->collectChecked().empty());
    }
}

TEST_F(TreeState, ExportLinesInTreeOrder) {
    load(set.eventTable(), "257^\"Event 257\"^\"0\"^\n", LineKind::Event);
    load(set.nvTable(), "87^\"Speed dial\"^\"0\"^\n", LineKind::Nv);
    test::FilterTempDir out;
    const std::string path = out.file("export.txt");
    ASSERT_TRUE(exportFilters(path, set));
    EXPECT_EQ(test::readAll(path), "");  // nothing checked: an empty file

    set.logTable().click(logNode("Spare"), true);
    set.logTable().click(logNode("LTE RRC"), true);
    set.messageTable().click(findNode(set.messageTree(), "[00005/03] - CM error"), true);
    set.eventTable().setStateById(257, CheckState::Checked, 0);
    set.nvTable().setStateById(87, CheckState::Checked, 0);
    ASSERT_TRUE(exportFilters(path, set));
    EXPECT_EQ(test::readText(path),
              "NV 00087 Speed dial\n"
              "[0x5072] Burst Metrics\n[0xB0C0] RRC OTA Packet\n[0x5072] Burst Metrics\n"
              "[0x  12] Legacy code\n"
              "[00005/03] CM error\n"
              "[00257] Event 257\n");
    EXPECT_FALSE(exportFilters(out.file("no/such/folder.txt"), set));
}

TEST_F(TreeState, CollectingWhileClickingSeesWholeClicks) {
    // The logging worker collects while the window thread clicks: each click is applied whole.
    FilterTable& t = set.logTable();
    const NodeId radio = logNode("Radio");
    t.click(radio, true);
    const size_t whole = t.collectChecked().size();  // Radio's items and 0x5072 under Spare
    ASSERT_EQ(whole, 4u);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, seen{0};
    std::thread worker([&] {
        while (!stop.load()) {
            const size_t n = t.collectChecked().size();
            if (n != 0 && n != whole) torn.fetch_add(1);
            seen.fetch_add(1);
        }
    });
    for (int i = 0; i < 2000 || seen.load() < 10; ++i) t.click(radio, true);
    stop.store(true);
    worker.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(TreeStateUnit, RecomputeRules) {
    // Children states -> parent: none checked 3; all decided checked 1; mixed 2; a partial
    // child 2 even with all others checked.
    struct Case {
        std::vector<int> children;
        int expected;
    } cases[] = {{{3, 3}, 3}, {{1, 1}, 1}, {{1, 3}, 2}, {{1, 2, 1}, 2}, {{2}, 2}, {{1, 0}, 1}};
    for (const auto& c : cases) {
        TreeModel tree;
        FilterTable t;
        t.bind(tree, FilterKind::Event);
        const NodeId parent = tree.insert(kNoNode, "p");
        for (int s : c.children) tree.setStateImage(tree.insert(parent, "c"), s);
        t.recomputeStates(kNoNode);
        EXPECT_EQ(tree.stateImage(parent), c.expected);
    }
}

}  // namespace
}  // namespace kvx::filters
