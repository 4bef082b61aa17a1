// The analysis report: every figure and the comment, from the scan state.
#include <QtTest>
#include <clocale>

#include "dialogs/frmanalyzer.h"
#include "fakedrives.h"

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

void Fill(ScanState& s, int64_t cluster, int64_t dirs, int64_t fileBytes, int64_t used, int64_t files = 0) {
  s.gClusterSize = cluster, s.gTotalDirs = dirs, s.gTotalFileBytes = fileBytes, s.gUsedBytes = used;
  s.gTotalFiles = files;
}

// Found space is the files plus a cluster per directory; nullptr: not checked, or (for the
// cluster) the comment is the all-clear.
struct Row {
  const char* name;
  int64_t cluster, dirs, fileBytes, used;
  const char *found, *usedText, *minus, *clusterText;
};
constexpr int64_t kFound = 4096 * 10 + 1'000'000, kMB = 1'048'576;
const Row kRows[] = {
    {"worked example", 32768, 100, 50'000'000, 60'000'000, "50.81 MB", "57.22 MB", "6.41 MB", "32KB"},
    {"used 1,048,575 above", 4096, 10, 1'000'000, kFound + kMB - 1, nullptr, nullptr, nullptr, nullptr},
    {"used 1,048,576 above", 4096, 10, 1'000'000, kFound + kMB, nullptr, nullptr, "1.00 MB", "4KB"},
    {"used 1,048,576 below", 4096, 10, 1'000'000 + kMB, kFound, nullptr, nullptr, "1.00 MB", "4KB"},
    {"used 1,048,575 below", 4096, 10, 1'000'000 + kMB - 1, kFound, nullptr, nullptr, nullptr, nullptr},
    {"512-byte cluster", 512, 3, 10'000'000, 20'000'000, nullptr, nullptr, nullptr, "0.5KB"},
    {"failed space query", 0, 250, 5'000'000, 0, "4.77 MB", "0.00 Bytes", "4.77 MB", "0KB"},
    // 12.2 GiB of directory space and a difference of 4 GiB, whose low 32 bits are 0.
    {"beyond 32 bits", 65536, 200'000, int64_t(300) << 30, 65536LL * 200'000 + (int64_t(304) << 30),
     "312.21 GB", nullptr, "4.00 GB", "64KB"},
};

}  // namespace

class AnalysisTest : public QObject {
  Q_OBJECT

 private slots:
  void figuresAndComment_data() {
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kRows)); ++i) QTest::newRow(kRows[i].name) << i;
  }
  void figuresAndComment() {
    QFETCH(int, row);
    const Row& r = kRows[row];
    ScanState s;
    Fill(s, r.cluster, r.dirs, r.fileBytes, r.used);
    const Analysis a = Analyze(s, '.');
    if (r.found) QCOMPARE(a.totalInDir, QString(r.found));
    if (r.usedText) QCOMPARE(a.sysBytes, QString(r.usedText));
    if (r.minus) QCOMPARE(a.minus, QString(r.minus));
    QCOMPARE(a.comments, r.clusterText ? Explanation(a.minus, r.clusterText) : kOk);
    if (r.cluster == 512) QVERIFY(Analyze(s, ',').comments.contains("set at 0,5KB.  If"));
  }

  void windowShowsTheReport() {
    testing::FakeDrives drives;
    App app(drives);
    Fill(app.state, 32768, 100, 50'000'000, 60'000'000, 42);
    frmAnalyzer& report = app.Form<frmAnalyzer>();
    QCOMPARE(QStringList({report.lblTotalInDir->text(), report.lblSysBytes->text(), report.lblMinus->text(),
                          report.lblTotalFiles->text(), report.lblTotalDirs->text()}),
             QStringList({"50.81 MB", "57.22 MB", "6.41 MB", "42", "100"}));
    QCOMPARE(report.lblComments->text(), Explanation("6.41 MB", "32KB"));
    // The comment fits its box.
    const QRect needed = report.lblComments->fontMetrics().boundingRect(
        report.lblComments->contentsRect(), Qt::TextWordWrap, report.lblComments->text());
    QVERIFY2(needed.height() <= report.lblComments->contentsRect().height(), qPrintable(QString::number(needed.height())));

    // OK unloads it; the next Analyze computes the report afresh.
    report.show();
    QTest::mouseClick(report.btnOK, Qt::LeftButton);
    QVERIFY(!app.Loaded<frmAnalyzer>());
    Fill(app.state, 4096, 1, 0, 0);
    QCOMPARE(app.Form<frmAnalyzer>().lblComments->text(), kOk);
    app.Unload<frmAnalyzer>();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  void windowUsesTheLocaleSeparator() {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) QSKIP("the de_DE.UTF-8 locale is not installed");
    testing::FakeDrives drives;
    App app(drives);
    Fill(app.state, 512, 3, 10'000'000, 20'000'000);
    const QString minus = app.Form<frmAnalyzer>().lblMinus->text(), comment = app.Form<frmAnalyzer>().lblComments->text();
    std::setlocale(LC_NUMERIC, "C");
    app.Unload<frmAnalyzer>();
    QCOMPARE(minus, QStringLiteral("9,54 MB"));
    QVERIFY(comment.contains("0,5KB"));
  }
};

QTEST_MAIN(AnalysisTest)
#include "tst_analysis.moc"
