// The dialogs with the main window: Select Disk and its answers, Cancel during a scan, the
// analysis after a rescan.
#include <QtTest>
#include <functional>
#include <memory>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "fakedrives.h"
#include "mainwin/app.h"
#include "mainwin/frmdisksumm.h"
#include "platform/nodestore.h"

using namespace kvor;
using platform::NodeStore;
using testing::FakeDrives;

namespace {

constexpr int kTop = 40, kBelow = 10;
const QString kMarker = QStringLiteral("not scanned again");

class Program {
 public:
  explicit Program(FakeDrives& drives) : drives_(drives), app(drives) {
    app.messageBox = [this](const QString& text, int, const QString&) {
      messages.push_back(text);
      return vbOK;
    };
    app.endProgram = [this] { ++ends; };
  }

  frmDiskSumm& main() { return app.Form<frmDiskSumm>(); }
  const NodeStore& store() { return main().Store(); }
  int IndexOf(const std::string& root) {
    return app.Form<frmDiskPick>().driveList->findData(QByteArray::fromStdString(root));
  }

  // Select Disk, with `inDialog` acting in the dialog while it is shown modally.
  void SelectDisk(std::function<void(frmDiskPick&)> inDialog) {
    QTimer::singleShot(0, &main(), [this, inDialog] {
      frmDiskPick& pick = app.Form<frmDiskPick>();
      QVERIFY(pick.isVisible());
      inDialog(pick);
    });
    main().cmdSelect_Click();
  }
  void Choose(frmDiskPick& pick, const std::string& root) { pick.driveList->SetListIndex(IndexOf(root)); }

  // Presses the progress dialog's Cancel as soon as the next event loop runs, which is the
  // wait for the scan.
  void CancelSoon() {
    QTimer::singleShot(0, [this] {
      if (app.Loaded<frmWait>() && app.Form<frmWait>().isVisible())
        QTest::mouseClick(app.Form<frmWait>().btnStop, Qt::LeftButton);
    });
  }

  std::string RootKey() {
    return store().ChildCount(NodeStore::kNone) > 0 ? store().Key(store().Child(NodeStore::kNone, 0))
                                                   : std::string();
  }
  // Marks the tree so that a rescan shows: it replaces the tree.
  void Mark() { main().Nodes().SetText(store().Child(NodeStore::kNone, 0), kMarker.toStdString()); }
  bool StillMarked() {
    return store().ChildCount(NodeStore::kNone) == 1 &&
           QString::fromStdString(store().Text(store().Child(NodeStore::kNone, 0))) == kMarker;
  }
  bool OnlyUserAborted() {
    if (store().size() != 1 || store().ChildCount(NodeStore::kNone) != 1) return false;
    const NodeStore::Index node = store().Child(NodeStore::kNone, 0);
    return store().Text(node) == "User Aborted..." && store().Image(node) == platform::Picture::XClosed &&
           store().SelectedImage(node) == platform::Picture::XClosed;
  }

 private:
  FakeDrives& drives_;

 public:
  App app;
  std::vector<QString> messages;
  int ends = 0;
};

}  // namespace

class FlowsTest : public QObject {
  Q_OBJECT

  std::unique_ptr<FakeDrives> drives_;

 private slots:
  void init() {
    drives_ = std::make_unique<FakeDrives>();
    FakeDrives::MakeDir(drives_->fixed1, "d0/e0", 10);
    FakeDrives::MakeDir(drives_->fixed2, "x", 100);
    FakeDrives::MakeDir(drives_->fixed2, "x/y", 200);
    FakeDrives::MakeDir(drives_->fixed2, "z", 300);
  }
  void cleanup() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    drives_.reset();
  }

  void selectDiskRescansOnlyANewFixedDrive() {
    Program p(*drives_);
    QCOMPARE(p.RootKey(), "0?" + drives_->fixed1);
    QVERIFY(p.main().mnuAnalyze->isEnabled());
    const int first = p.app.state.gLastDriveIndex;
    p.Mark();

    // Cancel after choosing another drive: nothing changes, the list keeps the choice.
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed2);
      pick.cmdCancel_Click();
    });
    QVERIFY(p.StillMarked());
    QCOMPARE(p.app.state.gLastDriveIndex, first);
    QCOMPARE(p.app.Form<frmDiskPick>().driveList->Root(), drives_->fixed2);

    // OK on the drive already scanned, or coming back to it before OK: no scan.
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed1);
      pick.cmdOK_Click();
    });
    QVERIFY(p.StillMarked());
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed2);
      p.Choose(pick, drives_->fixed1);
      pick.cmdOK_Click();
    });
    QVERIFY(p.StillMarked());

    // A refused drive: one message, the selection back, OK starts no scan.
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->cd);
      QCOMPARE(pick.driveList->Root(), drives_->fixed1);
      pick.cmdOK_Click();
    });
    QCOMPARE(p.messages.size(), size_t(1));
    QVERIFY(p.StillMarked());

    // Another fixed drive and OK: scanned, and it becomes the drive last scanned.
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed2);
      pick.cmdOK_Click();
    });
    QCOMPARE(p.RootKey(), "0?" + drives_->fixed2);
    QCOMPARE(p.store().size(), size_t(4));
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(drives_->fixed2));
    QVERIFY(p.main().isVisible());
    QVERIFY(p.main().mnuAnalyze->isEnabled());
    QCOMPARE(p.messages.size(), size_t(1));

    // The analysis follows the new scan: 3 directories of 4 KB clusters, 600 bytes of files.
    bool reported = false;
    QTimer::singleShot(0, &p.main(), [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      QCOMPARE(report.lblTotalFiles->text(), QStringLiteral("3"));
      QCOMPARE(report.lblTotalDirs->text(), QStringLiteral("3"));
      QCOMPARE(report.lblTotalInDir->text(), QStringLiteral("12.59 KB"));
      QCOMPARE(report.lblSysBytes->text(), QStringLiteral("390.63 MB"));
      QVERIFY(report.lblComments->text().contains(QStringLiteral("set at 4KB.")));
      reported = true;
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    });
    p.main().mnuAnalyze_Click();
    QVERIFY(reported);
    QVERIFY(!p.app.Loaded<frmAnalyzer>());
    QCOMPARE(p.ends, 0);
  }

  void closeBoxDuringSelectDiskIsCancel() {
    Program p(*drives_);
    const int first = p.app.state.gLastDriveIndex;
    p.Mark();
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed2);
      pick.close();
    });
    QVERIFY(p.StillMarked());
    QVERIFY(p.app.Loaded<frmDiskPick>());
    QCOMPARE(p.app.Form<frmDiskPick>().Tag, QStringLiteral("RUNNING"));
    QCOMPARE(p.app.state.gLastDriveIndex, first);
    // The next Cancel is still only a Cancel.
    p.SelectDisk([](frmDiskPick& pick) { pick.cmdCancel_Click(); });
    QCOMPARE(p.ends, 0);
    QVERIFY(p.StillMarked());
  }

  void cancelDuringTheStartUpScan() {
    // Cancel lands while the root is read or early in the walk, whichever the first turn of
    // the event loop meets.
    for (int i = 0; i < kTop; ++i)
      for (int j = 0; j < kBelow; ++j)
        FakeDrives::MakeDir(drives_->fixed1, "d" + std::to_string(i) + "/e" + std::to_string(j));
    Program p(*drives_);
    p.CancelSoon();
    frmDiskSumm& main = p.main();
    QVERIFY(p.OnlyUserAborted());
    QVERIFY(p.app.state.gTotalDirs < kTop * (1 + kBelow) + 1);
    QVERIFY(!main.mnuAnalyze->isEnabled());
    QVERIFY(!p.app.Loaded<frmWait>());
    QVERIFY(!main.lblUsed->text().isEmpty());   // the panel keeps the drive's figures

    // Refresh scans to the end and makes the analysis valid again.
    main.mnuRefresh_Click();
    QCOMPARE(p.RootKey(), "0?" + drives_->fixed1);
    QCOMPARE(p.store().size(), size_t(2 + kTop * (1 + kBelow)));   // root, bin, d*, d*/e*
    QVERIFY(main.mnuAnalyze->isEnabled());
  }

  void cancelDuringARescan() {
    Program p(*drives_);
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->fixed2);
      pick.cmdOK_Click();
      p.CancelSoon();
    });
    frmDiskSumm& main = p.main();
    QVERIFY(p.OnlyUserAborted());
    QVERIFY(!main.mnuAnalyze->isEnabled());
    QVERIFY(main.isVisible());
    // The cancelled drive counts as the one last scanned.
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(drives_->fixed2));

    // OK with it still selected starts no scan.
    p.SelectDisk([](frmDiskPick& pick) { pick.cmdOK_Click(); });
    QVERIFY(p.OnlyUserAborted());

    // A change of drive (here refused, so the list comes back) clears the abort flag but does
    // not vouch for the partial figures.
    p.SelectDisk([&](frmDiskPick& pick) {
      p.Choose(pick, drives_->net);
      pick.cmdCancel_Click();
    });
    QVERIFY(!p.app.state.gAbort);
    QVERIFY(!main.mnuAnalyze->isEnabled());
    QVERIFY(p.OnlyUserAborted());

    // Refresh scans the drive to its end; a complete scan enables Analyze.
    main.mnuRefresh_Click();
    QCOMPARE(p.RootKey(), "0?" + drives_->fixed2);
    QCOMPARE(p.store().size(), size_t(4));
    QVERIFY(main.mnuAnalyze->isEnabled());
  }

  void aboutTwiceWhileOpenLoadsOnce() {
    Program p(*drives_);
    p.main().mnuAbout_Click();
    frmAbout& about = p.app.Form<frmAbout>();
    about.lblTitle->setText(kMarker);   // a second load would put the title back
    p.main().mnuAbout_Click();
    QCOMPARE(&p.app.Form<frmAbout>(), &about);
    QCOMPARE(about.lblTitle->text(), kMarker);
    QVERIFY(about.isVisible());
    QVERIFY(p.main().isEnabled());      // modeless
  }

  void okWithoutTheTagShowsTheMainWindow() {
    Program p(*drives_);
    frmDiskSumm& main = p.main();
    main.hide();
    frmDiskPick& pick = p.app.Form<frmDiskPick>();
    pick.Tag.clear();
    pick.show();
    pick.cmdOK_Click();
    QVERIFY(!pick.isVisible());
    QVERIFY(main.isVisible());
    QCOMPARE(p.ends, 0);
  }
};

QTEST_MAIN(FlowsTest)
#include "tst_flows.moc"
