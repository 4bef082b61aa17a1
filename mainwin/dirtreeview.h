#pragma once
// The directory tree's view: the keyboard moves through it without losing the current row's
// name off the side. Deep rows are indented far, and the one column is as wide as the widest
// row, so the view can scroll sideways; it does so only as far as the current row needs.
#include <QHash>
#include <QTreeView>
#include <vector>

namespace kvor {

class DirTreeView final : public QTreeView {
  Q_OBJECT
 public:
  explicit DirTreeView(QWidget* parent = nullptr);

  // Vertically as asked; sideways to the least offset that shows the row from its picture to
  // its end, or from its picture on where the row is wider than the view.
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
  void setModel(QAbstractItemModel* model) override;

  // The rows shown (those whose parents are all open), top to bottom, as a screen reader
  // counts them: the header first, then each row.
  int ShownRows() const;
  QModelIndex ShownRow(int n) const;
  int ShownRowOf(const QModelIndex& index) const;  // -1 for a row not shown

 protected:
  void changeEvent(QEvent* event) override;
  // Left closes an open row wherever the view is scrolled. Left and Right step sideways where
  // there is nothing to close, open or move to: only a row wider than the view needs that.
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

 private:
  // Where a row starts (after its indentation) and ends, in the view's content.
  struct Extent {
    int left, right;
  };
  Extent RowExtent(const QModelIndex& index) const;
  int OffsetShowing(const Extent& row) const;
  void OpenedOrClosed(const QModelIndex& index);
  // The theme's selection, darkened or lightened where its own text on it is hard to read.
  void ReadableSelection();
  bool adjusting_ = false;
  const std::vector<QModelIndex>& Shown() const;

  // Made again when a row opens or closes or the model changes.
  mutable std::vector<QModelIndex> shown_;
  mutable QHash<quintptr, int> shownAt_;
  mutable bool shownValid_ = false;
};

}  // namespace kvor
