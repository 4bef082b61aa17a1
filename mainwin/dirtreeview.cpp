#include "mainwin/dirtreeview.h"

#include <QScrollBar>
#include <algorithm>

namespace kvor {

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
