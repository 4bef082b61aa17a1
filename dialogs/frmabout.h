#pragma once
#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace kvor {

class App;

class frmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit frmAbout(App& app);

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
  App& app_;
};

}  // namespace kvor
