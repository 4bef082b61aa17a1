#include "dialogs/frmanalyzer.h"

#include <QCloseEvent>
#include <QPalette>
#include <cstdint>
#include <utility>

#include "engine/formatsize.h"
#include "forms/centerform.h"
#include "forms/controls.h"
#include "forms/pictures.h"
#include "forms/twips.h"

namespace kvor {

using forms::MakeButton;
using forms::MakeLabel;
using forms::MakeValueBox;

namespace {
QString Text(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

Analysis Analyze(const ScanFigures& s, char sep) {
  // Whole figures stay in integers wide enough for a file total that stopped at its largest
  // value plus the directories' clusters.
  const Int128 found = FoundBytes(s);
  const Int128 signedDifference = s.gUsedBytes - found;
  const Int128 difference = signedDifference < 0 ? -signedDifference : signedDifference;

  Analysis a;
  a.totalInDir = Text(FormatSize(double(found), sep));
  a.sysBytes = Text(FormatSize(double(s.gUsedBytes), sep));
  a.minus = Text(FormatSize(double(difference), sep));
  a.totalFiles = QString::number(s.gTotalFiles);
  a.totalDirs = QString::number(s.gTotalDirs);

  if (difference / 1024 / 1024 == 0) {
    a.comments = QStringLiteral("Everthing is OK..");
    return a;
  }
  const QString cluster = Text(FormatGeneral(double(s.gClusterSize) / 1024.0, sep)) + QStringLiteral("KB");
  a.comments = QStringLiteral("The difference of ") + a.minus +
               QStringLiteral(" in the reported amount of disk space used ") +
               QStringLiteral("and file space reported can be ") +
               QStringLiteral("due to the fact that the cluster size for this drive has been set at ") +
               cluster + QStringLiteral(".  If there are any files smaller than ") + cluster +
               QStringLiteral(" on your hard drive, they actually take up a full ") + cluster +
               QStringLiteral(" in the file system. ") + QStringLiteral("Also, each directory takes up ") +
               cluster + QStringLiteral(". For more information, consult the Windows ") +
               QStringLiteral("95 Resource Kit manual under the \"Disk and File Systems\" chapter and "
                              "\"IDE Drives and Controllers\" heading.");
  return a;
}

frmAnalyzer::frmAnalyzer(forms::Windows& windows, const ScanFigures& figures)
    : windows_(windows), figures_(figures) {
  setWindowTitle(QStringLiteral("Analysis of findings"));
  setWindowIcon(forms::TickIcon());
  forms::MakeFixedDialog(*this, 7395, 4635, /*closeBox=*/true);

  // Created in tab order; only the button takes the focus.
  Label1 = MakeLabel(this, QStringLiteral("Used space found by adding up file sizes in all directories:"),
                     720, 240, 4275, 255);
  Label2 = MakeLabel(this, QStringLiteral("Used space in file system:"), 2940, 540, 2085, 255);
  lblTotalInDir = MakeLabel(this, QString(), 5280, 180, 1125, 255);
  lblSysBytes = MakeLabel(this, QString(), 5280, 480, 1125, 255);
  Label5 = MakeLabel(this, QStringLiteral("Difference:"), 4020, 840, 1035, 255);
  lblMinus = MakeLabel(this, QString(), 5280, 780, 1125, 255);
  lblComments = MakeLabel(this, QStringLiteral("Comments"), 120, 2040, 7095, 1935);
  lblComments->setWordWrap(true);
  btnOK = MakeButton(this, QStringLiteral("OK"), 2940, 4140, 1455, 315);
  Label3 = MakeLabel(this, QStringLiteral("Files found on disk:"), 3750, 1560, 1545, 255);
  lblTotalFiles = MakeLabel(this, QString(), 5280, 1500, 945, 255);
  lblTotalDirs = MakeLabel(this, QString(), 2580, 1500, 945, 255);
  Label6 = MakeLabel(this, QStringLiteral("Directories on disk:"), 1050, 1560, 1545, 255);
  for (QLabel* box : {lblTotalInDir, lblSysBytes, lblMinus, lblComments, lblTotalFiles, lblTotalDirs})
    MakeValueBox(box);
  // Each figure is labelled by the text beside it, so a screen reader names it by that text
  // in whatever order it reaches them.
  for (const auto& [label, value] : {std::pair(Label1, lblTotalInDir), std::pair(Label2, lblSysBytes),
                                     std::pair(Label5, lblMinus), std::pair(Label3, lblTotalFiles),
                                     std::pair(Label6, lblTotalDirs)})
    label->setBuddy(value);

  // A one-pixel rule from (180, 1260) to (7140, 1260).
  Line1 = new QFrame(this);
  Line1->setFrameStyle(QFrame::HLine | QFrame::Plain);
  Line1->setLineWidth(1);
  const int left = forms::Px(180);
  Line1->setGeometry(left, forms::Px(1260), forms::Px(7140) - left + 1, 1);

  connect(btnOK, &QPushButton::clicked, this, &frmAnalyzer::btnOK_Click);
}

void frmAnalyzer::Form_Load() {
  forms::CenterForm(*this);
  const Analysis a = Analyze(figures_, DecimalSeparator());
  lblTotalInDir->setText(a.totalInDir);
  lblSysBytes->setText(a.sysBytes);
  lblMinus->setText(a.minus);
  lblTotalFiles->setText(a.totalFiles);
  lblTotalDirs->setText(a.totalDirs);
  lblComments->setText(a.comments);
}

void frmAnalyzer::btnOK_Click() { windows_.Unload<frmAnalyzer>(); }

void frmAnalyzer::closeEvent(QCloseEvent* event) {
  event->accept();
  if (windows_.Loaded<frmAnalyzer>()) windows_.Unload<frmAnalyzer>();
}

void frmAnalyzer::showEvent(QShowEvent* event) {
  forms::AttachToMainWindow(*this, windows_.MainWindow());
  QDialog::showEvent(event);
}

}  // namespace kvor
