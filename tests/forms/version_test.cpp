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

TEST(VersionRecord, StatesTheProgramsIdentity) {
  QFile file(kScript);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text)) << kScript.toStdString();
  const QString script = QString::fromUtf8(file.readAll());
  const auto value = [](const QString& name, const QString& text) {
    return QStringLiteral("VALUE\\s+\"%1\"\\s*,\\s*\"%2\"").arg(name, QRegularExpression::escape(text));
  };
  const QString expected[] = {
      value("FileVersion", "1.05"), value("ProductVersion", "1.05"), value("ProductName", "Korvane"),
      value("FileDescription", "KVOR Executable"), value("InternalName", "KVOR"),
      value("OriginalFilename", "KVOR.exe"),
      // The app reports its name and version from these; they must agree with the record.
      value("ProductVersion", kVersionText), value("ProductName", kProductName),
      "VALUE\\s+\"CompanyName\"\\s*,\\s*\"[^\"]+\"", "VALUE\\s+\"LegalCopyright\"\\s*,\\s*\"[^\"]+\"",
      "\\bFILEVERSION\\s+1,\\s*5,\\s*0,\\s*0\\b", "\\bPRODUCTVERSION\\s+1,\\s*5,\\s*0,\\s*0\\b",
      "BLOCK\\s+\"040904B0\"", "VALUE\\s+\"Translation\"\\s*,\\s*0x0?409\\s*,\\s*1200\\b",
      "\\bFILEOS\\s+VOS__WINDOWS32\\b", "\\bFILETYPE\\s+VFT_APP\\b"};
  for (const QString& pattern : expected)
    EXPECT_TRUE(script.contains(QRegularExpression(pattern))) << pattern.toStdString();
}

TEST(VersionRecord, CompilesWithTheResourceCompiler) {
  if (QStringLiteral(KVOR_WINDRES).isEmpty()) GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed";
  if (!QImageWriter::supportedImageFormats().contains("ico")) GTEST_SKIP() << "no ICO writer to make the icons";
  // The script names four icons; any valid ones will do for compiling it.
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const char* name : {"app.ico", "face.ico", "tick.ico", "clock.ico"})
    ASSERT_TRUE(QImageWriter(dir.filePath(QLatin1String(name)), "ico").write(AppPicture().toImage())) << name;

  const QString res = dir.filePath(QStringLiteral("korvane.res"));
  QProcess windres;
  windres.start(QStringLiteral(KVOR_WINDRES),
                {"--preprocessor=" KVOR_CXX, "--preprocessor-arg=-E", "--preprocessor-arg=-xc",
                 "--preprocessor-arg=-DRC_INVOKED", "-I", dir.path(), "-i", kScript, "-O", "res", "-o", res});
  ASSERT_TRUE(windres.waitForFinished(25000));
  EXPECT_TRUE(windres.exitStatus() == QProcess::NormalExit && windres.exitCode() == 0)
      << windres.readAllStandardError().toStdString();
}

}  // namespace
}  // namespace kvor::forms
