#include "mainwin/frmdisksumm.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QResizeEvent>

#include <algorithm>
#include <optional>

#include "engine/formatsize.h"
#include "forms/centerform.h"
#include "forms/controls.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "forms/version.h"
#include "mainwin/dirtreeview.h"
#include "mainwin/treemodel.h"

namespace kvor {

using forms::EnterPresses;
using forms::MakeLabel;
using forms::MakeValueBox;
using forms::Px;
using forms::TwipRect;

namespace {

// The layout in twips. Client-area figures: the window's outer size at standard frame
// metrics less 120 wide and 690 high (borders, title and menu bar).
constexpr int kMinClientWidth = 4335;
constexpr int kMinClientHeight = 3675;
constexpr int kTreeLeft = 180;
constexpr int kTreeTopWithPanel = 1560;
constexpr int kTreeTopWithoutPanel = 600;
constexpr int kPanelBand = 960;
constexpr int kHeightAllowance = 1725;   // client height less tree height, panel shown
constexpr int kWidthAllowance = 315;     // client width less tree width

// A client-area length in twips. At the minimum the figure is exact, so the tree takes its
// stored size there whatever the rounding of the scale factor.
double ClientTwips(int pixels, int minimumTwips) {
  return pixels == Px(minimumTwips) ? minimumTwips : forms::TwipsOf(pixels);
}

}  // namespace

frmDiskSumm::frmDiskSumm(forms::Windows& windows, ScanState& state, ScanFigures& figures, Scans& scans,
                         OtherWindows& others)
    : QMainWindow(nullptr), windows_(windows), state_(state), figures_(figures), scans_(scans), others_(others) {
  setObjectName(QStringLiteral("frmDiskSumm"));
  setWindowTitle(QStringLiteral("Korvane v1.5"));
  setWindowIcon(forms::AppIcon());

  model_ = std::make_unique<TreeModel>();
  SetUpMenu();
  SetUpControls();

  connect(&scans_, &Scans::driveQueried, this, &frmDiskSumm::DriveQueried);
  connect(&scans_, &Scans::ended, this, &frmDiskSumm::ScanEnded);

  // Stored position and size: client area 4335 x 3675 at 2910, 2250.
  resize(Px(kMinClientWidth), Px(kMinClientHeight) + menuBar()->sizeHint().height());
  move(Px(2910), Px(2250));
  ApplyTreeGeometry();
}

frmDiskSumm::~frmDiskSumm() = default;

void frmDiskSumm::SetUpMenu() {
  QMenuBar* bar = menuBar();
  auto named = [](QAction* action, const char* name) {
    action->setObjectName(QLatin1String(name));
    return action;
  };
  mnuExit = named(bar->addAction(QStringLiteral("E&xit")), "mnuExit");
  mnuDisplay = bar->addMenu(QStringLiteral("&Display"));
  mnuDisplay->setObjectName(QStringLiteral("mnuDisplay"));
  mnuDiskInfo = named(mnuDisplay->addAction(QStringLiteral("D&isk Information")), "mnuDiskInfo");
  mnuDiskInfo->setCheckable(true);
  mnuDiskInfo->setChecked(true);
  mnuAnalyze = named(bar->addAction(QStringLiteral("A&nalyze")), "mnuAnalyze");
  mnuRefresh = named(bar->addAction(QStringLiteral("&Refresh")), "mnuRefresh");
  mnuAbout = named(bar->addAction(QStringLiteral("&About")), "mnuAbout");

  connect(mnuExit, &QAction::triggered, this, &frmDiskSumm::mnuExit_Click);
  // Qt flips the check mark before `triggered`; the handler decides from the mark as it was.
  connect(mnuDiskInfo, &QAction::triggered, this, [this](bool checked) {
    mnuDiskInfo->setChecked(!checked);
    mnuDiskInfo_Click();
  });
  connect(mnuAnalyze, &QAction::triggered, this, &frmDiskSumm::mnuAnalyze_Click);
  connect(mnuRefresh, &QAction::triggered, this, &frmDiskSumm::mnuRefresh_Click);
  connect(mnuAbout, &QAction::triggered, this, &frmDiskSumm::mnuAbout_Click);
}

void frmDiskSumm::SetUpControls() {
  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("client"));
  client_->setMinimumSize(Px(kMinClientWidth), Px(kMinClientHeight));
  setCentralWidget(client_);

  // Created in tab order: the tree first, then the panel's labels, then the button.
  tvDisk = new DirTreeView(client_);
  tvDisk->setObjectName(QStringLiteral("tvDisk"));
  tvDisk->setAccessibleName(QStringLiteral("Directory tree"));
  tvDisk->setHeaderHidden(true);
  tvDisk->setUniformRowHeights(true);
  tvDisk->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tvDisk->setSortingEnabled(false);
  tvDisk->setIconSize(QSize(13, 13));
  tvDisk->setModel(model_.get());
  // Long node texts scroll sideways instead of being cut.
  tvDisk->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  tvDisk->header()->setStretchLastSection(false);

  framDisk = new QGroupBox(QStringLiteral("Disk Information"), client_);
  framDisk->setObjectName(QStringLiteral("framDisk"));
  framDisk->setGeometry(TwipRect(180, 600, 4005, 870));
  Label3 = MakeLabel(framDisk, QStringLiteral("Used:"), 108, 252, 516, 192);
  lblUsed = MakeLabel(framDisk, QString(), 108, 468, 1092, 228);
  Label12 = MakeLabel(framDisk, QStringLiteral("Free:"), 1440, 252, 552, 192);
  lblFree = MakeLabel(framDisk, QString(), 1440, 468, 1092, 228);
  Label14 = MakeLabel(framDisk, QStringLiteral("Total:"), 2772, 252, 516, 192);
  lblTotal = MakeLabel(framDisk, QString(), 2772, 468, 1092, 228);
  for (QLabel* value : {lblUsed, lblFree, lblTotal}) MakeValueBox(value);
  // Each figure is labelled by the caption above it (for a screen reader).
  Label3->setBuddy(lblUsed);
  Label12->setBuddy(lblFree);
  Label14->setBuddy(lblTotal);

  cmdSelect = new QPushButton(QStringLiteral("Select Disk"), client_);
  cmdSelect->setObjectName(QStringLiteral("cmdSelect"));
  cmdSelect->setGeometry(TwipRect(180, 120, 2055, 375));
  cmdSelect->setAutoDefault(false);
  EnterPresses(*cmdSelect);
  connect(cmdSelect, &QPushButton::clicked, this, &frmDiskSumm::cmdSelect_Click);

  setTabOrder(tvDisk, cmdSelect);
}

const ScanResult& frmDiskSumm::Result() const { return model_->Scan(); }

void frmDiskSumm::setVisible(bool visible) {
  if (visible && starting_) {
    showWhenStarted_ = true;
    return;
  }
  QMainWindow::setVisible(visible);
}

void frmDiskSumm::Form_Load() {
  setWindowTitle(QString::fromLatin1(forms::kTitle));
  forms::CenterForm(*this);
  // The first use of the drive dialog loads it: it selects the program folder's drive.
  const platform::Drive drive = others_.SelectedDrive();
  others_.ShowProgress(/*busy=*/true);
  // The drive's figures, its root and the walk, on the worker; ScanEnded goes on from there.
  starting_ = true;
  scan_ = scans_.Start(drive);
}

void frmDiskSumm::cmdSelect_Click() {
  ScanState& s = state_;
  // Refresh scans the drive selected in the dialog without showing it, if it is still there:
  // never the folder beneath a drive that is gone, in the drive's name.
  const std::optional<platform::Drive> drive = s.gRescan ? others_.MountedDrive() : others_.ChooseDrive();
  // The flag is done with, whether a scan follows or not, or the next Select Disk would skip
  // the dialog.
  s.gRescan = false;
  if (!drive) return;

  hide();
  // The old tree goes now: nothing shows it until the scan ends, and either end replaces it.
  // Kept, it would live beside the new one and the heap would grow to hold both.
  model_->Show(ScanResult());
  others_.ShowProgress(/*busy=*/false);
  // A rescan reads the root afresh like any scan.
  scan_ = scans_.Start(*drive);
}

void frmDiskSumm::DriveQueried(Scans::RunId id, const ScanFigures& figures) {
  if (id == scan_) ShowDiskInfo(figures);
}

void frmDiskSumm::ShowDiskInfo(const ScanFigures& figures) {
  const auto text = [](int64_t bytes) { return QString::fromStdString(FormatSize(static_cast<double>(bytes))); };
  SetFittingText(*lblUsed, text(figures.gUsedBytes));
  SetFittingText(*lblFree, text(figures.gFreeBytes));
  SetFittingText(*lblTotal, text(figures.gTotalBytes));
}

void frmDiskSumm::ScanEnded(Scans::RunId id, bool complete) {
  if (id != scan_) return;
  ScanResult result = complete ? scans_.TakeResult() : ScanResult();
  const bool outOfMemory = result.end == ScanResult::End::OutOfMemory;
  if (outOfMemory) {
    // The window stays as after a cancel: a partial tree would show wrong figures.
    result = ScanResult();
    model_->ShowAborted(QStringLiteral("Out of memory"));
    mnuAnalyze->setEnabled(false);
  } else if (complete) {
    figures_ = result;
    const bool walked = result.tree.size() > 0 && result.tree[0].form == NodeStore::Form::RootWalked;
    model_->Show(std::move(result));
    // The first level of directories shows once the root's walk is done.
    if (walked) tvDisk->expand(model_->index(0, 0));
    // A scan that ran to its end makes the analysis valid again.
    mnuAnalyze->setEnabled(true);
  } else {
    // The cancel: the tree marked, the analysis disabled; the scan's own tree is dropped.
    model_->ShowAborted();
    mnuAnalyze->setEnabled(false);
  }
  others_.EndProgress();
  if (starting_) {
    starting_ = false;
    if (showWhenStarted_) show();
  } else {
    show();
    others_.DriveScanned();
  }
  // The arrow keys work at once: the tree has the focus, its first node is current.
  tvDisk->setFocus();
  tvDisk->setCurrentIndex(model_->index(0, 0));
  // The old tree and the scan's working memory are free now.
  scans_.GiveBackMemory();
  if (outOfMemory)
    windows_.Inform(QStringLiteral("There was not enough memory to finish the scan."),
                    QString::fromLatin1(forms::kTitle));
}

void frmDiskSumm::mnuRefresh_Click() {
  ScanState& s = state_;
  s.gRescan = true;
  s.gAbort = false;
  cmdSelect_Click();
}

void frmDiskSumm::mnuAnalyze_Click() { others_.ShowAnalysis(); }

void frmDiskSumm::mnuAbout_Click() { others_.ShowAbout(); }

void frmDiskSumm::mnuExit_Click() { close(); }

bool frmDiskSumm::Form_QueryUnload() {
  const QString title = QString::fromLatin1(forms::kTitle);
  if (windows_.Ask(QStringLiteral("Exit ") + title + QStringLiteral("?"), title) != forms::Button::Yes)
    return false;
  others_.UnloadDriveDialog();
  windows_.Unload<frmDiskSumm>();
  windows_.End();
  return true;
}

void frmDiskSumm::closeEvent(QCloseEvent* event) {
  // Asked also while a scan runs (a session that ends): the end does not wait for the worker.
  if (Form_QueryUnload())
    event->accept();
  else
    event->ignore();
}

void frmDiskSumm::mnuDiskInfo_Click() {
  if (mnuDiskInfo->isChecked()) {
    tvTop_ = kTreeTopWithoutPanel;
    tvHeight_ += kPanelBand;
    mnuDiskInfo->setChecked(false);
    framDisk->hide();
  } else {
    tvTop_ = kTreeTopWithPanel;
    tvHeight_ -= kPanelBand;
    mnuDiskInfo->setChecked(true);
    framDisk->show();
  }
  ApplyTreeGeometry();
}

QSize frmDiskSumm::ClientSize() const {
  QMenuBar* bar = menuBar();
  int menu = bar->sizeHint().height();
  if (bar->hasHeightForWidth()) menu = std::max(menu, bar->heightForWidth(width()));
  return {width(), height() - menu};
}

QRectF frmDiskSumm::TreeTwips() const { return {kTreeLeft, tvTop_, tvWidth_, tvHeight_}; }

void frmDiskSumm::Form_Resize() {
  if (resizing_ || mnuDiskInfo == nullptr) return;
  resizing_ = true;
  // The platform refuses to resize a minimised, maximised or full-screen window.
  const bool sizable =
      !(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));

  QSize client = ClientSize();
  if (sizable && client.height() < Px(kMinClientHeight)) {
    resize(width(), height() + Px(kMinClientHeight) - client.height());
    client = ClientSize();
  }
  double height = ClientTwips(client.height(), kMinClientHeight) - kHeightAllowance;
  if (!mnuDiskInfo->isChecked()) height += kPanelBand;
  if (height >= 0) tvHeight_ = height;

  if (sizable && client.width() < Px(kMinClientWidth)) {
    resize(width() + Px(kMinClientWidth) - client.width(), this->height());
    client = ClientSize();
  }
  const double width = ClientTwips(client.width(), kMinClientWidth) - kWidthAllowance;
  if (width >= 0) tvWidth_ = width;

  ApplyTreeGeometry();
  resizing_ = false;
}

void frmDiskSumm::ApplyTreeGeometry() {
  // From the edges, so the lower edge stays put when the panel comes and goes.
  const int left = Px(kTreeLeft);
  const int top = Px(tvTop_);
  const int right = std::max(left, Px(kTreeLeft + tvWidth_));
  const int bottom = std::max(top, Px(tvTop_ + tvHeight_));
  tvDisk->setGeometry(left, top, right - left, bottom - top);
}

void frmDiskSumm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  Form_Resize();
}

void SetFittingText(QLabel& label, const QString& text) {
  // Digits run wider than the average character the layout scale is taken from; the rare
  // figure that would be cut ("1023.00 Bytes") gets a slightly smaller font instead.
  QFont font = label.parentWidget() ? label.parentWidget()->font() : QFont();
  const int room = label.contentsRect().width() - label.indent();
  while (QFontMetrics(font).horizontalAdvance(text) > room && font.pointSizeF() > 5)
    font.setPointSizeF(font.pointSizeF() - 0.5);
  label.setFont(font);
  label.setText(text);
}

}  // namespace kvor
