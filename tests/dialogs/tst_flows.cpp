// The dialogs with the main window: Select Disk and its answers, Cancel during a scan, the
// analysis after a rescan, About.
#include <QtTest>
#include <functional>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "fakedrives.h"
#include "mainwin/frmdisksumm.h"

using namespace kvor;
using platform::NodeStore;
using testing::FakeDrives;

namespace {

const QString kMarker = QStringLiteral("not scanned again");
const auto OK = [](frmDiskPick& pick) { pick.cmdOK_Click(); };
const auto Cancel = [](frmDiskPick& pick) { pick.cmdCancel_Click(); };

// The program on drives of a few directories; the first scan starts on the first main().
struct Program : FakeDrives, testing::Rig {
  Program() : Rig(static_cast<FakeDrives&>(*this)) {
    MakeFile(fixed1 + "/d0/e0/f", 10);
    for (const char* file : {"/x/f", "/x/y/f", "/z/f"}) MakeFile(fixed2 + file, 200);
  }
  frmDiskSumm& main() { return app.Form<frmDiskSumm>(); }
  const NodeStore& store() { return main().Store(); }
  int IndexOf(const std::string& root) {
    return app.Form<frmDiskPick>().driveList->findData(QByteArray::fromStdString(root));
  }
  void Choose(const std::string& root) { app.Form<frmDiskPick>().driveList->SetListIndex(IndexOf(root)); }

  // Select Disk: in the dialog, while it is shown modally, choose `roots` in turn and answer.
  void SelectDisk(const std::vector<std::string>& roots, const std::function<void(frmDiskPick&)>& answer) {
    QTimer::singleShot(0, &main(), [=, this] {
      frmDiskPick& pick = app.Form<frmDiskPick>();
      QVERIFY(pick.isVisible() && pick.isModal());
      for (const std::string& root : roots) Choose(root);
      answer(pick);
    });
    main().cmdSelect_Click();
  }
  // Presses the progress dialog's Cancel at the next turn of the event loop: the scan's wait.
  void CancelSoon() {
    QTimer::singleShot(0, [this] {
      if (app.Loaded<frmWait>() && app.Form<frmWait>().isVisible())
        QTest::mouseClick(app.Form<frmWait>().btnStop, Qt::LeftButton);
    });
  }
  // A rescan replaces the tree, and with it this mark.
  void Mark() { main().Nodes().SetText(0, kMarker.toStdString()); }
  bool StillMarked() { return store().ChildCount(NodeStore::kNone) == 1 && store().Text(0) == kMarker.toStdString(); }
  bool OnlyUserAborted() {
    return store().size() == 1 && store().Text(0) == "User Aborted..." &&
           store().Image(0) == platform::Picture::XClosed && store().SelectedImage(0) == platform::Picture::XClosed;
  }
};

}  // namespace

class FlowsTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

  void selectDiskRescansOnlyANewFixedDrive() {
    Program p;
    QCOMPARE(p.store().Key(0), "0?" + p.fixed1);
    const int first = p.app.state.gLastDriveIndex;
    p.Mark();
    // Cancel after choosing another drive: nothing changes, the list keeps the choice.
    p.SelectDisk({p.fixed2}, Cancel);
    QVERIFY(p.StillMarked());
    QCOMPARE(p.app.state.gLastDriveIndex, first);
    QCOMPARE(p.app.Form<frmDiskPick>().driveList->Root(), p.fixed2);
    // OK on the drive already scanned, or coming back to it before OK: no scan.
    p.SelectDisk({p.fixed1}, OK);
    p.SelectDisk({p.fixed2, p.fixed1}, OK);
    QVERIFY(p.StillMarked());
    // A refused drive: one message, the selection back, OK starts no scan.
    p.SelectDisk({p.cd}, OK);
    QCOMPARE(p.messages.size(), size_t(1));
    QVERIFY(p.StillMarked());

    // Another fixed drive and OK: scanned, and it becomes the drive last scanned.
    p.SelectDisk({p.fixed2}, OK);
    QCOMPARE(p.store().Key(0), "0?" + p.fixed2);
    QCOMPARE(p.store().size(), size_t(4));
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(p.fixed2));
    QVERIFY(p.main().isVisible() && p.main().mnuAnalyze->isEnabled() && !p.app.Loaded<frmWait>());
    QCOMPARE(p.messages.size(), size_t(1));

    // The analysis follows the new scan: 3 directories of 4 KB clusters, 600 bytes of files.
    bool reported = false;
    QTimer::singleShot(0, &p.main(), [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      QCOMPARE(QStringList({report.lblTotalFiles->text(), report.lblTotalDirs->text(),
                            report.lblTotalInDir->text(), report.lblSysBytes->text()}),
               QStringList({"3", "3", "12.59 KB", "390.63 MB"}));
      QVERIFY(report.lblComments->text().contains(QStringLiteral("set at 4KB.")));
      reported = true;
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    });
    p.main().mnuAnalyze_Click();
    QVERIFY(reported && !p.app.Loaded<frmAnalyzer>());
    QCOMPARE(p.ends, 0);
  }

  void closeBoxDuringSelectDiskIsCancel() {
    Program p;
    const int first = p.app.state.gLastDriveIndex;
    p.Mark();
    p.SelectDisk({p.fixed2}, [](frmDiskPick& pick) { pick.close(); });
    QVERIFY(p.StillMarked() && p.app.Loaded<frmDiskPick>());
    QCOMPARE(p.app.Form<frmDiskPick>().Tag, QStringLiteral("RUNNING"));
    QCOMPARE(p.app.state.gLastDriveIndex, first);
    // The next Cancel is still only a Cancel.
    p.SelectDisk({}, Cancel);
    QCOMPARE(p.ends, 0);
    QVERIFY(p.StillMarked());
  }

  void cancelDuringTheStartUpScan() {
    // Cancel lands while the root is read or early in the walk, whichever the first turn of
    // the event loop meets.
    constexpr int kTop = 60, kBelow = 10;
    Program p;
    for (int i = 0; i < kTop; ++i)
      for (int j = 0; j < kBelow; ++j)
        std::filesystem::create_directories(p.fixed1 + "/d" + std::to_string(i) + "/e" + std::to_string(j));
    p.CancelSoon();
    frmDiskSumm& main = p.main();
    QVERIFY(p.OnlyUserAborted());
    QVERIFY(p.app.state.gTotalDirs < kTop * (1 + kBelow) + 1);
    QVERIFY(!main.mnuAnalyze->isEnabled() && !p.app.Loaded<frmWait>());
    QVERIFY(!main.lblUsed->text().isEmpty());  // the panel keeps the drive's figures
    // Refresh scans to the end and makes the analysis valid again.
    main.mnuRefresh_Click();
    QCOMPARE(p.store().Key(0), "0?" + p.fixed1);
    QCOMPARE(p.store().size(), size_t(2 + kTop * (1 + kBelow)));  // root, bin, d*, d*/e*
    QVERIFY(main.mnuAnalyze->isEnabled());
  }

  void cancelDuringARescan() {
    Program p;
    p.SelectDisk({p.fixed2}, [&](frmDiskPick& pick) {
      pick.cmdOK_Click();
      p.CancelSoon();
    });
    frmDiskSumm& main = p.main();
    QVERIFY(p.OnlyUserAborted() && !main.mnuAnalyze->isEnabled() && main.isVisible());
    // The cancelled drive counts as the one last scanned: OK with it still selected starts no scan.
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(p.fixed2));
    p.SelectDisk({}, OK);
    QVERIFY(p.OnlyUserAborted());
    // A change of drive (refused here, so the list comes back) clears the abort flag but does
    // not vouch for the partial figures.
    p.SelectDisk({p.net}, Cancel);
    QVERIFY(!p.app.state.gAbort && !main.mnuAnalyze->isEnabled() && p.OnlyUserAborted());
    // Refresh scans the drive to its end; a complete scan enables Analyze.
    main.mnuRefresh_Click();
    QCOMPARE(p.store().Key(0), "0?" + p.fixed2);
    QCOMPARE(p.store().size(), size_t(4));
    QVERIFY(main.mnuAnalyze->isEnabled());
  }

  void aboutTwiceWhileOpenLoadsOnce() {
    Program p;
    p.main().mnuAbout_Click();
    frmAbout& about = p.app.Form<frmAbout>();
    about.lblTitle->setText(kMarker);  // a second load would put the title back
    p.main().mnuAbout_Click();
    QCOMPARE(&p.app.Form<frmAbout>(), &about);
    QCOMPARE(about.lblTitle->text(), kMarker);
    QVERIFY(about.isVisible() && p.main().isEnabled());  // modeless
    // OK unloads it; the next About loads it anew.
    QTest::mouseClick(about.btnOk, Qt::LeftButton);
    QVERIFY(!p.app.Loaded<frmAbout>());
    p.main().mnuAbout_Click();
    QCOMPARE(p.app.Form<frmAbout>().lblTitle->text(), QStringLiteral("Korvane 1.5"));
  }

  void okWithoutTheTagShowsTheMainWindow() {
    Program p;
    p.main().hide();
    frmDiskPick& pick = p.app.Form<frmDiskPick>();
    pick.Tag.clear();
    pick.show();
    pick.cmdOK_Click();
    QVERIFY(!pick.isVisible() && p.main().isVisible());
    QCOMPARE(p.ends, 0);
  }
};

QTEST_MAIN(FlowsTest)
#include "tst_flows.moc"
