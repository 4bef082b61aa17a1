// The drive selection dialog on its own: load, the refusal of drives that are not local hard
// drives, the device-unavailable message, and its answers.
#include <QtTest>
#include <sys/mount.h>

#include <memory>

#include "dialogs/frmdiskpick.h"
#include "fakedrives.h"
#include "tempdrive.h"

using namespace kvor;
using testing::FakeDrives;

namespace {

const QString kRefusal = QStringLiteral("This program is designed only for local \r\nhard drives.");

}  // namespace

class DiskPickTest : public QObject {
  Q_OBJECT

  std::unique_ptr<testing::Machine> m_;
  ScanState& state() { return m_->rig.app.state; }
  frmDiskPick& Pick() { return m_->rig.app.Form<frmDiskPick>(); }
  int IndexOf(const std::string& root) { return Pick().driveList->findData(QByteArray::fromStdString(root)); }
  void Choose(const std::string& root) { Pick().driveList->SetListIndex(IndexOf(root)); }

 private slots:
  void init() { m_ = std::make_unique<testing::Machine>(); }
  void cleanup() {
    m_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void loadSelectsTheProgramsDrive() {
    state().gRescan = state().gAbort = state().gIgnoreDriveChange = true;
    state().gLastDriveIndex = 4;
    QCOMPARE(Pick().driveList->count(), 6);
    QCOMPARE(Pick().driveList->Drive(), QString::fromStdString(m_->fixed1 + " [vdb1]"));
    QCOMPARE(state().gLastDriveIndex, IndexOf(m_->fixed1));
    QVERIFY(!state().gRescan && !state().gAbort && !state().gIgnoreDriveChange);
    QVERIFY(m_->rig.messages.empty());

    // A folder or a drive's text; anything else leaves the selection.
    DriveListBox& list = *Pick().driveList;
    list.SetDrive(QString::fromStdString(m_->fixed2 + "/deep/er"));
    QCOMPARE(list.Root(), m_->fixed2);
    list.SetDrive(QString::fromStdString(m_->fixed1 + " [vdb1]"));
    list.SetDrive(QStringLiteral("/nowhere/at/all"));
    QCOMPARE(list.Root(), m_->fixed1);
  }

  void loadOnARefusedDriveFallsBackToTheFirst() {
    m_->programFolder = m_->net + "/apps";
    QCOMPARE(Pick().driveList->ListIndex(), 0);
    QCOMPARE(m_->rig.messages.size(), size_t(1));
    QCOMPARE(m_->rig.messages[0].text, kRefusal);
    QCOMPARE(state().gLastDriveIndex, 0);
    QVERIFY(!state().gIgnoreDriveChange);
  }

  void otherDrivesAreRefusedOnce_data() {
    QTest::addColumn<QString>("root");
    QTest::newRow("RAM disk") << "c_ram";
    QTest::newRow("network") << "d_net";
    QTest::newRow("CD-ROM") << "e_cd";
  }
  void otherDrivesAreRefusedOnce() {
    QFETCH(QString, root);
    const std::string refused = m_->dir.filePath(root).toStdString();
    const int last = IndexOf(m_->fixed1);
    state().gAbort = true;  // a cancelled scan before
    for (int time = 1; time <= 2; ++time) {  // each choice is checked again
      Choose(refused);
      QCOMPARE(m_->rig.messages.size(), size_t(time));
      QCOMPARE(m_->rig.messages.back().text, kRefusal);
      QCOMPARE(m_->rig.messages.back().style, vbInformation);
      QCOMPARE(m_->rig.messages.back().title, QStringLiteral("Korvane 1.5"));
      QCOMPARE(Pick().driveList->ListIndex(), last);
      QVERIFY(!state().gIgnoreDriveChange);
    }
    // Another fixed drive is taken without a word; only a scan makes it the last one.
    Choose(m_->fixed2);
    QCOMPARE(m_->rig.messages.size(), size_t(2));
    QCOMPARE(Pick().driveList->Root(), m_->fixed2);
    QCOMPARE(state().gLastDriveIndex, last);
    QVERIFY(!state().gAbort && !state().gIgnoreDriveChange);
  }

  void refusalThatCannotMoveBackLeavesNoFlag() {
    // The drive last scanned is itself refused now: moving back changes nothing, so no second
    // event would come to clear the flag, and the next choice must still be checked.
    state().gLastDriveIndex = IndexOf(m_->cd);
    Choose(m_->cd);
    QCOMPARE(m_->rig.messages.size(), size_t(1));
    QVERIFY(!state().gIgnoreDriveChange);
    Choose(m_->net);
    QCOMPARE(m_->rig.messages.size(), size_t(2));
    QCOMPARE(Pick().driveList->Root(), m_->cd);
    QVERIFY(!state().gIgnoreDriveChange);
  }

  void vanishedDriveReportsAProblemAndIsRefused_data() {
    QTest::addColumn<bool>("unmounted");
    QTest::newRow("directory gone") << false;
    QTest::newRow("gone from the mount table") << true;
  }
  void vanishedDriveReportsAProblemAndIsRefused() {
    QFETCH(bool, unmounted);
    Pick();  // it was there when the list was filled
    unmounted ? m_->Unmount() : void(std::filesystem::remove_all(m_->gone));
    Choose(m_->gone);
    QCOMPARE(m_->rig.messages.size(), size_t(2));
    QCOMPARE(m_->rig.messages[0].text,
             QString::fromStdString("There is a problem with drive " + m_->gone + " [vdd1]\r\n!"));
    QCOMPARE(m_->rig.messages[1].text, kRefusal);
    QCOMPARE(Pick().driveList->Root(), m_->fixed1);
    QVERIFY(!state().gIgnoreDriveChange);
  }

  void listFollowsTheMountTable() {
    frmDiskPick& pick = Pick();
    const std::string base = m_->dir.path().toStdString();
    const auto line = [](int id, const std::string& point) {
      return std::to_string(id) + " 1 254:" + std::to_string(id) + " / " + point + " rw - ext4 /dev/x rw\n";
    };
    Choose(m_->fixed2);  // chosen, not scanned: fixed1 is the drive scanned last
    // A drive mounted that sorts first, one unmounted: both drives keep their entries.
    m_->table = line(40, base + "/0_new") + m_->table;
    m_->Unmount();
    pick.ReloadDrives();
    QCOMPARE(pick.driveList->count(), 6);
    QCOMPARE(IndexOf(m_->gone), -1);
    QCOMPARE(pick.driveList->Root(), m_->fixed2);
    QCOMPARE(state().gLastDriveIndex, 1);
    QCOMPARE(IndexOf(m_->fixed1), 1);
    // The chosen drive gone: back to the one scanned last, without a check or a message.
    const auto at = m_->table.find("31 1 ");
    m_->table.erase(at, m_->table.find('\n', at) + 1 - at);
    pick.ReloadDrives();
    QCOMPARE(pick.driveList->Root(), m_->fixed1);
    QVERIFY(m_->rig.messages.empty());
    // Shown (Select Disk), the list is read afresh.
    m_->table += line(41, base + "/z_late");
    pick.show();
    QVERIFY(IndexOf(base + "/z_late") >= 0);

    // While shown, a change of the machine's mount table reloads it as it comes.
    m_->table += line(42, base + "/z_later");
    test::TempDir point;
    if (::mount("kvortest", point.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
      QSKIP("cannot mount tmpfs");
    QCoreApplication::processEvents();
    ::umount2(point.path().c_str(), MNT_DETACH);
    QVERIFY(IndexOf(base + "/z_later") >= 0);
    pick.hide();
  }

  void answersWithAndWithoutTheRunningTag() {
    frmDiskPick& pick = Pick();
    pick.Tag = QStringLiteral("RUNNING");
    pick.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pick));
    // Escape and Enter choose nothing.
    QTest::keyClick(&pick, Qt::Key_Escape);
    QTest::keyClick(pick.driveList, Qt::Key_Return);
    QVERIFY(pick.isVisible() && !pick.chkCancel->isChecked());

    // Enter presses the button that has the focus.
    Choose(m_->fixed2);
    pick.cmdCancel->setFocus();
    QTest::keyClick(pick.cmdCancel, Qt::Key_Return);
    QVERIFY(pick.chkCancel->isChecked() && !pick.isVisible() && m_->rig.app.Loaded<frmDiskPick>());
    QCOMPARE(pick.driveList->Root(), m_->fixed2);  // the next Select Disk opens on it
    pick.show();
    QTest::mouseClick(pick.cmdOK, Qt::LeftButton);
    QVERIFY(!pick.chkCancel->isChecked() && !pick.isVisible());
    QCOMPARE(m_->rig.ends, 0);

    // The tag is compared exactly: without it Cancel ends the program.
    pick.Tag = QStringLiteral("running");
    QTest::mouseClick(pick.cmdCancel, Qt::LeftButton);
    QCOMPARE(m_->rig.ends, 1);
  }

  void focusAndTabOrder() {
    frmDiskPick& pick = Pick();
    pick.show();
    pick.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&pick));
    QVERIFY(!pick.chkCancel->isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(pick.driveList));
    for (QWidget* next : std::initializer_list<QWidget*>{pick.cmdOK, pick.cmdCancel}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), next);
    }
    pick.hide();
  }
};

QTEST_MAIN(DiskPickTest)
#include "tst_diskpick.moc"
