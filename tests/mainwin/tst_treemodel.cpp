// The tree model over the node store, and the walk's tree that keeps model and view in step.
#include <QtTest>
#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTreeView>

#include "forms/pictures.h"
#include "mainwin/treemodel.h"
#include "platform/listing.h"

#include <cerrno>

using namespace kvor;
using kvor::platform::Picture;

namespace {

struct Tree {
  Tree() : model(store), tree(store, model, view) { view.setModel(&model); }
  void Add(const std::string& parent, const std::string& key, const std::string& text,
           const char* image = "closed", const char* selected = "open") {
    tree.Add(parent, parent.empty() ? 0 : tvwChild, key, text, image, selected);
  }
  platform::NodeStore store;
  TreeModel model;
  QTreeView view;
  ModelTree tree;
};

}  // namespace

class TreeModelTest : public QObject {
  Q_OBJECT

 private slots:
  void changesAttachedAndDetached() {
    Tree t;
    QAbstractItemModelTester tester(&t.model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const auto pictures = [](const QModelIndex& index, Picture normal, Picture selected) {
      const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
      QCOMPARE(icon.pixmap(13, 13, QIcon::Normal).toImage(), forms::TreePicture(normal).toImage());
      QCOMPARE(icon.pixmap(13, 13, QIcon::Selected).toImage(), forms::TreePicture(selected).toImage());
    };
    t.view.show();
    t.Add("", "0?/d", "Root");
    t.Add("0?/d", "1?/d/b", "b");
    t.Add("0?/d", "2?/d/a", "a");  // never sorted
    t.Add("1?/d/b", "3?/d/b/x", "x");
    t.Add("0?/d", "4?/d/.h", ".h", "hclosed", "hopen");
    t.tree.SetText(0, "/d 3 file(s)");
    t.tree.SetExpanded(0, true);
    const QModelIndex root = t.model.index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("/d 3 file(s)"));
    QStringList children;
    for (int row = 0; row < t.model.rowCount(root); ++row) children << t.model.index(row, 0, root).data().toString();
    QCOMPARE(children, (QStringList{"b", "a", ".h"}));
    const QModelIndex x = t.model.index(0, 0, t.model.index(0, 0, root));
    QCOMPARE(x.parent().parent(), root);
    QVERIFY(t.view.isExpanded(root) && !(t.model.flags(x) & Qt::ItemIsEditable));
    QVERIFY(!t.model.index(1, 0).isValid() && !t.model.index(0, 1).isValid());
    pictures(root, Picture::Closed, Picture::Open);
    pictures(t.model.index(2, 0, root), Picture::HClosed, Picture::HOpen);

    // Detached, the store may be written by the scan's thread: the view is told nothing.
    t.tree.Detach();
    t.tree.Clear();
    t.Add("", "0?/e", "Root");
    t.Add("0?/e", "1?/e/a", "a");
    t.Add("1?/e/a", "2?/e/a/b", "b");
    t.tree.SetExpanded(0, true);
    QCOMPARE(t.model.rowCount(), 0);
    t.tree.Attach();
    t.tree.Attach();  // twice is harmless
    QCOMPARE(t.model.rowCount(), 1);
    QVERIFY(t.view.isExpanded(t.model.index(0, 0)));
    QVERIFY(!t.view.isExpanded(t.model.index(0, 0, t.model.index(0, 0))));

    // What a cancel leaves: one top-level node without a key.
    t.tree.Clear();
    t.Add("", "", "User Aborted...", "xclosed", "xclosed");
    QCOMPARE(t.model.rowCount(t.model.index(0, 0)), 0);
    pictures(t.model.index(0, 0), Picture::XClosed, Picture::XClosed);
  }

  void unreadDirectoriesAreGreyWithTheReason() {
    Tree t;
    t.Add("", "0?/d", "Root");
    TreeView::ChildKey key{0, 2, 1, "/d/locked", "locked"};
    const auto locked = t.tree.AddChild(0, key, "locked     0 file(s)", "closed", "open");
    key = {1, 9, 2, "/d/locked/ok", "ok"};
    t.tree.AddChild(locked, key, "ok", "closed", "open");
    t.tree.SetProblem(locked, platform::kCannotEnter, EACCES);
    const QModelIndex root = t.model.index(0, 0);
    const QModelIndex bad = t.model.index(0, 0, root);
    const QModelIndex good = t.model.index(0, 0, bad);
    QCOMPARE(t.store.Key(2), std::string("2?/d/locked/ok"));
    QCOMPARE(bad.data(Qt::ToolTipRole).toString(), QStringLiteral("/d/locked\nCannot be read: Permission denied"));
    QCOMPARE(good.data(Qt::ToolTipRole).toString(), QStringLiteral("/d/locked/ok"));
    QCOMPARE(root.data(Qt::ToolTipRole).toString(), QStringLiteral("/d"));
    QCOMPARE(bad.data(Qt::ForegroundRole).value<QBrush>().color(),
             QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(!good.data(Qt::ForegroundRole).isValid());
    QCOMPARE(bad.data().toString(), QStringLiteral("locked     0 file(s)"));  // the text stays
  }

  void twoHundredThousandNodesOpenAndScrollAtOnce() {
    Tree t;
    t.view.setUniformRowHeights(true);
    t.view.resize(300, 200);
    t.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.view));
    t.tree.Detach();
    t.Add("", "0?/", "Root");
    for (int i = 0, counter = 1; i < 1000; ++i) {
      const std::string dir = std::to_string(counter++) + "?/d" + std::to_string(i);
      t.Add("0?/", dir, "d");
      for (int j = 0; j < 199; ++j) t.Add(dir, std::to_string(counter++) + "?/x", "x");
    }
    t.tree.SetExpanded(0, true);

    QElapsedTimer timer;
    timer.start();
    t.tree.Attach();
    QCoreApplication::processEvents();
    const QModelIndex root = t.model.index(0, 0);
    for (int i = 0; i < 1000; i += 10) t.view.expand(t.model.index(i, 0, root));
    for (int step = 0; step <= 50; ++step) {
      t.view.verticalScrollBar()->setValue(t.view.verticalScrollBar()->maximum() * step / 50);
      t.view.repaint();
    }
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));  // well under 1 s idle
    const QModelIndex last = t.model.index(198, 0, t.model.index(999, 0, root));
    QCOMPARE(last.parent().row(), 999);
    QCOMPARE(last.internalId(), quintptr{200'000});
  }
};

QTEST_MAIN(TreeModelTest)
#include "tst_treemodel.moc"
