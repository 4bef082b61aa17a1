#pragma once
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>

#include "dialogs/drivelistbox.h"

namespace kvor {

class App;

// Drive selection. Loaded once by the main window's start-up and only hidden between uses.
class frmDiskPick : public QDialog {
  Q_OBJECT
 public:
  explicit frmDiskPick(App& app);

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

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  App& app_;
};

}  // namespace kvor
