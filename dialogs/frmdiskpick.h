#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QString>
#include <optional>

#include "dialogs/drivelistbox.h"
#include "forms/scanstate.h"
#include "forms/windows.h"
#include "platform/mounts.h"
#include "platform/system.h"

namespace kvor {

// Drive selection. Loaded once by the main window's start-up and only hidden between uses.
class frmDiskPick : public QDialog {
  Q_OBJECT
 public:
  frmDiskPick(forms::Windows& windows, ScanState& state, const platform::System& system);
  ~frmDiskPick() override;

  void Form_Load();
  void driveList_Change();
  void cmdOK_Click();
  void cmdCancel_Click();

  // Shows the dialog modally and answers: the drive to scan, chosen with OK; none on Cancel (or
  // the close box), or when OK leaves the drive scanned last.
  std::optional<platform::Drive> Choose();
  // The drive selected, when it is still the mount it was when the list was read; else none,
  // and the user is told of a drive with a problem.
  std::optional<platform::Drive> MountedDrive();

  DriveListBox* driveList = nullptr;
  QLabel* Label1 = nullptr;
  QPushButton* cmdOK = nullptr;
  QPushButton* cmdCancel = nullptr;
  bool chkCancel = false;  // how the dialog was closed last: true by Cancel, false by OK

  // Escape chooses nothing: no button is the dialog's cancel button.
  void reject() override {}

  // Reads the drive list afresh from the mount table; the selection and gLastDriveIndex keep
  // to their drives by mount point. Runs at every show and, while the dialog is shown, on
  // every change of the mount table.
  void ReloadDrives();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void TellProblem();
  forms::Windows& windows_;
  ScanState& state_;
  const platform::System& system_;
  // Choose() waits for the answer. Shown any other way (before the main window runs), OK shows
  // the main window and Cancel ends the program.
  bool asked_ = false;
  platform::MountWatch mounts_{system_};
  QSocketNotifier* mountsChanged_ = nullptr;
};

}  // namespace kvor
