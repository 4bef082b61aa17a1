#pragma once
// The main window: "Select Disk", the Disk Information panel, the directory tree and the
// menu.
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QRectF>
#include <QTreeView>
#include <memory>
#include <string>

#include "engine/scanresult.h"
#include "forms/scanstate.h"
#include "forms/windows.h"
#include "mainwin/otherwindows.h"
#include "mainwin/scans.h"
#include "platform/mounts.h"

namespace kvor {

class TreeModel;

class frmDiskSumm : public QMainWindow {
  Q_OBJECT
 public:
  // `figures` receives those of each scan that runs to its end.
  frmDiskSumm(forms::Windows& windows, ScanState& state, ScanFigures& figures, Scans& scans, OtherWindows& others);
  ~frmDiskSumm() override;

  void Form_Load();
  void Form_Resize();
  bool Form_QueryUnload();   // true: the close goes ahead
  void cmdSelect_Click();
  void mnuExit_Click();
  void mnuAnalyze_Click();
  void mnuRefresh_Click();
  void mnuAbout_Click();
  void mnuDiskInfo_Click();

  // The scan whose tree the window shows: the last that ran to its end.
  const ScanResult& Result() const;
  // The panel's figures, as a query of the drive gives them.
  void ShowDiskInfo(const ScanFigures& figures);

  // The main window is shown once the start-up scan has ended: a show asked for before that
  // waits for it.
  void setVisible(bool visible) override;

  // The client area (below the menu bar) in pixels, and the tree's place in it in twips.
  QSize ClientSize() const;
  QRectF TreeTwips() const;

  QPushButton* cmdSelect = nullptr;
  QGroupBox* framDisk = nullptr;
  QLabel *Label3 = nullptr, *lblUsed = nullptr, *Label12 = nullptr, *lblFree = nullptr,
         *Label14 = nullptr, *lblTotal = nullptr;
  QTreeView* tvDisk = nullptr;
  QMenu* mnuDisplay = nullptr;
  QAction *mnuExit = nullptr, *mnuDiskInfo = nullptr, *mnuAnalyze = nullptr,
          *mnuRefresh = nullptr, *mnuAbout = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void SetUpControls();
  void SetUpMenu();
  void ApplyTreeGeometry();
  // The scan's end, complete or cancelled: what follows the walk in Form_Load or Select Disk.
  void ScanEnded(Scans::RunId id, bool complete);
  void DriveQueried(Scans::RunId id, const ScanFigures& figures);

  forms::Windows& windows_;
  ScanState& state_;
  ScanFigures& figures_;
  Scans& scans_;
  OtherWindows& others_;
  std::unique_ptr<TreeModel> model_;
  QWidget* client_ = nullptr;
  // The scan this window waits for, and whether it is the start-up scan.
  Scans::RunId scan_ = 0;
  bool starting_ = false;
  bool showWhenStarted_ = false;
  // The tree's top, height and width in twips; its left stays at 180.
  double tvTop_ = 1560, tvHeight_ = 1950, tvWidth_ = 4020;
  bool resizing_ = false;
};

// Shows a figure in a value box, in a smaller font if the box's own would cut it.
void SetFittingText(QLabel& label, const QString& text);

}  // namespace kvor
