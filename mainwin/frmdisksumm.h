#pragma once
// The main window: "Select Disk", the Disk Information panel, the directory tree and the
// menu; owner of the scan's three invisible lists.
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>
#include <functional>
#include <memory>

#include "engine/interfaces.h"
#include "engine/scanner.h"
#include "platform/nodestore.h"

namespace kvor {

class App;
class TreeModel;

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
  App& app_;
  platform::NodeStore store_;
  std::unique_ptr<TreeModel> model_;
  std::unique_ptr<TreeView> tree_;
  std::unique_ptr<ScanProgress> progress_;
  std::unique_ptr<Scanner> scanner_;
};

// Centres a window on its screen by its outer (frame) size; no clamping.
void CenterForm(QWidget& form);

}  // namespace kvor
