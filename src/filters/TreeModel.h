// A small tree of text nodes with per-node state bits, the stand-in for the platform's tree
// control behind each filter table; the desktop window later displays it as it is.
//
// Nodes are named by NodeId handles. kNoNode (0) is "none"; as a parent it also stands for the
// invisible root, so children of kNoNode are the top-level nodes. Handles are never reused
// within one tree, so a handle kept after its node was deleted never names another node.
// Bits 12..15 of a node's state hold its state image index (the filter check state).
//
// Threads: not thread-safe on its own; the owning FilterTable serialises access (see its lock).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvx::filters {

using NodeId = uint32_t;
inline constexpr NodeId kNoNode = 0;

// State bits the tree keeps when a node is moved (selection, highlight, expansion and bit 7
// are dropped).
inline constexpr uint32_t kMoveStateMask = 0xFFFFFF15u;
inline constexpr uint32_t kStateImageMask = 0xF000u;

class TreeModel {
  public:
    enum class Change { Inserted, Removed, State };
    // Told of every insertion, removal (once per removed node, children first) and state change.
    using Listener = std::function<void(Change, NodeId)>;

    // Inserts a node as the last child of `parent` (kNoNode: the last top-level node).
    // A parent handle that names no live node also inserts at the top level.
    NodeId insert(NodeId parent, std::string text, uint32_t state = 0, int64_t itemData = 0,
                  int32_t image = 0, int32_t selectedImage = 0);
    // Deletes the node and its whole subtree. False when the handle names no live node.
    bool remove(NodeId node);
    // Removes every node.
    void clear();

    bool valid(NodeId node) const {
        return node != kNoNode && node < nodes_.size() && nodes_[node].live;
    }

    // Navigation; kNoNode when there is none. parent() of a top-level node is kNoNode.
    NodeId parent(NodeId node) const { return valid(node) ? nodes_[node].parent : kNoNode; }
    NodeId firstChild(NodeId node) const {
        return node == kNoNode ? firstTop_ : (valid(node) ? nodes_[node].firstChild : kNoNode);
    }
    NodeId nextSibling(NodeId node) const { return valid(node) ? nodes_[node].next : kNoNode; }
    NodeId previousSibling(NodeId node) const { return valid(node) ? nodes_[node].prev : kNoNode; }
    bool hasChildren(NodeId node) const { return firstChild(node) != kNoNode; }

    // Node fields; a dead handle reads as empty/0 and writes are ignored.
    const std::string& text(NodeId node) const;
    uint32_t state(NodeId node) const { return valid(node) ? nodes_[node].state : 0; }
    void setState(NodeId node, uint32_t state);
    int64_t itemData(NodeId node) const { return valid(node) ? nodes_[node].itemData : 0; }
    void setItemData(NodeId node, int64_t data) {
        if (valid(node)) nodes_[node].itemData = data;
    }
    int32_t image(NodeId node) const { return valid(node) ? nodes_[node].image : 0; }
    int32_t selectedImage(NodeId node) const {
        return valid(node) ? nodes_[node].selectedImage : 0;
    }

    // The state image index, bits 12..15 of the state.
    int stateImage(NodeId node) const {
        return static_cast<int>((state(node) & kStateImageMask) >> 12);
    }
    void setStateImage(NodeId node, int index) {
        setState(node,
                 (state(node) & ~kStateImageMask) | ((static_cast<uint32_t>(index) & 0xF) << 12));
    }

    size_t size() const { return liveCount_; }
    // One past the largest handle handed out so far (for handle-indexed side tables).
    NodeId handleLimit() const { return static_cast<NodeId>(nodes_.size()); }

    void setListener(Listener listener) { listener_ = std::move(listener); }

  private:
    struct Node {
        std::string text;
        uint32_t state = 0;
        int64_t itemData = 0;
        int32_t image = 0;
        int32_t selectedImage = 0;
        NodeId parent = kNoNode, firstChild = kNoNode, lastChild = kNoNode, next = kNoNode,
               prev = kNoNode;
        bool live = false;
    };
    void unlink(NodeId node);
    void notify(Change change, NodeId node) {
        if (listener_) listener_(change, node);
    }

    std::vector<Node> nodes_ = std::vector<Node>(1);  // slot 0 is kNoNode
    NodeId firstTop_ = kNoNode, lastTop_ = kNoNode;
    size_t liveCount_ = 0;
    Listener listener_;
};

}  // namespace kvx::filters
