#include "filters/FilterTable.h"

#include <algorithm>
#include <unordered_set>

namespace kvx::filters {

namespace {

constexpr uint32_t stateBits(CheckState s) {
    return static_cast<uint32_t>(s) << 12;
}

using Lock = std::lock_guard<std::recursive_mutex>;

}  // namespace

void FilterTable::bind(TreeModel& tree, FilterKind kind) {
    Lock lk(mutex_);
    tree_ = &tree;
    kind_ = kind;
}

// ---- index upkeep ------------------------------------------------------------------------------

void FilterTable::setEntryNode(int32_t slot, NodeId node) {
    const NodeId old = entries_[static_cast<size_t>(slot)].node;
    if (old != kNoNode && old < nodeEntry_.size() && nodeEntry_[old] == slot) nodeEntry_[old] = -1;
    entries_[static_cast<size_t>(slot)].node = node;
    if (node == kNoNode) return;
    if (node >= nodeEntry_.size()) nodeEntry_.resize(node + 1, -1);
    // The first slot in slot order wins, as a scan would find it.
    if (nodeEntry_[node] < 0 || nodeEntry_[node] > slot) nodeEntry_[node] = slot;
}

void FilterTable::setCategoryNode(int32_t slot, NodeId node) {
    // Every node is fresh from the tree when it is stored, so no two slots share a live node
    // and the map entry of the old node can simply be dropped.
    const NodeId old = categories_[static_cast<size_t>(slot)].node;
    if (old != kNoNode && old < nodeCategory_.size() && nodeCategory_[old] == slot) {
        nodeCategory_[old] = -1;
    }
    categories_[static_cast<size_t>(slot)].node = node;
    if (node == kNoNode) return;
    if (node >= nodeCategory_.size()) nodeCategory_.resize(node + 1, -1);
    if (nodeCategory_[node] < 0 || nodeCategory_[node] > slot) nodeCategory_[node] = slot;
}

const FilterSlot* FilterTable::findEntryByNode(NodeId node) const {
    Lock lk(mutex_);
    const int32_t i = entryIndexByNode(node);
    return i < 0 ? nullptr : &entries_[static_cast<size_t>(i)];
}

int32_t FilterTable::entryIndexByNode(NodeId node) const {
    Lock lk(mutex_);
    if (node == kNoNode || node >= nodeEntry_.size()) return -1;
    return nodeEntry_[node];
}

int32_t FilterTable::findCategoryByNode(NodeId node) const {
    Lock lk(mutex_);
    if (node == kNoNode || node >= nodeCategory_.size()) return -1;
    return nodeCategory_[node];
}

int32_t FilterTable::entryCount() const {
    Lock lk(mutex_);
    return static_cast<int32_t>(entries_.size());
}
int32_t FilterTable::categoryCount() const {
    Lock lk(mutex_);
    return static_cast<int32_t>(categories_.size());
}
std::vector<FilterSlot> FilterTable::entries() const {
    Lock lk(mutex_);
    return entries_;
}
std::vector<FilterSlot> FilterTable::categories() const {
    Lock lk(mutex_);
    return categories_;
}
bool FilterTable::listsItem(int32_t id, int32_t sub) const {
    Lock lk(mutex_);
    auto it = entryById_.find(id);
    if (it == entryById_.end()) return false;
    if (kind_ != FilterKind::Message) return true;
    for (int32_t slot : it->second)
        if (entries_[static_cast<size_t>(slot)].entry.sub == sub) return true;
    return false;
}

uint32_t FilterTable::droppedCount() const {
    Lock lk(mutex_);
    return dropped_;
}

// ---- catalogue ---------------------------------------------------------------------------------

void FilterTable::loadCatalogueFile(const std::string& path, LineKind kind,
                                    int32_t& categoryLoadStart, const FilterReporter& reporter) {
    Lock lk(mutex_);
    if (kind == LineKind::Category) categoryLoadStart = categoryCount();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    loadCatalogueStream(f, kind, categoryLoadStart, reporter);
    std::fclose(f);
}

void FilterTable::loadCatalogueStream(std::FILE* file, LineKind kind, int32_t& categoryLoadStart,
                                      const FilterReporter& reporter) {
    Lock lk(mutex_);
    if (kind == LineKind::Category) categoryLoadStart = categoryCount();
    if (!tree_) return;
    bool last = false;
    while (!last) {
        const std::string line = readCatalogueLine(file, last);
        if (line.size() < kMinCatalogueLine) continue;
        placeRecord(parseCatalogueLine(kind, line), kind, categoryLoadStart);
    }
    if (kind == LineKind::Category) reparentCategories(categoryLoadStart, reporter);
}

void FilterTable::placeRecord(const FilterEntry& record, LineKind kind, int32_t categoryLoadStart) {
    Lock lk(mutex_);
    if (!tree_) return;
    const bool isCategory = kind == LineKind::Category;
    const int32_t end = categoryCount();
    const int32_t start = std::max(categoryLoadStart, 0);

    // Category slots of the current load whose id is one of the references, in slot order,
    // each once.
    std::vector<int32_t> matches;
    const int32_t refCount = std::clamp(record.categoryRefCount, 0, 5);
    for (int32_t k = 0; k < refCount; ++k) {
        auto it = categoryById_.find(record.categoryRefs[static_cast<size_t>(k)]);
        if (it == categoryById_.end()) continue;
        auto lo = std::lower_bound(it->second.begin(), it->second.end(), start);
        for (; lo != it->second.end() && *lo < end; ++lo) matches.push_back(*lo);
    }
    std::sort(matches.begin(), matches.end());
    matches.erase(std::unique(matches.begin(), matches.end()), matches.end());

    auto store = [&](NodeId parent, bool underCategory) {
        auto& slots = isCategory ? categories_ : entries_;
        const size_t cap = isCategory ? kMaxCategories : kMaxEntries;
        if (slots.size() >= cap) {
            ++dropped_;
            return;
        }
        const NodeId node = tree_->insert(parent, nodeText(record, kind, underCategory),
                                          stateBits(CheckState::Unchecked));
        const auto slot = static_cast<int32_t>(slots.size());
        slots.push_back(FilterSlot{record, kNoNode});
        if (isCategory) {
            pruned_.push_back(false);
            categoryById_[record.id].push_back(slot);
            setCategoryNode(slot, node);
        } else {
            entryById_[record.id].push_back(slot);
            setEntryNode(slot, node);
        }
    };

    if (matches.empty()) {
        store(kNoNode, false);
        return;
    }
    // Read the parents first: storing may not move them, but keep the loop independent of it.
    std::vector<NodeId> parents;
    parents.reserve(matches.size());
    for (int32_t m : matches) parents.push_back(categories_[static_cast<size_t>(m)].node);
    for (NodeId parent : parents) store(parent, true);
}

int FilterTable::reparentCategories(int32_t categoryLoadStart, const FilterReporter& reporter) {
    Lock lk(mutex_);
    if (!tree_) return 0;
    const int32_t start = std::max(categoryLoadStart, 0);
    const int32_t end = categoryCount();
    int passes = 0;
    bool changed = true;
    while (changed && passes < kMaxPasses) {
        ++passes;
        if (passes == kOverflowPass) reporter.message("Overflow");
        changed = false;
        for (int32_t i = start; i < end; ++i) {
            const FilterEntry& e = categories_[static_cast<size_t>(i)].entry;
            const int32_t refCount = std::clamp(e.categoryRefCount, 0, 5);
            for (int32_t k = 0; k < refCount; ++k) {
                const int32_t r = e.categoryRefs[static_cast<size_t>(k)];
                if (r == -1) continue;
                auto it = categoryById_.find(r);
                if (it == categoryById_.end()) continue;
                const std::vector<int32_t>& same = it->second;
                for (auto p = std::lower_bound(same.begin(), same.end(), start);
                     p != same.end() && *p < end; ++p) {
                    if (*p == i) continue;
                    const NodeId pNode = categories_[static_cast<size_t>(*p)].node;
                    const NodeId iNode = categories_[static_cast<size_t>(i)].node;
                    if (tree_->parent(iNode) != pNode) {
                        setCategoryNode(i, moveSubtreeImpl(iNode, pNode));
                        changed = true;
                    }
                }
            }
        }
    }
    return passes;
}

NodeId FilterTable::moveSubtree(NodeId node, NodeId newParent) {
    Lock lk(mutex_);
    if (!tree_) return kNoNode;
    return moveSubtreeImpl(node, newParent);
}

NodeId FilterTable::moveSubtreeImpl(NodeId node, NodeId newParent) {
    if (node == kNoNode || newParent == kNoNode) return kNoNode;
    if (node == newParent || tree_->parent(node) == newParent) return node;
    for (NodeId a = newParent; a != kNoNode; a = tree_->parent(a)) {
        if (a == node) return kNoNode;
    }
    const NodeId moved =
        tree_->insert(newParent, tree_->text(node), tree_->state(node) & kMoveStateMask,
                      tree_->itemData(node), tree_->image(node), tree_->selectedImage(node));
    for (NodeId child = tree_->firstChild(node); child != kNoNode;) {
        const NodeId next = tree_->nextSibling(child);
        const NodeId newChild = moveSubtreeImpl(child, moved);
        const int32_t cat = findCategoryByNode(child);
        if (cat >= 0) setCategoryNode(cat, newChild);
        // Item slots follow their node too, so no slot keeps a deleted node.
        const int32_t item = entryIndexByNode(child);
        if (item >= 0) setEntryNode(item, newChild);
        child = next;
    }
    tree_->setItemData(node, 0);
    tree_->remove(node);
    return moved;
}

bool FilterTable::pruneEmptyCategories() {
    Lock lk(mutex_);
    if (!tree_) return false;
    bool deleted = false;
    for (size_t i = 0; i < categories_.size(); ++i) {
        if (pruned_[i]) continue;
        const NodeId node = categories_[i].node;
        // A slot whose move was refused holds no node; there is nothing of it to delete.
        if (node == kNoNode) continue;
        if (tree_->hasChildren(node)) continue;
        if (tree_->remove(node)) deleted = true;
        pruned_[i] = true;
    }
    return deleted;
}

// ---- check states ------------------------------------------------------------------------------

CheckState FilterTable::stateOf(NodeId node) const {
    Lock lk(mutex_);
    if (!tree_) return CheckState::Unchecked;
    return static_cast<CheckState>(tree_->stateImage(node));
}

void FilterTable::setStateById(int32_t id, CheckState state, int32_t sub) {
    Lock lk(mutex_);
    if (!tree_) return;
    auto it = entryById_.find(id);
    if (it == entryById_.end()) return;
    for (int32_t slot : it->second) {
        const FilterSlot& s = entries_[static_cast<size_t>(slot)];
        if (kind_ == FilterKind::Message && s.entry.sub != sub) continue;
        tree_->setStateImage(s.node, static_cast<int>(state));
    }
}

void FilterTable::propagateState(NodeId node, CheckState state) {
    Lock lk(mutex_);
    if (!tree_) return;
    std::unordered_set<int64_t> done;
    propagateImpl(node, state, done);
}

void FilterTable::propagateImpl(NodeId node, CheckState state, std::unordered_set<int64_t>& done) {
    if (tree_->hasChildren(node)) {
        for (NodeId c = tree_->firstChild(node); c != kNoNode; c = tree_->nextSibling(c)) {
            tree_->setStateImage(c, static_cast<int>(state));
            propagateImpl(c, state, done);
        }
        return;
    }
    const int32_t slot = entryIndexByNode(node);
    if (slot < 0) return;
    const FilterEntry& e = entries_[static_cast<size_t>(slot)].entry;
    // Within one propagation every call sets the same state, so an identifier already set
    // needs no second pass over its slots.
    const int32_t sub = kind_ == FilterKind::Message ? e.sub : 0;
    const int64_t key = (int64_t{e.id} << 32) | static_cast<uint32_t>(sub);
    if (!done.insert(key).second) return;
    setStateById(e.id, state, e.sub);
}

void FilterTable::recomputeStates(NodeId node) {
    Lock lk(mutex_);
    if (!tree_) return;
    recomputeImpl(node);
}

int FilterTable::recomputeImpl(NodeId node) {
    for (NodeId c = tree_->firstChild(node); c != kNoNode; c = tree_->nextSibling(c)) {
        if (tree_->hasChildren(c)) recomputeImpl(c);
    }
    int checked = 0, decided = 0;
    int result = 0;
    for (NodeId c = tree_->firstChild(node); c != kNoNode; c = tree_->nextSibling(c)) {
        const int s = tree_->stateImage(c);
        if (s == 2) {
            result = 2;
            break;
        }
        if (s == 1) ++checked;
        if (s == 1 || s == 3) ++decided;
    }
    if (result == 0) result = checked == 0 ? 3 : (checked == decided ? 1 : 2);
    if (node != kNoNode) tree_->setStateImage(node, result);
    return result;
}

void FilterTable::resetTree() {
    Lock lk(mutex_);
    if (!tree_) return;
    for (NodeId n = tree_->firstChild(kNoNode); n != kNoNode; n = tree_->nextSibling(n)) {
        tree_->setStateImage(n, static_cast<int>(CheckState::Unchecked));
        propagateState(n, CheckState::Unchecked);
    }
}

void FilterTable::click(NodeId node, bool hitOnStateImage) {
    Lock lk(mutex_);
    if (!tree_) return;
    if (hitOnStateImage && tree_->valid(node)) {
        const CheckState next =
            tree_->stateImage(node) == 1 ? CheckState::Unchecked : CheckState::Checked;
        tree_->setStateImage(node, static_cast<int>(next));
        propagateState(node, next);
    }
    recomputeImpl(kNoNode);
}

template <class F>
void FilterTable::walkPreOrder(F&& visit) const {
    if (!tree_) return;
    // Pre-order: a node, its children, then its following siblings.
    std::vector<NodeId> stack;
    if (NodeId first = tree_->firstChild(kNoNode)) stack.push_back(first);
    while (!stack.empty()) {
        const NodeId n = stack.back();
        stack.pop_back();
        visit(n);
        if (NodeId next = tree_->nextSibling(n)) stack.push_back(next);
        if (NodeId child = tree_->firstChild(n)) stack.push_back(child);
    }
}

std::vector<FilterEntry> FilterTable::collectChecked() const {
    Lock lk(mutex_);
    std::vector<FilterEntry> out;
    walkPreOrder([&](NodeId n) {
        if (out.size() >= static_cast<size_t>(kMaxEntries)) return;
        if (tree_->stateImage(n) != 1) return;
        const int32_t slot = entryIndexByNode(n);
        if (slot >= 0) out.push_back(entries_[static_cast<size_t>(slot)].entry);
    });
    return out;
}

std::string FilterTable::exportLine(const FilterEntry& e) const {
    char buf[64] = "";
    // Kind 2 is never assigned; were it, it would export as log codes.
    const FilterKind kind = static_cast<int>(kind_) == 2 ? FilterKind::Log : kind_;
    switch (kind) {
        case FilterKind::Log:
            std::snprintf(buf, sizeof buf, "[0x%4X] ", static_cast<unsigned>(e.id));
            break;
        case FilterKind::Event:
            std::snprintf(buf, sizeof buf, "[%05d] ", e.id);
            break;
        case FilterKind::Message:
            std::snprintf(buf, sizeof buf, "[%05d/%02d] ", e.id, e.sub);
            break;
        case FilterKind::Nv:
            std::snprintf(buf, sizeof buf, "NV %05d ", e.id);
            break;
        default:
            return {};
    }
    return buf + e.name + "\n";
}

bool FilterTable::exportTree(std::FILE* file) const {
    Lock lk(mutex_);
    bool ok = true;
    walkPreOrder([&](NodeId n) {
        if (tree_->stateImage(n) != 1) return;
        const int32_t slot = entryIndexByNode(n);
        if (slot < 0) return;
        const std::string line = exportLine(entries_[static_cast<size_t>(slot)].entry);
        if (!line.empty() && std::fwrite(line.data(), 1, line.size(), file) != line.size())
            ok = false;
    });
    return ok;
}

}  // namespace kvx::filters
