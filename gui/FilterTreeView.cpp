#include "FilterTreeView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>

namespace kvx::gui {

using filters::kNoNode;
using filters::NodeId;

namespace {

QPixmap drawImage(int kind) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0x80, 0x80, 0x80), 1.2));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    if (kind == 1) {
        QPainterPath tick;
        tick.moveTo(4.5, 8.2);
        tick.lineTo(7.0, 10.8);
        tick.lineTo(11.8, 4.8);
        p.setPen(QPen(Qt::black, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    } else if (kind == 2) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x80, 0x80, 0x80));
        p.drawEllipse(QRectF(4.5, 4.5, 7, 7));
    }
    return pixmap;
}

}  // namespace

const QPixmap& checkImage(int stateImage) {
    static const std::array<QPixmap, 4> images = {QPixmap(), drawImage(1), drawImage(2),
                                                  drawImage(3)};
    static const QPixmap none;
    if (stateImage < 1 || stateImage > 3) return none;
    return images[static_cast<size_t>(stateImage)];
}

// ---- model ---------------------------------------------------------------------------------

FilterItemModel::FilterItemModel(filters::FilterTable& table, QObject* parent)
    : QAbstractItemModel(parent), table_(table) {
    readShape();
}

void FilterItemModel::readShape() {
    children_.clear();
    row_.clear();
    filters::TreeModel* tree = table_.tree();
    if (tree == nullptr) {
        children_.resize(1);
        return;
    }
    auto lock = table_.lock();
    const NodeId limit = tree->handleLimit();
    children_.assign(limit == 0 ? 1 : limit, {});
    row_.assign(limit == 0 ? 1 : limit, 0);
    // Iterative pre-order: category nesting may be deep enough to matter for the stack.
    std::vector<NodeId> parents = {kNoNode};
    while (!parents.empty()) {
        const NodeId parent = parents.back();
        parents.pop_back();
        auto& list = children_[parent];
        for (NodeId c = tree->firstChild(parent); c != kNoNode; c = tree->nextSibling(c)) {
            row_[c] = static_cast<int>(list.size());
            list.push_back(c);
            if (tree->hasChildren(c)) parents.push_back(c);
        }
    }
}

void FilterItemModel::rebuild() {
    beginResetModel();
    readShape();
    endResetModel();
}

void FilterItemModel::refresh() {
    const int rows = rowCount();
    if (rows == 0) return;
    // One range over the top level: the view repaints its whole viewport for it, which is what
    // a state change deep in the tree needs, without a signal per node.
    emit dataChanged(index(0, 0), index(rows - 1, 0), {Qt::DecorationRole});
}

NodeId FilterItemModel::nodeOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return kNoNode;
    return static_cast<NodeId>(index.internalId());
}

QModelIndex FilterItemModel::indexOf(NodeId node) const {
    if (node == kNoNode || node >= row_.size()) return {};
    return createIndex(row_[node], 0, static_cast<quintptr>(node));
}

QModelIndex FilterItemModel::index(int row, int column, const QModelIndex& parent) const {
    const NodeId p = nodeOf(parent);
    if (column != 0 || row < 0 || p >= children_.size()) return {};
    const auto& list = children_[p];
    if (static_cast<size_t>(row) >= list.size()) return {};
    return createIndex(row, 0, static_cast<quintptr>(list[static_cast<size_t>(row)]));
}

QModelIndex FilterItemModel::parent(const QModelIndex& child) const {
    const NodeId node = nodeOf(child);
    if (node == kNoNode || table_.tree() == nullptr) return {};
    auto lock = table_.lock();
    return indexOf(table_.tree()->parent(node));
}

int FilterItemModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    const NodeId p = nodeOf(parent);
    return p < children_.size() ? static_cast<int>(children_[p].size()) : 0;
}

int FilterItemModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant FilterItemModel::data(const QModelIndex& index, int role) const {
    const NodeId node = nodeOf(index);
    filters::TreeModel* tree = table_.tree();
    if (node == kNoNode || tree == nullptr) return {};
    auto lock = table_.lock();
    if (role == Qt::DisplayRole) return QString::fromStdString(tree->text(node));
    if (role == Qt::DecorationRole) return checkImage(tree->stateImage(node));
    return {};
}

Qt::ItemFlags FilterItemModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

// ---- view ----------------------------------------------------------------------------------

FilterTreeView::FilterTreeView(QWidget* parent) : QTreeView(parent) {
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setUniformRowHeights(true);  // 7000 rows: no per-row size queries
    setIconSize(QSize(16, 16));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void FilterTreeView::setFilterModel(FilterItemModel* model) {
    model_ = model;
    setModel(model);
}

QRect FilterTreeView::checkImageRect(const QModelIndex& index) const {
    const QRect item = visualRect(index);
    if (!item.isValid()) return {};
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    opt.rect = item;
    opt.index = index;
    opt.features |= QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    opt.text = index.data(Qt::DisplayRole).toString();
    opt.icon = QIcon(index.data(Qt::DecorationRole).value<QPixmap>());
    opt.decorationSize = iconSize();
    opt.decorationPosition = QStyleOptionViewItem::Left;
    return style()->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, this);
}

void FilterTreeView::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !clickHandler_ || model_ == nullptr) return;
    const QPoint at = event->position().toPoint();
    const QModelIndex index = indexAt(at);
    const bool onImage = index.isValid() && checkImageRect(index).contains(at);
    clickHandler_(model_->nodeOf(index), onImage);
}

void FilterTreeView::keyPressEvent(QKeyEvent* event) {
    // Space ticks the current item as a click on its image does: the trees work without a mouse.
    if (event->key() == Qt::Key_Space && clickHandler_ && model_ != nullptr &&
        currentIndex().isValid()) {
        clickHandler_(model_->nodeOf(currentIndex()), true);
        return;
    }
    QTreeView::keyPressEvent(event);
}

}  // namespace kvx::gui
