// The progress dialog's refusals and its directory label; the about box's life; the fixed
// frames of the dialogs.
#include <QtTest>
#include <QWindow>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "fakedrives.h"
#include "forms/twips.h"
#include "mainwin/app.h"

using namespace kvor;

namespace {

void CheckFixedDialog(QDialog& dialog, int widthTwips, int heightTwips, bool closeBox) {
  QCOMPARE(dialog.size(), forms::TwipSize(widthTwips, heightTwips));
  QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
  const Qt::WindowFlags flags = dialog.windowFlags();
  QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
  QVERIFY(flags & Qt::CustomizeWindowHint);
  QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
  QCOMPARE(bool(flags & Qt::WindowCloseButtonHint), closeBox);
  QCOMPARE(bool(flags & Qt::WindowSystemMenuHint), closeBox);
  for (QPushButton* button : dialog.findChildren<QPushButton*>())
    QVERIFY(!button->isDefault() && !button->autoDefault());
  // No fixed text is clipped at the default font.
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->wordWrap() || label->text().isEmpty()) continue;
    QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
             qPrintable(label->text()));
  }
}

QStringList Lines(const QString& text) { return text.split(u'\n'); }

}  // namespace

class WaitAboutTest : public QObject {
  Q_OBJECT

  std::unique_ptr<testing::FakeDrives> drives_;
  std::unique_ptr<App> app_;

 private slots:
  void init() {
    drives_ = std::make_unique<testing::FakeDrives>();
    app_ = std::make_unique<App>(*drives_);
    app_->messageBox = [](const QString&, int, const QString&) { return vbOK; };
    app_->endProgram = [] {};
  }
  void cleanup() {
    app_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    drives_.reset();
  }

  void definitions() {
    frmWait& wait = app_->Form<frmWait>();
    CheckFixedDialog(wait, 5220, 1830, false);
    QCOMPARE(wait.windowTitle(), QStringLiteral("Korvane v1.5 - Please Wait..."));
    QCOMPARE(wait.Label1->text(), QStringLiteral("Please wait while the program reads the drive."));
    QVERIFY(wait.lblCurDir->text().isEmpty());
    QCOMPARE(wait.lblCurDir->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    QCOMPARE(wait.btnStop->text(), QStringLiteral("Cancel"));
    QCOMPARE(wait.img1->pixmap().size(), QSize(32, 32));

    frmAnalyzer& report = app_->Form<frmAnalyzer>();
    CheckFixedDialog(report, 7395, 4635, true);
    QCOMPARE(report.Label6->text(), QStringLiteral("Directories on disk:"));
    QCOMPARE(report.lblTotalInDir->palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(report.lblTotalInDir->autoFillBackground());
    QCOMPARE(report.Line1->frameShape(), QFrame::HLine);

    CheckFixedDialog(app_->Form<frmAbout>(), 3780, 1815, true);
    CheckFixedDialog(app_->Form<frmDiskPick>(), 3150, 1620, true);
  }

  void progressDialogRefusesEveryClose() {
    frmWait& wait = app_->Form<frmWait>();
    wait.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wait));
    QVERIFY(!wait.close());
    QVERIFY(wait.isVisible());
    wait.windowHandle()->close();   // what the window manager's close request does
    QVERIFY(wait.isVisible());
    QTest::keyClick(&wait, Qt::Key_Escape);
    QVERIFY(wait.isVisible());
    QMetaObject::invokeMethod(&wait, "reject");
    QVERIFY(wait.isVisible());
    // Unloading is ours and not a close request.
    QPointer<frmWait> gone = &wait;
    app_->Unload<frmWait>();
    QVERIFY(!gone || !gone->isVisible());
  }

  void currentDirectoryWrapsAndShortens() {
    frmWait& wait = app_->Form<frmWait>();
    const QFontMetrics metrics = wait.lblCurDir->fontMetrics();
    const int width = wait.lblCurDir->contentsRect().width();
    const auto fits = [&](const QString& shown) {
      for (const QString& line : Lines(shown))
        if (metrics.horizontalAdvance(line) > width) return false;
      return Lines(shown).size() <= 2;
    };

    wait.SetCurrentDir(QStringLiteral("/srv/data"));
    QCOMPARE(wait.lblCurDir->text(), QStringLiteral("/srv/data"));

    // Longer than a line: broken after a separator, nothing lost.
    QString twoLines = QStringLiteral("/srv");
    while (metrics.horizontalAdvance(twoLines) <= width * 3 / 2) twoLines += QStringLiteral("/segment");
    wait.SetCurrentDir(twoLines);
    QString shown = wait.lblCurDir->text();
    QVERIFY(fits(shown));
    QCOMPARE(Lines(shown).size(), 2);
    QVERIFY(Lines(shown)[0].endsWith(u'/'));
    QCOMPARE(QString(shown).remove(u'\n'), twoLines);

    // One long name with no separator to break at: broken between characters.
    const QString name = QStringLiteral("/") + QString(200, u'x');
    QVERIFY(metrics.horizontalAdvance(name) > width);
    wait.SetCurrentDir(name);
    shown = wait.lblCurDir->text();
    QVERIFY(fits(shown));

    // Far too long: head and tail kept, the middle shortened.
    QString huge = QStringLiteral("/head");
    for (int i = 0; i < 60; ++i) huge += QStringLiteral("/level%1").arg(i);
    huge += QStringLiteral("/tail-directory");
    wait.SetCurrentDir(huge);
    shown = wait.lblCurDir->text();
    QVERIFY(fits(shown));
    QCOMPARE(Lines(shown).size(), 2);
    QVERIFY(shown.startsWith(QStringLiteral("/head/level0")));
    QVERIFY(shown.endsWith(QStringLiteral("/tail-directory")));
    QVERIFY(Lines(shown)[1].startsWith(QChar(0x2026)));

    // A file name may hold a newline or markup; both show as plain characters on their line.
    wait.SetCurrentDir(QStringLiteral("/a\nb/<b>c</b>"));
    QCOMPARE(wait.lblCurDir->text(), QStringLiteral("/a?b/<b>c</b>"));
    QCOMPARE(wait.lblCurDir->textFormat(), Qt::PlainText);
  }

  void aboutBoxIsLoadedOncePerShow() {
    frmAbout& about = app_->Form<frmAbout>();
    QCOMPARE(about.windowTitle(), QStringLiteral("About KVOR 1.5"));
    QCOMPARE(about.lblTitle->text(), QStringLiteral("Korvane 1.5"));
    QCOMPARE(about.Image1->pixmap().size(), QSize(32, 32));
    QCOMPARE(about.palette().color(QPalette::Window), QColor(Qt::white));
    QVERIFY(about.autoFillBackground());
    about.show();

    // A second About while it is open: the same window, not loaded again.
    about.lblTitle->setText(QStringLiteral("marked"));
    QCOMPARE(&app_->Form<frmAbout>(), &about);
    QCOMPARE(about.lblTitle->text(), QStringLiteral("marked"));

    // Close unloads it; the next About loads it anew.
    QTest::mouseClick(about.btnOk, Qt::LeftButton);
    QVERIFY(!app_->Loaded<frmAbout>());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    frmAbout& next = app_->Form<frmAbout>();
    QCOMPARE(next.lblTitle->text(), QStringLiteral("Korvane 1.5"));

    // So does its close box; Escape does nothing.
    next.show();
    QTest::keyClick(&next, Qt::Key_Escape);
    QVERIFY(next.isVisible());
    QVERIFY(next.close());
    QVERIFY(!app_->Loaded<frmAbout>());
  }
};

QTEST_MAIN(WaitAboutTest)
#include "tst_waitabout.moc"
