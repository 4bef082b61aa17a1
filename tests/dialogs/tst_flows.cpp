// The dialogs with the main window: Select Disk and its answers, Cancel during a scan (held at
// a gate, and on a FUSE drive whose daemon is stopped), the analysis after a rescan, About.
#include <signal.h>
#include <sys/mount.h>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "fakedrives.h"

using namespace kvor;
using platform::NodeStore;

namespace {

const std::string kMarker = "not scanned again";

// The program on drives of a few directories; the first scan starts on the first Main().
struct Program : testing::Machine {
  Program() {
    testing::MakeFile(fixed1 + "/d0/e0/f", 10);
    for (const char* file : {"/x/f", "/x/y/f", "/z/f"}) testing::MakeFile(fixed2 + file, 200);
  }
  // With the worker held: what it posted before is seen, then Cancel is pressed.
  void CancelWhenHeld() {
    gate.AwaitWaiter();
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
    QVERIFY(app.Loaded<frmWait>() && app.Form<frmWait>().isVisible() && !Main().isVisible());
    QTest::mouseClick(app.Form<frmWait>().btnStop, Qt::LeftButton);
  }
  // A rescan replaces the tree, and with it this mark.
  void Mark() { Main().Nodes().SetText(0, kMarker); }
  bool StillMarked() { return Store().ChildCount(NodeStore::kNone) == 1 && Store().Text(0) == kMarker; }
  bool OnlyUserAborted() {
    return Store().size() == 1 && Store().Text(0) == "User Aborted..." && Store().Image(0) == platform::Picture::XClosed &&
           Store().SelectedImage(0) == platform::Picture::XClosed && !Main().mnuAnalyze->isEnabled() && Main().isVisible() &&
           !app.Loaded<frmWait>() && Main().tvDisk->currentIndex().data() == "User Aborted...";
  }
};

// The threads of this process that wait for an answer of a FUSE daemon.
int FuseWaiters() {
  int waiting = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string wchan;
    std::getline(std::ifstream(task.path() / "wchan"), wchan);
    waiting += wchan == "request_wait_answer";
  }
  return waiting;
}

// One more drive, `mnt`, a real bindfs mount whose daemon the test stops; its type in the
// mount table is the test's to choose.
struct Hung : Program {
  ~Hung() override {
    if (daemon <= 0) return;
    ::kill(daemon, SIGCONT);
    ::umount2(mnt.c_str(), MNT_DETACH);
    ::kill(daemon, SIGTERM);
  }
  bool MountAndStop() {
    std::filesystem::create_directories(src + "/sub");
    std::filesystem::create_directories(mnt);
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || std::system(("bindfs " + src + " " + mnt + " 2>/dev/null").c_str()) != 0)
      return false;
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
      std::string command;  // its arguments, NUL-separated
      std::getline(std::ifstream(process.path() / "cmdline"), command);
      if (command.rfind("bindfs", 0) == 0 && command.find(mnt + '\0') != std::string::npos)
        daemon = std::stoi(process.path().filename());
    }
    return daemon > 0 && ::kill(daemon, SIGSTOP) == 0;
  }
  void TypeAs(const std::string& type) { table = table0 + testing::MountLine(36, mnt, type); }
  const std::string src = dir.path().toStdString() + "/src", mnt = dir.path().toStdString() + "/g_mnt", table0 = table;
  pid_t daemon = 0;
};

}  // namespace

class FlowsTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

  void selectDiskRescansOnlyANewFixedDrive() {
    Program p;
    const int first = p.app.state.gLastDriveIndex;
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed1 && first == 0);
    p.Mark();
    // Cancel, or the close box, after choosing another drive: nothing changes, the list keeps
    // the choice, the dialog is only hidden.
    p.SelectDisk({p.fixed2}, &frmDiskPick::cmdCancel_Click);
    p.SelectDisk({p.fixed2}, &QWidget::close);
    QVERIFY(p.StillMarked() && p.app.state.gLastDriveIndex == first && p.Pick().driveList->Root() == p.fixed2);
    QVERIFY(p.Pick().Tag == "RUNNING" && p.ends == 0);
    // OK on the drive already scanned, or coming back to it before OK: no scan.
    p.SelectDisk({p.fixed1}, &frmDiskPick::cmdOK_Click);
    p.SelectDisk({p.fixed2, p.fixed1}, &frmDiskPick::cmdOK_Click);
    // A refused drive: one message, the selection back, OK starts no scan.
    p.SelectDisk({p.cd}, &frmDiskPick::cmdOK_Click);
    QVERIFY(p.StillMarked() && p.messages.size() == 1);

    // Another fixed drive and OK: scanned, and it becomes the drive last scanned.
    p.SelectDisk({p.fixed2}, &frmDiskPick::cmdOK_Click);
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed2 && p.Store().size() == 4 && p.messages.size() == 1);
    QVERIFY(p.app.state.gLastDriveIndex == p.IndexOf(p.fixed2) && p.Main().mnuAnalyze->isEnabled());
    QVERIFY(p.Main().isVisible() && !p.app.Loaded<frmWait>() && p.app.state.gTotalFileBytes == 600);
    QCOMPARE(p.Main().tvDisk->currentIndex(), p.Main().tvDisk->model()->index(0, 0));

    // The analysis follows the new scan: 3 directories of 4 KB clusters, 600 bytes of files.
    bool reported = false;
    QMetaObject::invokeMethod(&p.Main(), [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      QCOMPARE(QStringList({report.lblTotalFiles->text(), report.lblTotalDirs->text(), report.lblTotalInDir->text(),
                            report.lblSysBytes->text()}), QStringList({"3", "3", "12.59 KB", "390.63 MB"}));
      reported = report.isModal() && report.isVisible();
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    }, Qt::QueuedConnection);
    p.Main().mnuAnalyze->trigger();
    QVERIFY(reported && !p.app.Loaded<frmAnalyzer>());

    // About, twice while open, loads once and leaves the main window usable; OK unloads it.
    p.Main().mnuAbout->trigger();
    p.app.Form<frmAbout>().lblTitle->setText(QString::fromStdString(kMarker));  // a second load would put it back
    p.Main().mnuAbout->trigger();
    QVERIFY(p.app.Form<frmAbout>().lblTitle->text() == QString::fromStdString(kMarker) && !p.app.Form<frmAbout>().isModal());
    QTest::mouseClick(p.app.Form<frmAbout>().btnOk, Qt::LeftButton);
    QVERIFY(!p.app.Loaded<frmAbout>());
    // Enter on Select Disk opens the dialog.
    bool shown = false;
    QMetaObject::invokeMethod(&p.Main(), [&] { shown = p.Pick().isVisible(), p.Pick().cmdCancel_Click(); },
                              Qt::QueuedConnection);
    QTest::keyClick(p.Main().cmdSelect, Qt::Key_Return);
    QVERIFY(shown && p.ends == 0);
    // Without the tag (before the main window runs), OK shows the main window.
    p.Main().hide();
    p.Pick().Tag.clear();
    p.Pick().cmdOK_Click();
    QVERIFY(!p.Pick().isVisible() && p.Main().isVisible() && p.ends == 0);
  }

  void cancelDuringTheStartUpScan() {
    // The walk held on its way into d5: Cancel lands there, and the worker, let go, changes
    // nothing any more.
    Program p;
    for (int i = 0; i < 10; ++i)
      for (int j = 0; j < 3; ++j) std::filesystem::create_directories(p.fixed1 + "/d" + std::to_string(i) + "/e" + std::to_string(j));
    p.holdAt = p.fixed1 + "/d5";
    frmDiskSumm& main = p.app.Form<frmDiskSumm>();
    main.show();  // as the program does once the load returns: it waits for the scan
    p.gate.AwaitWaiter();
    p.app.scans.Poll();  // the progress dialog names the directory the walk is at
    QCOMPARE(p.app.Form<frmWait>().lblCurDir->text().remove(u'\n'), QString::fromStdString(p.holdAt));
    p.CancelWhenHeld();
    QVERIFY(p.OnlyUserAborted() && p.app.state.gAbort && !p.app.scans.Busy() && main.focusWidget() == main.tvDisk);
    QCOMPARE(main.lblUsed->text(), QStringLiteral("390.63 MB"));  // the drive's figures stay
    p.gate.Open();
    p.app.scans.Finish(true);
    QVERIFY(p.OnlyUserAborted() && p.app.state.gTotalDirs == 0);

    // Refresh scans to the end and makes the analysis valid again.
    main.mnuRefresh_Click();
    p.app.scans.Finish();
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed1 && p.Store().size() == 2 + 10 * 4);  // root, bin, d*, d*/e*
    QVERIFY(main.mnuAnalyze->isEnabled() && main.tvDisk->currentIndex() == main.tvDisk->model()->index(0, 0));
  }

  void cancelOnADriveThatStopsAnswering() {
    // The drive's space query never returns (held); Cancel lands, a new scan runs beside the
    // stuck one, and Exit does not wait for it.
    Program p;
    p.Main().show();
    p.holdAt = p.fixed2;
    p.SelectDisk({p.fixed2}, &frmDiskPick::cmdOK_Click, false);
    p.CancelWhenHeld();
    QVERIFY(p.OnlyUserAborted() && p.app.scans.Workers() == 1);  // still stuck, and left to itself
    // The cancelled drive counts as the one last scanned: OK with it still selected starts no scan.
    QCOMPARE(p.app.state.gLastDriveIndex, p.IndexOf(p.fixed2));
    p.SelectDisk({}, &frmDiskPick::cmdOK_Click);
    QVERIFY(p.OnlyUserAborted());
    // A change of drive (refused here, so the list comes back) clears the abort flag but does
    // not vouch for the partial figures.
    p.SelectDisk({p.net}, &frmDiskPick::cmdCancel_Click);
    QVERIFY(!p.app.state.gAbort && p.OnlyUserAborted());
    // Refresh scans the drive to its end beside the stuck worker; a complete scan enables Analyze.
    p.Main().mnuRefresh_Click();
    p.app.scans.Finish();
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed2 && p.Store().size() == 4 && p.Main().mnuAnalyze->isEnabled());
    const auto totals = std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes);
    QCOMPARE(totals, std::pair(int64_t(3), int64_t(600)));
    // Exit, confirmed, ends the program with the worker still stuck; let go at last, the
    // abandoned worker changes nothing.
    p.answer = vbYes;
    QVERIFY(p.Main().close() && p.ends == 1 && p.app.scans.Workers() == 1);
    p.gate.Open();
    p.app.scans.Finish(true);
    QCOMPARE(std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes), totals);
    QVERIFY(p.app.state.gLastDriveIndex == p.IndexOf(p.fixed2) && !p.app.state.gAbort);
  }

  void cancelLandsWhileTheWorkerWaitsOnAFuseDrive() {
    Hung h;
    if (!h.MountAndStop()) QSKIP("FUSE (bindfs) cannot be mounted here");
    // The drive dialog does not hang on it. Refused by its type: no system call on it, no wait.
    h.TypeAs("fuse " + h.src);
    h.Choose(h.mnt);
    QVERIFY(h.messages.size() == 1 && h.messages[0].text == testing::kRefusal && FuseWaiters() == 0);
    // Accepted by its type (a local hard drive, as far as the program can tell): its root does
    // not answer within the dialog's wait, so it is a drive with a problem, and refused.
    h.TypeAs("ext4 /dev/vde1");
    h.Pick().driveList->Reload();
    h.Choose(h.mnt);
    QVERIFY(h.messages.size() == 3 && h.messages[1].text == testing::Problem(h.mnt + " [vde1]"));
    QVERIFY(h.Pick().driveList->Root() == h.fixed1 && FuseWaiters() == 1);

    // Chosen as the list would have it had the drive answered: Cancel lands while the worker
    // waits in the kernel.
    h.Main().show();
    {
      const QSignalBlocker quiet(h.Pick().driveList);
      h.Choose(h.mnt);
    }
    h.Main().mnuRefresh_Click();
    while (FuseWaiters() < 2) QThread::yieldCurrentThread();
    QTest::mouseClick(h.app.Form<frmWait>().btnStop, Qt::LeftButton);
    QVERIFY(h.OnlyUserAborted() && h.app.scans.Workers() == 1);
  }
};

QTEST_MAIN(FlowsTest)
#include "tst_flows.moc"
