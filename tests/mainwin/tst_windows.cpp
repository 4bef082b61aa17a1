// The windows over a machine made of temporary directories, mounted (as far as the program can
// tell) through a mount table the test writes. The main window through a session (start-up scan,
// Refresh, Select Disk, Analyze, About, Exit), its make-up, panel and layout; the tree as a
// screen reader and the arrow keys meet it. The dialogs on their own (fixed frames and their
// answers to Escape and the close box, the progress dialog's directory label, the analysis
// report, the drive selection) and with the main window: a scan that does not end (cancelled
// while held at a gate, out of memory, without a thread), Cancel on a FUSE drive whose daemon
// is stopped.
#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QScrollBar>
#include <QTextLayout>
#include <QWindow>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include "app/app.h"
#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "engine/escape.h"
#include "engine/formatsize.h"
#include "engine/rowtext.h"
#include "forms/centerform.h"
#include "forms/contrast.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "forms/windows.h"
#include "gate.h"
#include "mainwin/frmdisksumm.h"
#include "mainwin/treemodel.h"
#include "report/report.h"
#include "tempdrive.h"

using namespace kvor;
using namespace kvor::forms;

namespace {

std::string MountLine(int id, const std::string& point, const std::string& rest) {
  return std::to_string(id) + " 1 0:" + std::to_string(id) + " / " + point + " rw - " + rest + " rw\n";
}

bool Shows(const QModelIndex& index, Picture normal, Picture selected) {
  const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
  return icon.pixmap(13, 13, QIcon::Normal).toImage() == forms::TreePicture(normal).toImage() &&
         icon.pixmap(13, 13, QIcon::Selected).toImage() == forms::TreePicture(selected).toImage();
}

// The program on its drives: message boxes answered and recorded, its end counted, its scan's
// worker held at chosen directories as on a drive that stops answering.
struct Machine : platform::System {
  Machine() {
    for (const auto* root : {&programFolder, &ram, &net, &cd, &gone}) std::filesystem::create_directories(*root);
    for (const char* folder : {"/x/y", "/z"}) std::filesystem::create_directories(fixed2 + folder);
    for (const char* file : {"/x/f", "/x/y/f", "/z/f"}) test::MakeFile(fixed2 + file, 200);
    // Named so the drive list's order (by mount point) is this one.
    table = MountLine(30, fixed1, "ext4 /dev/vdb1") + MountLine(31, fixed2, "ext4 /dev/vdc1") +
            MountLine(32, ram, "tmpfs tmpfs") + MountLine(33, net, "nfs4 server:/export") +
            MountLine(34, cd, "iso9660 /dev/sr0") + MountLine(35, gone, "ext4 /dev/vdd1");
    app.windows.answer = [this](const Message& message) {
      messages.push_back(message);
      return answer;
    };
    app.windows.endProgram = [this] { ++ends; };
    app.scans.directoryHook = [this](std::string_view path) {
      for (Hold& hold : holds)
        if (path == hold.path && !hold.taken.exchange(true)) hold.starve ? throw std::bad_alloc() : hold.gate.Wait();
    };
  }
  // Nothing stays held: the program waits for its workers when it goes.
  ~Machine() override { LetGo(); }

  // The first worker to reach `path`, before reading it, waits at the gate (or, starved, runs out
  // of memory); later ones pass. Set before the scan starts.
  test::Gate& HoldAt(const std::string& path, bool starve = false) { return holds.emplace_back(path, starve).gate; }
  void LetGo() { for (Hold& hold : holds) hold.gate.Open(); }
  // Read by workers too: the test's changes must not race their reads.
  std::string MountTableText() const override { std::lock_guard lock(tableMutex); return table; }
  void SetTable(std::string text) { std::lock_guard lock(tableMutex); table = std::move(text); }
  bool QuerySpace(const std::string&, platform::SpaceFigures& out) const override {
    out = {4096, 150'000, 250'000, inodes, inodes - 100};  // 4 KB clusters; 400 MB of 1 GB in use
    return true;
  }
  bool QuerySpaceOf(int, platform::SpaceFigures& out) const override { return QuerySpace({}, out); }
  bool IsMountRoot(int) const override { return mountRoot; }
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return programFolder; }
  void GiveBackMemory() const override { ++givenBack; }

  // The main window, its start-up scan ended.
  frmDiskSumm& Main() {
    if (!app.Loaded<frmDiskSumm>()) app.Form<frmDiskSumm>(), app.scans.Finish();
    return app.Form<frmDiskSumm>();
  }
  void Refresh() {  // to the scan's end
    Main().mnuRefresh_Click();
    app.scans.Finish();
  }
  frmDiskPick& Pick() { return app.Form<frmDiskPick>(); }
  int IndexOf(const std::string& root) { return Pick().driveList->findData(QByteArray::fromStdString(root)); }
  void Choose(const std::string& root) { Pick().driveList->SetListIndex(IndexOf(root)); }
  const NodeStore& Tree() { return Main().Result().tree; }
  void MakeTenByFour() {  // d0..d9 on the program's drive, e0..e3 in each
    for (int i = 0; i < 40; ++i)
      std::filesystem::create_directories(fixed1 + "/d" + std::to_string(i % 10) + "/e" + std::to_string(i / 10));
  }
  // Select Disk: while the dialog is shown modally, choose `roots` in turn and answer; then the
  // scan, if one starts, runs to its end.
  void SelectDisk(const std::vector<std::string>& roots, std::function<void(frmDiskPick&)> answer) {
    QMetaObject::invokeMethod(&Main(), [=, this] {  // runs inside the dialog's modal loop
      QVERIFY(Pick().isVisible() && Pick().isModal() && Pick().focusWidget() == Pick().driveList);
      for (const std::string& root : roots) Choose(root);
      answer(Pick());
    }, Qt::QueuedConnection);
    Main().cmdSelect_Click();
    app.scans.Finish();
  }
  // What a cancel (or a scan that ran out of memory) leaves: the tree one marked row and the
  // scan's nodes dropped, Analyze disabled, the window back with the focus.
  bool Stopped(const QString& row = "User Aborted...") {
    const QAbstractItemModel& m = *Main().tvDisk->model();
    return m.rowCount() == 1 && m.rowCount(m.index(0, 0)) == 0 && Tree().size() == 0 && !app.Loaded<frmWait>() &&
           Shows(m.index(0, 0), Picture::XClosed, Picture::XClosed) && Main().tvDisk->currentIndex().data() == row &&
           !Main().mnuAnalyze->isEnabled() && Main().isVisible() && Main().focusWidget() == Main().tvDisk;
  }

  struct Hold { std::string path; bool starve; test::Gate gate; std::atomic<bool> taken = false; };
  QTemporaryDir dir;
  const std::string base = dir.path().toStdString() + "/";
  std::string fixed1 = base + "a_fixed", fixed2 = base + "b_fixed", ram = base + "c_ram",
              net = base + "d_net", cd = base + "e_cd", gone = base + "f_gone";
  std::string programFolder = fixed1 + "/bin", table;
  mutable std::mutex tableMutex;
  std::list<Hold> holds;
  std::vector<Message> messages;
  Button answer = Button::Ok;
  int ends = 0;
  mutable int givenBack = 0;  // times the memory of a scan was handed back
  int64_t inodes = 0;         // with 100 of them in use
  bool mountRoot = true;
  App app{*this};
};

Message Info(const QString& text) { return {Message::Kind::Information, text, "Korvane 1.5"}; }
const Message kRefusal = Info("This program is designed only for local \r\nhard drives.");
Message Problem(const std::string& drive) {
  return Info(QString::fromStdString("There is a problem with drive " + drive + "\r\n!"));
}

// What the report tool prints for the drive; with `app`, the same print of what the window holds.
std::string Report(const platform::System& system, std::string root, App* app = nullptr) {
  return test::Written([&](std::FILE* out) {
    std::string arg0 = "kvor-scan";
    char* argv[] = {arg0.data(), root.data(), nullptr};
    if (app != nullptr) report::PrintTree(app->Form<frmDiskSumm>().Result(), out), report::PrintTotals(app->figures, out);
    else report::Run(2, argv, system, out, stderr);
  });
}
QString Size(double bytes) { return QString::fromStdString(FormatSize(bytes)); }
bool Near(double twips, double expected) { return std::abs(twips - expected) <= forms::TwipsOf(1); }
// The tree's pixels, from its edges in twips.
QRect Pixels(const QRectF& t) {
  return {QPoint(Px(t.left()), Px(t.top())), QPoint(Px(t.right()) - 1, Px(t.bottom()) - 1)};
}
// The threads of this process that wait on a FUSE daemon: for its answer, or for the end of its
// start-up (a daemon stopped just after its mount appeared has not answered the kernel's first
// request yet).
int FuseWaiters() {
  return std::count_if(std::filesystem::directory_iterator("/proc/self/task"), {}, [](const auto& task) {
    std::string wchan;
    return std::getline(std::ifstream(task.path() / "wchan"), wchan) &&
           (wchan == "request_wait_answer" || wchan == "fuse_get_req");
  });
}

// One more drive, `mnt`, a real bindfs mount whose daemon the test stops; its type in the
// mount table is the test's to choose.
struct Hung : Machine {
  // Let go and unmounted here, and by a watchdog outside this process's tree once the test ends
  // in any way (a timeout, a crash): a stopped daemon left behind hangs whatever touches its mount.
  ~Hung() override {
    if (daemon > 0) ::kill(daemon, SIGCONT), ::kill(daemon, SIGTERM), ::waitpid(daemon, nullptr, 0);
    ::close(alive);
    app.scans.Finish(true);  // the stuck worker, answered at last, returns before the drives go
  }
  bool MountAndStop() {
    for (const std::string& folder : {src + "/sub", mnt}) std::filesystem::create_directories(folder);
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return false;
    if ((daemon = ::fork()) == 0) ::execlp("bindfs", "bindfs", "-f", src.c_str(), mnt.c_str(), nullptr), ::_exit(127);
    bool mounted = false;  // known from the mount table: a look at the root would leave its answer cached
    while (!mounted && ::waitpid(daemon, nullptr, WNOHANG) == 0)
      mounted = platform::LocalSystem().MountTableText().find(' ' + mnt + ' ') != std::string::npos;
    int pipe[2];
    if (!mounted || ::pipe2(pipe, O_CLOEXEC) != 0) return daemon = 0, false;
    const pid_t watchdog = ::fork();
    if (watchdog == 0) {  // in a session of its own, deaf to the signals that end the test
      ::setsid();
      for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::signal(signal, SIG_IGN);
      char byte;
      if (::fork() != 0 || ::close(pipe[1]) != 0) ::_exit(0);
      while (::read(pipe[0], &byte, 1) < 0 && errno == EINTR) {}  // the pipe's end: the test is done
      ::kill(daemon, SIGCONT), ::kill(daemon, SIGTERM), ::umount2(mnt.c_str(), MNT_DETACH), ::_exit(0);
    }
    ::waitpid(watchdog, nullptr, 0);
    ::close(pipe[0]);
    alive = pipe[1];
    // Stopped for certain before the test goes on: a request answered meanwhile would let the worker past.
    return ::kill(daemon, SIGSTOP) == 0 && ::waitpid(daemon, nullptr, WUNTRACED) == daemon;
  }
  void TypeAs(const std::string& type) { SetTable(table0 + MountLine(36, mnt, type)); }
  const std::string src = base + "src", mnt = base + "g_mnt", table0 = table;
  pid_t daemon = 0;
  int alive = -1;
};

}  // namespace

class WindowsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<Machine> m_;

 private slots:
  void init() { m_ = std::make_unique<Machine>(); }
  void cleanup() {
    m_.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());  // every window goes with the program
  }

  // The main window through a session: what each scan shows is what the report tool prints.
  void session() {
    Machine& p = *m_;
    for (const char* folder : {"/docs/deep", "/.cache"}) std::filesystem::create_directories(p.fixed1 + folder);
    for (const char* path : {"/bin/kvor", "/docs/a.txt", "/docs/deep/b.txt", "/.cache/c.bin", "/top.txt"})
      test::MakeFile(p.fixed1 + path, std::strlen(path) * 100);
    frmDiskSumm& main = p.app.Form<frmDiskSumm>();
    // Shown once the load returns, then Refresh (the same drive, without the dialog; one shown by
    // mistake is answered): each time the window waits for the scan, then hands its memory back.
    bool dialogShown = false;
    for (const bool refresh : {false, true}) {
      if (refresh) test::MakeFile(p.fixed1 + "/docs/new.bin", 200'000);
      QMetaObject::invokeMethod(&main, [&] { if ((dialogShown = p.Pick().isVisible())) p.Pick().cmdCancel_Click(); },
                                Qt::QueuedConnection);
      refresh ? main.mnuRefresh->trigger() : main.show();
      QVERIFY(!main.isVisible() && p.app.Form<frmWait>().isVisible());
      p.app.scans.Finish();
      QCoreApplication::sendPostedEvents();
      QVERIFY(!dialogShown && main.isVisible() && !p.app.Loaded<frmWait>() && p.messages.empty());
      QVERIFY(!p.app.state.gRescan && p.givenBack == 1 + refresh);
      QCOMPARE(Report(p, "", &p.app), Report(p, p.fixed1));
    }
    QCOMPARE(QStringList({main.windowTitle(), main.lblUsed->text(), main.lblFree->text(), main.lblTotal->text()}),
             QStringList({"Korvane 1.5", Size(100'000.0 * 4096), Size(150'000.0 * 4096), Size(250'000.0 * 4096)}));
    // The first level is open (and, as after any scan's end, the tree has the focus and the root
    // is current: see the scan that does not end).
    const QModelIndex root = main.tvDisk->model()->index(0, 0);
    QVERIFY(main.tvDisk->isExpanded(root) && !main.tvDisk->isExpanded(root.model()->index(1, 0, root)));

    // Select Disk, no scan: Cancel (Enter on it) or the close box after choosing another drive
    // (the list keeps the choice, the dialog is only hidden); OK on the drive already scanned, or
    // coming back to it before OK; a refused drive (one message, the selection back).
    QSignalSpy scans(&p.app.scans, &ScanController::ended);
    const std::tuple<std::vector<std::string>, std::function<void(frmDiskPick&)>, std::string> unchanged[] = {
        {{p.fixed2}, [](frmDiskPick& pick) { QTest::keyClick(pick.cmdCancel, Qt::Key_Return); }, p.fixed2},
        {{p.fixed2}, &QWidget::close, p.fixed2}, {{p.fixed1}, &frmDiskPick::cmdOK_Click, p.fixed1},
        {{p.fixed2, p.fixed1}, &frmDiskPick::cmdOK_Click, p.fixed1}, {{p.cd}, &frmDiskPick::cmdOK_Click, p.fixed1}};
    for (const auto& [roots, answer, root] : unchanged) {
      p.SelectDisk(roots, answer);
      QVERIFY(scans.isEmpty() && p.app.state.gLastDriveIndex == 0 && p.ends == 0 && p.Pick().driveList->Root() == root);
    }
    // Another fixed drive and OK (the keypad's Enter on it): scanned, and it becomes the drive
    // last scanned.
    p.SelectDisk({p.fixed2}, [](frmDiskPick& pick) { QTest::keyClick(pick.cmdOK, Qt::Key_Enter, Qt::KeypadModifier); });
    QCOMPARE(Report(p, "", &p.app), Report(p, p.fixed2));
    QVERIFY(p.messages.size() == 1 && scans.size() == 1 && p.app.state.gLastDriveIndex == p.IndexOf(p.fixed2));

    // The analysis, modal, follows the new scan: 3 directories of 4 KB clusters, 600 bytes of files.
    bool reported = false;
    QMetaObject::invokeMethod(&main, [&] {
      frmAnalyzer& report = p.app.Form<frmAnalyzer>();
      reported = report.isModal() && report.lblTotalDirs->text() == "3" && report.lblTotalInDir->text() == "12.59 KB" &&
                 report.windowHandle()->transientParent() == main.windowHandle();  // kept above it
      QTest::mouseClick(report.btnOK, Qt::LeftButton);
    }, Qt::QueuedConnection);
    main.mnuAnalyze->trigger();
    QVERIFY(reported && !p.app.Loaded<frmAnalyzer>());
    // About, twice while open, loads once and leaves the main window usable.
    main.mnuAbout->trigger();
    p.app.Form<frmAbout>().lblTitle->setText("marked");  // a second load would put the title back
    main.activateWindow();  // About again brings it to the front
    main.mnuAbout->trigger();
    QCoreApplication::processEvents();
    const frmAbout& about = p.app.Form<frmAbout>();
    QVERIFY(about.lblTitle->text() == "marked" && about.isVisible() && !about.isModal());
    QVERIFY(QApplication::activeWindow() == &about && about.windowHandle()->transientParent() == main.windowHandle());

    // Exit asks every time, from the menu and from the close box.
    p.answer = Button::No;
    main.mnuExit->trigger();
    const Message ask{Message::Kind::Question, "Exit Korvane 1.5?", "Korvane 1.5"};
    QVERIFY(!main.close() && p.messages == std::vector({p.messages[0], ask, ask}));
    QVERIFY(p.ends == 0 && main.isVisible() && p.app.Loaded<frmDiskPick>() && main.Result().tree.size() == 4);
    // Select Disk shown without the main window waiting for its answer (as before the main
    // window runs): OK shows the main window and Cancel ends the program.
    main.hide();
    p.Pick().show();
    p.Pick().cmdOK_Click();
    QVERIFY(!p.Pick().isVisible() && main.isVisible() && p.ends == 0);
    QTest::mouseClick(p.Pick().cmdCancel, Qt::LeftButton);  // the first end; the close box, the second
    p.answer = Button::Yes;
    QVERIFY(main.close() && p.ends == 2 && !p.app.Loaded<frmDiskSumm>() && !p.app.Loaded<frmDiskPick>());
  }

  // The main window as loaded, before its first show, and then its resize rule; the dialogs' frames.
  void makeUpAndFrames() {
    frmDiskSumm& main = m_->Main();
    const QSize minimum(Px(4335), Px(3675));
    const QRectF withPanel(180, 1560, 4020, 1950), withoutPanel(180, 600, 4020, 2910);
    QVERIFY(main.ClientSize() == minimum && main.tvDisk->geometry() == Pixels(withPanel));
    // Of the widest figures a value box shows, only those that need it get a smaller font.
    QLabel& box = *main.lblFree;
    for (const QString& text : {Size(1073741823), Size(1048575), Size(1023), Size(20.0 * (1LL << 40)), Size(0)}) {
      SetFittingText(box, text);
      QVERIFY(box.text() == text && QFontMetrics(box.font()).horizontalAdvance(text) <= box.contentsRect().width());
      QVERIFY(box.font().pointSizeF() >= main.font().pointSizeF() - 2);
    }
    QCOMPARE(box.font(), main.framDisk->font());  // back to its own once the figure fits

    // The panel shown and hidden (through the menu Qt flips the mark itself before the handler
    // runs), the window made smaller than it may be or larger: the tree takes all of the change.
    main.show();
    // the panel toggled, the window grown by twips (either way), where the tree is then
    const std::tuple<bool, int, QRectF> steps[] = {{true, 0, withoutPanel}, {true, 0, withPanel}, {false, -4000, withPanel},
        {false, 1000, {180, 1560, 5020, 2950}}, {true, 0, {180, 600, 5020, 3910}}, {false, -4000, withoutPanel}};
    for (const auto& [toggle, grow, tree] : steps) {
      if (toggle) main.mnuDiskInfo->trigger();
      main.resize(main.size() + QSize(Px(grow), Px(grow)));
      const QRectF at = main.TreeTwips();
      QVERIFY(Near(at.left(), tree.left()) && Near(at.top(), tree.top()) && Near(at.right(), tree.right()) &&
              Near(at.bottom(), tree.bottom()) && main.tvDisk->geometry() == Pixels(at));
      const bool panel = tree.top() > 600;
      QVERIFY(main.mnuDiskInfo->isChecked() == panel && main.framDisk->isVisible() == panel);
      QVERIFY(main.ClientSize() == minimum + QSize(Px(tree.width() - 4020), Px(tree.height() - (panel ? 1950 : 2910))));
    }
    // The panel and the button keep their place and size.
    QVERIFY(main.cmdSelect->geometry() == TwipRect(180, 120, 2055, 375) && main.centralWidget()->size() == main.ClientSize());
    QCOMPARE(main.framDisk->geometry(), TwipRect(180, 600, 4005, 870));

    // Centred by unrounded halves of the outer size; wider than the screen, left of its edge.
    QCOMPARE(forms::CenterPosition(QSizeF(15360, 11520), QSizeF(4455, 4365)), QPointF(5452.5, 3577.5));
    QWidget huge;
    const QRect screen = huge.screen()->geometry();
    huge.resize(screen.width() + 400, 101);
    forms::CenterForm(huge);
    QCOMPARE(huge.frameGeometry().topLeft(), screen.topLeft() + QPoint(-200, screen.height() / 2 - 51));

    // The dialogs' fixed frames, their texts and their answers to Escape and the close box. The
    // start-up scan has ended: the progress dialog is loaded afresh.
    // Built under a dark theme: the about box stays black on white, whose light text would vanish.
    const QPalette before = QApplication::palette();
    QApplication::setPalette(QPalette(Qt::darkGray, QColor(0x20, 0x20, 0x20)));
    const std::tuple<QPointer<QDialog>, QString, int, int, bool> frames[] = {
        {&m_->app.Form<frmWait>(), "Korvane v1.5 - Please Wait...", 5220, 2400, false},
        {&m_->app.Form<frmAnalyzer>(), "Analysis of findings", 7395, 4635, true},
        {&m_->app.Form<frmAbout>(), "About KVOR 1.5", 3780, 1815, true},
        {&m_->Pick(), "KVOR 1.5", 3150, 1620, true}};
    QApplication::setPalette(before);
    // Each field is linked to the text that names it (the panel's frame labels its figures too).
    const frmAnalyzer& report = m_->app.Form<frmAnalyzer>();
    const std::pair<const QWidget*, QString> labelled[] = {
        {m_->Pick().driveList, "Select disk to analyze"}, {main.lblUsed, "Used:"}, {main.lblFree, "Free:"},
        {main.lblTotal, "Total:"}, {report.lblTotalInDir, report.Label1->text()},
        {report.lblSysBytes, "Used space in file system:"}, {report.lblMinus, "Difference:"},
        {report.lblTotalFiles, "Files found on disk:"}, {report.lblTotalDirs, "Directories on disk:"}};
    for (const auto& [field, label] : labelled) {
      const auto by = QAccessible::queryAccessibleInterface(const_cast<QWidget*>(field))->relations(QAccessible::Label);
      QVERIFY2(std::any_of(by.begin(), by.end(), [&](const auto& r) { return r.first->text(QAccessible::Name) == label; }),
               qPrintable(label));
    }
    const frmAbout& about = m_->app.Form<frmAbout>();
    QVERIFY(about.palette().windowText().color() == Qt::black && about.palette().window().color() == Qt::white);
    QVERIFY(about.autoFillBackground() && about.lblTitle->text() == "Korvane 1.5" && !about.Image1->pixmap().isNull());
    for (const auto& [dialog, title, width, height, closeBox] : frames) {
      QDialog& d = *dialog;
      QVERIFY(d.windowTitle() == title && !d.windowIcon().isNull());
      QVERIFY(d.size() == forms::TwipSize(width, height) && d.minimumSize() == d.maximumSize());
      QCOMPARE(d.windowFlags(), Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                    (closeBox ? Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint : Qt::Widget));
      for (QPushButton* b : d.findChildren<QPushButton*>()) QVERIFY(!b->isDefault() && !b->autoDefault());
      // Plain text, and no fixed text clipped at the default font.
      for (QLabel* l : d.findChildren<QLabel*>()) {
        const bool fits = l->wordWrap() || l->fontMetrics().horizontalAdvance(l->text()) <= l->contentsRect().width();
        QVERIFY2(l->text().isEmpty() || (l->textFormat() == Qt::PlainText && fits), qPrintable(l->text()));
      }
      // Escape does nothing; the close box unloads, but the progress dialog refuses it.
      d.show();
      QTest::keyClick(&d, Qt::Key_Escape);
      d.windowHandle()->close();  // what the window manager's close request does
      QMetaObject::invokeMethod(&d, "reject");
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      QVERIFY(closeBox ? dialog.isNull() : dialog->isVisible());
    }
  }

  // The tree over a scan's nodes: rows in the order the walk added them, never sorted; a row's
  // text made from its numbers; a directory not read whole grey, its reason beside its path. A
  // name cannot move the text of its row: right-to-left letters keep to the name, and what would
  // move a line's direction or break it shows as the report writes it.
  void treeRows() {
    frmDiskSumm& main = m_->Main();
    QTreeView& view = *main.tvDisk;
    auto& model = static_cast<TreeModel&>(*view.model());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    // One column without a header, in the walk's order, not for editing.
    QVERIFY(view.isHeaderHidden() && view.editTriggers() == QAbstractItemView::NoEditTriggers && !view.isSortingEnabled());
    // Under the root: b/x/locked (not entered: the tests may run as root), a with odd names,
    // .h hidden, a chain 31 deep and a row wider than the view.
    const std::string names[] = {"plain", "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d 2", "x \xd8\xb3\xd9\x84\xd8\xa7\xd9\x85",
                                 "a\xe2\x80\xaegpj.exe", "b\xe2\x81\xa7\xd7\x90", "c\xc2\x9b[2J\xe2\x80\xa8\xe2\x80\x8f"};
    const QString root = QString::fromStdString(m_->fixed1), wide(150, u'w');
    ScanResult scan;
    NodeStore& t = scan.tree;
    t.AddRoot(m_->fixed1);
    const auto b = t.Add(0, "b", false), a = t.Add(0, "a", false), locked = t.Add(t.Add(b, "x", false), "locked", false);
    t.Add(0, ".h", true);
    t[b].files = 3, t[b].bytes = 1536, t[b].lost = 2560, t[b].form = NodeStore::Form::HiddenChild;
    t[locked].problems = platform::kCannotEnter, t[locked].error = EACCES;
    for (const std::string& name : names) t[t.Add(a, name, false)].files = 12;
    for (NodeStore::Index level = 0, chain = 0; level < 31; ++level) chain = t.Add(chain, "c", false);
    t.Add(t.Add(0, wide.toStdString(), false), "in", false);
    model.Show(std::move(scan));
    const QModelIndex top = model.index(0, 0), bi = model.index(0, 0, top), xi = model.index(0, 0, bi),
                      bad = model.index(0, 0, xi), ai = model.index(1, 0, top);
    QCOMPARE(bi.data(), QString::fromStdString(RowText(model.Scan(), b, '.')));
    QVERIFY(Shows(model.index(2, 0, top), Picture::HClosed, Picture::HOpen) && Shows(xi, Picture::Closed, Picture::Open) &&
            Shows(bad, Picture::UClosed, Picture::UClosed) && !xi.data(Qt::ForegroundRole).isValid());
    QCOMPARE(bad.data(Qt::ToolTipRole).toString(), root + "/b/x/locked\nCannot be read: Permission denied");
    // White is clear in every picture, at both sizes: the view's background shows through.
    for (const Picture picture : {Picture::Open, Picture::Closed, Picture::HOpen, Picture::HClosed, Picture::XClosed,
                                  Picture::UClosed})
      for (const int size : {13, 26}) {
        const QImage image = TreeIcon(picture, picture).pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
        const auto* px = reinterpret_cast<const QRgb*>(image.constBits());
        QVERIFY(image.size() == QSize(size, size) && std::count(px, px + size * size, qRgb(255, 255, 255)) == 0 &&
                std::count_if(px, px + size * size, [](QRgb c) { return qAlpha(c) == 0; }) > size);
      }
    // Its text dimmed, yet readable (4.5:1) on the view's background, on a light and on a dark
    // palette whose own dimmed text is too faint; a selected row's text on its selection too.
    // Contrast as WCAG measures it: grey #767676 on white just reaches 4.5:1, pure red 4:1, pure blue 8.6:1.
    const auto ratio = [](const QColor& a, const QColor& b) { return qRound(ContrastRatio(a, b) * 100); };
    QCOMPARE(std::tuple(ratio(QColor(0x767676), Qt::white), ratio(Qt::red, Qt::white), ratio(Qt::white, Qt::blue)),
             std::tuple(454, 400, 859));
    const QPalette before = QGuiApplication::palette();
    for (const auto& [base, text, dim, selection] : {std::tuple("#FFFFFF", "#000000", "#BEBEBE", "#308CC6"),
                                                     {"#1B1E20", "#FCFCFC", "#626C76", "#3DAEE9"}}) {
      QPalette palette = before;
      for (const auto& [role, colour] : {std::pair(QPalette::Base, base), {QPalette::Text, text},
                                         {QPalette::Highlight, selection}, {QPalette::HighlightedText, "#FCFCFC"}})
        palette.setColor(role, QColor(colour));
      palette.setColor(QPalette::Disabled, QPalette::Text, QColor(dim));
      QApplication::setPalette(palette);
      QCoreApplication::sendPostedEvents();
      const QColor shown = bad.data(Qt::ForegroundRole).value<QBrush>().color();
      QVERIFY2(ContrastRatio(shown, view.palette().color(QPalette::Base)) >= 4.5 && shown != QColor(text), base);
      for (const auto group : {QPalette::Active, QPalette::Inactive})
        QVERIFY2(ContrastRatio(view.palette().color(group, QPalette::HighlightedText),
                               view.palette().color(group, QPalette::Highlight)) >= 4.5, selection);
    }
    QApplication::setPalette(before);
    // The row is drawn as the name, then the figures, left to right.
    for (int row = 0; row < int(std::size(names)); ++row) {
      const QString text = model.index(row, 0, ai).data().toString();
      QString name = text.left(text.indexOf(QStringLiteral("     12 file(s)")));
      const int figures = int(name.size());
      QVERIFY2(!name.startsWith(u'\u2068') || name.endsWith(u'\u2069'), qPrintable(text));
      QCOMPARE(name.remove(u'\u2068').remove(u'\u2069'), QString::fromStdString(Escape(names[row])));
      QTextLayout layout(text, view.font());
      layout.beginLayout();
      const QTextLine line = layout.createLine();
      layout.endLayout();
      qreal right = 0;
      for (int i = 0; i < text.size(); ++i) {
        QVERIFY2(i < figures || line.cursorToX(i) >= right, qPrintable(QString::number(row) + " " + QString::number(i)));
        right = i < figures ? std::max(right, line.cursorToX(i)) : line.cursorToX(i);
      }
    }

    // Through the accessibility interface, as a screen reader meets it: the tree and its column
    // named; each row described by its path, why it could not be read and whether it is hidden
    // (not by colour alone).
    for (const QModelIndex& open : {top, bi, xi}) view.expand(open);
    view.doItemsLayout();
    QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(&view);
    // The tree by its name, then the column header by its name, the rows by their descriptions.
    QStringList cells = {tree->text(QAccessible::Name), tree->child(0)->text(QAccessible::Name)};
    for (int i = 1; i < tree->childCount(); ++i) cells << tree->child(i)->text(QAccessible::Description);
    QCOMPARE(tree->child(0)->role(), QAccessible::ColumnHeader);
    QCOMPARE(cells, QStringList({"Directory tree", "Directory", root, root + "/b", root + "/b/x",
                                 root + "/b/x/locked; Cannot be read: Permission denied", root + "/a",
                                 root + "/.h; hidden", root + "/c", root + "/" + wide}));
    // Each row opens and closes itself, becomes the current row, selected; its state read back
    // agrees with the view's. By step: the row's child number (a is fifth shown), its index,
    // opened or closed, the rows shown then. The leaf .h offers only the focus.
    const std::tuple<int, QModelIndex, bool, int> steps[] = {{5, ai, true, 15}, {5, ai, false, 9}, {1, top, false, 2}, {1, top, true, 9}};
    for (const auto& [child, index, open, shown] : steps) {
      QAccessibleInterface* row = tree->child(child);
      QVERIFY(row->text(QAccessible::Name) == index.data() && row->state().collapsed == open);
      row->actionInterface()->doAction(open ? "expand" : "collapse");
      QVERIFY(view.isExpanded(index) == open && view.currentIndex() == index && main.focusWidget() == &view);
      row = tree->child(child);
      QVERIFY(row->state().expanded == open && row->state().collapsed != open && row->state().selected);
      QVERIFY(row->actionInterface()->actionNames().contains(open ? "collapse" : "expand"));
      QVERIFY(tree->childCount() == shown && tree->indexOfChild(row) == child);
    }
    QVERIFY(tree->child(6)->state().expandable == false && tree->child(6)->actionInterface()->actionNames() ==
                                                               QStringList{QAccessibleActionInterface::setFocusAction()});

    // The arrow keys keep the current row's name in view: no step sideways for a row that fits
    // (Right on a leaf), and a row indented past the edge is scrolled to.
    main.show();
    const QModelIndex leaf = model.index(2, 0, top), wideRow = model.index(4, 0, top);
    view.setCurrentIndex(leaf);
    // As wide as that row needs, so it fits and the wide one does not.
    main.resize(main.width() + view.visualRect(leaf).left() + view.sizeHintForIndex(leaf).width() - view.viewport()->width() + 8,
                main.height());
    const auto nameShown = [&] {
      const QRect at = view.visualRect(view.currentIndex());
      const int scrolled = view.horizontalScrollBar()->value();
      const bool fits = at.left() + scrolled + view.sizeHintForIndex(view.currentIndex()).width() <= view.viewport()->width();
      return at.left() >= 0 && at.left() < view.viewport()->width() / 2 && (!fits || scrolled == 0);
    };
    QVERIFY(view.horizontalScrollBar()->maximum() > 0 && nameShown());
    QTest::keyClick(&view, Qt::Key_Right);  // nothing to open or enter
    QVERIFY(view.currentIndex() == leaf && nameShown());
    // Down the chain, opening each level and entering it: the deeper rows start past the edge.
    view.setCurrentIndex(model.index(3, 0, top));
    for (int key = 0; key < 60; ++key) {
      QTest::keyClick(&view, Qt::Key_Right);
      QVERIFY2(nameShown(), qPrintable(QString::number(key)));
    }
    QVERIFY(view.visualRect(view.currentIndex()).left() + view.horizontalScrollBar()->value() > view.viewport()->width());
    // Left closes a wide open row though the view is scrolled off its left edge; Right opens it.
    view.setCurrentIndex(wideRow);
    view.expand(wideRow);
    for (const bool open : {true, false, true}) {
      QVERIFY(view.isExpanded(wideRow) == open && view.horizontalScrollBar()->value() > 0);
      QTest::keyClick(&view, open ? Qt::Key_Left : Qt::Key_Right);
      QVERIFY2(view.isExpanded(wideRow) != open && view.currentIndex() == wideRow && nameShown(), open ? "Left" : "Right");
    }
    model.ShowAborted();  // a reset the tester follows, as it did the scan's
  }

  // Found space is the files plus a cluster per directory; the comment explains a difference
  // of a whole megabyte or more, either way. Each Analyze computes the report afresh.
  void analysisFiguresAndComment() {
    constexpr int64_t kFound = 4096 * 10 + 1'000'000, kMB = 1'048'576, kG = int64_t(1) << 30;
    // cluster, directories, file bytes, used; shown: found, used, difference; the comment's cluster (none: no comment)
    const std::tuple<int64_t, int64_t, int64_t, int64_t, QStringList, QString> rows[] = {
        {32768, 100, 50'000'000, 60'000'000, {"50.81 MB", "57.22 MB", "6.41 MB"}, "32KB"},
        {4096, 10, 1'000'000, kFound + kMB, {"1016.56 KB", "1.99 MB", "1.00 MB"}, "4KB"},
        {4096, 10, 1'000'000 + kMB - 1, kFound, {"1.99 MB", "1016.56 KB", "1024.00 KB"}, ""},
        {512, 3, 10'000'000, 20'000'000, {"9.54 MB", "19.07 MB", "9.54 MB"}, "0.5KB"},
        {0, 250, 5'000'000, 0, {"4.77 MB", "0.00 Bytes", "4.77 MB"}, "0KB"},  // a failed space query
        // 12.2 GiB of directory space and a difference of 4 GiB, whose low 32 bits are 0.
        {65536, 200'000, 300 * kG, 65536LL * 200'000 + 304 * kG, {"312.21 GB", "316.21 GB", "4.00 GB"}, "64KB"},
        // A file total that stopped at its largest value, with a directory's cluster beyond it.
        {4096, 1, INT64_MAX, 0, {"8589934592.00 GB", "0.00 Bytes", "8589934592.00 GB"}, "4KB"}};
    ScanFigures& s = m_->app.figures;
    s.gTotalFiles = 42;
    for (const auto& [cluster, dirs, fileBytes, used, expected, size] : rows) {
      s.gClusterSize = cluster, s.gTotalDirs = dirs, s.gTotalFileBytes = fileBytes, s.gUsedBytes = used;
      const frmAnalyzer& report = m_->app.Form<frmAnalyzer>();
      const QString comment = report.lblComments->text();
      const QStringList shown = {report.lblTotalInDir->text(), report.lblSysBytes->text(), report.lblMinus->text(),
                                 report.lblTotalFiles->text(), report.lblTotalDirs->text()};
      QCOMPARE(shown, expected + QStringList({"42", QString::number(dirs)}));
      if (size.isEmpty()) QCOMPARE(comment, QStringLiteral("Everthing is OK.."));
      else QVERIFY(comment.startsWith("The difference of " + expected[2] + " in the reported amount") &&
                   comment.count(size) == 4 && comment.contains("been set at " + size + ".  If") &&
                   comment.endsWith("\"IDE Drives and Controllers\" heading."));
      // The comment fits its box.
      const QRect inside = report.lblComments->contentsRect();
      QVERIFY(report.lblComments->fontMetrics().boundingRect(inside, Qt::TextWordWrap, comment).height() <= inside.height());
      m_->app.Unload<frmAnalyzer>();
    }
  }

  // Loaded on the program's drive; a folder or a drive's text selects its drive. The other
  // kinds, and a drive gone since the list was filled (with a problem first), are refused each
  // time they are chosen; only a scan makes a drive the last one.
  void driveChoices() {
    Machine& p = *m_;
    ScanState& s = p.app.state;
    s.gRescan = s.gIgnoreDriveChange = true;
    DriveListBox& list = *p.Pick().driveList;
    QVERIFY(list.count() == 6 && list.Drive() == QString::fromStdString(p.fixed1 + " [vdb1]") && p.messages.empty());
    QVERIFY(s.gLastDriveIndex == 0 && !s.gRescan && !s.gIgnoreDriveChange);
    for (const auto& [given, root] : {std::pair(p.fixed2 + "/deep/er", p.fixed2), {"/nowhere/at/all", p.fixed2}}) {
      list.SetDrive(given);
      QCOMPARE(list.Root(), root);
    }
    std::filesystem::remove_all(p.gone);
    for (const std::string* refused : {&p.ram, &p.net, &p.cd, &p.ram, &p.gone, &p.gone}) {
      if (p.messages.size() == 6) p.SetTable(p.table.substr(0, p.table.find("35 1 ")));  // `gone` unmounted
      p.Choose(*refused);
      QVERIFY(p.messages.back() == kRefusal && list.Root() == p.fixed1 && !s.gIgnoreDriveChange);
    }
    QVERIFY(p.messages.size() == 8 && p.messages[4] == Problem(p.gone + " [vdd1]") && p.messages[6] == p.messages[4]);
    p.Choose(p.fixed2);
    QVERIFY(p.messages.size() == 8 && list.Root() == p.fixed2 && s.gLastDriveIndex == 0);
    // The drive last scanned itself refused: moving back changes nothing, so no second event
    // would clear the flag, and the next choice must still be checked.
    s.gLastDriveIndex = p.IndexOf(p.cd);
    p.Choose(p.cd);
    p.Choose(p.net);
    QVERIFY(p.messages.size() == 10 && list.Root() == p.cd && !s.gIgnoreDriveChange);
    s.gLastDriveIndex = list.count();  // nowhere to go back to: the refused choice stays
    p.Choose(p.ram);
    QVERIFY(p.messages.size() == 11 && list.Root() == p.ram);
    // The mount table changes while the dialog is open: the list is read afresh, with a drive
    // mounted that sorts first and one unmounted (above); the drive chosen and the one scanned
    // last keep to their entries. Hidden, the dialog leaves its list alone.
    s.gLastDriveIndex = 0;
    for (const bool shown : {false, true}) {
      p.Pick().setVisible(shown);
      p.SetTable(shown ? MountLine(40, p.base + "0_new", "ext4 /dev/x") + p.table.substr(p.table.find('\n') + 1)
                       : MountLine(41, p.base + "00_hidden", "ext4 /dev/y") + p.table);
      QEvent event(QEvent::SockAct);  // as the event loop delivers the watch's signal
      QCoreApplication::sendEvent(p.Pick().findChild<QSocketNotifier*>(), &event);
      QVERIFY(list.count() == 6 && p.IndexOf(p.base + "00_hidden") == -1 && (p.IndexOf(p.gone) == -1) == shown);
    }
    QVERIFY(list.Root() == p.ram && s.gLastDriveIndex == 1 && p.IndexOf(p.fixed1) == 1);
  }

  // A drive mounted where the name is not UTF-8 is chosen and scanned at its own bytes, and named
  // as the report writes them. Unmounted after its scan: Refresh tells of a drive with a problem
  // and scans nothing, not the folder beneath it in its name; the window stays as it was, and
  // Select Disk shows the dialog, which no longer offers the drive. One gone after it was chosen,
  // before OK: the same.
  void driveAtANameThatIsNotUtf8GoneBetweenTwoScans() {
    Machine& p = *m_;
    const std::string drive = p.base + "h_\xff\xfe", table = p.table;
    std::filesystem::create_directories(drive + "/sub");
    // Removed here: a name the temporary folder's own removal cannot spell.
    const std::shared_ptr<const char> removed(drive.c_str(), [](const char* at) { std::filesystem::remove_all(at); });
    test::MakeFile(drive + "/sub/f", 100);
    p.SetTable(table + MountLine(37, drive, "ext4 /dev/vdf1"));
    p.SelectDisk({drive}, &frmDiskPick::cmdOK_Click);
    QVERIFY(p.messages.empty() && Report(p, "", &p.app) == Report(p, drive));
    QCOMPARE(p.Pick().driveList->Drive(), QString::fromStdString(Escape(drive) + " [vdf1]"));
    QSignalSpy scans(&p.app.scans, &ScanController::ended);
    p.SetTable(table);  // unmounted, its folder left behind
    p.Refresh();
    const Message problem = Problem(Escape(drive) + " [vdf1]");
    QVERIFY(scans.isEmpty() && p.messages == std::vector{problem} && !p.app.state.gRescan);
    QVERIFY(p.Main().isVisible() && p.Tree().Path(0) == drive && p.Tree().size() == 2);
    p.SelectDisk({p.fixed2}, &frmDiskPick::cmdOK_Click);  // the dialog is shown
    QVERIFY(p.IndexOf(drive) < 0 && p.Tree().Path(0) == p.fixed2 && scans.size() == 1);

    p.SetTable(table + MountLine(38, drive, "ext4 /dev/vdf1"));
    p.SelectDisk({drive}, [&](frmDiskPick& pick) {
      p.SetTable(table);
      pick.cmdOK_Click();
    });
    QVERIFY(scans.size() == 1 && p.messages == std::vector(2, problem) && p.Tree().Path(0) == p.fixed2);
  }

  // The progress dialog's bar and figures, on a drive that counts its inodes (100 in use), one
  // that counts only its used space, and a folder: they move while the walk does. Its label of
  // the directory being read.
  void progressDialog() {
    for (const auto& [inodes, mountRoot, busy] : {std::tuple(int64_t{1000}, true, false), std::tuple(int64_t{0}, true, false),
                                                 std::tuple(int64_t{1000}, false, true)}) {
      Machine p;
      p.inodes = inodes, p.mountRoot = mountRoot;
      p.app.scans.scanOptions.readers = 0;  // what readers read ahead counts too: none here
      p.MakeTenByFour();
      p.HoldAt(p.fixed1 + "/d2"), p.HoldAt(p.fixed1 + "/d7");
      p.app.Form<frmDiskSumm>().show();
      frmWait& wait = p.app.Form<frmWait>();
      // Read before d2: the root, its 11 names, and the 4 in each of d0 and d1; before d7, five more.
      // By blocks the bar shows next to none. The dialog names the directory the walk is at.
      for (Machine::Hold& hold : p.holds) {
        hold.gate.AwaitWaiter();
        p.app.scans.Poll();
        const int read = hold.path.ends_with("/d2") ? 20 : 40;
        const bool counted = inodes > 0 && !busy;
        QVERIFY((wait.pbScan->maximum() == 0) == busy && (busy || wait.pbScan->value() == (counted ? read : 0)));
        QVERIFY(wait.lblFigures->text().startsWith(QString::number(read) + (counted ? " of about 100 items" : " items read")));
        QCOMPARE(wait.lblCurDir->text().remove(u'\n'), QString::fromStdString(hold.path));
        hold.gate.Open();
      }
      p.app.scans.Finish();
    }
    // The label of the directory being read, and the figures, on the progress dialog as loaded.
    frmWait& wait = m_->app.Form<frmWait>();
    const QFontMetrics metrics = wait.lblCurDir->fontMetrics();
    const int width = wait.lblCurDir->contentsRect().width();
    // Shown on at most two lines, each within the label.
    const auto shown = [&](const QString& dir) {
      emit m_->app.scans.currentDir(dir);
      const QStringList lines = wait.lblCurDir->text().split(u'\n');
      const auto tooWide = [&](const QString& line) { return metrics.horizontalAdvance(line) > width; };
      if (lines.size() > 2 || std::any_of(lines.begin(), lines.end(), tooWide)) QTest::qFail("too wide", __FILE__, __LINE__);
      return lines;
    };
    QCOMPARE(shown("/srv/data"), QStringList{"/srv/data"});
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
    for (int shift = 0; shift < 3; ++shift)
      QVERIFY(!shown(QString(shift, u'x') + smile.repeated(60))[0].endsWith(smile[0]));
    // A file name may hold a newline or markup; both show as plain characters on their line.
    QCOMPARE(shown("/a\nb/<b>c</b>"), QStringList{"/a?b/<b>c</b>"});
    // The longest figures a big drive gives fit their line.
    wait.SetProgress({Estimate::Basis::Entries, 44'444'444, 88'888'888, 0.5, 58 * 60});
    QVERIFY(wait.lblFigures->fontMetrics().horizontalAdvance(wait.lblFigures->text()) <= wait.lblFigures->contentsRect().width());
  }

  // A start-up scan that does not end: cancelled while its worker is held on its way into d5,
  // as on a drive that stops answering; out of memory in the walk (where it hands the progress
  // dialog a path); no thread to run on. Why is said; a change of drive (refused here) does not
  // vouch for the partial figures; Refresh, beside a stuck worker, shows the whole tree; Exit
  // does not wait for the worker, which, let go at last, changes nothing.
  void scanThatDoesNotEnd() {
    enum Stop { kCancel, kOutOfMemory, kNoThread };
    for (const Stop stop : {kCancel, kOutOfMemory, kNoThread}) {
      Machine p;
      p.MakeTenByFour();
      if (stop != kNoThread) p.HoldAt(p.fixed1 + "/d5", /*starve=*/stop == kOutOfMemory);
      if (stop == kNoThread) p.app.scans.startWorker = [](auto) { return false; };
      frmDiskSumm& main = p.app.Form<frmDiskSumm>();
      main.show();  // as the program does once the load returns: it waits for the scan
      if (stop == kCancel) {
        p.holds.front().gate.AwaitWaiter();
        QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);  // what it posted before
        QTest::mouseClick(p.app.Form<frmWait>().btnStop, Qt::LeftButton);
      }
      p.app.scans.Finish();
      const QString row = stop == kCancel ? "User Aborted..." : "Out of memory";
      QCOMPARE(p.messages, std::vector(stop != kCancel, Info("There was not enough memory to finish the scan.")));
      QVERIFY(p.Stopped(row) && !p.app.scans.Busy() && p.app.scans.Workers() == (stop == kCancel));
      p.SelectDisk({p.net}, &frmDiskPick::cmdCancel_Click);
      QVERIFY(p.Stopped(row));
      p.app.scans.startWorker = platform::detached::Start;
      p.Refresh();
      QVERIFY(p.Tree().size() == 2 + 10 * 5 && main.mnuAnalyze->isEnabled() && p.messages.size() == 1u + (stop != kCancel));
      p.answer = Button::Yes;
      QVERIFY(main.close() && p.ends == 1 && p.app.scans.Workers() == (stop == kCancel));
      p.LetGo();
      p.app.scans.Finish(true);
      QVERIFY(std::pair(p.app.figures.gTotalDirs, p.app.figures.gTotalFileBytes) == std::pair(int64_t{51}, int64_t{0}));
    }
    // A controller that goes while its worker is stuck leaves it behind without waiting; the
    // worker, let go, reaches nothing of it.
    test::Gate stuck;
    auto left = std::make_unique<ScanController>(*m_);
    left->lastWait = {}, left->directoryHook = [&](std::string_view) { stuck.Wait(); };
    left->Start({.root = m_->fixed2, .source = {}, .fsType = {}});
    stuck.AwaitWaiter();
    left.reset();
    stuck.Open();
    platform::detached::WaitAllGone();
  }

  void cancelLandsWhileTheWorkerWaitsOnAFuseDrive() {
    Hung h;
    if (!h.MountAndStop()) QSKIP("FUSE (bindfs) cannot be mounted here");
    h.TypeAs("ext4 /dev/vde1");  // a local hard drive, as far as the program can tell
    h.Main().show();
    QSignalBlocker quiet(h.Pick().driveList);  // chosen as the list would have it had the drive answered
    h.Choose(h.mnt);
    quiet.unblock();
    h.Main().mnuRefresh_Click();
    while (FuseWaiters() == 0) QThread::yieldCurrentThread();  // the worker is in the kernel
    QTest::mouseClick(h.app.Form<frmWait>().btnStop, Qt::LeftButton);
    QVERIFY(h.Stopped() && h.app.scans.Workers() == 1);
    h.Choose(h.fixed2);  // another drive, scanned beside the stuck worker
    h.Refresh();
    QVERIFY(h.Tree().Path(0) == h.fixed2 && h.Main().mnuAnalyze->isEnabled() && FuseWaiters() == 1);
    // The drive dialog does not hang on it. Refused by its type: no system call on it, so no
    // wait. Accepted by its type: its root does not answer within the dialog's wait, so it is a
    // drive with a problem, and refused.
    for (const bool local : {false, true}) {
      h.TypeAs(local ? "ext4 /dev/vde1" : "fuse " + h.src);
      h.Pick().driveList->Reload();
      h.Choose(h.mnt);
      QVERIFY(h.Pick().driveList->Root() == h.fixed2 && (local || FuseWaiters() == 1));
    }
    QVERIFY(h.messages.size() == 3 && h.messages[0] == kRefusal && h.messages[1] == Problem(h.mnt + " [vde1]"));
  }
};

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
