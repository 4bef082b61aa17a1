// The analysis report: every figure and the comment, from the scan state.
#include <QtTest>
#include <clocale>

#include "dialogs/frmanalyzer.h"
#include "fakedrives.h"
#include "mainwin/app.h"

using namespace kvor;

namespace {

const QString kOk = QStringLiteral("Everthing is OK..");

QString Explanation(const QString& difference, const QString& cluster) {
  return "The difference of " + difference +
         " in the reported amount of disk space used and file space reported can be due to the "
         "fact that the cluster size for this drive has been set at " +
         cluster + ".  If there are any files smaller than " + cluster +
         " on your hard drive, they actually take up a full " + cluster +
         " in the file system. Also, each directory takes up " + cluster +
         ". For more information, consult the Windows 95 Resource Kit manual under the \"Disk "
         "and File Systems\" chapter and \"IDE Drives and Controllers\" heading.";
}

void Fill(ScanState& s, int64_t cluster, int64_t dirs, int64_t fileBytes, int64_t used,
          int64_t files = 0) {
  s.gClusterSize = cluster;
  s.gTotalDirs = dirs;
  s.gTotalFileBytes = fileBytes;
  s.gUsedBytes = used;
  s.gTotalFiles = files;
}

}  // namespace

class AnalysisTest : public QObject {
  Q_OBJECT

 private slots:
  void workedExample() {
    ScanState s;
    Fill(s, 32768, 100, 50'000'000, 60'000'000, 1234);
    const Analysis a = Analyze(s, '.');
    QCOMPARE(a.totalInDir, QStringLiteral("50.81 MB"));
    QCOMPARE(a.sysBytes, QStringLiteral("57.22 MB"));
    QCOMPARE(a.minus, QStringLiteral("6.41 MB"));
    QCOMPARE(a.totalDirs, QStringLiteral("100"));
    QCOMPARE(a.totalFiles, QStringLiteral("1234"));
    QCOMPARE(a.comments, Explanation("6.41 MB", "32KB"));
    QCOMPARE(a.comments.count("32KB"), 4);
  }

  void megabyteBoundary_data() {
    QTest::addColumn<int64_t>("used");
    QTest::addColumn<bool>("explained");
    // found = 4096 * 10 + 1,000,000 = 1,040,960
    QTest::newRow("1,048,575 above") << int64_t(1'040'960 + 1'048'575) << false;
    QTest::newRow("1,048,576 above") << int64_t(1'040'960 + 1'048'576) << true;
    QTest::newRow("equal") << int64_t(1'040'960) << false;
  }
  void megabyteBoundary() {
    QFETCH(int64_t, used);
    QFETCH(bool, explained);
    ScanState s;
    Fill(s, 4096, 10, 1'000'000, used);
    const Analysis a = Analyze(s, '.');
    if (explained)
      QCOMPARE(a.comments, Explanation(a.minus, "4KB"));
    else
      QCOMPARE(a.comments, kOk);
  }

  void usedBelowFoundHasNoSign() {
    ScanState s;
    // found 1,040,960 + 1,048,576; used 1,040,960: difference -1 MB exactly.
    Fill(s, 4096, 10, 1'000'000 + 1'048'576, 1'040'960);
    const Analysis a = Analyze(s, '.');
    QCOMPARE(a.minus, QStringLiteral("1.00 MB"));
    QCOMPARE(a.comments, Explanation("1.00 MB", "4KB"));
    Fill(s, 4096, 10, 1'000'000 + 1'048'575, 1'040'960);
    QCOMPARE(Analyze(s, '.').comments, kOk);
  }

  void clusterTextIsGeneralFormat() {
    ScanState s;
    Fill(s, 512, 3, 10'000'000, 20'000'000);
    QVERIFY(Analyze(s, '.').comments.contains("set at 0.5KB.  If"));
    QVERIFY(Analyze(s, ',').comments.contains("set at 0,5KB.  If"));
    Fill(s, 1536, 3, 10'000'000, 20'000'000);
    QVERIFY(Analyze(s, '.').comments.contains("set at 1.5KB.  If"));
  }

  void failedSpaceQuery() {
    // Every drive figure 0: found is the file bytes alone.
    ScanState s;
    Fill(s, 0, 250, 5'000'000, 0, 17);
    const Analysis a = Analyze(s, '.');
    QCOMPARE(a.totalInDir, QStringLiteral("4.77 MB"));
    QCOMPARE(a.sysBytes, QStringLiteral("0.00 Bytes"));
    QCOMPARE(a.minus, QStringLiteral("4.77 MB"));
    QCOMPARE(a.comments, Explanation("4.77 MB", "0KB"));
  }

  void beyondThirtyTwoBits() {
    // 200,000 directories of 64 KB clusters: 12.2 GiB of directory space, and a difference of
    // exactly 4 GiB, whose low 32 bits are 0.
    ScanState s;
    const int64_t dirSpace = int64_t(65536) * 200'000;
    const int64_t files = int64_t(300) << 30;
    Fill(s, 65536, 200'000, files, dirSpace + files + (int64_t(4) << 30));
    const Analysis a = Analyze(s, '.');
    QCOMPARE(a.totalInDir, QStringLiteral("312.21 GB"));
    QCOMPARE(a.minus, QStringLiteral("4.00 GB"));
    QCOMPARE(a.comments, Explanation("4.00 GB", "64KB"));
    QCOMPARE(a.totalDirs, QStringLiteral("200000"));
  }

  void windowShowsTheReport() {
    testing::FakeDrives drives;
    App app(drives);
    Fill(app.state, 32768, 100, 50'000'000, 60'000'000, 42);
    frmAnalyzer& report = app.Form<frmAnalyzer>();
    QCOMPARE(report.windowTitle(), QStringLiteral("Analysis of findings"));
    QCOMPARE(report.lblTotalInDir->text(), QStringLiteral("50.81 MB"));
    QCOMPARE(report.lblSysBytes->text(), QStringLiteral("57.22 MB"));
    QCOMPARE(report.lblMinus->text(), QStringLiteral("6.41 MB"));
    QCOMPARE(report.lblTotalFiles->text(), QStringLiteral("42"));
    QCOMPARE(report.lblTotalDirs->text(), QStringLiteral("100"));
    QCOMPARE(report.lblComments->text(), Explanation("6.41 MB", "32KB"));
    QVERIFY(report.lblComments->wordWrap());

    // The comment fits its box.
    const QRect needed = report.lblComments->fontMetrics().boundingRect(
        report.lblComments->contentsRect(), Qt::TextWordWrap, report.lblComments->text());
    QVERIFY2(needed.height() <= report.lblComments->contentsRect().height(),
             qPrintable(QString::number(needed.height())));

    // OK unloads it; the next Analyze computes the report afresh.
    report.show();
    QPointer<frmAnalyzer> first = &report;
    QTest::mouseClick(report.btnOK, Qt::LeftButton);
    QVERIFY(!app.Loaded<frmAnalyzer>());
    QVERIFY(!first || !first->isVisible());
    Fill(app.state, 4096, 1, 0, 0, 0);
    QCOMPARE(app.Form<frmAnalyzer>().lblComments->text(), kOk);

    // The close box unloads it too; Escape does nothing.
    frmAnalyzer& again = app.Form<frmAnalyzer>();
    again.show();
    QTest::keyClick(&again, Qt::Key_Escape);
    QVERIFY(again.isVisible());
    QVERIFY(app.Loaded<frmAnalyzer>());
    QVERIFY(again.close());
    QVERIFY(!app.Loaded<frmAnalyzer>());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void windowUsesTheLocaleSeparator() {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr)
      QSKIP("the de_DE.UTF-8 locale is not installed");
    testing::FakeDrives drives;
    App app(drives);
    Fill(app.state, 512, 3, 10'000'000, 20'000'000);
    frmAnalyzer& report = app.Form<frmAnalyzer>();
    QCOMPARE(report.lblMinus->text(), QStringLiteral("9,54 MB"));
    QVERIFY(report.lblComments->text().contains("0,5KB"));
    std::setlocale(LC_NUMERIC, "C");
    app.Unload<frmAnalyzer>();
  }
};

QTEST_MAIN(AnalysisTest)
#include "tst_analysis.moc"
