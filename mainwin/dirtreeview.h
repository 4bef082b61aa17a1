#pragma once
// The directory tree's view: the keyboard moves through it without losing the current row's
// name off the side. Deep rows are indented far, and the one column is as wide as the widest
// row, so the view can scroll sideways; it does so only as far as the current row needs.
#include <QTreeView>

namespace kvor {

class DirTreeView final : public QTreeView {
 public:
  using QTreeView::QTreeView;

  // Vertically as asked; sideways to the least offset that shows the row from its picture to
  // its end, or from its picture on where the row is wider than the view.
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

 protected:
  // Left and Right step sideways where there is nothing to close, open or move to: only a row
  // wider than the view needs that.
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

 private:
  // Where a row starts (after its indentation) and ends, in the view's content.
  struct Extent {
    int left, right;
  };
  Extent RowExtent(const QModelIndex& index) const;
  int OffsetShowing(const Extent& row) const;
};

}  // namespace kvor
