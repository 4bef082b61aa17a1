// The dialogs on their own (fixed frames and their answers to Escape and the close box, the
// progress dialog's directory label, the analysis report, the drive selection) and with the
// main window: Select Disk, Cancel during a scan held at a gate or on a FUSE drive whose
// daemon is stopped, About.
#include <QWindow>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/mount.h>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "fakedrives.h"
#include "forms/twips.h"

using namespace kvor;
using platform::Picture;

namespace {

const QString kRefusal = QStringLiteral("This program is designed only for local \r\nhard drives.");
QString Problem(const std::string& drive) { return QString::fromStdString("There is a problem with drive " + drive + "\r\n!"); }
// What a cancel leaves: the tree marked, Analyze disabled, the window back with the focus.
bool OnlyUserAborted(testing::Machine& m) {
  const platform::NodeStore& s = m.Store();
  return s.size() == 1 && s.Text(0) == "User Aborted..." && s.Image(0) == Picture::XClosed && s.SelectedImage(0) == Picture::XClosed &&
         !m.Main().mnuAnalyze->isEnabled() && m.Main().isVisible() && !m.app.Loaded<frmWait>() &&
         m.Main().tvDisk->currentIndex().data() == "User Aborted..." && m.Main().focusWidget() == m.Main().tvDisk;
}

// The threads of this process that wait for an answer of a FUSE daemon.
int FuseWaiters() {
  return std::count_if(std::filesystem::directory_iterator("/proc/self/task"), {}, [](const auto& task) {
    std::string wchan;
    return std::getline(std::ifstream(task.path() / "wchan"), wchan) && wchan == "request_wait_answer";
  });
}

// One more drive, `mnt`, a real bindfs mount whose daemon the test stops; its type in the
// mount table is the test's to choose.
struct Hung : testing::Machine {
  // Let go and unmounted here, and by a watchdog outside this process's tree once the test ends
  // in any way (a timeout, a crash): a stopped daemon left behind hangs whatever touches its mount.
  ~Hung() override {
    if (daemon > 0) ::kill(daemon, SIGCONT), ::kill(daemon, SIGTERM), ::waitpid(daemon, nullptr, 0);
    ::close(alive);
    app.scans.Finish(true);  // the stuck worker, answered at last, returns before the drives go
  }
  bool MountAndStop() {
    std::filesystem::create_directories(src + "/sub");
    std::filesystem::create_directories(mnt);
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return false;
    if ((daemon = ::fork()) == 0) ::execlp("bindfs", "bindfs", "-f", src.c_str(), mnt.c_str(), nullptr), ::_exit(127);
    bool mounted = false;  // known from the mount table: a look at the root would leave its answer cached
    while (!mounted && ::waitpid(daemon, nullptr, WNOHANG) == 0)
      mounted = platform::LocalSystem().MountTableText().find(' ' + mnt + ' ') != std::string::npos;
    int pipe[2];
    if (!mounted || ::pipe2(pipe, O_CLOEXEC) != 0) return daemon = 0, false;
    const pid_t stopped = daemon, watchdog = ::fork();
    const char* point = mnt.c_str();
    if (watchdog == 0) {  // in a session of its own, deaf to the signals that end the test
      ::setsid();
      for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_IGN);
      char byte;
      if (::fork() != 0 || ::close(pipe[1]) != 0) ::_exit(0);
      while (::read(pipe[0], &byte, 1) < 0 && errno == EINTR) {}  // the pipe's end: the test is done
      ::kill(stopped, SIGCONT), ::kill(stopped, SIGTERM), ::umount2(point, MNT_DETACH), ::_exit(0);
    }
    ::waitpid(watchdog, nullptr, 0);
    ::close(pipe[0]);
    alive = pipe[1];
    return ::kill(daemon, SIGSTOP) == 0;
  }
  void TypeAs(const std::string& type) { table = table0 + testing::MountLine(36, mnt, type); }
  const std::string src = dir.path().toStdString() + "/src", mnt = dir.path().toStdString() + "/g_mnt", table0 = table;
  pid_t daemon = 0;
  int alive = -1;
};

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<testing::Machine> m_;
  App& app() { return m_->app; }
  ScanState& state() { return m_->app.state; }

 private slots:
  void init() { m_ = std::make_unique<testing::Machine>(); }
  void cleanup() {
    m_.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());  // every window goes with the program
  }

  void fixedFrames() {
    // Built under a dark theme: the about box stays black on white, whose light text would vanish.
    const QPalette before = QApplication::palette();
    QApplication::setPalette(QPalette(Qt::darkGray, QColor(0x20, 0x20, 0x20)));
    const struct {
      QPointer<QDialog> dialog;
      QString title;
      int width, height;
      bool closeBox;
    } frames[] = {{&app().Form<frmWait>(), "Korvane v1.5 - Please Wait...", 5220, 1830, false},
                  {&app().Form<frmAnalyzer>(), "Analysis of findings", 7395, 4635, true},
                  {&app().Form<frmAbout>(), "About KVOR 1.5", 3780, 1815, true},
                  {&m_->Pick(), "KVOR 1.5", 3150, 1620, true}};
    QApplication::setPalette(before);
    frmAbout& about = app().Form<frmAbout>();
    QVERIFY(about.palette().color(QPalette::WindowText) == Qt::black && about.palette().color(QPalette::Window) == Qt::white);
    QVERIFY(about.autoFillBackground() && about.lblTitle->text() == "Korvane 1.5" && !about.Image1->pixmap().isNull());
    for (QLabel* picture : {about.Image1, app().Form<frmWait>().img1})  // at its place, unscaled
      QVERIFY(picture->alignment() == (Qt::AlignLeft | Qt::AlignTop) && !picture->hasScaledContents() &&
              picture->geometry().topLeft() == forms::TwipRect(picture == about.Image1 ? 270 : 450, 150, 0, 0).topLeft());
    for (const auto& f : frames) {
      QVERIFY(f.dialog->windowTitle() == f.title && !f.dialog->windowIcon().isNull());
      QVERIFY(f.dialog->size() == forms::TwipSize(f.width, f.height) && f.dialog->minimumSize() == f.dialog->maximumSize());
      QCOMPARE(f.dialog->windowFlags(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                            (f.closeBox ? Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint : Qt::Widget));
      for (QPushButton* button : f.dialog->findChildren<QPushButton*>())
        QVERIFY(!button->isDefault() && !button->autoDefault());
      // Plain text, and no fixed text clipped at the default font.
      for (QLabel* label : f.dialog->findChildren<QLabel*>())
        QVERIFY2(label->text().isEmpty() || (label->textFormat() == Qt::PlainText &&
                  (label->wordWrap() || label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width())),
                 qPrintable(label->text()));
      // Escape does nothing; the close box unloads, but the progress dialog refuses it.
      f.dialog->show();
      QVERIFY(QTest::qWaitForWindowExposed(f.dialog));
      QTest::keyClick(f.dialog, Qt::Key_Escape);
      f.dialog->windowHandle()->close();  // what the window manager's close request does
      QMetaObject::invokeMethod(f.dialog, "reject");
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      QVERIFY(f.closeBox ? f.dialog.isNull() : f.dialog->isVisible());
    }
  }

  void currentDirectoryWrapsAndShortens() {
    frmWait& wait = app().Form<frmWait>();
    const QFontMetrics metrics = wait.lblCurDir->fontMetrics();
    const int width = wait.lblCurDir->contentsRect().width();
    // Shown on at most two lines, each within the label.
    const auto shown = [&](const QString& dir) {
      emit app().scans.currentDir(dir);
      const QStringList lines = wait.lblCurDir->text().split(u'\n');
      for (const QString& line : lines)
        if (metrics.horizontalAdvance(line) > width) QTest::qFail("line too wide", __FILE__, __LINE__);
      if (lines.size() > 2) QTest::qFail("more than two lines", __FILE__, __LINE__);
      return lines;
    };
    QCOMPARE(shown("/srv/data"), QStringList{"/srv/data"});
    QCOMPARE(wait.lblCurDir->alignment(), Qt::AlignHCenter | Qt::AlignTop);
    // Longer than a line: broken after the last separator within what fits (not one just past
    // it) that leaves the first line at least half full; nothing lost.
    QString line = QStringLiteral("/");
    while (metrics.horizontalAdvance(line) < width * 3 / 5) line += u'i';
    const qsizetype slash = line.size();
    for (line += u'/'; metrics.horizontalAdvance(line + u'/') <= width;) line += u'i';
    QCOMPARE(shown(line + "/tail"), (QStringList{line.left(slash + 1), line.mid(slash + 1) + "/tail"}));
    // No separator late enough to break at: broken between characters; far too long, the
    // middle is shortened and the tail, naming the directory being read, kept.
    const QString name = QStringLiteral("/ab/") + QString(200, u'x');
    QStringList lines = shown(name);
    QVERIFY(lines[0].size() > 4 && metrics.horizontalAdvance(lines[0] + u'x') > width && name.startsWith(lines[0]));
    QVERIFY(lines[1].startsWith(QChar(0x2026)) && lines[1].endsWith(u'x'));
    const QString smile = QStringLiteral("\U0001F600x");  // a surrogate pair is never split
    for (int shift = 0; shift < 3; ++shift) QVERIFY(!shown(QString(shift, u'x') + smile.repeated(60))[0].endsWith(smile[0]));
    // A file name may hold a newline or markup; both show as plain characters on their line.
    QCOMPARE(shown("/a\nb/<b>c</b>"), QStringList{"/a?b/<b>c</b>"});
  }

  // Found space is the files plus a cluster per directory; the comment explains a difference
  // of a whole megabyte or more, either way. Each Analyze computes the report afresh.
  void analysisFiguresAndComment() {
    constexpr int64_t kFound = 4096 * 10 + 1'000'000, kMB = 1'048'576;
    const struct {
      int64_t cluster, dirs, fileBytes, used;
      QStringList shown;  // found, used, difference (empty: not checked), the comment's cluster
    } rows[] = {{32768, 100, 50'000'000, 60'000'000, {"50.81 MB", "57.22 MB", "6.41 MB", "32KB"}},
                {4096, 10, 1'000'000, kFound + kMB, {"", "", "1.00 MB", "4KB"}},
                {4096, 10, 1'000'000 + kMB - 1, kFound, {}},
                {512, 3, 10'000'000, 20'000'000, {"9.54 MB", "19.07 MB", "9.54 MB", "0.5KB"}},
                {0, 250, 5'000'000, 0, {"4.77 MB", "0.00 Bytes", "4.77 MB", "0KB"}},  // a failed space query
                // 12.2 GiB of directory space and a difference of 4 GiB, whose low 32 bits are 0.
                {65536, 200'000, int64_t(300) << 30, 65536LL * 200'000 + (int64_t(304) << 30), {"312.21 GB", "", "4.00 GB", "64KB"}}};
    for (const auto& r : rows) {
      ScanState& s = state();
      s.gClusterSize = r.cluster, s.gTotalDirs = r.dirs, s.gTotalFileBytes = r.fileBytes, s.gUsedBytes = r.used, s.gTotalFiles = 42;
      const frmAnalyzer& report = app().Form<frmAnalyzer>();
      const QString comment = report.lblComments->text();
      const QStringList shown = {report.lblTotalInDir->text(), report.lblSysBytes->text(), report.lblMinus->text(), r.shown.value(3)};
      for (int i = 0; i < r.shown.size(); ++i) QVERIFY(r.shown[i].isEmpty() || shown[i] == r.shown[i]);
      QVERIFY(report.lblTotalFiles->text() == "42" && report.lblTotalDirs->text() == QString::number(r.dirs));
      if (r.shown.isEmpty()) QCOMPARE(comment, QStringLiteral("Everthing is OK.."));
      else QVERIFY(comment.startsWith("The difference of " + shown[2] + " in the reported amount") && comment.count(shown[3]) == 4 &&
                   comment.contains("been set at " + shown[3] + ".  If") && comment.endsWith("\"IDE Drives and Controllers\" heading."));
      // The comment fits its box.
      QVERIFY(report.lblComments->fontMetrics().boundingRect(report.lblComments->contentsRect(), Qt::TextWordWrap, comment).height() <=
              report.lblComments->contentsRect().height());
      app().Unload<frmAnalyzer>();
    }
  }

  // Loaded on the program's drive; a folder or a drive's text selects its drive. The other
  // kinds, and a drive gone since the list was filled (with a problem first), are refused each
  // time they are chosen; only a scan makes a drive the last one.
  void driveChoices() {
    state().gRescan = state().gAbort = state().gIgnoreDriveChange = true;
    DriveListBox& list = *m_->Pick().driveList;
    QVERIFY(list.count() == 6 && list.Drive() == QString::fromStdString(m_->fixed1 + " [vdb1]") && m_->messages.empty());
    QVERIFY(state().gLastDriveIndex == 0 && !state().gRescan && !state().gAbort && !state().gIgnoreDriveChange);
    list.SetDrive(QString::fromStdString(m_->fixed2 + "/deep/er"));
    QCOMPARE(list.Root(), m_->fixed2);
    list.SetDrive(QString::fromStdString(m_->fixed1 + " [vdb1]"));
    list.SetDrive(QStringLiteral("/nowhere/at/all"));
    QCOMPARE(list.Root(), m_->fixed1);
    std::filesystem::remove_all(m_->gone);
    for (const std::string* refused : {&m_->ram, &m_->net, &m_->cd, &m_->ram, &m_->gone, &m_->gone}) {
      state().gAbort = true;  // a cancelled scan before: its flag goes with any change of drive
      if (m_->messages.size() == 6) m_->Unmount();
      m_->Choose(*refused);
      const testing::Message& m = m_->messages.back();
      QVERIFY(m.text == kRefusal && m.style == vbInformation && m.title == "Korvane 1.5");
      QVERIFY(list.Root() == m_->fixed1 && !state().gAbort && !state().gIgnoreDriveChange);
    }
    QVERIFY(m_->messages.size() == 8 && m_->messages[4].text == Problem(m_->gone + " [vdd1]") &&
            m_->messages[6].text == m_->messages[4].text);
    m_->Choose(m_->fixed2);
    QVERIFY(m_->messages.size() == 8 && list.Root() == m_->fixed2 && state().gLastDriveIndex == 0);
    // The drive last scanned itself refused: moving back changes nothing, so no second event
    // would clear the flag, and the next choice must still be checked.
    state().gLastDriveIndex = m_->IndexOf(m_->cd);
    m_->Choose(m_->cd);
    m_->Choose(m_->net);
    QVERIFY(m_->messages.size() == 10 && list.Root() == m_->cd && !state().gIgnoreDriveChange);
    state().gLastDriveIndex = list.count();  // nowhere to go back to: the refused choice stays
    m_->Choose(m_->ram);
    QVERIFY(m_->messages.size() == 11 && list.Root() == m_->ram);
    // The list read afresh: a drive mounted that sorts first, one unmounted (above); the drive
    // chosen and the one scanned last keep to their entries.
    m_->table = testing::MountLine(40, m_->base + "0_new", "ext4 /dev/x") + m_->table;
    state().gLastDriveIndex = 0;
    m_->Pick().ReloadDrives();
    QVERIFY(list.count() == 6 && m_->IndexOf(m_->gone) == -1 && list.Root() == m_->ram);
    QVERIFY(state().gLastDriveIndex == 1 && m_->IndexOf(m_->fixed1) == 1);
  }

  void selectDiskRescansOnlyANewFixedDrive() {
    testing::Machine& p = *m_;
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed1 && p.app.state.gLastDriveIndex == 0);
    p.Main().Nodes().SetText(0, "marked");  // a rescan replaces the tree, and with it this mark
    // Cancel (Enter on it), or the close box, after choosing another drive: nothing changes,
    // the list keeps the choice, the dialog is only hidden.
    p.SelectDisk({p.fixed2}, [](frmDiskPick& pick) { QTest::keyClick(pick.cmdCancel, Qt::Key_Return); });
    p.SelectDisk({p.fixed2}, &QWidget::close);
    QVERIFY(p.Store().Text(0) == "marked" && p.app.state.gLastDriveIndex == 0 && p.Pick().driveList->Root() == p.fixed2 && p.ends == 0);
    // OK on the drive already scanned, or coming back to it before OK: no scan. A refused
    // drive: one message, the selection back, OK starts no scan.
    p.SelectDisk({p.fixed1}, &frmDiskPick::cmdOK_Click);
    p.SelectDisk({p.fixed2, p.fixed1}, &frmDiskPick::cmdOK_Click);
    p.SelectDisk({p.cd}, &frmDiskPick::cmdOK_Click);
    QVERIFY(p.Store().Text(0) == "marked" && p.messages.size() == 1);
    // Another fixed drive and OK (the keypad's Enter on it): scanned, and it becomes the drive
    // last scanned.
    p.SelectDisk({p.fixed2}, [](frmDiskPick& pick) { QTest::keyClick(pick.cmdOK, Qt::Key_Enter, Qt::KeypadModifier); });
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed2 && p.Store().size() == 4 && p.messages.size() == 1);
    QVERIFY(p.app.state.gLastDriveIndex == p.IndexOf(p.fixed2) && p.Main().mnuAnalyze->isEnabled() &&
            p.Main().isVisible() && !p.app.Loaded<frmWait>() && p.app.state.gTotalFileBytes == 600);

    // The analysis, modal, follows the new scan: 3 directories of 4 KB clusters, 600 bytes of files.
    bool reported = false;
    QMetaObject::invokeMethod(&p.Main(), [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      reported = report.isModal() && report.lblTotalDirs->text() == "3" && report.lblTotalInDir->text() == "12.59 KB" &&
                 report.windowHandle()->transientParent() == p.Main().windowHandle();  // kept above it
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    }, Qt::QueuedConnection);
    p.Main().mnuAnalyze->trigger();
    QVERIFY(reported && !p.app.Loaded<frmAnalyzer>());
    // About, twice while open, loads once and leaves the main window usable.
    p.Main().mnuAbout->trigger();
    p.app.Form<frmAbout>().lblTitle->setText("marked");  // a second load would put the title back
    p.Main().mnuAbout->trigger();
    const frmAbout& about = p.app.Form<frmAbout>();
    QVERIFY(about.lblTitle->text() == "marked" && about.isVisible() && !about.isModal());
    QCOMPARE(about.windowHandle()->transientParent(), p.Main().windowHandle());
    p.Main().activateWindow();  // About again brings it to the front
    p.Main().mnuAbout->trigger();
    QCoreApplication::processEvents();
    QCOMPARE(QApplication::activeWindow(), &about);
    // Without the tag (before the main window runs), OK shows the main window and Cancel ends
    // the program; the tag is compared exactly.
    p.Main().hide();
    p.Pick().Tag = "running";
    p.Pick().cmdOK_Click();
    QVERIFY(!p.Pick().isVisible() && p.Main().isVisible() && p.ends == 0);
    QTest::mouseClick(p.Pick().cmdCancel, Qt::LeftButton);
    QCOMPARE(p.ends, 1);
  }

  // The start-up scan held on its way into d5, as on a drive that stops answering: Cancel lands
  // there, Select Disk and Refresh run beside the stuck worker, Exit does not wait for it, and
  // the worker, let go at last, changes nothing.
  void cancelWhileTheWorkerIsHeld() {
    testing::Machine& p = *m_;
    for (int i = 0; i < 40; ++i)
      std::filesystem::create_directories(p.fixed1 + "/d" + std::to_string(i % 10) + "/e" + std::to_string(i / 10));
    p.holdAt = p.fixed1 + "/d5";
    frmDiskSumm& main = p.app.Form<frmDiskSumm>();
    main.show();  // as the program does once the load returns: it waits for the scan
    p.gate.AwaitWaiter();
    p.app.scans.Poll();  // the progress dialog names the directory the walk is at
    QCOMPARE(p.app.Form<frmWait>().lblCurDir->text().remove(u'\n'), QString::fromStdString(p.holdAt));
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);  // what it posted before
    QTest::mouseClick(p.app.Form<frmWait>().btnStop, Qt::LeftButton);
    QVERIFY(OnlyUserAborted(p) && p.app.state.gAbort && !p.app.scans.Busy() && p.app.scans.Workers() == 1);
    // A change of drive (refused here, so the list comes back) clears the abort flag but does
    // not vouch for the partial figures; a complete scan enables Analyze again.
    p.SelectDisk({p.net}, &frmDiskPick::cmdCancel_Click);
    QVERIFY(!p.app.state.gAbort && OnlyUserAborted(p));
    main.mnuRefresh_Click();
    p.app.scans.Finish();
    QVERIFY(p.Store().Key(0) == "0?" + p.fixed1 && p.Store().size() == 2 + 10 * 5 && main.mnuAnalyze->isEnabled());
    const auto totals = std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes);
    p.answer = vbYes;
    QVERIFY(main.close() && p.ends == 1 && p.app.scans.Workers() == 1);
    p.gate.Open();
    p.app.scans.Finish(true);
    QVERIFY(std::pair(p.app.state.gTotalDirs, p.app.state.gTotalFileBytes) == totals && totals.first == 51);
  }

  void cancelLandsWhileTheWorkerWaitsOnAFuseDrive() {
    Hung h;
    if (!h.MountAndStop()) QSKIP("FUSE (bindfs) cannot be mounted here");
    h.TypeAs("ext4 /dev/vde1");  // a local hard drive, as far as the program can tell
    h.Main().show();
    {
      // Chosen as the list would have it had the drive answered when it was chosen.
      const QSignalBlocker quiet(h.Pick().driveList);
      h.Choose(h.mnt);
    }
    h.Main().mnuRefresh_Click();
    while (FuseWaiters() == 0) QThread::yieldCurrentThread();  // the worker is in the kernel
    QTest::mouseClick(h.app.Form<frmWait>().btnStop, Qt::LeftButton);
    QVERIFY(OnlyUserAborted(h) && h.app.scans.Workers() == 1);
    h.Choose(h.fixed2);  // another drive, scanned beside the stuck worker
    h.Main().mnuRefresh_Click();
    h.app.scans.Finish();
    QVERIFY(h.Store().Key(0) == "0?" + h.fixed2 && h.Main().mnuAnalyze->isEnabled() && FuseWaiters() == 1);
    // The drive dialog does not hang on it. Refused by its type: no system call on it, so no
    // wait. Accepted by its type: its root does not answer within the dialog's wait, so it is a
    // drive with a problem, and refused.
    h.TypeAs("fuse " + h.src);
    h.Pick().driveList->Reload();
    h.Choose(h.mnt);
    QVERIFY(h.messages.size() == 1 && h.messages[0].text == kRefusal && FuseWaiters() == 1);
    h.TypeAs("ext4 /dev/vde1");
    h.Pick().driveList->Reload();
    h.Choose(h.mnt);
    QVERIFY(h.messages.size() == 3 && h.messages[1].text == Problem(h.mnt + " [vde1]"));
    QCOMPARE(h.Pick().driveList->Root(), h.fixed2);
  }
};

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
