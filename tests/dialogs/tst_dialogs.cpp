// The dialogs on their own: their fixed frames and answers to Escape and the close box, the
// progress dialog's directory label, the analysis report, and the drive selection.
#include <QWindow>
#include <clocale>
#include <sys/mount.h>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "fakedrives.h"
#include "forms/twips.h"
#include "tempdrive.h"

using namespace kvor;
using testing::kRefusal;

class DialogsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<testing::Machine> m_;
  App& app() { return m_->app; }
  ScanState& state() { return m_->app.state; }

 private slots:
  void init() { m_ = std::make_unique<testing::Machine>(); }
  void cleanup() {
    m_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void fixedFrames() {
    // Built under a dark theme: the about box stays black on white, whose light text would vanish.
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QApplication::setPalette(dark);
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
    for (QWidget* w : std::initializer_list<QWidget*>{&about, about.lblTitle, about.Label2, about.Label3})
      QVERIFY(w->palette().color(QPalette::WindowText) == Qt::black && w->palette().color(QPalette::Window) == Qt::white);
    QVERIFY(about.autoFillBackground() && about.lblTitle->text() == "Korvane 1.5" && !about.Image1->pixmap().isNull());
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
    QPointer<frmWait> wait = &app().Form<frmWait>();  // unloading is ours, not a close request
    app().Unload<frmWait>();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(wait.isNull());
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
    // Longer than a line: broken after the last separator that leaves the first line at least
    // half full, nothing lost.
    QString twoLines = QStringLiteral("/srv");
    while (metrics.horizontalAdvance(twoLines) <= width * 3 / 2) twoLines += QStringLiteral("/segment");
    QStringList lines = shown(twoLines);
    QVERIFY(lines.size() == 2 && lines[0].endsWith(u'/') && metrics.horizontalAdvance(lines[0] + "segment") > width);
    QCOMPARE(lines.join(QString()), twoLines);
    // A long name with no separator late enough to break at: broken between characters.
    const QString name = QStringLiteral("/ab/") + QString(200, u'x');
    lines = shown(name);
    QVERIFY(lines[0].size() > 4 && metrics.horizontalAdvance(lines[0] + u'x') > width && name.startsWith(lines[0]));
    QVERIFY(lines[1].startsWith(QChar(0x2026)) && lines[1].endsWith(u'x'));
    const QString smiles = QString(QStringLiteral("\U0001F600")).repeated(100);  // no surrogate pair split
    QVERIFY(!shown(smiles)[0].endsWith(smiles[0]) && !shown(u'x' + smiles)[0].endsWith(smiles[0]));
    // Far too long: head and tail kept, the middle shortened.
    QString huge = QStringLiteral("/head");
    for (int i = 0; i < 60; ++i) huge += QStringLiteral("/level%1").arg(i);
    lines = shown(huge + "/tail-directory");
    QVERIFY(lines.size() == 2 && lines[0].startsWith("/head/level0") && lines[1].startsWith(QChar(0x2026)));
    QVERIFY(lines[1].endsWith("/tail-directory"));
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
                {4096, 10, 1'000'000, kFound + kMB - 1, {}},
                {4096, 10, 1'000'000, kFound + kMB, {"", "", "1.00 MB", "4KB"}},
                {4096, 10, 1'000'000 + kMB, kFound, {"", "", "1.00 MB", "4KB"}},
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
    QVERIFY(Analyze(state(), ',').comments.contains("set at 64KB.  If"));
    state().gClusterSize = 512;
    QVERIFY(Analyze(state(), ',').comments.contains("set at 0,5KB.  If"));
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {  // the window takes the locale's separator
      const QString minus = app().Form<frmAnalyzer>().lblMinus->text();
      std::setlocale(LC_NUMERIC, "C");
      QVERIFY(minus.contains(','));
    }
  }

  void driveDialogLoadsOnTheProgramsDrive() {
    state().gRescan = state().gAbort = state().gIgnoreDriveChange = true;
    DriveListBox& list = *m_->Pick().driveList;
    QVERIFY(list.count() == 6 && list.Drive() == QString::fromStdString(m_->fixed1 + " [vdb1]"));
    QVERIFY(state().gLastDriveIndex == 0 && !state().gRescan && !state().gAbort && !state().gIgnoreDriveChange);
    QVERIFY(m_->messages.empty() && m_->Pick().Label1->text() == "Select disk to analyze");
    // A folder or a drive's text; anything else leaves the selection.
    list.SetDrive(QString::fromStdString(m_->fixed2 + "/deep/er"));
    QCOMPARE(list.Root(), m_->fixed2);
    list.SetDrive(QString::fromStdString(m_->fixed1 + " [vdb1]"));
    list.SetDrive(QStringLiteral("/nowhere/at/all"));
    QCOMPARE(list.Root(), m_->fixed1);

    // On a refused drive it falls back to the first, with the refusal.
    testing::Machine other;
    other.programFolder = other.ram + "/apps";
    QCOMPARE(other.Pick().driveList->ListIndex(), 0);
    QVERIFY(other.messages.size() == 1 && other.messages[0].text == kRefusal && other.app.state.gLastDriveIndex == 0);
  }

  void otherDrivesAreRefusedOnce_data() {
    QTest::addColumn<QString>("root");
    for (const char* root : {"c_ram", "d_net", "e_cd"}) QTest::newRow(root) << root;
  }
  void otherDrivesAreRefusedOnce() {
    QFETCH(QString, root);
    const int last = m_->IndexOf(m_->fixed1);
    state().gAbort = true;  // a cancelled scan before
    for (std::size_t time = 1; time <= 2; ++time) {  // each choice is checked again
      m_->Choose(m_->dir.filePath(root).toStdString());
      QCOMPARE(m_->messages.size(), time);
      const testing::Message& m = m_->messages.back();
      QVERIFY(m.text == kRefusal && m.style == vbInformation && m.title == "Korvane 1.5");
      QVERIFY(m_->Pick().driveList->ListIndex() == last && !state().gIgnoreDriveChange);
    }
    // Another fixed drive is taken without a word; only a scan makes it the last one.
    m_->Choose(m_->fixed2);
    QVERIFY(m_->messages.size() == 2 && m_->Pick().driveList->Root() == m_->fixed2 && state().gLastDriveIndex == last);
    QVERIFY(!state().gAbort && !state().gIgnoreDriveChange);
    // The drive last scanned itself refused: moving back changes nothing, so no second event
    // would clear the flag, and the next choice must still be checked.
    state().gLastDriveIndex = m_->IndexOf(m_->cd);
    m_->Choose(m_->cd);
    m_->Choose(m_->net);
    QVERIFY(m_->messages.size() == 4 && m_->Pick().driveList->Root() == m_->cd && !state().gIgnoreDriveChange);
  }

  void vanishedDriveReportsAProblemAndIsRefused() {
    for (const bool unmounted : {false, true}) {
      testing::Machine m;
      m.Pick();  // it was there when the list was filled
      unmounted ? m.Unmount() : void(std::filesystem::remove_all(m.gone));
      m.Choose(m.gone);
      QCOMPARE(m.messages.size(), size_t(2));
      QVERIFY(m.messages[0].text == testing::Problem(m.gone + " [vdd1]") && m.messages[0].style == vbInformation);
      QVERIFY(m.messages[1].text == kRefusal && m.Pick().driveList->Root() == m.fixed1 && !m.app.state.gIgnoreDriveChange);
    }
  }

  void listFollowsTheMountTable() {
    frmDiskPick& pick = m_->Pick();
    m_->Choose(m_->fixed2);  // chosen, not scanned: fixed1 is the drive scanned last
    // A drive mounted that sorts first, one unmounted: both drives keep their entries.
    m_->table = testing::MountLine(40, m_->base + "0_new", "ext4 /dev/x") + m_->table;
    m_->Unmount();
    pick.ReloadDrives();
    QVERIFY(pick.driveList->count() == 6 && m_->IndexOf(m_->gone) == -1 && pick.driveList->Root() == m_->fixed2);
    QVERIFY(state().gLastDriveIndex == 1 && m_->IndexOf(m_->fixed1) == 1);
    // The chosen drive gone: back to the one scanned last, without a check or a message.
    const auto at = m_->table.find("31 1 ");
    m_->table.erase(at, m_->table.find('\n', at) + 1 - at);
    pick.ReloadDrives();
    QVERIFY(pick.driveList->Root() == m_->fixed1 && m_->messages.empty());
    // Shown (Select Disk), the list is read afresh; while shown, a change of the machine's
    // mount table reloads it as it comes.
    m_->table += testing::MountLine(41, m_->base + "z_late", "ext4 /dev/x");
    pick.show();
    QVERIFY(m_->IndexOf(m_->base + "z_late") >= 0 && pick.driveList->view()->minimumWidth() > pick.driveList->width());
    m_->table += testing::MountLine(42, m_->base + "z_later", "ext4 /dev/x");
    test::TempDir point;
    if (::mount("kvortest", point.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
      QSKIP("cannot mount tmpfs");
    QCoreApplication::processEvents();
    ::umount2(point.path().c_str(), MNT_DETACH);
    QVERIFY(m_->IndexOf(m_->base + "z_later") >= 0);
  }

  void answersFocusAndTabOrder() {
    frmDiskPick& pick = m_->Pick();
    pick.Tag = QStringLiteral("RUNNING");
    pick.show();
    pick.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&pick));
    QVERIFY(!pick.chkCancel->isVisible() && QApplication::focusWidget() == pick.driveList);
    for (QWidget* next : std::initializer_list<QWidget*>{pick.cmdOK, pick.cmdCancel}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    // Escape and Enter on the list choose nothing; Enter presses the button that has the focus.
    QTest::keyClick(&pick, Qt::Key_Escape);
    QTest::keyClick(pick.driveList, Qt::Key_Return);
    QVERIFY(pick.isVisible() && !pick.chkCancel->isChecked());
    m_->Choose(m_->fixed2);
    QTest::keyClick(pick.cmdCancel, Qt::Key_Return);
    QVERIFY(pick.chkCancel->isChecked() && !pick.isVisible() && app().Loaded<frmDiskPick>());
    QCOMPARE(pick.driveList->Root(), m_->fixed2);  // the next Select Disk opens on it
    pick.show();
    QTest::keyClick(pick.cmdOK, Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(!pick.chkCancel->isChecked() && !pick.isVisible() && m_->ends == 0);
    // The tag is compared exactly: without it Cancel ends the program.
    pick.Tag = QStringLiteral("running");
    QTest::mouseClick(pick.cmdCancel, Qt::LeftButton);
    QCOMPARE(m_->ends, 1);
  }
};

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
