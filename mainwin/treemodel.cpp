#include "mainwin/treemodel.h"

#include <QApplication>
#include <QPalette>
#include <algorithm>
#include <string_view>

#include "engine/escape.h"
#include "engine/formatsize.h"
#include "engine/rowtext.h"
#include "forms/contrast.h"

namespace kvor {

using forms::Picture;

namespace {

// A name as the report writes it (what cannot be drawn, or would move the text, as \xHH);
// one that holds right-to-left letters is isolated, so that it cannot carry the figures
// after it into its own direction.
std::string ShownName(std::string_view name) {
  std::string shown = Escape(name);
  const QList<uint> points = QString::fromStdString(shown).toUcs4();
  const bool rightToLeft = std::any_of(points.cbegin(), points.cend(), [](uint c) {
    return QChar::direction(c) == QChar::DirR || QChar::direction(c) == QChar::DirAL;
  });
  return rightToLeft ? "\u2068" + shown + "\u2069" : shown;  // first strong isolate ... pop
}

// The palette's dimmed text, moved towards its ordinary text as far as it needs to be read on
// the view's background.
QColor Dimmed(const QPalette& palette) {
  return forms::Readable(palette.color(QPalette::Disabled, QPalette::Text), palette.color(QPalette::Active, QPalette::Text),
                         palette.color(QPalette::Active, QPalette::Base));
}

}  // namespace

TreeModel::TreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void TreeModel::Show(ScanResult scan) {
  beginResetModel();
  scan_ = std::move(scan);
  aborted_ = false;
  separator_ = DecimalSeparator();
  endResetModel();
}

void TreeModel::ShowAborted(const QString& text) {
  beginResetModel();
  scan_ = ScanResult();
  aborted_ = true;
  abortedText_ = text;
  endResetModel();
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0 || parent.column() > 0) return {};
  if (aborted_) return !parent.isValid() && row == 0 ? createIndex(0, 0, quintptr{0}) : QModelIndex();
  const NodeStore::Index up = NodeOf(parent);
  if (static_cast<std::size_t>(row) >= scan_.tree.ChildCount(up)) return {};
  return createIndex(row, 0, static_cast<quintptr>(scan_.tree.Child(up, static_cast<std::size_t>(row))));
}

QModelIndex TreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || aborted_) return {};
  return IndexOf(scan_.tree[NodeOf(child)].parent);
}

int TreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  if (aborted_) return parent.isValid() ? 0 : 1;
  return static_cast<int>(scan_.tree.ChildCount(NodeOf(parent)));
}

int TreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (aborted_) {
    if (role == Qt::DisplayRole) return abortedText_;
    if (role == Qt::DecorationRole) return Icon(Picture::XClosed, Picture::XClosed);
    return {};
  }
  const NodeStore::Index node = NodeOf(index);
  const NodeStore::Node& n = scan_.tree[node];
  const auto why = [&] { return QString::fromStdString(ProblemText(scan_.tree, node, ProblemWords::Window)); };
  switch (role) {
    case Qt::DisplayRole:
      return QString::fromStdString(RowText(scan_, node, separator_, ShownName(scan_.tree.Name(node))));
    case Qt::DecorationRole:
      // A folder that could not be listed (whole or in part) has a picture of its own.
      if (n.problems & (platform::kCannotEnter | platform::kListedInPart)) return Icon(Picture::UClosed, Picture::UClosed);
      return n.hidden ? Icon(Picture::HClosed, Picture::HOpen) : Icon(Picture::Closed, Picture::Open);
    case Qt::ToolTipRole: {
      // The full path; for a directory not read whole, also why.
      QString tip = QString::fromStdString(Escape(scan_.tree.Path(node)));
      if (n.problems != 0) tip += QLatin1Char('\n') + why();
      return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    case Qt::AccessibleDescriptionRole: {
      // What the tip, the grey and the green tell the eye: the path, why it was not read whole,
      // and whether it is hidden.
      QString about = QString::fromStdString(Escape(scan_.tree.Path(node)));
      if (n.problems != 0) about += QStringLiteral("; ") + why();
      if (n.hidden) about += QStringLiteral("; hidden");
      return about;
    }
    case Qt::ForegroundRole:
      if (n.problems == 0) return {};
      return QBrush(Dimmed(QApplication::palette("QTreeView")));  // the view's, where a theme has its own
    default:
      return {};
  }
}

QVariant TreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section != 0 || orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  return QStringLiteral("Directory");
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QModelIndex TreeModel::IndexOf(NodeStore::Index node) const {
  if (aborted_ || node == NodeStore::kNone || node >= scan_.tree.size()) return {};
  return createIndex(static_cast<int>(scan_.tree[node].row), 0, static_cast<quintptr>(node));
}

NodeStore::Index TreeModel::NodeOf(const QModelIndex& index) const {
  return index.isValid() ? static_cast<NodeStore::Index>(index.internalId()) : NodeStore::kNone;
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

}  // namespace kvor
