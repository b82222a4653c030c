// One filter tree on screen: a Qt item model that shows a filter table's tree as it is (texts
// and the three check images), and the tree view that hit-tests a click on a check image and
// hands it to the table. The model never copies states: a repaint reads them from the tree.
//
// The tree's shape is read once, when the model is made (after the catalogue load and the
// pruning); the window changes only check states afterwards, and refresh() repaints them.
// Threads: the window's thread; the table's lock is held while the tree is read.
#pragma once

#include <QAbstractItemModel>
#include <QPixmap>
#include <QTreeView>
#include <array>
#include <functional>
#include <vector>

#include "filters/FilterTable.h"
#include "filters/TreeModel.h"

namespace kvx::gui {

// The state images: index 1 a circle with a check mark, 2 a circle with a dot, 3 an empty
// circle (0 and anything else: none). 16 x 16 pixels, transparent background.
const QPixmap& checkImage(int stateImage);

class FilterItemModel : public QAbstractItemModel {
  public:
    explicit FilterItemModel(filters::FilterTable& table, QObject* parent = nullptr);

    filters::FilterTable& table() { return table_; }
    filters::NodeId nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(filters::NodeId node) const;
    // The check states changed (a click, a filter load): repaint what is shown.
    void refresh();
    // Reads the tree's shape again (after nodes were added or removed).
    void rebuild();

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  private:
    void readShape();

    filters::FilterTable& table_;
    std::vector<std::vector<filters::NodeId>> children_;  // by node handle; [0] the top level
    std::vector<int> row_;                                // by node handle
};

class FilterTreeView : public QTreeView {
  public:
    // Told of every left click: the node under the mouse (kNoNode for none) and whether the
    // click hit its check image.
    using ClickHandler = std::function<void(filters::NodeId, bool onCheckImage)>;

    explicit FilterTreeView(QWidget* parent = nullptr);
    void setFilterModel(FilterItemModel* model);
    FilterItemModel* filterModel() const { return model_; }
    void setClickHandler(ClickHandler handler) { clickHandler_ = std::move(handler); }
    // Where the check image of a node is drawn, in viewport coordinates (empty when hidden).
    QRect checkImageRect(const QModelIndex& index) const;

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    FilterItemModel* model_ = nullptr;
    ClickHandler clickHandler_;
};

}  // namespace kvx::gui
