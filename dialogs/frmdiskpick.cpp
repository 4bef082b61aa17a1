#include "dialogs/frmdiskpick.h"

#include <QCloseEvent>
#include <chrono>
#include <string>

#include "forms/centerform.h"
#include "forms/controls.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "forms/version.h"
#include "platform/mounts.h"

namespace kvor {

using forms::CenterForm;
using forms::MakeButton;
using forms::MakeLabel;

namespace {

// How long the dialog waits for the root of an accepted drive to answer. A local disk answers
// at once, a sleeping one within this; a file system whose server or daemon is gone may never.
constexpr auto kRootWait = std::chrono::seconds(2);

}  // namespace

frmDiskPick::frmDiskPick(forms::Windows& windows, ScanState& state, const platform::System& system)
    : windows_(windows), state_(state), system_(system) {
  setWindowTitle(QStringLiteral("Short App Title Here"));
  setWindowIcon(forms::AppIcon());
  forms::MakeFixedDialog(*this, 3150, 1620, /*closeBox=*/true);

  // Created in tab order, which is also the focus order.
  driveList = new DriveListBox(system, this);
  driveList->setGeometry(forms::TwipRect(240, 420, 2715, 315));
  Label1 = MakeLabel(this, QStringLiteral("Select disk to analyze"), 240, 120, 2175, 255);
  Label1->setBuddy(driveList);  // a screen reader names the list by it
  cmdOK = MakeButton(this, QStringLiteral("OK"), 420, 1020, 975, 315);
  cmdCancel = MakeButton(this, QStringLiteral("Cancel"), 1740, 1020, 975, 315);

  driveList->setFocus();

  connect(driveList, &DriveListBox::Change, this, &frmDiskPick::driveList_Change);
  connect(cmdOK, &QPushButton::clicked, this, &frmDiskPick::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmDiskPick::cmdCancel_Click);

  if (mounts_.Descriptor() >= 0) {
    mountsChanged_ = new QSocketNotifier(mounts_.Descriptor(), QSocketNotifier::Exception, this);
    connect(mountsChanged_, &QSocketNotifier::activated, this, [this] {
      if (isVisible()) ReloadDrives();
    });
  }
}

// The notifier goes before the descriptor it watches.
frmDiskPick::~frmDiskPick() { delete mountsChanged_; }

void frmDiskPick::ReloadDrives() {
  ScanState& s = state_;
  const int last = s.gLastDriveIndex;
  const QByteArray lastRoot =
      last >= 0 && last < driveList->count() ? driveList->itemData(last).toByteArray() : QByteArray();
  driveList->Reload(lastRoot);
  // The drive scanned last keeps its place by its mount point; gone, no entry is it.
  if (!lastRoot.isEmpty()) s.gLastDriveIndex = driveList->findData(lastRoot);
}

void frmDiskPick::Form_Load() {
  setWindowTitle(QString::fromUtf8(forms::kShortTitle));
  CenterForm(*this);
  driveList->SetDrive(system_.ProgramFolder());
  ScanState& s = state_;
  s.gLastDriveIndex = driveList->ListIndex();
  s.gRescan = false;
  s.gAbort = false;
  s.gIgnoreDriveChange = false;
}

void frmDiskPick::driveList_Change() {
  ScanState& s = state_;
  if (s.gIgnoreDriveChange) {
    s.gIgnoreDriveChange = false;
    return;
  }
  // A cancelled scan's flag goes with the change of drive. Analyze stays as the last scan
  // left it: only a complete scan enables it.
  s.gAbort = false;
  if (driveList->ListIndex() < 0) return;

  platform::DriveType type = platform::DriveType::Unknown;
  const platform::DriveCheck check = platform::CheckDrive(system_, driveList->Root(), kRootWait);
  // The type query is the step that failed: the handler goes on without a type.
  if (check.unavailable) TellProblem();
  else type = check.type;

  if (type == platform::DriveType::Fixed) {
    s.gIgnoreDriveChange = false;
    return;
  }

  windows_.Inform(QStringLiteral("This program is designed only for local ") + QStringLiteral("\r\n") +
                      QStringLiteral("hard drives."),
                  QString::fromUtf8(forms::kTitle));
  const int back = s.gLastDriveIndex;
  // Only a move that really changes the selection raises the event that clears the flag;
  // a flag left set would let the next choice through unchecked.
  if (back >= 0 && back < driveList->count() && back != driveList->ListIndex()) {
    s.gIgnoreDriveChange = true;
    driveList->SetListIndex(back);
  }
  s.gIgnoreDriveChange = false;
}

std::optional<platform::Drive> frmDiskPick::Choose() {
  asked_ = true;
  exec();
  asked_ = false;
  const ScanState& s = state_;
  if (chkCancel || driveList->ListIndex() == s.gLastDriveIndex || s.gIgnoreDriveChange) return std::nullopt;
  return MountedDrive();
}

std::optional<platform::Drive> frmDiskPick::MountedDrive() {
  platform::Drive drive = driveList->SelectedDrive();
  if (platform::StillMounted(system_, drive)) return drive;
  TellProblem();
  return std::nullopt;
}

void frmDiskPick::TellProblem() {
  windows_.Inform(QStringLiteral("There is a problem with drive ") + driveList->Drive() + QStringLiteral("\r\n") +
                      QStringLiteral("!"),
                  QString::fromUtf8(forms::kTitle));
}

void frmDiskPick::cmdOK_Click() {
  chkCancel = false;
  hide();
  if (!asked_) windows_.ShowMainWindow();
}

void frmDiskPick::cmdCancel_Click() {
  if (!asked_) {
    windows_.End();
    return;
  }
  chkCancel = true;
  hide();
}

void frmDiskPick::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!isVisible()) return;
  // While the main window waits for the answer, the close box is Cancel: unloading here would
  // lose the drive last scanned.
  if (asked_) {
    cmdCancel_Click();
    return;
  }
  windows_.Unload<frmDiskPick>();
}

void frmDiskPick::showEvent(QShowEvent* event) {
  ReloadDrives();
  forms::AttachToMainWindow(*this, windows_.MainWindow());
  driveList->setFocus();
  QDialog::showEvent(event);
}

}  // namespace kvor
