#pragma once
// The directory tree as Qt sees it: an item model straight over the node store, and the
// walk's TreeView that keeps that model and its view in step with the store.
#include <QAbstractItemModel>
#include <QIcon>
#include <array>

#include "engine/interfaces.h"
#include "platform/nodestore.h"

class QTreeView;

namespace kvor {

// One column; a node's row is its place among its siblings and its internal id is its index
// in the store, so index() and parent() cost O(1) whatever the tree's size. Never sorts.
class TreeModel final : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit TreeModel(const platform::NodeStore& store, QObject* parent = nullptr);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  // The one column's name, which a screen reader reads though the header is hidden.
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  QModelIndex IndexOf(platform::NodeStore::Index node) const;
  platform::NodeStore::Index NodeOf(const QModelIndex& index) const;

  // The store changes under the model only between these two calls (or through the
  // notifications below). In between the model shows nothing: views may still ask (a
  // pending layout does), and the store may be written by another thread then.
  void BeginReset() {
    beginResetModel();
    resetting_ = true;
  }
  void EndReset() {
    resetting_ = false;
    endResetModel();
  }
  void BeginInsert(platform::NodeStore::Index parent, int row);
  void EndInsert() { endInsertRows(); }
  void TextChanged(platform::NodeStore::Index node);

 private:
  const QIcon& Icon(platform::Picture image, platform::Picture selectedImage) const;
  std::string ProblemText(platform::NodeStore::Index node) const;

  const platform::NodeStore& store_;
  bool resetting_ = false;
  // One icon per picture pair; only a handful are ever used.
  mutable std::array<std::array<QIcon, 6>, 6> icons_;
  mutable std::array<std::array<bool, 6>, 6> made_{};
};

// The walk's tree over the store. Attached, every change is announced to the model and the
// view follows at once (user-interface thread only). Detached, while a scan runs on a worker
// thread, changes go to the store alone and the model sits in a reset; attaching ends the
// reset and expands the nodes the walk marked expanded.
class ModelTree final : public TreeView {
 public:
  ModelTree(platform::NodeStore& store, TreeModel& model, QTreeView& view);

  void Clear() override;
  Node Add(std::string_view relative, int relationship, std::string_view key,
           std::string_view text, std::string_view image,
           std::string_view selectedImage) override;
  Node Find(std::string_view key) const override { return store_.Find(key); }
  void SetText(Node node, std::string_view text) override;
  void SetExpanded(Node node, bool expanded) override;
  Node AddChild(Node parent, const ChildKey& key, std::string_view text, std::string_view image,
                std::string_view selectedImage) override;
  void SetProblem(Node node, uint8_t problems, int error) override;

  void Detach();
  void Attach();
  // Takes the nodes of `other` (a finished scan's store) in place of its own, which go there.
  void Adopt(platform::NodeStore& other);
  bool Detached() const { return detached_; }

 private:
  platform::NodeStore& store_;
  TreeModel& model_;
  QTreeView& view_;
  bool detached_ = false;
};

}  // namespace kvor
