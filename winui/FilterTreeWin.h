// One filter tree on screen: a tree-view control showing a filter table's tree as it is, with
// the three check images as state images. Children are inserted when their parent is first
// expanded, so a 7000-item catalogue costs only its top level at start-up. A click or a filter
// load changes no item of the control: the tree's custom drawing paints each visible row's
// check image from the table's state, and refresh() draws the images of the visible rows
// (a root click over 7000 items costs a few calls per visible row, not 7000 item updates).
// Threads: the window's thread; the table's lock is held while its tree is read.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <vector>

#include "filters/FilterTable.h"
#include "filters/TreeModel.h"

namespace kvx::winui {

class FilterTreeWin {
  public:
    FilterTreeWin(HWND tree, filters::FilterTable& table);

    HWND handle() const { return tree_; }
    filters::FilterTable& table() { return table_; }

    // Inserts the top level (after the catalogue load and the pruning).
    void fill();
    // TVN_ITEMEXPANDING: inserts the item's children the first time.
    void onExpanding(const NMTREEVIEWW& info);
    // NM_CLICK: hit-tests the mouse position of the message; a hit on a state image toggles
    // the node through the table; the states are recomputed in every case. Returns the node
    // clicked (kNoNode for none).
    filters::NodeId onClick();
    // The same at a point of the tree's client area.
    filters::NodeId clickAt(POINT point);
    // Where the state image of a shown item is drawn (its centre, client coordinates); false
    // when the item is not inserted or not visible.
    bool stateImageCentre(filters::NodeId node, POINT& centre) const;
    // The click of one node, as onClick does it once the hit test is done.
    void click(filters::NodeId node, bool onStateImage);
    // Draws the check images of the visible rows from the table's states.
    void refresh();
    // NM_CUSTOMDRAW: draws each row's check image as the table has it; the result to return.
    LRESULT onCustomDraw(NMTVCUSTOMDRAW& draw);

    // The tree item of a node, null when it is not inserted (yet).
    HTREEITEM itemOf(filters::NodeId node) const;
    // Inserts the path down to `node` and returns its item.
    HTREEITEM reveal(filters::NodeId node);
    size_t insertedCount() const { return inserted_; }

  private:
    void insertChildren(filters::NodeId parent, HTREEITEM parentItem);
    // Paints the node's check image as the table has it, left of the row's text rectangle.
    // Called with the table's lock held.
    void drawStateImage(HDC dc, filters::NodeId node, const RECT& text);

    HWND tree_;
    filters::FilterTable& table_;
    std::vector<HTREEITEM> items_;    // by node handle
    std::vector<uint8_t> shown_;      // state image shown, by node handle
    std::vector<uint8_t> expanded_;   // children inserted, by node handle
    size_t inserted_ = 0;
    int stateImageOffset_ = -1;  // from a row's text to its state image's left edge; -1 unknown
};

}  // namespace kvx::winui
