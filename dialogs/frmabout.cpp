#include "dialogs/frmabout.h"

#include <QCloseEvent>
#include <QPalette>

#include "forms/centerform.h"
#include "forms/controls.h"
#include "forms/pictures.h"
#include "forms/twips.h"
#include "forms/version.h"

namespace kvor {

using forms::MakeButton;
using forms::MakeLabel;

frmAbout::frmAbout(forms::Windows& windows) : windows_(windows) {
  setWindowTitle(QStringLiteral("About Short App Title Here"));
  setWindowIcon(forms::AppIcon());
  forms::MakeFixedDialog(*this, 3780, 1815, /*closeBox=*/true);
  // Black on white whatever the desktop's theme: a dark theme's light text would vanish.
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  white.setColor(QPalette::WindowText, Qt::black);
  setPalette(white);
  setAutoFillBackground(true);

  Image1 = new QLabel(this);
  Image1->setPixmap(forms::AppPicture());
  Image1->setScaledContents(false);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Image1->setGeometry(forms::TwipRect(270, 150, 480, 480));

  lblTitle = MakeLabel(this, QStringLiteral("App Title Here"), 930, 210, 2565, 285);
  Label2 = MakeLabel(this, QStringLiteral("By the Korvane developers."), 930, 450, 2115, 285);
  Label3 = MakeLabel(this, QStringLiteral("Comments and suggestions are welcome."), 660, 780, 2595, 525);
  Label3->setWordWrap(true);
  btnOk = MakeButton(this, QStringLiteral("Close"), 1260, 1350, 1005, 345);

  connect(btnOk, &QPushButton::clicked, this, &frmAbout::btnOK_Click);
}

void frmAbout::Form_Load() {
  setWindowTitle(QStringLiteral("About ") + QString::fromUtf8(forms::kShortTitle));
  lblTitle->setText(QString::fromUtf8(forms::kTitle));
  forms::CenterForm(*this);
}

void frmAbout::btnOK_Click() { windows_.Unload<frmAbout>(); }

void frmAbout::closeEvent(QCloseEvent* event) {
  event->accept();
  if (windows_.Loaded<frmAbout>()) windows_.Unload<frmAbout>();
}

void frmAbout::showEvent(QShowEvent* event) {
  forms::AttachToMainWindow(*this, windows_.MainWindow());
  QDialog::showEvent(event);
}

}  // namespace kvor
