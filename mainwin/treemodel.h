#pragma once
// The directory tree as Qt sees it: an item model over a finished scan's nodes. A row's text
// is made from the node's numbers when the view asks for it.
#include <QAbstractItemModel>
#include <QIcon>
#include <array>

#include "engine/scanresult.h"
#include "forms/pictures.h"

namespace kvor {

// One column; a node's row is its place among its siblings and its internal id is its index
// in the tree, so index() and parent() cost O(1) whatever the tree's size. Never sorts.
class TreeModel final : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit TreeModel(QObject* parent = nullptr);

  // Shows `scan`'s tree in place of what was shown.
  void Show(ScanResult scan);
  // Shows the one row a scan that did not end leaves: "User Aborted..." after a cancel, or
  // `text`.
  void ShowAborted(const QString& text = QStringLiteral("User Aborted..."));
  const ScanResult& Scan() const { return scan_; }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // The one column's name, which a screen reader reads though the header is hidden.
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  QModelIndex IndexOf(NodeStore::Index node) const;
  NodeStore::Index NodeOf(const QModelIndex& index) const;

 private:
  const QIcon& Icon(forms::Picture image, forms::Picture selectedImage) const;

  ScanResult scan_;
  bool aborted_ = false;
  QString abortedText_;
  char separator_ = '.';  // the locale's, taken when a scan is shown
  // One icon per picture pair; only a handful are ever used.
  mutable std::array<std::array<QIcon, 7>, 7> icons_;
  mutable std::array<std::array<bool, 7>, 7> made_{};
};

}  // namespace kvor
