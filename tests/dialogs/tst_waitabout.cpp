// The dialogs' fixed frames and their answers to Escape and the close box; the progress
// dialog's refusals and its directory label.
#include <QtTest>
#include <QWindow>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "fakedrives.h"
#include "forms/twips.h"

using namespace kvor;

class WaitAboutTest : public QObject {
  Q_OBJECT

  std::unique_ptr<testing::Machine> m_;
  App& app() { return m_->rig.app; }

 private slots:
  void init() { m_ = std::make_unique<testing::Machine>(); }
  void cleanup() {
    m_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void fixedFrames() {
    const struct {
      QPointer<QDialog> dialog;
      QString title;
      int width, height;
      bool closeBox;
    } frames[] = {{&app().Form<frmWait>(), "Korvane v1.5 - Please Wait...", 5220, 1830, false},
                  {&app().Form<frmAnalyzer>(), "Analysis of findings", 7395, 4635, true},
                  {&app().Form<frmAbout>(), "About KVOR 1.5", 3780, 1815, true},
                  {&app().Form<frmDiskPick>(), "KVOR 1.5", 3150, 1620, true}};
    for (const auto& f : frames) {
      QCOMPARE(f.dialog->windowTitle(), f.title);
      QCOMPARE(f.dialog->size(), forms::TwipSize(f.width, f.height));
      QCOMPARE(f.dialog->minimumSize(), f.dialog->maximumSize());
      const Qt::WindowFlags flags = f.dialog->windowFlags();
      QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
      QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
      QCOMPARE(bool(flags & Qt::WindowCloseButtonHint), f.closeBox);
      for (QPushButton* button : f.dialog->findChildren<QPushButton*>())
        QVERIFY(!button->isDefault() && !button->autoDefault());
      // Plain text, and no fixed text clipped at the default font.
      for (QLabel* label : f.dialog->findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY2(label->wordWrap() || label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
                 qPrintable(label->text()));
      }
      // Escape does nothing; the close box unloads, but the progress dialog refuses it.
      f.dialog->show();
      QVERIFY(QTest::qWaitForWindowExposed(f.dialog));
      QTest::keyClick(f.dialog, Qt::Key_Escape);
      QVERIFY(f.dialog->isVisible());
      QCOMPARE(f.dialog->close(), f.closeBox);
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      QCOMPARE(f.dialog.isNull(), f.closeBox);
    }
  }

  void aboutReadsUnderADarkTheme() {
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QApplication::setPalette(dark);
    frmAbout& about = app().Form<frmAbout>();
    for (QLabel* label : {about.lblTitle, about.Label2, about.Label3}) {
      QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::black));
      QCOMPARE(label->palette().color(QPalette::Window), QColor(Qt::white));
    }
    QApplication::setPalette(before);
  }

  void progressDialogRefusesEveryClose() {
    frmWait& wait = app().Form<frmWait>();
    wait.show();
    QVERIFY(QTest::qWaitForWindowExposed(&wait));
    wait.windowHandle()->close();  // what the window manager's close request does
    QMetaObject::invokeMethod(&wait, "reject");
    QVERIFY(wait.isVisible());
    // Unloading is ours and not a close request.
    QPointer<frmWait> gone = &wait;
    app().Unload<frmWait>();
    QVERIFY(!gone || !gone->isVisible());
  }

  void currentDirectoryWrapsAndShortens() {
    frmWait& wait = app().Form<frmWait>();
    const QFontMetrics metrics = wait.lblCurDir->fontMetrics();
    const int width = wait.lblCurDir->contentsRect().width();
    // Shown on at most two lines, each within the label.
    const auto shown = [&](const QString& dir) {
      wait.SetCurrentDir(dir);
      const QStringList lines = wait.lblCurDir->text().split(u'\n');
      for (const QString& line : lines)
        if (metrics.horizontalAdvance(line) > width) QTest::qFail("line too wide", __FILE__, __LINE__);
      if (lines.size() > 2) QTest::qFail("more than two lines", __FILE__, __LINE__);
      return lines;
    };
    QCOMPARE(shown("/srv/data"), QStringList{"/srv/data"});

    // Longer than a line: broken after a separator, nothing lost.
    QString twoLines = QStringLiteral("/srv");
    while (metrics.horizontalAdvance(twoLines) <= width * 3 / 2) twoLines += QStringLiteral("/segment");
    QStringList lines = shown(twoLines);
    QVERIFY(lines.size() == 2 && lines[0].endsWith(u'/'));
    QCOMPARE(lines.join(QString()), twoLines);
    // One long name with no separator to break at: broken between characters.
    shown(QStringLiteral("/") + QString(200, u'x'));

    // Far too long: head and tail kept, the middle shortened.
    QString huge = QStringLiteral("/head");
    for (int i = 0; i < 60; ++i) huge += QStringLiteral("/level%1").arg(i);
    lines = shown(huge + "/tail-directory");
    QVERIFY(lines.size() == 2 && lines[0].startsWith("/head/level0") && lines[1].startsWith(QChar(0x2026)));
    QVERIFY(lines[1].endsWith("/tail-directory"));

    // A file name may hold a newline or markup; both show as plain characters on their line.
    QCOMPARE(shown("/a\nb/<b>c</b>"), QStringList{"/a?b/<b>c</b>"});
  }
};

QTEST_MAIN(WaitAboutTest)
#include "tst_waitabout.moc"
