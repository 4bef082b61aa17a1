#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "forms/windows.h"

namespace kvor {

class frmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit frmAbout(forms::Windows& windows);

  void Form_Load();
  void btnOK_Click();

  QLabel* Image1 = nullptr;
  QLabel* lblTitle = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QPushButton* btnOk = nullptr;

  // Escape chooses nothing: no button is the box's cancel button.
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  forms::Windows& windows_;
};

}  // namespace kvor
