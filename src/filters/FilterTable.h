// One filter table: the catalogue records of one kind (log items, events, messages or NV
// items) in fixed-capacity slots, each slot showing as one node of the table's tree, plus the
// tree's tri-state check marks: loading catalogue files, re-parenting and pruning categories,
// clicks, state propagation, collecting the checked items and exporting them.
//
// Capacities: 7000 item slots and 1000 category slots; a record beyond them is dropped and
// counted (droppedCount), never stored. Slots are only appended, never freed or reused.
// Indexes (identifier -> slots, node -> slot) keep every operation near linear; the results
// are those of the plain slot-order scans described on each operation.
//
// Threads: every public operation takes the table's lock, so the logging worker may collect
// while the window thread clicks; a viewer reading the tree directly holds lock() meanwhile.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filters/FilterEntry.h"
#include "filters/FilterReporter.h"
#include "filters/TreeModel.h"

namespace kvx::filters {

// Check state, the state image index of a node.
enum class CheckState : int { Checked = 1, Partial = 2, Unchecked = 3 };

struct FilterSlot {
    FilterEntry entry;
    NodeId node = kNoNode;
};

class FilterTable {
  public:
    static constexpr int32_t kMaxEntries = 7000;
    static constexpr int32_t kMaxCategories = 1000;
    // Re-parenting gives up after this many passes over one category file.
    static constexpr int kMaxPasses = 100;
    // The pass at which "Overflow" is shown.
    static constexpr int kOverflowPass = 99;

    FilterTable() = default;  // unbound: no tree, kind Unbound
    FilterTable(const FilterTable&) = delete;
    FilterTable& operator=(const FilterTable&) = delete;

    // Sets the tree (owned by the caller, outliving the table) and the kind. Once, before loads.
    void bind(TreeModel& tree, FilterKind kind);
    FilterKind kind() const { return kind_; }
    TreeModel* tree() const { return tree_; }

    // ---- catalogue -------------------------------------------------------------------------

    // Reads one catalogue file into the table and its tree. A category file first sets
    // `categoryLoadStart` (shared by all tables) to this table's categoryCount, even when the
    // file then cannot be opened. Shows no message except "Overflow".
    void loadCatalogueFile(const std::string& path, LineKind kind, int32_t& categoryLoadStart,
                           const FilterReporter& reporter);
    // The same on an open stream (binary mode; read as text). Does not close it.
    void loadCatalogueStream(std::FILE* file, LineKind kind, int32_t& categoryLoadStart,
                             const FilterReporter& reporter);
    // Places one record: under every category of slots [categoryLoadStart, categoryCount) whose
    // id equals one of its references, or at the top level when none matches.
    void placeRecord(const FilterEntry& record, LineKind kind, int32_t categoryLoadStart);
    // Moves each category of slots [categoryLoadStart, categoryCount) under its parent
    // category; at most kMaxPasses passes, "Overflow" at pass kOverflowPass. Returns the passes.
    int reparentCategories(int32_t categoryLoadStart, const FilterReporter& reporter);
    // Moves `node` with its subtree to the end of `newParent`'s children. Returns the new node,
    // the node itself when nothing needs to move, or kNoNode when either is none or when
    // `newParent` lies inside `node`'s subtree (refused; nothing moves).
    NodeId moveSubtree(NodeId node, NodeId newParent);
    // Deletes the nodes of category slots that have no children; such slots are forgotten.
    // True if a node was deleted. Callers repeat it until false.
    bool pruneEmptyCategories();

    // The first used item slot whose node is `node` (nullptr / -1 when none); the first used
    // category slot likewise. kNoNode is no slot's node.
    const FilterSlot* findEntryByNode(NodeId node) const;
    int32_t entryIndexByNode(NodeId node) const;
    int32_t findCategoryByNode(NodeId node) const;

    int32_t entryCount() const;
    int32_t categoryCount() const;
    // Copies of the used slots (for views and tests).
    std::vector<FilterSlot> entries() const;
    std::vector<FilterSlot> categories() const;
    // True when an item slot has this id (and, in a message table, this level).
    bool listsItem(int32_t id, int32_t sub) const;
    // Records (or placements of a record under one more category) dropped for lack of slots.
    uint32_t droppedCount() const;

    // ---- check states ----------------------------------------------------------------------

    CheckState stateOf(NodeId node) const;
    // Sets every item node whose slot has this id (and, in a message table, this level).
    void setStateById(int32_t id, CheckState state, int32_t sub);
    // Pushes `state` to the node's descendants; a leaf item gives it to every node of the
    // same item (setStateById). The node's own state is the caller's.
    void propagateState(NodeId node, CheckState state);
    // Recomputes each category from its children, bottom-up (kNoNode: the whole tree).
    void recomputeStates(NodeId node);
    // Every node unchecked.
    void resetTree();
    // A click: with `hitOnStateImage` the node's mark toggles (checked -> unchecked, anything
    // else -> checked) and propagates; in every case the whole tree is recomputed.
    void click(NodeId node, bool hitOnStateImage);
    // The checked items in tree order (pre-order), one copy per checked item node.
    std::vector<FilterEntry> collectChecked() const;
    // Writes one line per checked item node, in tree order, in the table kind's format.
    // False when a write failed.
    bool exportTree(std::FILE* file) const;
    // One export line (newline included) for an entry of this table; empty for other kinds.
    std::string exportLine(const FilterEntry& entry) const;

    // For viewers reading the tree directly.
    std::unique_lock<std::recursive_mutex> lock() const {
        return std::unique_lock<std::recursive_mutex>(mutex_);
    }

  private:
    void setEntryNode(int32_t slot, NodeId node);
    void setCategoryNode(int32_t slot, NodeId node);
    NodeId moveSubtreeImpl(NodeId node, NodeId newParent);
    void propagateImpl(NodeId node, CheckState state, std::unordered_set<int64_t>& done);
    int recomputeImpl(NodeId node);
    template <class F>
    void walkPreOrder(F&& visit) const;

    mutable std::recursive_mutex mutex_;
    TreeModel* tree_ = nullptr;
    FilterKind kind_ = FilterKind::Unbound;
    std::vector<FilterSlot> entries_;     // at most kMaxEntries
    std::vector<FilterSlot> categories_;  // at most kMaxCategories
    std::vector<bool> pruned_;            // per category slot: forgotten by pruning
    uint32_t dropped_ = 0;
    // Indexes: id -> slots ascending; node handle -> slot (-1 none).
    std::unordered_map<int32_t, std::vector<int32_t>> entryById_;
    std::unordered_map<int32_t, std::vector<int32_t>> categoryById_;
    std::vector<int32_t> nodeEntry_;
    std::vector<int32_t> nodeCategory_;
};

}  // namespace kvx::filters
