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
    // The state image lies left of the item's text: the middle of the points the tree's own
    // hit test places on it.
    const int y = (text.top + text.bottom) / 2;
    int first = -1, last = -1;
    for (int x = text.left - 1; x >= 0; --x) {
        TVHITTESTINFO hit{};
        hit.pt = {x, y};
        TreeView_HitTest(tree_, &hit);
        const bool on = hit.hItem == item && (hit.flags & TVHT_ONITEMSTATEICON) != 0;
        if (on) {
            if (last < 0) last = x;
            first = x;
        } else if (last >= 0) {
            break;
        }
    }
    if (last < 0) return false;
    centre = {(first + last) / 2, y};
    return true;
}

void FilterTreeWin::click(NodeId node, bool onStateImage) {
    table_.click(node, onStateImage);
    refresh();
}

void FilterTreeWin::refresh() {
    // Only the check images change. Drawn over the visible rows here, they cost a few calls per
    // row; a repaint of the control would draw every row whole (lines, buttons, text) and then
    // the images on top. A row the control paints later gets its image from onCustomDraw.
    if (!IsWindowVisible(tree_)) return;
    HDC dc = GetDC(tree_);
    if (dc == nullptr) {
        InvalidateRect(tree_, nullptr, FALSE);
        return;
    }
    RECT client{};
    GetClientRect(tree_, &client);
    auto lock = table_.lock();
    for (HTREEITEM item = TreeView_GetFirstVisible(tree_); item != nullptr;
         item = TreeView_GetNextVisible(tree_, item)) {
        TVITEMW info{};
        info.mask = TVIF_PARAM | TVIF_HANDLE;
        info.hItem = item;
        RECT text{};
        if (!TreeView_GetItem(tree_, &info) || !TreeView_GetItemRect(tree_, item, &text, TRUE))
            break;
        if (text.top >= client.bottom) break;
        const auto node = static_cast<NodeId>(info.lParam);
        if (table_.tree()->valid(node)) drawStateImage(dc, node, text);
    }
    ReleaseDC(tree_, dc);
}

LRESULT FilterTreeWin::onCustomDraw(NMTVCUSTOMDRAW& draw) {
    switch (draw.nmcd.dwDrawStage) {
        case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT: return CDRF_NOTIFYPOSTPAINT;
        case CDDS_ITEMPOSTPAINT: break;
        default: return CDRF_DODEFAULT;
    }
    const auto node = static_cast<NodeId>(draw.nmcd.lItemlParam);
    auto item = reinterpret_cast<HTREEITEM>(draw.nmcd.dwItemSpec);
    RECT text{};
    auto lock = table_.lock();
    // The control drew the state it was given when the item was inserted.
    if (node >= shown_.size() || table_.tree()->stateImage(node) == shown_[node] ||
        !TreeView_GetItemRect(tree_, item, &text, TRUE))
        return CDRF_DODEFAULT;
    drawStateImage(draw.nmcd.hdc, node, text);
    return CDRF_DODEFAULT;
}

void FilterTreeWin::drawStateImage(HDC dc, NodeId node, const RECT& text) {
    HIMAGELIST images = TreeView_GetImageList(tree_, TVSIL_STATE);
    if (images == nullptr) return;
    int cx = 16, cy = 16;
    ImageList_GetIconSize(images, &cx, &cy);
    if (stateImageOffset_ < 0) {
        POINT centre{};
        if (!stateImageCentre(node, centre)) return;
        stateImageOffset_ = text.left - (centre.x - cx / 2);
    }
    RECT box{text.left - stateImageOffset_, (text.top + text.bottom - cy) / 2, 0, 0};
    box.right = box.left + cx;
    box.bottom = box.top + cy;
    const COLORREF background = TreeView_GetBkColor(tree_);
    HBRUSH brush = CreateSolidBrush(background == static_cast<COLORREF>(-1)
                                        ? GetSysColor(COLOR_WINDOW)
                                        : background);
    FillRect(dc, &box, brush);
    DeleteObject(brush);
    ImageList_Draw(images, table_.tree()->stateImage(node), dc, box.left, box.top,
                   ILD_TRANSPARENT);
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
