#include "FilterTreeWin.h"

#include <algorithm>

#include "WinText.h"

namespace kvx::winui {

using filters::NodeId;

FilterTreeWin::FilterTreeWin(HWND tree, filters::FilterTable& table) : tree_(tree), table_(table) {}

void FilterTreeWin::fill() {
    auto lock = table_.lock();
    const filters::TreeModel* model = table_.tree();
    if (model == nullptr) return;
    SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
    TreeView_DeleteAllItems(tree_);
    items_.assign(model->handleLimit(), nullptr);
    shown_.assign(model->handleLimit(), 0);
    expanded_.assign(model->handleLimit(), 0);
    inserted_ = 0;
    insertChildren(filters::kNoNode, TVI_ROOT);
    SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(tree_, nullptr, TRUE);
}

void FilterTreeWin::insertChildren(NodeId parent, HTREEITEM parentItem) {
    const filters::TreeModel& model = *table_.tree();
    if (parent != filters::kNoNode) expanded_[parent] = 1;
    for (NodeId n = model.firstChild(parent); n != filters::kNoNode; n = model.nextSibling(n)) {
        const std::wstring text = wide(model.text(n));
        const int state = model.stateImage(n);
        TVINSERTSTRUCTW ins{};
        ins.hParent = parentItem;
        ins.hInsertAfter = TVI_LAST;
        ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE | TVIF_CHILDREN;
        ins.item.pszText = const_cast<wchar_t*>(text.c_str());
        ins.item.lParam = static_cast<LPARAM>(n);
        ins.item.stateMask = TVIS_STATEIMAGEMASK;
        ins.item.state = INDEXTOSTATEIMAGEMASK(state);
        ins.item.cChildren = model.hasChildren(n) ? 1 : 0;
        HTREEITEM item = TreeView_InsertItem(tree_, &ins);
        if (item == nullptr) continue;
        items_[n] = item;
        shown_[n] = static_cast<uint8_t>(state);
        ++inserted_;
    }
}

void FilterTreeWin::onExpanding(const NMTREEVIEWW& info) {
    if (info.action != TVE_EXPAND) return;
    const auto node = static_cast<NodeId>(info.itemNew.lParam);
    auto lock = table_.lock();
    if (node >= expanded_.size() || expanded_[node] || !table_.tree()->valid(node)) return;
    insertChildren(node, info.itemNew.hItem);
}

NodeId FilterTreeWin::onClick() {
    // The mouse position of the click's message, as the tree reported it.
    const DWORD pos = GetMessagePos();
    POINT point{static_cast<short>(LOWORD(pos)), static_cast<short>(HIWORD(pos))};
    ScreenToClient(tree_, &point);
    return clickAt(point);
}

NodeId FilterTreeWin::clickAt(POINT point) {
    TVHITTESTINFO hit{};
    hit.pt = point;
    TreeView_HitTest(tree_, &hit);
    NodeId node = filters::kNoNode;
    if (hit.hItem != nullptr) {
        TVITEMW item{};
        item.mask = TVIF_PARAM | TVIF_HANDLE;
        item.hItem = hit.hItem;
        if (TreeView_GetItem(tree_, &item)) node = static_cast<NodeId>(item.lParam);
    }
    click(node, node != filters::kNoNode && (hit.flags & TVHT_ONITEMSTATEICON) != 0);
    return node;
}

bool FilterTreeWin::stateImageCentre(NodeId node, POINT& centre) const {
    HTREEITEM item = itemOf(node);
    RECT text{};
    if (item == nullptr || !TreeView_GetItemRect(tree_, item, &text, TRUE)) return false;
    // The state image sits just left of the item's text (and of its image, which these
    // trees do not have).
    int cx = 16, cy = 16;
    if (HIMAGELIST images = TreeView_GetImageList(tree_, TVSIL_STATE)) {
        ImageList_GetIconSize(images, &cx, &cy);
    }
    centre.x = text.left - cx / 2 - 1;
    centre.y = (text.top + text.bottom) / 2;
    return true;
}

void FilterTreeWin::click(NodeId node, bool onStateImage) {
    table_.click(node, onStateImage);
    refresh();
}

void FilterTreeWin::refresh() {
    auto lock = table_.lock();
    const filters::TreeModel& model = *table_.tree();
    const size_t limit = std::min<size_t>(items_.size(), model.handleLimit());
    for (size_t n = 1; n < limit; ++n) {
        if (items_[n] == nullptr) continue;
        const int state = model.stateImage(static_cast<NodeId>(n));
        if (state == shown_[n]) continue;
        TVITEMW item{};
        item.mask = TVIF_STATE | TVIF_HANDLE;
        item.hItem = items_[n];
        item.stateMask = TVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(state);
        TreeView_SetItem(tree_, &item);
        shown_[n] = static_cast<uint8_t>(state);
    }
}

HTREEITEM FilterTreeWin::itemOf(NodeId node) const {
    return node < items_.size() ? items_[node] : nullptr;
}

HTREEITEM FilterTreeWin::reveal(NodeId node) {
    auto lock = table_.lock();
    const filters::TreeModel& model = *table_.tree();
    if (!model.valid(node)) return nullptr;
    if (HTREEITEM item = itemOf(node)) return item;
    const NodeId parent = model.parent(node);
    HTREEITEM parentItem = parent == filters::kNoNode ? TVI_ROOT : reveal(parent);
    if (parentItem == nullptr) return nullptr;
    if (parent != filters::kNoNode && !expanded_[parent]) insertChildren(parent, parentItem);
    return itemOf(node);
}

}  // namespace kvx::winui
