#include "mainwin/dirtreeview.h"

#include <QAccessible>
#include <QApplication>
#include <QScrollBar>
#include <algorithm>

#include "forms/contrast.h"
#include "mainwin/treeaccess.h"

namespace kvor {

DirTreeView::DirTreeView(QWidget* parent) : QTreeView(parent) {
  InstallTreeAccess();
  connect(this, &QTreeView::expanded, this, &DirTreeView::OpenedOrClosed);
  connect(this, &QTreeView::collapsed, this, &DirTreeView::OpenedOrClosed);
  ReadableSelection();
}

void DirTreeView::changeEvent(QEvent* event) {
  QTreeView::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && !adjusting_) ReadableSelection();
}

void DirTreeView::ReadableSelection() {
  // From the palette the view would have of itself, so the theme's later changes are followed.
  const QPalette theme = QApplication::palette(this);
  QPalette mine = palette();
  for (const auto group : {QPalette::Active, QPalette::Inactive}) {
    const QColor text = theme.color(group, QPalette::HighlightedText);
    const QColor away = forms::ContrastRatio(text, Qt::black) > forms::ContrastRatio(text, Qt::white) ? Qt::black : Qt::white;
    mine.setColor(group, QPalette::Highlight, forms::Readable(theme.color(group, QPalette::Highlight), away, text));
  }
  if (mine == palette()) return;
  adjusting_ = true;
  setPalette(mine);
  adjusting_ = false;
}

void DirTreeView::setModel(QAbstractItemModel* model) {
  QTreeView::setModel(model);
  const auto forget = [this] { shownValid_ = false; };
  connect(model, &QAbstractItemModel::modelReset, this, forget);
  connect(model, &QAbstractItemModel::layoutChanged, this, forget);
  connect(model, &QAbstractItemModel::rowsInserted, this, forget);
  connect(model, &QAbstractItemModel::rowsRemoved, this, forget);
  shownValid_ = false;
}

void DirTreeView::OpenedOrClosed(const QModelIndex& index) {
  shownValid_ = false;
  // A screen reader hears the row's own state change.
  const int at = QAccessible::isActive() ? ShownRowOf(index) : -1;
  if (at < 0) return;
  QAccessible::State changed;
  changed.expanded = changed.collapsed = true;
  QAccessibleStateChangeEvent event(this, changed);
  event.setChild(at + 1);
  QAccessible::updateAccessibility(&event);
}

const std::vector<QModelIndex>& DirTreeView::Shown() const {
  if (shownValid_) return shown_;
  shown_.clear();
  shownAt_.clear();
  for (QModelIndex at = model() ? model()->index(0, 0, rootIndex()) : QModelIndex(); at.isValid(); at = indexBelow(at)) {
    shownAt_.insert(at.internalId(), int(shown_.size()));
    shown_.push_back(at);
  }
  shownValid_ = true;
  return shown_;
}

int DirTreeView::ShownRows() const { return int(Shown().size()); }

QModelIndex DirTreeView::ShownRow(int n) const {
  const auto& shown = Shown();
  return n >= 0 && n < int(shown.size()) ? shown[std::size_t(n)] : QModelIndex();
}

int DirTreeView::ShownRowOf(const QModelIndex& index) const {
  if (!index.isValid()) return -1;
  Shown();
  const int at = shownAt_.value(index.internalId(), -1);
  return at >= 0 && shown_[std::size_t(at)] == index ? at : -1;
}

DirTreeView::Extent DirTreeView::RowExtent(const QModelIndex& index) const {
  // In the view's content: the row starts after its indentation and ends with its text.
  const int left = visualRect(index).left() + horizontalScrollBar()->value();
  return {left, left + sizeHintForIndex(index).width()};
}

int DirTreeView::OffsetShowing(const Extent& row) const {
  return std::max(0, std::min(row.left, row.right - viewport()->width()));
}

void DirTreeView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  QTreeView::scrollTo(index, hint);
  if (index.isValid()) horizontalScrollBar()->setValue(OffsetShowing(RowExtent(index)));
}

QModelIndex DirTreeView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
  const QModelIndex current = currentIndex();
  // The base view closes a row only while scrolled fully left, which the scroll that keeps a
  // wide row's name in view need not be.
  if (action == MoveLeft && current.isValid() && isExpanded(current) && itemsExpandable()) {
    collapse(current);
    scrollTo(current);
    return current;
  }
  const int before = horizontalScrollBar()->value();
  bool fits = false;
  if (current.isValid()) {
    const Extent row = RowExtent(current);
    fits = row.right - row.left <= viewport()->width();
  }
  const QModelIndex next = QTreeView::moveCursor(action, modifiers);
  if (next == current && fits) horizontalScrollBar()->setValue(before);
  return next;
}

}  // namespace kvor
