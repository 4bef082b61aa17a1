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

// The program on drives of a few directories; the first scan starts on the first main(), which
// returns once it has ended.
struct Program : FakeDrives, testing::Rig {
  Program() : Rig(static_cast<FakeDrives&>(*this)) {
    MakeFile(fixed1 + "/d0/e0/f", 10);
    for (const char* file : {"/x/f", "/x/y/f", "/z/f"}) MakeFile(fixed2 + file, 200);
  }
  frmDiskSumm& main() {
    const bool first = !app.Loaded<frmDiskSumm>();
    frmDiskSumm& window = app.Form<frmDiskSumm>();
    if (first) app.scans.Finish();
    return window;
  }
  const NodeStore& store() { return main().Store(); }
  int IndexOf(const std::string& root) {
    return app.Form<frmDiskPick>().driveList->findData(QByteArray::fromStdString(root));
  }
  void Choose(const std::string& root) { app.Form<frmDiskPick>().driveList->SetListIndex(IndexOf(root)); }

  // Select Disk: in the dialog, while it is shown modally, choose `roots` in turn and answer;
  // then, unless a test holds it, the scan runs to its end.
  void SelectDisk(const std::vector<std::string>& roots, const std::function<void(frmDiskPick&)>& answer,
                  bool finish = true) {
    // Queued: it runs inside the dialog's modal loop, once the dialog is shown.
    QMetaObject::invokeMethod(&main(), [=, this] {
      frmDiskPick& pick = app.Form<frmDiskPick>();
      QVERIFY(pick.isVisible() && pick.isModal());
      for (const std::string& root : roots) Choose(root);
      answer(pick);
    }, Qt::QueuedConnection);
    main().cmdSelect_Click();
    if (finish) app.scans.Finish();
  }
  // With the worker held at the gate: what it posted before is seen, then Cancel is pressed.
  void CancelWhenHeld() {
    gate.WaitHeld();
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    QVERIFY(app.Loaded<frmWait>() && app.Form<frmWait>().isVisible());
    QTest::mouseClick(app.Form<frmWait>().btnStop, Qt::LeftButton);
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
    QMetaObject::invokeMethod(&p.main(), [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      QCOMPARE(QStringList({report.lblTotalFiles->text(), report.lblTotalDirs->text(),
                            report.lblTotalInDir->text(), report.lblSysBytes->text()}),
               QStringList({"3", "3", "12.59 KB", "390.63 MB"}));
      QVERIFY(report.lblComments->text().contains(QStringLiteral("set at 4KB.")));
      reported = true;
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    }, Qt::QueuedConnection);
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
    // The walk held on its way into d5: Cancel lands there, and the worker, let go, changes
    // nothing any more.
    constexpr int kTop = 10, kBelow = 3;
    Program p;
    for (int i = 0; i < kTop; ++i)
      for (int j = 0; j < kBelow; ++j)
        std::filesystem::create_directories(p.fixed1 + "/d" + std::to_string(i) + "/e" + std::to_string(j));
    p.gate.Arm(p.fixed1 + "/d5");
    frmDiskSumm& main = p.app.Form<frmDiskSumm>();
    main.show();  // as the program does once the load returns: it waits for the scan
    QVERIFY(!main.isVisible());
    p.gate.WaitHeld();
    // The progress dialog names the directory the walk is at.
    p.app.scans.Poll();
    QCOMPARE(p.app.Form<frmWait>().lblCurDir->text().remove(u'\n'), QString::fromStdString(p.fixed1 + "/d5"));
    p.CancelWhenHeld();
    QVERIFY(p.OnlyUserAborted());
    QVERIFY(main.isVisible() && !main.mnuAnalyze->isEnabled() && !p.app.Loaded<frmWait>());
    QVERIFY(p.app.state.gAbort && !p.app.scans.Busy());
    QCOMPARE(main.lblUsed->text(), QStringLiteral("390.63 MB"));  // the drive's figures stay
    // The tree has the focus, its one node current.
    QCOMPARE(main.focusWidget(), main.tvDisk);
    QCOMPARE(main.tvDisk->currentIndex().data().toString(), QStringLiteral("User Aborted..."));

    p.gate.Release();
    p.app.scans.Finish(true);
    QVERIFY(p.OnlyUserAborted() && !main.mnuAnalyze->isEnabled());
    QCOMPARE(p.app.state.gTotalDirs, int64_t(0));

    // Refresh scans to the end and makes the analysis valid again.
    main.mnuRefresh_Click();
    p.app.scans.Finish();
    QCOMPARE(p.store().Key(0), "0?" + p.fixed1);
    QCOMPARE(p.store().size(), size_t(2 + kTop * (1 + kBelow)));  // root, bin, d*, d*/e*
    QVERIFY(main.mnuAnalyze->isEnabled());
    QCOMPARE(main.tvDisk->currentIndex(), main.tvDisk->model()->index(0, 0));
  }

  void cancelOnADriveThatStopsAnswering() {
    // The drive's space query never returns (held); Cancel lands, a new scan runs beside the
    // stuck one, and Exit does not wait for it.
    Program p;
    p.main().show();
    p.gate.Arm(p.fixed2);
    p.SelectDisk({p.fixed2}, OK, false);
    QVERIFY(!p.main().isVisible());
    p.CancelWhenHeld();
    frmDiskSumm& main = p.main();
    QVERIFY(p.OnlyUserAborted() && !main.mnuAnalyze->isEnabled() && main.isVisible());
    QCOMPARE(p.app.scans.Workers(), size_t(1));  // still stuck, and left to itself
    // The cancelled drive counts as the one last scanned: OK with it still selected starts no scan.
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(p.fixed2));
    p.SelectDisk({}, OK);
    QVERIFY(p.OnlyUserAborted());
    // A change of drive (refused here, so the list comes back) clears the abort flag but does
    // not vouch for the partial figures.
    p.SelectDisk({p.net}, Cancel);
    QVERIFY(!p.app.state.gAbort && !main.mnuAnalyze->isEnabled() && p.OnlyUserAborted());
    // Refresh scans the drive to its end beside the stuck worker; a complete scan enables Analyze.
    main.mnuRefresh_Click();
    p.app.scans.Finish();
    QCOMPARE(p.store().Key(0), "0?" + p.fixed2);
    QCOMPARE(p.store().size(), size_t(4));
    QVERIFY(main.mnuAnalyze->isEnabled());
    const auto totals = std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes);
    QCOMPARE(totals, std::pair(int64_t(3), int64_t(600)));

    // Exit, confirmed, ends the program with the worker still stuck.
    p.answer = vbYes;
    QVERIFY(main.close());
    QCOMPARE(p.ends, 1);
    QCOMPARE(p.app.scans.Workers(), size_t(1));
    // Let go at last, the abandoned worker changes nothing.
    p.gate.Release();
    p.app.scans.Finish(true);
    QCOMPARE(std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes), totals);
    QVERIFY(p.app.state.gLastDriveIndex == p.IndexOf(p.fixed2) && !p.app.state.gAbort);
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

  void enterPressesSelectDisk() {
    Program p;
    p.main().show();
    bool shown = false;
    QMetaObject::invokeMethod(&p.main(), [&] {
      frmDiskPick& pick = p.app.Form<frmDiskPick>();
      shown = pick.isVisible();
      pick.cmdCancel_Click();
    }, Qt::QueuedConnection);
    p.main().cmdSelect->setFocus();
    QTest::keyClick(p.main().cmdSelect, Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(shown);
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
