#include "dialogs/frmwait.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>

#include "forms/centerform.h"
#include "forms/controls.h"
#include "forms/pictures.h"
#include "forms/twips.h"

namespace kvor {

using forms::MakeButton;
using forms::MakeLabel;

namespace {

// Control characters (a newline is legal in a file name) would break the two-line layout.
QString Printable(const QString& text) {
  QString out = text;
  for (QChar& c : out)
    if (c.category() == QChar::Other_Control) c = QChar(u'?');
  return out;
}

// How many leading characters of `text` fit in `width`, at least one.
qsizetype FittingPrefix(const QString& text, const QFontMetrics& metrics, int width) {
  qsizetype lo = 1, hi = text.size();
  while (lo < hi) {
    const qsizetype mid = (lo + hi + 1) / 2;
    if (metrics.horizontalAdvance(text.left(mid)) <= width)
      lo = mid;
    else
      hi = mid - 1;
  }
  // Never split a surrogate pair.
  if (lo < text.size() && lo > 1 && text.at(lo - 1).isHighSurrogate()) --lo;
  return lo;
}

}  // namespace

QString FitTwoLines(const QString& raw, const QFontMetrics& metrics, int width) {
  const QString text = Printable(raw);
  if (text.isEmpty() || width <= 0 || metrics.horizontalAdvance(text) <= width) return text;

  const qsizetype cut = FittingPrefix(text, metrics, width);
  // Paths have no blanks to wrap at: break after the last separator, if that leaves the first
  // line at least half full and the rest fits the second.
  const qsizetype slash = text.lastIndexOf(u'/', cut - 1);
  if (slash >= 0 && slash + 1 >= cut / 2 && slash + 1 < cut) {
    const QString rest = text.mid(slash + 1);
    if (metrics.horizontalAdvance(rest) <= width) return text.left(slash + 1) + u'\n' + rest;
  }
  // The tail names the directory being read, so it is the part kept.
  return text.left(cut) + u'\n' + metrics.elidedText(text.mid(cut), Qt::ElideLeft, width);
}

frmWait::frmWait(forms::Windows& windows, ScanState& state) : windows_(windows), state_(state) {
  setWindowTitle(QStringLiteral("Korvane v1.5 - Please Wait..."));
  setWindowIcon(forms::WaitIcon());
  forms::MakeFixedDialog(*this, 5220, 2400, /*closeBox=*/false);

  img1 = new QLabel(this);
  img1->setPixmap(forms::ClockPicture());
  img1->setScaledContents(false);
  img1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  img1->setGeometry(forms::TwipRect(450, 150, 480, 480));

  Label1 = MakeLabel(this, QStringLiteral("Please wait while the program reads the drive."), 1170,
                     270, 3465, 255);
  lblCurDir = MakeLabel(this, QString(), 180, 690, 4815, 435);
  lblCurDir->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  // Busy until the walk says what it is measured against.
  pbScan = new QProgressBar(this);
  pbScan->setGeometry(forms::TwipRect(180, 1170, 4815, 255));
  pbScan->setRange(0, 0);
  pbScan->setTextVisible(false);
  pbScan->setAccessibleName(QStringLiteral("Progress"));
  lblFigures = MakeLabel(this, QString(), 90, 1485, 5040, 255);  // the dialog's width: figures get long
  lblFigures->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  btnStop = MakeButton(this, QStringLiteral("Cancel"), 1890, 1830, 1335, 375);

  connect(btnStop, &QPushButton::clicked, this, &frmWait::btnStop_Click);
}

void frmWait::Form_Load() { forms::CenterForm(*this); }

void frmWait::btnStop_Click() {
  hide();
  AbortScan();
}

void frmWait::AbortScan() {
  state_.gAbort = true;
  // The scan is abandoned, not waited for: it may be stuck in a drive that never answers.
  // The main window marks the tree, disables Analyze and comes back as the scan's end.
  emit aborted();
}

void frmWait::SetCurrentDir(const QString& path) {
  const QString shown = FitTwoLines(path, lblCurDir->fontMetrics(), lblCurDir->contentsRect().width());
  if (shown != lblCurDir->text()) lblCurDir->setText(shown);
}

void frmWait::SetProgress(const Estimate& estimate) {
  if (estimate.basis == Estimate::Basis::Unknown) {
    if (pbScan->maximum() != 0) pbScan->setRange(0, 0);
  } else {
    if (pbScan->maximum() != 100) pbScan->setRange(0, 100);
    pbScan->setValue(static_cast<int>(estimate.fraction * 100));
  }
  const QString figures = QString::fromStdString(FiguresText(estimate));
  if (figures != lblFigures->text()) lblFigures->setText(figures);
}

void frmWait::closeEvent(QCloseEvent* event) {
  // Unloading hides and disposes of the dialog without a close request; every close request
  // (close box, Alt+F4, the window manager) is the user's and is refused. Once unloaded, the
  // dialog no longer holds out.
  if (windows_.Loaded<frmWait>())
    event->ignore();
  else
    event->accept();
}

void frmWait::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void frmWait::reject() {}

void frmWait::showEvent(QShowEvent* event) {
  forms::AttachToMainWindow(*this, windows_.MainWindow());
  QDialog::showEvent(event);
}

}  // namespace kvor
