// The tree model over the node store, and the walk's tree that keeps model and view in step.
#include <QtTest>
#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QTreeView>

#include "forms/pictures.h"
#include "mainwin/treemodel.h"

using namespace kvor;
using kvor::platform::NodeStore;
using kvor::platform::Picture;

namespace {

struct Tree {
  Tree() : model(store), tree(store, model, view) { view.setModel(&model); }
  NodeStore store;
  TreeModel model;
  QTreeView view;
  ModelTree tree;
};

QImage ImageOf(const QIcon& icon, QIcon::Mode mode) { return icon.pixmap(13, 13, mode).toImage(); }

}  // namespace

class TreeModelTest : public QObject {
  Q_OBJECT

 private slots:
  void everyChangeIsAnnouncedWhileAttached() {
    Tree t;
    QAbstractItemModelTester tester(&t.model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    t.view.show();

    t.tree.Add("", 0, "0?/d", "Root", "closed", "open");
    t.tree.Add("0?/d", tvwChild, "1?/d/b", "b", "closed", "open");
    t.tree.Add("0?/d", tvwChild, "2?/d/a", "a", "closed", "open");   // never sorted
    t.tree.Add("1?/d/b", tvwChild, "3?/d/b/x", "x", "closed", "open");
    t.tree.Add("0?/d", tvwChild, "4?/d/.h", ".h", "hclosed", "hopen");
    t.tree.SetText(0, "/d 3 file(s) [1.00 KB], Lost space [0.00 Bytes]");
    t.tree.SetExpanded(0, true);

    const QModelIndex root = t.model.index(0, 0);
    QCOMPARE(t.model.rowCount(), 1);
    QCOMPARE(root.data().toString(), QStringLiteral("/d 3 file(s) [1.00 KB], Lost space [0.00 Bytes]"));
    QStringList children;
    for (int row = 0; row < t.model.rowCount(root); ++row) children << t.model.index(row, 0, root).data().toString();
    QCOMPARE(children, (QStringList{"b", "a", ".h"}));
    const QModelIndex x = t.model.index(0, 0, t.model.index(0, 0, root));
    QCOMPARE(x.data().toString(), QStringLiteral("x"));
    QCOMPARE(x.parent().parent(), root);
    QVERIFY(t.view.isExpanded(root));
    QVERIFY(!(t.model.flags(x) & Qt::ItemIsEditable));
    QVERIFY(!t.model.index(1, 0).isValid());
    QVERIFY(!t.model.index(0, 1).isValid());

    // What a cancel leaves: one top-level node without a key.
    t.tree.Clear();
    QCOMPARE(t.model.rowCount(), 0);
    t.tree.Add("", 0, "", "User Aborted...", "xclosed", "xclosed");
    QCOMPARE(t.model.rowCount(), 1);
    QCOMPARE(t.model.index(0, 0).data().toString(), QStringLiteral("User Aborted..."));
    QCOMPARE(t.model.rowCount(t.model.index(0, 0)), 0);
  }

  void detachedChangesShowOnAttach() {
    Tree t;
    QAbstractItemModelTester tester(&t.model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    t.tree.Add("", 0, "0?/old", "old", "closed", "open");
    t.view.show();

    t.tree.Detach();
    t.tree.Clear();
    t.tree.Add("", 0, "0?/d", "Root", "closed", "open");
    t.tree.Add("0?/d", tvwChild, "1?/d/a", "a", "closed", "open");
    t.tree.Add("1?/d/a", tvwChild, "2?/d/a/b", "b", "closed", "open");
    t.tree.SetExpanded(0, true);
    t.tree.SetText(0, "done");
    // Meanwhile the store may be written by the scan's thread: the view is told nothing.
    QCOMPARE(t.model.rowCount(), 0);
    QVERIFY(!t.model.index(0, 0).isValid());
    t.tree.Attach();

    const QModelIndex root = t.model.index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("done"));
    QCOMPARE(t.model.rowCount(root), 1);
    QVERIFY(t.view.isExpanded(root));
    QVERIFY(!t.view.isExpanded(t.model.index(0, 0, root)));
    t.tree.Attach();  // twice is harmless
    QCOMPARE(t.model.rowCount(), 1);
  }

  void pictureShownNormallyAndWhileSelected() {
    Tree t;
    t.tree.Add("", 0, "0?/d", "Root", "closed", "open");
    t.tree.Add("0?/d", tvwChild, "1?/d/.h", ".h", "hclosed", "hopen");
    t.tree.Add("", 0, "", "User Aborted...", "xclosed", "xclosed");
    struct Case {
      QModelIndex index;
      Picture normal, selected;
    };
    const QModelIndex root = t.model.index(0, 0);
    for (const Case& c : {Case{root, Picture::Closed, Picture::Open},
                          Case{t.model.index(0, 0, root), Picture::HClosed, Picture::HOpen},
                          Case{t.model.index(1, 0), Picture::XClosed, Picture::XClosed}}) {
      const QIcon icon = c.index.data(Qt::DecorationRole).value<QIcon>();
      QCOMPARE(ImageOf(icon, QIcon::Normal), forms::TreePicture(c.normal).toImage());
      QCOMPARE(ImageOf(icon, QIcon::Selected), forms::TreePicture(c.selected).toImage());
    }
  }

  void twoHundredThousandNodesOpenAndScrollAtOnce() {
    Tree t;
    t.view.setUniformRowHeights(true);
    t.view.resize(300, 200);
    t.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.view));

    t.tree.Detach();
    t.tree.Add("", 0, "0?/", "Root", "closed", "open");
    int counter = 1;
    for (int i = 0; i < 1000; ++i) {
      const std::string dir = std::to_string(counter++) + "?/d" + std::to_string(i);
      t.tree.Add("0?/", tvwChild, dir, "d" + std::to_string(i), "closed", "open");
      for (int j = 0; j < 199; ++j)
        t.tree.Add(dir, tvwChild, std::to_string(counter++) + "?/x", "x", "closed", "open");
    }
    t.tree.SetExpanded(0, true);
    QCOMPARE(t.store.size(), std::size_t{200'001});

    QElapsedTimer timer;
    timer.start();
    t.tree.Attach();
    QCoreApplication::processEvents();
    const QModelIndex root = t.model.index(0, 0);
    for (int i = 0; i < 1000; i += 10) t.view.expand(t.model.index(i, 0, root));
    t.view.scrollToBottom();
    QCoreApplication::processEvents();
    for (int step = 0; step < 50; ++step) {
      t.view.verticalScrollBar()->setValue(t.view.verticalScrollBar()->maximum() * step / 50);
      t.view.repaint();
    }
    const qint64 elapsed = timer.elapsed();
    qInfo("200,001 nodes: opened, expanded and scrolled in %lld ms", static_cast<long long>(elapsed));
    QVERIFY(elapsed < 5000);  // well under a second on an idle machine

    const QModelIndex last = t.model.index(198, 0, t.model.index(999, 0, root));
    QCOMPARE(last.parent().row(), 999);
    QCOMPARE(last.internalId(), quintptr{200'000});
  }
};

QTEST_MAIN(TreeModelTest)
#include "tst_treemodel.moc"
