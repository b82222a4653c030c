#include "filters/TreeModel.h"

namespace kvx::filters {

namespace {
const std::string kEmpty;
}

NodeId TreeModel::insert(NodeId parent, std::string text, uint32_t state, int64_t itemData,
                         int32_t image, int32_t selectedImage) {
    if (!valid(parent)) parent = kNoNode;
    const NodeId id = static_cast<NodeId>(nodes_.size());
    Node n;
    n.text = std::move(text);
    n.state = state;
    n.itemData = itemData;
    n.image = image;
    n.selectedImage = selectedImage;
    n.parent = parent;
    n.live = true;
    n.prev = parent == kNoNode ? lastTop_ : nodes_[parent].lastChild;
    nodes_.push_back(std::move(n));  // references into nodes_ are taken only after this
    NodeId& first2 = parent == kNoNode ? firstTop_ : nodes_[parent].firstChild;
    NodeId& last2 = parent == kNoNode ? lastTop_ : nodes_[parent].lastChild;
    if (last2 != kNoNode)
        nodes_[last2].next = id;
    else
        first2 = id;
    last2 = id;
    ++liveCount_;
    notify(Change::Inserted, id);
    return id;
}

void TreeModel::unlink(NodeId node) {
    Node& n = nodes_[node];
    NodeId& first = n.parent == kNoNode ? firstTop_ : nodes_[n.parent].firstChild;
    NodeId& last = n.parent == kNoNode ? lastTop_ : nodes_[n.parent].lastChild;
    if (n.prev != kNoNode)
        nodes_[n.prev].next = n.next;
    else
        first = n.next;
    if (n.next != kNoNode)
        nodes_[n.next].prev = n.prev;
    else
        last = n.prev;
    n.prev = n.next = n.parent = kNoNode;
}

bool TreeModel::remove(NodeId node) {
    if (!valid(node)) return false;
    unlink(node);
    // Iterative post-order over the detached subtree: children before their parent.
    std::vector<NodeId> stack{node};
    std::vector<NodeId> order;
    while (!stack.empty()) {
        NodeId cur = stack.back();
        stack.pop_back();
        order.push_back(cur);
        for (NodeId c = nodes_[cur].firstChild; c != kNoNode; c = nodes_[c].next)
            stack.push_back(c);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Node& n = nodes_[*it];
        n.live = false;
        n.text.clear();
        n.text.shrink_to_fit();
        n.firstChild = n.lastChild = n.next = n.prev = n.parent = kNoNode;
        --liveCount_;
        notify(Change::Removed, *it);
    }
    return true;
}

void TreeModel::clear() {
    while (firstTop_ != kNoNode) remove(firstTop_);
}

const std::string& TreeModel::text(NodeId node) const {
    return valid(node) ? nodes_[node].text : kEmpty;
}

void TreeModel::setState(NodeId node, uint32_t state) {
    if (!valid(node) || nodes_[node].state == state) return;
    nodes_[node].state = state;
    notify(Change::State, node);
}

}  // namespace kvx::filters
