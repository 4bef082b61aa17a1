// The drive selection dialog on its own: load, the refusal of drives that are not local hard
// drives, the device-unavailable message, and its answers.
#include <QtTest>
#include <memory>

#include "dialogs/frmdiskpick.h"
#include "fakedrives.h"
#include "forms/twips.h"
#include "mainwin/app.h"

using namespace kvor;
using testing::FakeDrives;

namespace {

const QString kRefusal = QStringLiteral("This program is designed only for local \r\nhard drives.");

struct Message {
  QString text;
  int style;
  QString title;
};

// The program with its message boxes and its end recorded instead of shown or done.
struct Rig {
  explicit Rig(FakeDrives& drives) : app(drives) {
    app.messageBox = [this](const QString& text, int style, const QString& title) {
      messages.push_back({text, style, title});
      return vbOK;
    };
    app.endProgram = [this] { ++ends; };
  }
  int IndexOf(const std::string& root) {
    return app.Form<frmDiskPick>().driveList->findData(QByteArray::fromStdString(root));
  }
  void Choose(const std::string& root) {
    frmDiskPick& pick = app.Form<frmDiskPick>();
    pick.driveList->SetListIndex(IndexOf(root));
  }
  App app;
  std::vector<Message> messages;
  int ends = 0;
};

}  // namespace

class DiskPickTest : public QObject {
  Q_OBJECT

  std::unique_ptr<FakeDrives> drives_;

 private slots:
  void init() { drives_ = std::make_unique<FakeDrives>(); }
  void cleanup() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    drives_.reset();
  }

  void loadSelectsTheProgramsDrive() {
    Rig rig(*drives_);
    rig.app.state.gRescan = rig.app.state.gAbort = rig.app.state.gIgnoreDriveChange = true;
    rig.app.state.gLastDriveIndex = 4;
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    QCOMPARE(pick.windowTitle(), QStringLiteral("KVOR 1.5"));
    QCOMPARE(pick.driveList->count(), 6);
    QCOMPARE(pick.driveList->Root(), drives_->fixed1);
    QCOMPARE(pick.driveList->Drive(), QString::fromStdString(drives_->fixed1 + " [vdb1]"));
    QCOMPARE(rig.app.state.gLastDriveIndex, rig.IndexOf(drives_->fixed1));
    QVERIFY(!rig.app.state.gRescan && !rig.app.state.gAbort && !rig.app.state.gIgnoreDriveChange);
    QVERIFY(!pick.chkCancel->isChecked());
    QVERIFY(pick.Tag.isEmpty());
    QVERIFY(rig.messages.empty());
  }

  void loadOnARefusedDriveFallsBackToTheFirst() {
    drives_->programFolder = drives_->net + "/apps";
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    QCOMPARE(rig.messages.size(), size_t(1));
    QCOMPARE(rig.messages[0].text, kRefusal);
    QCOMPARE(pick.driveList->ListIndex(), 0);
    QCOMPARE(rig.app.state.gLastDriveIndex, 0);
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
  }

  void setDriveAcceptsAFolderOrADriveText() {
    Rig rig(*drives_);
    DriveListBox& list = *rig.app.Form<frmDiskPick>().driveList;
    list.SetDrive(QString::fromStdString(drives_->fixed2 + "/deep/er"));
    QCOMPARE(list.Root(), drives_->fixed2);
    list.SetDrive(QString::fromStdString(drives_->fixed1 + " [vdb1]"));
    QCOMPARE(list.Root(), drives_->fixed1);
    list.SetDrive(QStringLiteral("/nowhere/at/all"));
    QCOMPARE(list.Root(), drives_->fixed1);
  }

  void anotherFixedDriveIsAccepted() {
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    const int last = rig.app.state.gLastDriveIndex;
    rig.app.state.gAbort = true;   // a cancelled scan before
    rig.Choose(drives_->fixed2);
    QVERIFY(rig.messages.empty());
    QCOMPARE(pick.driveList->Root(), drives_->fixed2);
    QCOMPARE(rig.app.state.gLastDriveIndex, last);
    QVERIFY(!rig.app.state.gAbort);
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
  }

  void otherDrivesAreRefusedOnce_data() {
    QTest::addColumn<int>("which");
    QTest::newRow("RAM disk") << 0;
    QTest::newRow("network") << 1;
    QTest::newRow("CD-ROM") << 2;
  }
  void otherDrivesAreRefusedOnce() {
    QFETCH(int, which);
    const std::string root = which == 0 ? drives_->ram : which == 1 ? drives_->net : drives_->cd;
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    rig.Choose(root);
    QCOMPARE(rig.messages.size(), size_t(1));
    QCOMPARE(rig.messages[0].text, kRefusal);
    QCOMPARE(rig.messages[0].style, vbInformation);
    QCOMPARE(rig.messages[0].title, QStringLiteral("Korvane 1.5"));
    QCOMPARE(pick.driveList->Root(), drives_->fixed1);
    QCOMPARE(pick.driveList->ListIndex(), rig.app.state.gLastDriveIndex);
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
    // The next choice is checked again.
    rig.Choose(root);
    QCOMPARE(rig.messages.size(), size_t(2));
    rig.Choose(drives_->fixed2);
    QCOMPARE(rig.messages.size(), size_t(2));
    QCOMPARE(pick.driveList->Root(), drives_->fixed2);
  }

  void refusalThatCannotMoveBackLeavesNoFlag() {
    // The drive last scanned is itself one that is refused now: moving back changes nothing,
    // so no second event would come to clear the flag.
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    rig.app.state.gLastDriveIndex = rig.IndexOf(drives_->cd);
    rig.Choose(drives_->cd);
    QCOMPARE(rig.messages.size(), size_t(1));
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
    // So the next choice is still checked.
    rig.Choose(drives_->net);
    QCOMPARE(rig.messages.size(), size_t(2));
    QCOMPARE(pick.driveList->Root(), drives_->cd);
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
  }

  void vanishedDriveReportsAProblemAndIsRefused_data() {
    QTest::addColumn<bool>("unmounted");
    QTest::newRow("directory gone") << false;
    QTest::newRow("gone from the mount table") << true;
  }
  void vanishedDriveReportsAProblemAndIsRefused() {
    QFETCH(bool, unmounted);
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    // It was there when the list was filled.
    if (unmounted)
      drives_->Unmount(drives_->gone);
    else
      drives_->Vanish();
    rig.Choose(drives_->gone);
    QCOMPARE(rig.messages.size(), size_t(2));
    QCOMPARE(rig.messages[0].text, QString::fromStdString("There is a problem with drive " +
                                                          drives_->gone + " [vdd1]\r\n!"));
    QCOMPARE(rig.messages[0].style, vbInformation);
    QCOMPARE(rig.messages[0].title, QStringLiteral("Korvane 1.5"));
    QCOMPARE(rig.messages[1].text, kRefusal);
    QCOMPARE(pick.driveList->Root(), drives_->fixed1);
    QVERIFY(!rig.app.state.gIgnoreDriveChange);
  }

  void answersWhileTheMainWindowRuns() {
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    pick.Tag = QStringLiteral("RUNNING");

    pick.show();
    rig.Choose(drives_->fixed2);
    QTest::mouseClick(pick.cmdCancel, Qt::LeftButton);
    QVERIFY(pick.chkCancel->isChecked());
    QVERIFY(!pick.isVisible());
    QVERIFY(rig.app.Loaded<frmDiskPick>());
    QCOMPARE(pick.driveList->Root(), drives_->fixed2);   // the next Select Disk opens on it

    pick.show();
    QTest::mouseClick(pick.cmdOK, Qt::LeftButton);
    QVERIFY(!pick.chkCancel->isChecked());
    QVERIFY(!pick.isVisible());
    QCOMPARE(rig.ends, 0);

    // The tag is compared exactly.
    pick.Tag = QStringLiteral("running");
    QTest::mouseClick(pick.cmdCancel, Qt::LeftButton);
    QCOMPARE(rig.ends, 1);
  }

  void closeBoxUnloadsWithoutTheTag() {
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    pick.show();
    pick.close();
    QVERIFY(!rig.app.Loaded<frmDiskPick>());
    QCOMPARE(rig.ends, 0);
  }

  void escapeAndEnterChooseNothing() {
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    pick.Tag = QStringLiteral("RUNNING");
    pick.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pick));
    QTest::keyClick(&pick, Qt::Key_Escape);
    QVERIFY(pick.isVisible());
    QVERIFY(!pick.chkCancel->isChecked());
    QTest::keyClick(pick.driveList, Qt::Key_Return);
    QVERIFY(pick.isVisible());
    pick.hide();
  }

  void focusAndTabOrder() {
    Rig rig(*drives_);
    frmDiskPick& pick = rig.app.Form<frmDiskPick>();
    QCOMPARE(pick.size(), forms::TwipSize(3150, 1620));

    pick.show();
    pick.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&pick));
    QVERIFY(!pick.chkCancel->isVisible());
    // The list has the focus; Tab goes to OK, then Cancel.
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(pick.driveList));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(pick.cmdOK));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(pick.cmdCancel));
    pick.hide();
  }
};

QTEST_MAIN(DiskPickTest)
#include "tst_diskpick.moc"
