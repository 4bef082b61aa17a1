// The main window over drives made of temporary directories: the start-up scan and the tree it
// shows, Refresh and Exit, the panel and the layout, its make-up; the tree model.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QMenuBar>
#include <cerrno>
#include <cstdio>

#include "engine/formatsize.h"
#include "fakedrives.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "mainwin/treemodel.h"
#include "platform/listing.h"
#include "report/report.h"

using namespace kvor;
using forms::Px;
using platform::Picture;

namespace {

// What the report tool prints for the drive; with `app`, the same print of what the window holds.
std::string Report(const platform::System& system, const std::string& root, App* app = nullptr) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  std::string arg0 = "kvor-scan", arg1 = root;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  if (app != nullptr) report::PrintTree(app->Form<frmDiskSumm>().Store(), out), report::PrintTotals(app->state, out);
  if (app == nullptr) report::Run(2, argv, system, out, stderr);
  std::fclose(out);
  const std::string text(buffer, size);
  std::free(buffer);
  return text;
}
QString Size(double bytes) { return QString::fromStdString(FormatSize(bytes)); }
bool Near(double twips, double expected) { return std::abs(twips - expected) <= forms::TwipsOf(1); }
// The tree's pixels, from its edges in twips.
QRect Pixels(const QRectF& t) { return {QPoint(Px(t.left()), Px(t.top())), QPoint(Px(t.right()) - 1, Px(t.bottom()) - 1)}; }
void Pictures(const QModelIndex& index, Picture normal, Picture selected) {
  const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
  QCOMPARE(icon.pixmap(13, 13, QIcon::Normal).toImage(), forms::TreePicture(normal).toImage());
  QCOMPARE(icon.pixmap(13, 13, QIcon::Selected).toImage(), forms::TreePicture(selected).toImage());
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
  std::unique_ptr<testing::Machine> m_;

 private slots:
  void init() {
    m_ = std::make_unique<testing::Machine>();
    for (const char* path : {"/bin/kvor", "/docs/a.txt", "/docs/deep/b.txt", "/.cache/c.bin", "/top.txt"})
      testing::MakeFile(m_->fixed1 + path, std::strlen(path) * 100);
  }
  void cleanup() {
    m_.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());  // every window goes with the program
  }

  void startupRefreshAndExit() {
    App& app = m_->app;
    frmDiskSumm& main = app.Form<frmDiskSumm>();
    main.show();  // as the program does once the load returns: it waits for the scan
    QVERIFY(!main.isVisible() && app.Form<frmWait>().isVisible());
    app.scans.Finish();
    QVERIFY(main.isVisible() && !app.Loaded<frmWait>() && !m_->Pick().isVisible() && m_->messages.empty());
    QCOMPARE(QStringList({main.windowTitle(), m_->Pick().Tag}), QStringList({"Korvane 1.5", "RUNNING"}));
    QCOMPARE(Report(*m_, "", &app), Report(*m_, m_->fixed1));
    QCOMPARE(QStringList({main.lblUsed->text(), main.lblFree->text(), main.lblTotal->text()}),
             QStringList({Size(100'000.0 * 4096), Size(150'000.0 * 4096), Size(250'000.0 * 4096)}));
    // Pictures, which the report does not print; the hidden .cache comes last. The first level
    // is open, the tree has the focus and the root is current, so the arrow keys work at once.
    const QModelIndex root = main.tvDisk->model()->index(0, 0);
    Pictures(root, Picture::Closed, Picture::Open);
    Pictures(root.model()->index(2, 0, root), Picture::HClosed, Picture::HOpen);
    QVERIFY(main.tvDisk->isExpanded(root) && !main.tvDisk->isExpanded(root.model()->index(1, 0, root)));
    QVERIFY(main.focusWidget() == main.tvDisk && main.tvDisk->currentIndex() == root && main.mnuAnalyze->isEnabled());

    // Refresh scans the same drive again, without the dialog (one shown by mistake is answered).
    testing::MakeFile(m_->fixed1 + "/docs/new.bin", 200'000);
    bool dialogShown = false;
    QMetaObject::invokeMethod(&main, [&] { dialogShown = m_->Pick().isVisible(), m_->Pick().cmdCancel_Click(); },
                              Qt::QueuedConnection);
    main.mnuRefresh->trigger();
    QVERIFY(!main.isVisible() && app.Form<frmWait>().isVisible());
    app.scans.Finish();
    QCoreApplication::sendPostedEvents();
    QVERIFY(!dialogShown && main.isVisible() && !app.state.gRescan && app.state.gLastDriveIndex == 0);
    QCOMPARE(Report(*m_, "", &app), Report(*m_, m_->fixed1));

    // Exit asks every time, from the menu and from the close box.
    m_->answer = vbNo;
    main.mnuExit->trigger();
    QVERIFY(!main.close() && m_->messages.size() == 2);
    for (const testing::Message& m : m_->messages)
      QVERIFY(m.text == "Exit Korvane 1.5?" && m.style == vbYesNo + vbQuestion && m.title == "Korvane 1.5");
    QVERIFY(m_->ends == 0 && main.isVisible() && app.Loaded<frmDiskPick>() && main.Store().size() == 5);
    m_->answer = vbYes;
    QVERIFY(main.close() && m_->ends == 1 && !app.Loaded<frmDiskSumm>() && !app.Loaded<frmDiskPick>());
  }

  void panelAndResizeRule() {
    frmDiskSumm& main = m_->Main();
    main.show();
    const QSize minimum(Px(4335), Px(3675));
    const QRectF withPanel(180, 1560, 4020, 1950), withoutPanel(180, 600, 4020, 2910);
    QVERIFY(main.ClientSize() == minimum && main.TreeTwips() == withPanel && main.tvDisk->geometry() == Pixels(withPanel));
    // Through the menu Qt flips the mark itself before the handler runs.
    main.mnuDiskInfo->trigger();
    QVERIFY(main.TreeTwips() == withoutPanel && main.tvDisk->geometry() == Pixels(withoutPanel));
    QVERIFY(!main.mnuDiskInfo->isChecked() && !main.framDisk->isVisible());
    main.mnuDiskInfo->trigger();
    QVERIFY(main.TreeTwips() == withPanel && main.mnuDiskInfo->isChecked() && main.framDisk->isVisible());
    main.resize(50, 40);
    QVERIFY(main.ClientSize() == minimum && main.TreeTwips() == withPanel);
    // Larger: the tree takes all of it, the panel and the button keep their place and size.
    main.resize(main.width() + Px(1000), main.height() + Px(600));
    QCOMPARE(main.ClientSize(), minimum + QSize(Px(1000), Px(600)));
    QVERIFY(Near(main.TreeTwips().width(), 5020) && Near(main.TreeTwips().height(), 2550));
    QVERIFY(main.tvDisk->geometry() == Pixels(main.TreeTwips()) && main.centralWidget()->size() == main.ClientSize());
    QCOMPARE(main.cmdSelect->geometry(), forms::TwipRect(180, 120, 2055, 375));
    QCOMPARE(main.framDisk->geometry(), forms::TwipRect(180, 600, 4005, 870));
    main.mnuDiskInfo->trigger();
    QVERIFY(Near(main.TreeTwips().height(), 3510));
    main.resize(10, 10);
    QVERIFY(main.ClientSize() == minimum && main.TreeTwips() == withoutPanel);

    // Centred by unrounded halves of the outer size; wider than the screen, left of its edge.
    QCOMPARE(CenterPosition(QSizeF(15360, 11520), QSizeF(4455, 4365)), QPointF(5452.5, 3577.5));
    QWidget huge;
    const QRect screen = huge.screen()->geometry();
    huge.resize(screen.width() + 400, 101);
    CenterForm(huge);
    QCOMPARE(huge.frameGeometry().topLeft(), screen.topLeft() + QPoint(-200, screen.height() / 2 - 51));
  }

  void makeUp() {
    frmDiskSumm main(m_->app);  // built, not loaded
    QVERIFY(main.windowTitle() == "Korvane v1.5" && !main.windowIcon().isNull());
    QVERIFY(main.mnuDisplay->actions() == QList<QAction*>{main.mnuDiskInfo} && main.mnuDiskInfo->isCheckable());
    QStringList names;  // as the window's parts are known by
    for (QObject* part : std::initializer_list<QObject*>{&main, main.centralWidget(), main.tvDisk, main.framDisk, main.cmdSelect,
                                                          main.mnuDisplay, main.mnuExit, main.mnuDiskInfo, main.mnuAbout})
      names << part->objectName();
    QCOMPARE(names.join(' '), "frmDiskSumm client tvDisk framDisk cmdSelect mnuDisplay mnuExit mnuDiskInfo mnuAbout");
    QVERIFY(!main.cmdSelect->autoDefault() && main.Label3->textFormat() == Qt::PlainText && main.Label3->text() == "Used:");
    QVERIFY(main.ClientSize() == QSize(Px(4335), Px(3675)) && main.tvDisk->geometry() == Pixels(QRectF(180, 1560, 4020, 1950)));
    // One column without a header, in the walk's order; wide texts scroll sideways.
    const QTreeView& tv = *main.tvDisk;
    QCOMPARE(std::tuple(tv.isHeaderHidden(), tv.uniformRowHeights(), int(tv.editTriggers()), tv.isSortingEnabled(),
                        tv.iconSize(), tv.header()->sectionResizeMode(0), tv.header()->stretchLastSection()),
             std::tuple(true, true, 0, false, QSize(13, 13), QHeaderView::ResizeToContents, false));
    // A value box (the three are made alike) is black on white; of the widest figures it shows,
    // only those that need it get a smaller font.
    QLabel& box = *main.lblFree;
    QCOMPARE(std::tuple(box.frameStyle(), box.lineWidth(), box.margin(), box.autoFillBackground(), box.size(),
                        box.palette().color(QPalette::Window), box.palette().color(QPalette::WindowText)),
             std::tuple(int(QFrame::Box) | QFrame::Plain, 1, 1, true, forms::TwipSize(1092, 228), QColor(Qt::white),
                        QColor(Qt::black)));
    for (const QString& text : {Size(1073741823), Size(1048575), Size(1023), Size(20.0 * (1LL << 40))}) {
      SetFittingText(box, text);
      QVERIFY(box.text() == text && QFontMetrics(box.font()).horizontalAdvance(text) <= box.contentsRect().width());
      QVERIFY(box.font().pointSizeF() >= main.font().pointSizeF() - 2);
    }
    SetFittingText(box, Size(0));
    QCOMPARE(box.font(), main.framDisk->font());

  }

  // The model over the store: attached, the view follows each change; detached (a scan's
  // thread writes the store) it is told nothing until attached again.
  void treeModel() {
    platform::NodeStore store;
    TreeModel model(store);
    QTreeView view;
    view.setModel(&model);
    ModelTree tree(store, model, view);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    for (const char* key : {"0?/d", "1?/d/b", "2?/d/a", "3?/d/b/x", "4?/d/.h"}) {
      const std::string k = key, parent = k == "3?/d/b/x" ? "1?/d/b" : k == "0?/d" ? "" : "0?/d";
      tree.Add(parent, parent.empty() ? 0 : tvwChild, k, k.substr(k.rfind('/') + 1), "closed", "open");
    }
    tree.SetText(0, "/d 3 file(s)");
    tree.SetExpanded(0, true);
    const QModelIndex root = model.index(0, 0), x = model.index(0, 0, model.index(0, 0, root));  // never sorted:
    QVERIFY(model.rowCount(root) == 3 && model.index(0, 0, root).data() == "b" && model.index(1, 0, root).data() == "a");
    QVERIFY(root.data() == "/d 3 file(s)" && x.parent().parent() == root && view.isExpanded(root));
    QVERIFY(!model.index(1, 0).isValid() && !model.index(0, 1).isValid() && !model.index(-1, 0).isValid());

    // A directory not read whole: grey, its reason in the tip beside the path; the text stays.
    const auto locked = tree.AddChild(3, {3, 6, 5, "/d/b/x/locked", "locked"}, "locked  0 file(s)", "closed", "open");
    const QModelIndex bad = model.index(0, 0, x);
    tree.SetProblem(locked, platform::kCannotEnter, EACCES);
    QCOMPARE(bad.data(Qt::ToolTipRole).toString(), QStringLiteral("/d/b/x/locked\nCannot be read: Permission denied"));
    QVERIFY(store.Key(locked) == "5?/d/b/x/locked" && bad.data() == "locked  0 file(s)");
    QCOMPARE(bad.data(Qt::ForegroundRole).value<QBrush>().color(),
             QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text));
    QVERIFY(x.data(Qt::ToolTipRole) == "/d/b/x" && !x.data(Qt::ForegroundRole).isValid() && !x.data(Qt::UserRole).isValid());

    // Detached, the view is told nothing (a scan's thread writes the store).
    tree.Detach();
    tree.Add("0?/d", tvwChild, "6?/d/c", "c", "closed", "open");
    QVERIFY(model.rowCount() == 0 && !model.index(0, 0).isValid() && !model.parent(x).isValid());
  }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
