#include "mainwin/treemodel.h"

#include <QGuiApplication>
#include <QPalette>
#include <QTreeView>
#include <cstring>

#include "engine/storetree.h"
#include "platform/listing.h"

#include "forms/pictures.h"

namespace kvor {

using platform::NodeStore;
using platform::Picture;

TreeModel::TreeModel(const NodeStore& store, QObject* parent)
    : QAbstractItemModel(parent), store_(store) {}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (resetting_ || row < 0 || column != 0 || parent.column() > 0) return {};
  const NodeStore::Index up = NodeOf(parent);
  if (static_cast<std::size_t>(row) >= store_.ChildCount(up)) return {};
  return createIndex(row, 0, static_cast<quintptr>(store_.Child(up, row)));
}

QModelIndex TreeModel::parent(const QModelIndex& child) const {
  if (resetting_ || !child.isValid()) return {};
  return IndexOf(store_.Parent(NodeOf(child)));
}

int TreeModel::rowCount(const QModelIndex& parent) const {
  if (resetting_ || parent.column() > 0) return 0;
  return static_cast<int>(store_.ChildCount(NodeOf(parent)));
}

int TreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TreeModel::data(const QModelIndex& index, int role) const {
  if (resetting_ || !index.isValid()) return {};
  const NodeStore::Index node = NodeOf(index);
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(store_.Text(node));
    case Qt::DecorationRole:
      return Icon(store_.Image(node), store_.SelectedImage(node));
    case Qt::ToolTipRole: {
      // The full path; for a directory not read whole, also why.
      QString tip = QString::fromStdString(store_.Path(node));
      if (store_.Problems(node) != 0) tip += QLatin1Char('\n') + QString::fromStdString(ProblemText(node));
      return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case Qt::AccessibleDescriptionRole: {
      // What the tip, the grey and the green tell the eye: the path, why it was not read whole,
      // and whether it is hidden.
      QString about = QString::fromStdString(store_.Path(node));
      if (store_.Problems(node) != 0) about += QStringLiteral("; ") + QString::fromStdString(ProblemText(node));
      if (store_.Image(node) == Picture::HClosed) about += QStringLiteral("; hidden");
      return about;
    }
    case Qt::ForegroundRole:
      if (store_.Problems(node) == 0) return {};
      return QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    default:
      return {};
  }
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section != 0 || orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return QStringLiteral("Directory");
}

std::string TreeModel::ProblemText(NodeStore::Index node) const {
  const uint8_t problems = store_.Problems(node);
  const char* what = (problems & platform::kCannotEnter)      ? "Cannot be read: "
                     : (problems & platform::kListedInPart)   ? "Read only in part: "
                     : (problems & platform::kSizesUnreadable) ? "Sizes cannot be read: "
                                                               : "Figures too large: ";
  return what + std::string(std::strerror(store_.Error(node)));
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QModelIndex TreeModel::IndexOf(NodeStore::Index node) const {
  if (resetting_ || node == NodeStore::kNone || node >= store_.size()) return {};
  return createIndex(static_cast<int>(store_.Row(node)), 0, static_cast<quintptr>(node));
}

NodeStore::Index TreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<NodeStore::Index>(index.internalId()) : NodeStore::kNone;
}

void TreeModel::BeginInsert(NodeStore::Index parent, int row) {
  beginInsertRows(IndexOf(parent), row, row);
}

void TreeModel::TextChanged(NodeStore::Index node) {
  const QModelIndex at = IndexOf(node);
  emit dataChanged(at, at, {Qt::DisplayRole});
}

const QIcon& TreeModel::Icon(Picture image, Picture selectedImage) const {
  const auto i = static_cast<std::size_t>(image);
  const auto j = static_cast<std::size_t>(selectedImage);
  if (!made_[i][j]) {
    icons_[i][j] = forms::TreeIcon(image, selectedImage);
    made_[i][j] = true;
  }
  return icons_[i][j];
}

ModelTree::ModelTree(NodeStore& store, TreeModel& model, QTreeView& view)
    : store_(store), model_(model), view_(view) {}

void ModelTree::Clear() {
  if (detached_) {
    store_.Clear();
    return;
  }
  model_.BeginReset();
  store_.Clear();
  model_.EndReset();
}

TreeView::Node ModelTree::Add(std::string_view relative, int relationship, std::string_view key,
                              std::string_view text, std::string_view image,
                              std::string_view selectedImage) {
  const NodeStore::Index parent = ParentOf(store_, relative, relationship);
  const Picture normal = platform::PictureByKey(image);
  const Picture selected = platform::PictureByKey(selectedImage);
  if (detached_) return store_.Add(parent, key, text, normal, selected);

  model_.BeginInsert(parent, static_cast<int>(store_.ChildCount(parent)));
  const Node node = store_.Add(parent, key, text, normal, selected);
  model_.EndInsert();
  return node;
}

TreeView::Node ModelTree::AddChild(Node parent, const ChildKey& key, std::string_view text,
                                   std::string_view image, std::string_view selectedImage) {
  const Picture normal = platform::PictureByKey(image);
  const Picture selected = platform::PictureByKey(selectedImage);
  if (detached_) return store_.AddChild(parent, key.counter, key.name, text, normal, selected);
  model_.BeginInsert(parent, static_cast<int>(store_.ChildCount(parent)));
  const Node node = store_.AddChild(parent, key.counter, key.name, text, normal, selected);
  model_.EndInsert();
  return node;
}

void ModelTree::SetProblem(Node node, uint8_t problems, int error) {
  store_.SetProblem(node, problems, error);
  if (!detached_) model_.TextChanged(node);
}

void ModelTree::SetText(Node node, std::string_view text) {
  store_.SetText(node, text);
  if (!detached_) model_.TextChanged(node);
}

void ModelTree::SetExpanded(Node node, bool expanded) {
  store_.SetExpanded(node, expanded);
  if (!detached_) view_.setExpanded(model_.IndexOf(node), expanded);
}

void ModelTree::Detach() {
  if (detached_) return;
  model_.BeginReset();
  detached_ = true;
}

void ModelTree::Adopt(NodeStore& other) {
  Detach();
  std::swap(store_, other);
  Attach();
}

void ModelTree::Attach() {
  if (!detached_) return;
  detached_ = false;
  model_.EndReset();
  // A reset collapses everything; the walk expands only a few nodes (the root).
  for (NodeStore::Index node = 0; node < store_.size(); ++node)
    if (store_.Expanded(node)) view_.setExpanded(model_.IndexOf(node), true);
}

}  // namespace kvor
