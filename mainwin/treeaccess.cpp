#include "mainwin/treeaccess.h"

#include <QAccessibleWidget>
#include <QHeaderView>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QWindow>

#include "mainwin/dirtreeview.h"

namespace kvor {

namespace {

const QString& ExpandAction() {
  static const QString name = QStringLiteral("expand");
  return name;
}
const QString& CollapseAction() {
  static const QString name = QStringLiteral("collapse");
  return name;
}

// The tree, and what its rows and header share: the way back to it.
class Part : public QAccessibleInterface {
 public:
  explicit Part(DirTreeView* view) : view_(view) {}
  bool isValid() const override { return !view_.isNull(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(view_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  void setText(QAccessible::Text, const QString&) override {}

 protected:
  QPointer<DirTreeView> view_;
};

// The one column's header: hidden, but it names the column.
class HeaderPart final : public Part {
 public:
  using Part::Part;
  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name || !view_ || !view_->model()) return {};
    return view_->model()->headerData(0, Qt::Horizontal).toString();
  }
  QRect rect() const override { return {}; }
  QAccessible::Role role() const override { return QAccessible::ColumnHeader; }
  QAccessible::State state() const override {
    QAccessible::State state;
    state.invisible = true;
    return state;
  }
};

class RowPart final : public Part, public QAccessibleActionInterface {
 public:
  RowPart(DirTreeView* view, const QModelIndex& index) : Part(view), index_(index) {}
  bool isValid() const override { return Part::isValid() && index_.isValid(); }
  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) return index_.data(Qt::DisplayRole).toString();
    if (t == QAccessible::Description) return index_.data(Qt::AccessibleDescriptionRole).toString();
    return {};
  }
  QRect rect() const override {
    if (!isValid()) return {};
    const QRect at = view_->visualRect(index_);
    return at.translated(view_->viewport()->mapToGlobal(QPoint(0, 0)));
  }
  QAccessible::Role role() const override { return QAccessible::TreeItem; }
  QModelIndex Index() const { return index_; }
  QAccessible::State state() const override;
  void* interface_cast(QAccessible::InterfaceType type) override {
    return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }

  QStringList actionNames() const override;
  QString localizedActionName(const QString& name) const override {
    return name == ExpandAction() ? QStringLiteral("Expand") : name == CollapseAction() ? QStringLiteral("Collapse")
                                                                                        : QAccessibleActionInterface::localizedActionName(name);
  }
  void doAction(const QString& name) override;
  QStringList keyBindingsForAction(const QString& name) const override {
    if (name == ExpandAction()) return {QStringLiteral("Right")};
    if (name == CollapseAction()) return {QStringLiteral("Left")};
    return {};
  }

 private:
  bool HasChildren() const { return view_->model()->hasChildren(index_); }

  QPersistentModelIndex index_;
};

QAccessible::State RowPart::state() const {
  QAccessible::State state;
  if (!isValid()) {
    state.invalid = true;
    return state;
  }
  state.selectable = state.focusable = true;
  state.selected = view_->selectionModel() && view_->selectionModel()->isSelected(index_);
  state.focused = view_->hasFocus() && view_->currentIndex() == index_;
  state.active = view_->currentIndex() == index_;
  state.expandable = HasChildren();
  state.expanded = state.expandable && view_->isExpanded(index_);
  state.collapsed = state.expandable && !state.expanded;
  state.offscreen = !view_->viewport()->rect().intersects(view_->visualRect(index_));
  return state;
}

QStringList RowPart::actionNames() const {
  if (!isValid()) return {};
  QStringList names;
  if (HasChildren()) names << (view_->isExpanded(index_) ? CollapseAction() : ExpandAction());
  return names << setFocusAction();
}

void RowPart::doAction(const QString& name) {
  if (!isValid() || !actionNames().contains(name)) return;
  // As the keys do it: the row becomes the current one, selected, in a focused tree.
  const QModelIndex index = index_;
  view_->setCurrentIndex(index);
  view_->setFocus(Qt::OtherFocusReason);
  if (name == ExpandAction()) view_->expand(index);
  if (name == CollapseAction()) view_->collapse(index);
  view_->scrollTo(index);
}

class TreePart final : public QAccessibleWidget {
 public:
  explicit TreePart(DirTreeView* view) : QAccessibleWidget(view, QAccessible::Tree) {}
  ~TreePart() override {
    for (const QAccessible::Id id : std::as_const(made_)) QAccessible::deleteAccessibleInterface(id);
  }

  int childCount() const override { return View()->model() ? 1 + View()->ShownRows() : 0; }
  QAccessibleInterface* child(int n) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override {
    const QPoint at = View()->viewport()->mapFromGlobal(QPoint(x, y));
    const int row = View()->ShownRowOf(View()->indexAt(at));
    return row >= 0 ? child(row + 1) : nullptr;
  }
  QAccessibleInterface* focusChild() const override {
    const int row = View()->ShownRowOf(View()->currentIndex());
    return row >= 0 ? child(row + 1) : nullptr;
  }

 private:
  DirTreeView* View() const { return static_cast<DirTreeView*>(widget()); }
  // One interface per header and per row, kept until the model changes.
  QAccessibleInterface* Kept(quintptr key, const QModelIndex& index) const;
  void Forget() {
    for (const QAccessible::Id id : std::as_const(made_)) QAccessible::deleteAccessibleInterface(id);
    made_.clear();
  }

  mutable QHash<quintptr, QAccessible::Id> made_;
  mutable QPointer<QAbstractItemModel> model_;
};

QAccessibleInterface* TreePart::Kept(quintptr key, const QModelIndex& index) const {
  if (model_ != View()->model()) {
    const_cast<TreePart*>(this)->Forget();
    model_ = View()->model();
    QObject::connect(model_.data(), &QAbstractItemModel::modelAboutToBeReset, View(),
                     [this] { const_cast<TreePart*>(this)->Forget(); });
  }
  const auto found = made_.constFind(key);
  if (found != made_.cend()) return QAccessible::accessibleInterface(*found);
  QAccessibleInterface* part = index.isValid() ? static_cast<QAccessibleInterface*>(new RowPart(View(), index))
                                               : new HeaderPart(View());
  made_.insert(key, QAccessible::registerAccessibleInterface(part));
  return part;
}

QAccessibleInterface* TreePart::child(int n) const {
  if (!View()->model() || n < 0) return nullptr;
  if (n == 0) return Kept(~quintptr{0}, {});
  const QModelIndex index = View()->ShownRow(n - 1);
  return index.isValid() ? Kept(index.internalId(), index) : nullptr;
}

int TreePart::indexOfChild(const QAccessibleInterface* child) const {
  if (child && child->role() == QAccessible::ColumnHeader) return 0;
  const auto* row = dynamic_cast<const RowPart*>(child);
  const int shown = row ? View()->ShownRowOf(row->Index()) : -1;
  return shown >= 0 ? shown + 1 : -1;
}

}  // namespace

void InstallTreeAccess() {
  static const bool installed = [] {
    // Asked by class name before the toolkit's own tree is.
    QAccessible::installFactory([](const QString& className, QObject* object) -> QAccessibleInterface* {
      auto* view = className == QLatin1String("kvor::DirTreeView") ? qobject_cast<DirTreeView*>(object) : nullptr;
      return view ? new TreePart(view) : nullptr;
    });
    return true;
  }();
  (void)installed;
}

}  // namespace kvor
