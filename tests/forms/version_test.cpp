#include "forms/version.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "forms/pictures.h"

namespace kvor::forms {
namespace {

const QString kScript = QStringLiteral(KVOR_FORMS_DIR "/korvane.rc");

QString Script() {
  QFile file(kScript);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  return QString::fromUtf8(file.readAll());
}

bool HasValue(const QString& script, const QString& name, const QString& value) {
  const QRegularExpression line(QStringLiteral("VALUE\\s+\"%1\"\\s*,\\s*\"%2\"")
                                    .arg(QRegularExpression::escape(name), QRegularExpression::escape(value)));
  return line.match(script).hasMatch();
}

TEST(VersionRecord, StatesTheProgramsIdentity) {
  const QString script = Script();
  ASSERT_FALSE(script.isEmpty()) << kScript.toStdString();
  const QString version = QString::fromLatin1(kVersionText);
  const QString shortName = QString::fromLatin1(kShortName);
  EXPECT_TRUE(HasValue(script, "FileVersion", version));
  EXPECT_TRUE(HasValue(script, "ProductVersion", version));
  EXPECT_TRUE(HasValue(script, "ProductName", QString::fromLatin1(kProductName)));
  EXPECT_TRUE(HasValue(script, "FileDescription", shortName + " Executable"));
  EXPECT_TRUE(HasValue(script, "InternalName", shortName));
  EXPECT_TRUE(HasValue(script, "OriginalFilename", shortName + ".exe"));
  EXPECT_TRUE(script.contains(QRegularExpression("VALUE\\s+\"CompanyName\"\\s*,\\s*\"[^\"]+\"")));
  EXPECT_TRUE(script.contains(QRegularExpression("VALUE\\s+\"LegalCopyright\"\\s*,\\s*\"[^\"]+\"")));
  EXPECT_TRUE(script.contains(QRegularExpression("\\bFILEVERSION\\s+1,\\s*5,\\s*0,\\s*0\\b")));
  EXPECT_TRUE(script.contains(QRegularExpression("\\bPRODUCTVERSION\\s+1,\\s*5,\\s*0,\\s*0\\b")));
  EXPECT_EQ(QString::fromLatin1(kNumericVersion), "1.5.0.0");
  EXPECT_TRUE(script.contains(QRegularExpression("BLOCK\\s+\"040904B0\"")));
  EXPECT_TRUE(script.contains(QRegularExpression("VALUE\\s+\"Translation\"\\s*,\\s*0x0?409\\s*,\\s*1200\\b")));
  EXPECT_TRUE(script.contains(QRegularExpression("\\bFILEOS\\s+VOS__WINDOWS32\\b")));
  EXPECT_TRUE(script.contains(QRegularExpression("\\bFILETYPE\\s+VFT_APP\\b")));
}

TEST(VersionRecord, CompilesWithTheResourceCompiler) {
  const QString windres = QStringLiteral(KVOR_WINDRES);
  if (windres.isEmpty()) GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed";
  if (!QImageWriter::supportedImageFormats().contains("ico")) GTEST_SKIP() << "no ICO writer to make the icons";

  // The icons the script names, made from our pictures as a Windows build would.
  QTemporaryDir icons;
  ASSERT_TRUE(icons.isValid());
  const auto writeIcon = [&](const char* name, const QPixmap& pixmap) {
    QImageWriter writer(icons.filePath(QLatin1String(name)), "ico");
    ASSERT_TRUE(writer.write(pixmap.toImage())) << name << ": " << writer.errorString().toStdString();
  };
  writeIcon("app.ico", AppIcon().pixmap(QSize(32, 32)));
  writeIcon("face.ico", WaitIcon().pixmap(QSize(32, 32)));
  writeIcon("tick.ico", TickIcon().pixmap(QSize(32, 32)));
  writeIcon("clock.ico", ClockPicture());

  QProcess process;
  process.start(windres, {QStringLiteral("--preprocessor=" KVOR_CXX), QStringLiteral("--preprocessor-arg=-E"),
                          QStringLiteral("--preprocessor-arg=-xc"), QStringLiteral("--preprocessor-arg=-DRC_INVOKED"),
                          QStringLiteral("-I"), icons.path(), QStringLiteral("-i"), kScript, QStringLiteral("-O"),
                          QStringLiteral("res"), QStringLiteral("-o"), icons.filePath(QStringLiteral("korvane.res"))});
  ASSERT_TRUE(process.waitForFinished(25000));
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();

  QFile res(icons.filePath(QStringLiteral("korvane.res")));
  ASSERT_TRUE(res.open(QIODevice::ReadOnly));
  const QByteArray compiled = res.readAll();
  const auto utf16 = [](const char* text) {
    const QString s = QString::fromLatin1(text);
    return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
  };
  EXPECT_TRUE(compiled.contains(utf16("KVOR Executable")));
  EXPECT_TRUE(compiled.contains(utf16("040904B0")));
}

}  // namespace
}  // namespace kvor::forms
