#pragma once
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>

#include "engine/scanresult.h"
#include "forms/windows.h"

namespace kvor {

// The analysis report's texts, computed from a scan's figures.
struct Analysis {
  QString totalInDir;   // found space
  QString sysBytes;     // used space in the file system
  QString minus;        // their difference, without sign
  QString totalFiles;
  QString totalDirs;
  QString comments;
};
Analysis Analyze(const ScanFigures& s, char decimalSeparator);

class frmAnalyzer : public QDialog {
  Q_OBJECT
 public:
  frmAnalyzer(forms::Windows& windows, const ScanFigures& figures);

  void Form_Load();
  void btnOK_Click();

  QLabel *Label1 = nullptr, *Label2 = nullptr, *lblTotalInDir = nullptr, *lblSysBytes = nullptr,
         *Label5 = nullptr, *lblMinus = nullptr, *lblComments = nullptr, *Label3 = nullptr,
         *lblTotalFiles = nullptr, *lblTotalDirs = nullptr, *Label6 = nullptr;
  QPushButton* btnOK = nullptr;
  QFrame* Line1 = nullptr;

  // Escape chooses nothing: no button is the report's cancel button.
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  forms::Windows& windows_;
  const ScanFigures& figures_;  // of the last scan that ran to its end
};

}  // namespace kvor
