#include "app/startup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>

#include <cstring>

#include "engine/escape.h"

namespace kvor {

namespace {

// The report tool beside the program, as installed and as built.
std::string ScanToolPath() {
  const QFileInfo self(QStringLiteral("/proc/self/exe"));
  const QString beside = QFileInfo(self.symLinkTarget()).dir().filePath(QStringLiteral("kvor-scan"));
  return QFileInfo(beside).isExecutable() ? beside.toStdString() : "kvor-scan";
}

int Print(const std::string& text, std::FILE* out, std::FILE* err) {
  if (std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0) return 0;
  std::fputs("kvor: cannot write the text\n", err);
  return 2;
}

}  // namespace

std::optional<int> CommandLine(int argc, char** argv, std::FILE* out, std::FILE* err) {
  if (argc <= 1) return std::nullopt;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return Print("kvor " KVOR_VERSION "\n", out, err);
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
    return Print("usage: kvor\n"
                 "Korvane shows where the space on a local drive goes: it scans the drive that holds\n"
                 "the program into a directory tree in which each directory shows its file count, the\n"
                 "bytes of its whole subtree and the space lost to cluster rounding, beside the drive's\n"
                 "used, free and total space; another local drive is chosen with Select Disk.\n"
                 "It takes no arguments and needs a desktop session (X11 or Wayland).\n"
                 "The same scan as text, without windows: " + ScanToolPath() + " DIR\n"
                 "  --help     print this text\n"
                 "  --version  print the version\n",
                 out, err);
  const char* wrong = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0 ? argv[2] : argv[1];
  std::fprintf(err, "kvor: unrecognized argument '%s' (kvor takes no arguments; see kvor --help)\n",
               Escape(wrong).c_str());
  return 2;
}

bool HasPlatformPlugin(const std::string& name) {
  QStringList folders;
  for (const QString& path : qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
    folders << path;
  // Before the application exists: QT_PLUGIN_PATH's folders, then the toolkit's own.
  for (const QString& path : QCoreApplication::libraryPaths()) folders << path + QStringLiteral("/platforms");
  const QString key = QString::fromStdString(name);
  for (const QString& folder : folders) {
    const QDir dir(folder);
    for (const QString& file : dir.entryList(QDir::Files)) {
      // Read from the file's metadata; the library is not loaded.
      const QJsonObject meta = QPluginLoader(dir.filePath(file)).metaData().value(QStringLiteral("MetaData")).toObject();
      for (const QJsonValue& k : meta.value(QStringLiteral("Keys")).toArray())
        if (k.toString().compare(key, Qt::CaseInsensitive) == 0) return true;
    }
  }
  return false;
}

}  // namespace kvor
