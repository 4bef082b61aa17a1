#pragma once
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QString>

#include "dialogs/drivelistbox.h"

namespace kvor {

class App;

// Drive selection. Loaded once by the main window's start-up and only hidden between uses.
class frmDiskPick : public QDialog {
  Q_OBJECT
 public:
  explicit frmDiskPick(App& app);
  ~frmDiskPick() override;

  void Form_Load();
  void driveList_Change();
  void cmdOK_Click();
  void cmdCancel_Click();

  QString Tag;                      // "RUNNING" once the main window runs
  DriveListBox* driveList = nullptr;
  QLabel* Label1 = nullptr;
  QPushButton* cmdOK = nullptr;
  QPushButton* cmdCancel = nullptr;
  QCheckBox* chkCancel = nullptr;   // never shown; the dialog's answer: 1 Cancel, 0 OK

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
  App& app_;
  // /proc/self/mountinfo signals each change of the mount table as an exceptional condition.
  int mountinfo_ = -1;
  QSocketNotifier* mountsChanged_ = nullptr;
};

}  // namespace kvor
