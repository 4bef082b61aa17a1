// The main window end to end over drives made of temporary directories: the start-up scan
// and the tree it shows, the panel and layout, the exit confirmation, Refresh, and its make-up.
#include <QtTest>
#include <QHeaderView>
#include <QMenuBar>
#include <cstdio>
#include <memory>

#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "engine/formatsize.h"
#include "fakedrives.h"
#include "forms/twips.h"
#include "mainwin/frmdisksumm.h"
#include "report/report.h"

using namespace kvor;
using kvor::platform::Picture;
using kvor::testing::FakeDrives;

namespace {

std::string Captured(const std::function<void(std::FILE*)>& print) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  print(out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

// What the report tool prints for `root`, and the same print of what the window holds.
std::string ReportOf(const std::string& root, const platform::System& system) {
  return Captured([&](std::FILE* out) {
    std::string arg0 = "kvor-scan", arg1 = root;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    report::Run(2, argv, system, out, stderr);
  });
}
std::string WindowReport(App& app) {
  return Captured([&](std::FILE* out) {
    report::PrintTree(app.Form<frmDiskSumm>().Store(), out);
    report::PrintTotals(app.state, out);
  });
}

QString Size(double bytes) { return QString::fromStdString(FormatSize(bytes)); }
bool Near(double twips, double expected) { return std::abs(twips - expected) <= forms::TwipsOf(1); }

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

  std::unique_ptr<testing::Machine> m_;
  // The main window, its start-up scan ended.
  frmDiskSumm& Main() {
    const bool first = !m_->rig.app.Loaded<frmDiskSumm>();
    frmDiskSumm& main = m_->rig.app.Form<frmDiskSumm>();
    if (first) m_->rig.app.scans.Finish();
    return main;
  }

 private slots:
  void init() {
    m_ = std::make_unique<testing::Machine>();
    const std::string& d = m_->fixed1;
    for (const auto& [path, bytes] : std::vector<std::pair<std::string, int>>{
             {"/bin/kvor", 1000}, {"/docs/a.txt", 5000}, {"/docs/deep/b.txt", 10},
             {"/.cache/c.bin", 300}, {"/top.txt", 42}})
      FakeDrives::MakeFile(d + path, bytes);
  }
  void cleanup() {
    m_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void startupShowsWhatTheReportToolPrints() {
    frmDiskSumm& main = Main();
    App& app = m_->rig.app;
    QCOMPARE(main.windowTitle(), QStringLiteral("Korvane 1.5"));
    QVERIFY(!main.isVisible());  // shown by the caller once the load returns
    QCOMPARE(app.Form<frmDiskPick>().Tag, QStringLiteral("RUNNING"));
    QVERIFY(!app.Form<frmDiskPick>().isVisible() && !app.Loaded<frmWait>() && m_->rig.messages.empty());
    QCOMPARE(WindowReport(app), ReportOf(m_->fixed1, *m_));

    // Pictures, which the report does not print; the hidden .cache comes last.
    const platform::NodeStore& store = main.Store();
    const auto root = store.Child(platform::NodeStore::kNone, 0);
    QCOMPARE(std::pair(store.Image(root), store.SelectedImage(root)), std::pair(Picture::Closed, Picture::Open));
    QCOMPARE(std::pair(store.Image(store.Child(root, 2)), store.SelectedImage(store.Child(root, 2))),
             std::pair(Picture::HClosed, Picture::HOpen));
    // The view shows the store with the first level open.
    const QModelIndex rootIndex = main.tvDisk->model()->index(0, 0);
    QCOMPARE(rootIndex.data().toString().toStdString(), store.Text(root));
    QCOMPARE(main.tvDisk->model()->rowCount(rootIndex), 3);
    QVERIFY(main.tvDisk->isExpanded(rootIndex));
    // The tree has the focus and the root is its current node, so the arrow keys work at once.
    QCOMPARE(main.focusWidget(), main.tvDisk);
    QCOMPARE(main.tvDisk->currentIndex(), rootIndex);
    QVERIFY(!main.tvDisk->isExpanded(rootIndex.model()->index(1, 0, rootIndex)));

    QCOMPARE(QStringList({main.lblUsed->text(), main.lblFree->text(), main.lblTotal->text()}),
             QStringList({Size(100'000.0 * 4096), Size(150'000.0 * 4096), Size(250'000.0 * 4096)}));
    QVERIFY(main.mnuAnalyze->isEnabled() && main.mnuDiskInfo->isChecked());
  }

  void panelAndResizeRule() {
    frmDiskSumm& main = Main();
    main.show();
    const QSize minimum(forms::Px(4335), forms::Px(3675));
    const QRectF withPanel(180, 1560, 4020, 1950), withoutPanel(180, 600, 4020, 2910);
    QTRY_COMPARE(main.ClientSize(), minimum);
    QCOMPARE(main.TreeTwips(), withPanel);
    const int bottom = main.tvDisk->geometry().bottom();

    main.mnuDiskInfo_Click();
    QCOMPARE(main.TreeTwips(), withoutPanel);
    QVERIFY(!main.mnuDiskInfo->isChecked() && !main.framDisk->isVisible());
    QCOMPARE(main.tvDisk->geometry().bottom(), bottom);
    // Through the menu Qt flips the mark itself before the handler runs.
    main.mnuDiskInfo->trigger();
    QCOMPARE(main.TreeTwips(), withPanel);
    QVERIFY(main.mnuDiskInfo->isChecked() && main.framDisk->isVisible());

    main.resize(50, 40);
    QTRY_COMPARE(main.ClientSize(), minimum);
    QCOMPARE(main.TreeTwips(), withPanel);
    // Larger: the tree takes all of it, the panel and the button keep their size.
    const QSize button = main.cmdSelect->size(), panel = main.framDisk->size();
    main.resize(main.width() + forms::Px(1000), main.height() + forms::Px(600));
    QTRY_COMPARE(main.ClientSize(), minimum + QSize(forms::Px(1000), forms::Px(600)));
    QVERIFY(Near(main.TreeTwips().width(), 5020) && Near(main.TreeTwips().height(), 2550));
    QCOMPARE(main.cmdSelect->size(), button);
    QCOMPARE(main.framDisk->size(), panel);
    QCOMPARE(main.centralWidget()->size(), main.ClientSize());
    main.mnuDiskInfo_Click();
    QVERIFY(Near(main.TreeTwips().height(), 3510));
    main.resize(10, 10);
    QTRY_COMPARE(main.ClientSize(), minimum);
    QCOMPARE(main.TreeTwips(), withoutPanel);
  }

  void centringByOuterSize() {
    // 1024 x 768 pixels at 96 DPI; and a window wider than the screen, left of its edge.
    QCOMPARE(CenterPosition(QSizeF(15360, 11520), QSizeF(4455, 4365)), QPointF(5452.5, 3577.5));
    QCOMPARE(CenterPosition(QSizeF(1000, 800), QSizeF(3000, 200)), QPointF(-1000, 300));
    QWidget huge;
    const QRect screen = huge.screen()->geometry();
    huge.resize(screen.width() + 400, 100);
    CenterForm(huge);
    QCOMPARE(huge.frameGeometry().x(), screen.x() - 200);  // not pulled back onto the screen
    QVERIFY(std::abs(huge.frameGeometry().center().y() - screen.center().y()) <= 1);

    // Centred before its first show, a window is centred again by its frame once it has one.
    QWidget framed;
    framed.resize(300, 200);
    CenterForm(framed);
    framed.show();
    if (framed.frameGeometry().size() == framed.size()) QSKIP("no window frames on this platform");
    QVERIFY(std::abs(framed.frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(std::abs(framed.frameGeometry().center().y() - screen.center().y()) <= 1);
  }

  void exitAsksEveryTime() {
    frmDiskSumm& main = Main();
    main.show();
    m_->rig.answer = vbNo;
    main.mnuExit->trigger();
    QVERIFY(!main.close());  // the close box asks the same
    QCOMPARE(m_->rig.messages.size(), std::size_t{2});
    for (const testing::Message& m : m_->rig.messages) {
      QCOMPARE(m.text, QStringLiteral("Exit Korvane 1.5?"));
      QCOMPARE(m.style, vbYesNo + vbQuestion);
      QCOMPARE(m.title, QStringLiteral("Korvane 1.5"));
    }
    QVERIFY(m_->rig.ends == 0 && main.isVisible() && m_->rig.app.Loaded<frmDiskPick>());
    QCOMPARE(main.Store().size(), std::size_t{5});

    m_->rig.answer = vbYes;
    QVERIFY(main.close());
    QCOMPARE(m_->rig.ends, 1);
    QVERIFY(!m_->rig.app.Loaded<frmDiskSumm>() && !m_->rig.app.Loaded<frmDiskPick>());
  }

  void refreshRescansTheSameDriveWithoutTheDialog() {
    frmDiskSumm& main = Main();
    main.show();
    const int lastDrive = m_->rig.app.state.gLastDriveIndex;
    FakeDrives::MakeFile(m_->fixed1 + "/docs/new.bin", 200'000);
    bool dialogShown = false;
    QTimer guard;  // a dialog shown by mistake would wait forever
    connect(&guard, &QTimer::timeout, [&] {
      frmDiskPick& pick = m_->rig.app.Form<frmDiskPick>();
      if (pick.isVisible()) dialogShown = true, pick.cmdCancel->click();
    });
    guard.start(10);
    main.mnuRefresh->trigger();
    m_->rig.app.scans.Finish();
    guard.stop();
    QVERIFY(!dialogShown);
    QCOMPARE(m_->rig.app.state.gLastDriveIndex, lastDrive);
    QVERIFY(main.isVisible() && !m_->rig.app.state.gRescan);
    const std::string after = WindowReport(m_->rig.app);
    QVERIFY(QString::fromStdString(after).contains(QStringLiteral("docs     2 file(s), [")));
    QCOMPARE(after, ReportOf(m_->fixed1, *m_));
  }

  void windowAsStoredAndItsTextsFit() {
    frmDiskSumm main(m_->rig.app);  // built, not loaded
    QCOMPARE(main.windowTitle(), QStringLiteral("Korvane v1.5"));
    QStringList bar;
    for (QAction* action : main.menuBar()->actions()) bar << action->text();
    QCOMPARE(bar, (QStringList{"E&xit", "&Display", "A&nalyze", "&Refresh", "&About"}));
    QCOMPARE(main.mnuDisplay->actions(), QList<QAction*>{main.mnuDiskInfo});
    QCOMPARE(QStringList({main.mnuDiskInfo->text(), main.cmdSelect->text(), main.framDisk->title(),
                          main.Label3->text(), main.Label12->text(), main.Label14->text()}),
             QStringList({"D&isk Information", "Select Disk", "Disk Information", "Used:", "Free:", "Total:"}));

    // At the default font every text fits; of the widest figures a value box shows, only those
    // that need it get a smaller font.
    const auto fits = [](const QWidget& w, const QString& text, int room) {
      return QFontMetrics(w.font()).horizontalAdvance(text) <= room;
    };
    for (QLabel* label : {main.Label3, main.Label12, main.Label14})
      QVERIFY(fits(*label, label->text(), label->contentsRect().width()));
    QVERIFY(fits(*main.cmdSelect, main.cmdSelect->text(), main.cmdSelect->width() - 8));
    QVERIFY(fits(*main.framDisk, main.framDisk->title(), main.framDisk->width()));
    QVERIFY(main.menuBar()->sizeHint().width() <= forms::Px(4335));
    for (QLabel* value : {main.lblUsed, main.lblFree, main.lblTotal}) {
      for (const QString& text : {Size(1073741823), Size(1048575), Size(1023), Size(20.0 * (1LL << 40))}) {
        SetFittingText(*value, text);
        QCOMPARE(value->text(), text);
        QVERIFY(fits(*value, text, value->contentsRect().width() - value->indent()));
        QVERIFY(value->font().pointSizeF() >= main.font().pointSizeF() - 2);
      }
      SetFittingText(*value, Size(0));
      QCOMPARE(value->font(), main.framDisk->font());
    }

    // Only the tree and the button take the focus, the tree first; no list is ever a widget.
    main.show();
    QList<QWidget*> focusable;
    QWidget* w = main.tvDisk;
    for (int step = 0; step < 1000 && focusable.size() < 3; ++step, w = w->nextInFocusChain())
      if (w->isVisible() && (w->focusPolicy() & Qt::TabFocus) && main.isAncestorOf(w)) focusable << w;
    QCOMPARE(focusable, (QList<QWidget*>{main.tvDisk, main.cmdSelect, main.tvDisk}));
    for (QAbstractItemView* view : main.findChildren<QAbstractItemView*>())
      QVERIFY(view == main.tvDisk || view == main.tvDisk->header());
  }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
