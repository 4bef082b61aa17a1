#pragma once
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>

#include "engine/estimate.h"
#include "forms/scanstate.h"
#include "forms/windows.h"

class QFontMetrics;

namespace kvor {

// The progress dialog: shown before each scan, unloaded after it. Only its Cancel closes it.
class frmWait : public QDialog {
  Q_OBJECT
 public:
  frmWait(forms::Windows& windows, ScanState& state);

  void Form_Load();
  void btnStop_Click();
  // Stops the running scan: the abort flag raised, then `aborted` for whoever runs the scan,
  // which leaves the single node "User Aborted..." in the tree.
  void AbortScan();
  // Shows `path` in lblCurDir: wrapped over two lines, shortened in the middle beyond that.
  void SetCurrentDir(const QString& path);
  // Shows how far the scan has come: a bar that fills, or a busy one where that is unknown,
  // and the figures under it.
  void SetProgress(const kvor::Estimate& estimate);

  QLabel* img1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* lblCurDir = nullptr;
  QProgressBar* pbScan = nullptr;
  QLabel* lblFigures = nullptr;
  QPushButton* btnStop = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;     // refused
  void keyPressEvent(QKeyEvent* event) override;     // Escape refused
  void reject() override;                            // refused
  void showEvent(QShowEvent* event) override;

 signals:
  void aborted();

 private:
  forms::Windows& windows_;
  ScanState& state_;
};

// `text` laid out in at most two lines of `width` pixels: broken after a separator where one
// falls late enough, else between characters; a text too long for two lines loses its middle.
QString FitTwoLines(const QString& text, const QFontMetrics& metrics, int width);

}  // namespace kvor
