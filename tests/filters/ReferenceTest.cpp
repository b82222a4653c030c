// The indexed filter table against a straightforward implementation of the same rules (slot
// scans in slot order, no indexes) on random catalogues: the trees, the node handles, the
// slots, the check states after random clicks, the collected items and pruning must agree.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "FilterTestUtil.h"
#include "filters/FilterSet.h"

namespace kvx::filters {
namespace {

// The plain algorithms, written from the rules without any index.
class PlainTable {
  public:
    PlainTable(TreeModel& tree, FilterKind kind) : tree_(tree), kind_(kind) {}

    void load(const std::string& path, LineKind kind, int32_t& start, int& overflows) {
        if (kind == LineKind::Category) start = static_cast<int32_t>(cats_.size());
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return;
        bool last = false;
        while (!last) {
            const std::string line = readCatalogueLine(f, last);
            if (line.size() < kMinCatalogueLine) continue;
            place(parseCatalogueLine(kind, line), kind, start);
        }
        std::fclose(f);
        if (kind == LineKind::Category) reparent(start, overflows);
    }

    void place(const FilterEntry& r, LineKind kind, int32_t start) {
        const bool isCat = kind == LineKind::Category;
        bool any = false;
        const auto count = static_cast<int32_t>(cats_.size());
        for (int32_t c = std::max(start, 0); c < count; ++c) {
            bool match = false;
            for (int k = 0; k < r.categoryRefCount; ++k)
                if (cats_[static_cast<size_t>(c)].entry.id ==
                    r.categoryRefs[static_cast<size_t>(k)])
                    match = true;
            if (!match) continue;
            any = true;
            store(r, kind, isCat, cats_[static_cast<size_t>(c)].node, true);
        }
        if (!any) store(r, kind, isCat, kNoNode, false);
    }

    void store(const FilterEntry& r, LineKind kind, bool isCat, NodeId parent, bool under) {
        auto& slots = isCat ? cats_ : entries_;
        if (slots.size() >= (isCat ? 1000u : 7000u)) return;
        const NodeId n = tree_.insert(parent, nodeText(r, kind, under), 0x3000);
        slots.push_back({r, n});
        if (isCat) pruned_.push_back(false);
    }

    void reparent(int32_t start, int& overflows) {
        int passes = 0;
        bool changed = true;
        const auto count = static_cast<int32_t>(cats_.size());
        while (changed && passes < 100) {
            if (++passes == 99) ++overflows;
            changed = false;
            for (int32_t i = std::max(start, 0); i < count; ++i) {
                for (int k = 0; k < cats_[static_cast<size_t>(i)].entry.categoryRefCount; ++k) {
                    const int32_t r =
                        cats_[static_cast<size_t>(i)].entry.categoryRefs[static_cast<size_t>(k)];
                    if (r == -1) continue;
                    for (int32_t p = std::max(start, 0); p < count; ++p) {
                        if (p == i || cats_[static_cast<size_t>(p)].entry.id != r) continue;
                        if (tree_.parent(cats_[static_cast<size_t>(i)].node) !=
                            cats_[static_cast<size_t>(p)].node) {
                            cats_[static_cast<size_t>(i)].node =
                                move(cats_[static_cast<size_t>(i)].node,
                                     cats_[static_cast<size_t>(p)].node);
                            changed = true;
                        }
                    }
                }
            }
        }
    }

    NodeId move(NodeId node, NodeId to) {
        if (node == kNoNode || to == kNoNode) return kNoNode;
        if (node == to || tree_.parent(node) == to) return node;
        for (NodeId a = to; a != kNoNode; a = tree_.parent(a))
            if (a == node) return kNoNode;
        const NodeId moved =
            tree_.insert(to, tree_.text(node), tree_.state(node) & kMoveStateMask,
                         tree_.itemData(node), tree_.image(node), tree_.selectedImage(node));
        for (NodeId c = tree_.firstChild(node); c != kNoNode;) {
            const NodeId next = tree_.nextSibling(c);
            const NodeId nc = move(c, moved);
            for (auto& s : cats_)
                if (s.node == c) {
                    s.node = nc;
                    break;
                }
            for (auto& s : entries_)
                if (s.node == c) {
                    s.node = nc;
                    break;
                }
            c = next;
        }
        tree_.remove(node);
        return moved;
    }

    bool prune() {
        bool deleted = false;
        for (size_t i = 0; i < cats_.size(); ++i) {
            if (pruned_[i] || cats_[i].node == kNoNode || tree_.hasChildren(cats_[i].node))
                continue;
            deleted = tree_.remove(cats_[i].node) || deleted;
            pruned_[i] = true;
        }
        return deleted;
    }

    int entryIndex(NodeId n) const {
        if (n == kNoNode) return -1;
        for (size_t i = 0; i < entries_.size(); ++i)
            if (entries_[i].node == n) return static_cast<int>(i);
        return -1;
    }
    void setById(int32_t id, int state, int32_t sub) {
        for (auto& s : entries_)
            if (s.entry.id == id && (kind_ != FilterKind::Message || s.entry.sub == sub))
                tree_.setStateImage(s.node, state);
    }
    void propagate(NodeId n, int state) {
        if (tree_.hasChildren(n)) {
            for (NodeId c = tree_.firstChild(n); c != kNoNode; c = tree_.nextSibling(c)) {
                tree_.setStateImage(c, state);
                propagate(c, state);
            }
        } else if (int i = entryIndex(n); i >= 0) {
            setById(entries_[static_cast<size_t>(i)].entry.id, state,
                    entries_[static_cast<size_t>(i)].entry.sub);
        }
    }
    void recompute(NodeId n) {
        for (NodeId c = tree_.firstChild(n); c != kNoNode; c = tree_.nextSibling(c))
            if (tree_.hasChildren(c)) recompute(c);
        int checked = 0, decided = 0, result = 0;
        for (NodeId c = tree_.firstChild(n); c != kNoNode; c = tree_.nextSibling(c)) {
            const int s = tree_.stateImage(c);
            if (s == 2) {
                result = 2;
                break;
            }
            checked += s == 1;
            decided += s == 1 || s == 3;
        }
        if (!result) result = checked == 0 ? 3 : checked == decided ? 1 : 2;
        if (n != kNoNode) tree_.setStateImage(n, result);
    }
    void click(NodeId n, bool hit) {
        if (hit && tree_.valid(n)) {
            const int s = tree_.stateImage(n) == 1 ? 3 : 1;
            tree_.setStateImage(n, s);
            propagate(n, s);
        }
        recompute(kNoNode);
    }
    void collect(NodeId first, std::vector<FilterEntry>& out) const {
        for (NodeId n = first; n != kNoNode; n = tree_.nextSibling(n)) {
            if (tree_.stateImage(n) == 1)
                if (int i = entryIndex(n); i >= 0)
                    out.push_back(entries_[static_cast<size_t>(i)].entry);
            collect(tree_.firstChild(n), out);
        }
    }

    std::vector<FilterSlot> entries_, cats_;
    std::vector<bool> pruned_;

  private:
    TreeModel& tree_;
    FilterKind kind_;
};

void expectSameSlots(const std::vector<FilterSlot>& a, const std::vector<FilterSlot>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].entry, b[i].entry) << "slot " << i;
        EXPECT_EQ(a[i].node, b[i].node) << "slot " << i;
    }
}

std::string randomCatalogue(std::mt19937& rng, LineKind kind, int lines, int idRange,
                            int refRange) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::string out;
    for (int i = 0; i < lines; ++i) {
        const int id = pick(idRange);
        const int ref = pick(refRange);
        const std::string name = "n" + std::to_string(pick(1000));
        switch (kind) {
            case LineKind::Category:
                out += std::to_string(id) + "^\"" + name + "\"^x^" + std::to_string(ref);
                break;
            case LineKind::Message:
                out += std::to_string(id) + "^" + std::to_string(pick(4)) + "^\"" + name + "\"^{" +
                       std::to_string(ref) + (pick(2) ? "," + std::to_string(pick(refRange)) : "") +
                       "}";
                break;
            case LineKind::Log:
                out += "0x" + std::to_string(id) + "^\"" + name + "\"^\"" + std::to_string(ref) +
                       "\"^";
                break;
            default:
                out += std::to_string(id) + "^\"" + name + "\"^\"" + std::to_string(ref) + "\"^";
                break;
        }
        out += pick(10) == 0 ? "\r\n" : "\n";
        if (pick(25) == 0) out += "short\n";
    }
    return out;
}

// What the random catalogues exercised, so the comparison is known to cover the hard cases.
struct Coverage {
    int overflows = 0;     // loads that hit the pass bound
    int refusedSlots = 0;  // category slots left without a node
    int multiPlaced = 0;   // items placed under more than one category
};
Coverage coverage;

void compareOnRandomCatalogue(unsigned seed, FilterKind kind, LineKind itemKind, int cats,
                              int items, int clicks) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    test::FilterTempDir dir;
    TreeModel fastTree, plainTree;
    FilterTable fast;
    fast.bind(fastTree, kind);
    PlainTable plain(plainTree, kind);
    int32_t fastStart = 0, plainStart = 0;
    int fastOverflows = 0, plainOverflows = 0;
    FilterReporter reporter{[&](const std::string&) { ++fastOverflows; }, {}, {}};

    // Two category files with their item files, as a table's catalogue sources come.
    const int idRange = std::max(cats / 2, 2);
    for (int round = 0; round < 2; ++round) {
        const std::string c =
            dir.write("c" + std::to_string(round),
                      randomCatalogue(rng, LineKind::Category, cats, idRange, idRange + 2));
        const std::string i =
            dir.write("i" + std::to_string(round),
                      randomCatalogue(rng, itemKind, items, items / 2 + 1, idRange + 2));
        fast.loadCatalogueFile(c, LineKind::Category, fastStart, reporter);
        plain.load(c, LineKind::Category, plainStart, plainOverflows);
        fast.loadCatalogueFile(i, itemKind, fastStart, reporter);
        plain.load(i, itemKind, plainStart, plainOverflows);
    }
    ASSERT_EQ(test::dumpTree(fastTree), test::dumpTree(plainTree));
    EXPECT_EQ(fastOverflows, plainOverflows);
    coverage.overflows += fastOverflows;
    for (const FilterSlot& s : fast.categories()) coverage.refusedSlots += s.node == kNoNode;
    const auto all = fast.entries();
    for (size_t i = 1; i < all.size(); ++i)
        coverage.multiPlaced += all[i].entry == all[i - 1].entry;
    expectSameSlots(fast.categories(), plain.cats_);
    expectSameSlots(fast.entries(), plain.entries_);
    for (NodeId n = 1; n < fastTree.handleLimit(); ++n)
        ASSERT_EQ(fast.entryIndexByNode(n), plain.entryIndex(n)) << "node " << n;

    std::vector<NodeId> nodes;
    for (NodeId n = 1; n < fastTree.handleLimit(); ++n)
        if (fastTree.valid(n)) nodes.push_back(n);
    for (int k = 0; k < clicks && !nodes.empty(); ++k) {
        const NodeId n = nodes[rng() % nodes.size()];
        const bool hit = rng() % 4 != 0;
        fast.click(n, hit);
        plain.click(n, hit);
        ASSERT_EQ(test::dumpTree(fastTree), test::dumpTree(plainTree)) << "click " << k;
        std::vector<FilterEntry> expected;
        plain.collect(plainTree.firstChild(kNoNode), expected);
        ASSERT_EQ(fast.collectChecked(), expected);
    }
    int rounds = 0;
    for (;;) {
        const bool a = fast.pruneEmptyCategories(), b = plain.prune();
        ASSERT_EQ(a, b);
        ASSERT_EQ(test::dumpTree(fastTree), test::dumpTree(plainTree));
        if (!a || ++rounds > 1000) break;
    }
}

TEST(IndexedAgainstPlain, SmallRandomCataloguesWithCycles) {
    for (unsigned seed = 1; seed <= 60; ++seed)
        compareOnRandomCatalogue(seed, FilterKind::Log, LineKind::Log, 12, 40, 30);
    for (unsigned seed = 100; seed <= 130; ++seed)
        compareOnRandomCatalogue(seed, FilterKind::Message, LineKind::Message, 10, 40, 30);
    for (unsigned seed = 200; seed <= 220; ++seed)
        compareOnRandomCatalogue(seed, FilterKind::Nv, LineKind::Nv, 8, 30, 20);
    EXPECT_GT(coverage.overflows, 0);
    EXPECT_GT(coverage.refusedSlots, 0);
    EXPECT_GT(coverage.multiPlaced, 0);
}

TEST(IndexedAgainstPlain, LargeCatalogue) {
    compareOnRandomCatalogue(7, FilterKind::Event, LineKind::Event, 400, 3000, 10);
}

}  // namespace
}  // namespace kvx::filters
