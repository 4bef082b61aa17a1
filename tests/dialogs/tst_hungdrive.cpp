// A drive that stops answering for real: a FUSE mount (bindfs) whose daemon is stopped. Cancel
// lands while the worker sits in the kernel, a scan of another drive runs beside it, Exit does
// not wait, and the drive dialog does not hang on it. Skipped where FUSE cannot be mounted.
#include <QtTest>
#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "fakedrives.h"
#include "mainwin/frmdisksumm.h"

using namespace kvor;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The pid of the bindfs daemon serving `mountPoint`, or 0.
pid_t DaemonOf(const std::string& mountPoint) {
  DIR* proc = ::opendir("/proc");
  pid_t found = 0;
  while (const dirent* entry = proc ? ::readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.rfind("bindfs ", 0) == 0 && cmdline.find(" " + mountPoint + " ") != std::string::npos) found = pid;
  }
  if (proc) ::closedir(proc);
  return found;
}

// Whether a thread of this process waits for an answer of a FUSE daemon.
bool ThreadWaitsOnFuse() {
  DIR* tasks = ::opendir("/proc/self/task");
  bool waiting = false;
  while (const dirent* entry = tasks ? ::readdir(tasks) : nullptr)
    if (entry->d_name[0] != '.' && ReadFile(std::string("/proc/self/task/") + entry->d_name + "/wchan") == "request_wait_answer")
      waiting = true;
  if (tasks) ::closedir(tasks);
  return waiting;
}

// The fake machine with one more drive, `mnt`, that is a real bindfs mount; its type in the
// mount table is the test's to choose.
struct Hung : testing::FakeDrives, testing::Rig {
  Hung() : Rig(static_cast<FakeDrives&>(*this)) {
    MakeFile(fixed2 + "/x/f", 200);
    src = dir.path().toStdString() + "/src", mnt = dir.path().toStdString() + "/g_mnt";
    std::filesystem::create_directories(src + "/sub");
    std::filesystem::create_directories(mnt);
    base = table;
  }
  ~Hung() {
    if (daemon > 0) {
      ::kill(daemon, SIGCONT);
      ::umount2(mnt.c_str(), MNT_DETACH);
      ::kill(daemon, SIGTERM);
    }
  }
  // Mounts src on mnt; false where FUSE is unavailable.
  bool Mount() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return false;
    const std::string command = "bindfs " + src + " " + mnt + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    daemon = DaemonOf(mnt);
    return daemon > 0;
  }
  void TypeAs(const std::string& type, const std::string& source) {
    table = base + "36 1 0:99 / " + mnt + " rw - " + type + " " + source + " rw\n";
  }
  int IndexOf(const std::string& root) {
    return app.Form<frmDiskPick>().driveList->findData(QByteArray::fromStdString(root));
  }
  std::string src, mnt, base;
  pid_t daemon = 0;
};

}  // namespace

class HungDriveTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

  void cancelLandsWhileTheWorkerWaitsOnTheDrive() {
    Hung h;
    if (!h.Mount()) QSKIP("FUSE (bindfs) cannot be mounted here");
    h.TypeAs("ext4", "/dev/vde1");  // a local hard drive, as far as the program can tell
    frmDiskSumm& main = h.app.Form<frmDiskSumm>();
    h.app.scans.Finish();
    main.show();
    ::kill(h.daemon, SIGSTOP);

    frmDiskPick& pick = h.app.Form<frmDiskPick>();
    {
      // Chosen as the list would have it had the drive answered when it was chosen.
      const QSignalBlocker quiet(pick.driveList);
      pick.driveList->SetListIndex(h.IndexOf(h.mnt));
    }
    main.mnuRefresh_Click();
    // The worker is inside the kernel, waiting for the stopped daemon.
    while (!ThreadWaitsOnFuse()) QThread::yieldCurrentThread();

    QElapsedTimer latency;
    latency.start();
    QTest::mouseClick(h.app.Form<frmWait>().btnStop, Qt::LeftButton);
    const qint64 ns = latency.nsecsElapsed();
    QVERIFY(main.isVisible() && !main.mnuAnalyze->isEnabled() && !h.app.Loaded<frmWait>());
    QCOMPARE(main.Store().Text(0), std::string("User Aborted..."));
    qInfo("Cancel on the stopped FUSE drive: %.3f ms from the click to the marked tree", ns / 1e6);
    QCOMPARE(h.app.scans.Workers(), size_t(1));

    // Another drive, scanned beside the stuck worker.
    pick.driveList->SetListIndex(h.IndexOf(h.fixed2));
    main.mnuRefresh_Click();
    h.app.scans.Finish();
    QCOMPARE(main.Store().Key(0), "0?" + h.fixed2);
    QVERIFY(main.mnuAnalyze->isEnabled() && ThreadWaitsOnFuse());

    // Exit does not wait for it.
    h.answer = vbYes;
    QVERIFY(main.close());
    QCOMPARE(h.ends, 1);
  }

  void driveDialogDoesNotHangOnIt() {
    Hung h;
    if (!h.Mount()) QSKIP("FUSE (bindfs) cannot be mounted here");
    ::kill(h.daemon, SIGSTOP);
    // Refused by its type: no system call on it, so no wait.
    h.TypeAs("fuse", h.src);
    frmDiskPick& pick = h.app.Form<frmDiskPick>();
    pick.driveList->SetListIndex(h.IndexOf(h.mnt));
    QCOMPARE(h.messages.size(), size_t(1));
    QCOMPARE(h.messages[0].text, QStringLiteral("This program is designed only for local \r\nhard drives."));
    QVERIFY(!ThreadWaitsOnFuse());

    // Accepted by its type: its root does not answer within the dialog's wait, so it is a
    // drive with a problem, and refused.
    h.TypeAs("ext4", "/dev/vde1");
    pick.driveList->Reload();
    pick.driveList->SetListIndex(h.IndexOf(h.mnt));
    QCOMPARE(h.messages.size(), size_t(3));
    QCOMPARE(h.messages[1].text, QString::fromStdString("There is a problem with drive " + h.mnt + " [vde1]\r\n!"));
    QCOMPARE(pick.driveList->Root(), h.fixed1);
  }
};

QTEST_MAIN(HungDriveTest)
#include "tst_hungdrive.moc"
