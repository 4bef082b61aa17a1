#pragma once
// The main window: "Select Disk", the Disk Information panel, the directory tree and the
// menu; owner of the scan's three invisible lists.
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointF>
#include <QPushButton>
#include <QRectF>
#include <QSizeF>
#include <QTreeView>
#include <functional>
#include <memory>
#include <string>

#include "engine/interfaces.h"
#include "engine/scanner.h"
#include "platform/nodestore.h"

namespace kvor {

class App;
class TreeModel;
class ModelTree;
class ProgressRelay;
class ScanRunner;

class frmDiskSumm : public QMainWindow {
  Q_OBJECT
 public:
  explicit frmDiskSumm(App& app);
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

  // The walk's tree. Safe to change from the user-interface thread when no scan runs; the
  // view follows.
  TreeView& Nodes();
  const platform::NodeStore& Store() const { return store_; }

  // Blocks (keeping the user interface live) until the running scan, if any, has returned.
  void WaitForScan();
  bool ScanRunning() const;

  Scanner& scanner() { return *scanner_; }

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
  // Puts dirList at the root of `drive`, read, whether or not the path changes.
  void ReachRoot(const std::string& drive, bool rescan);
  // Runs one scan step on the worker, the tree detached from its view meanwhile.
  void RunScanStep(std::function<void()> step);
  void ShowProgress();
  void EndProgress();
  void QueryDrive();
  void ScanEnded();
  std::string ChosenDrive();

  App& app_;
  platform::NodeStore store_;
  std::unique_ptr<TreeModel> model_;
  std::unique_ptr<ModelTree> tree_;
  std::unique_ptr<ProgressRelay> progress_;
  std::unique_ptr<Scanner> scanner_;
  std::unique_ptr<ScanRunner> runner_;
  std::unique_ptr<DiskInfoPanel> panel_;
  QWidget* client_ = nullptr;
  // The tree's top, height and width in twips; its left stays at 180.
  double tvTop_ = 1560, tvHeight_ = 1950, tvWidth_ = 4020;
  bool resizing_ = false;
};

// Shows a figure in a value box, in a smaller font if the box's own would cut it.
void SetFittingText(QLabel& label, const QString& text);

// Centres a window on its screen by its outer (frame) size; no clamping.
void CenterForm(QWidget& form);
// Where CenterForm puts a window of outer size `window` on a screen of size `screen`:
// unrounded halves, negative when the window is the larger.
QPointF CenterPosition(const QSizeF& screen, const QSizeF& window);

}  // namespace kvor
