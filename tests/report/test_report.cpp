// The report tool end to end: its output format, and its figures against a count made with
// nftw, a different walker.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "report/report.h"
#include "tempdrive.h"

namespace kvor {
namespace {

using test::MakeDir;
using test::MakeFile;
using test::MakeSymlink;
using test::TempDir;

struct Output {
  int status = -1;
  std::string out, err;
};

Output RunReport(std::vector<std::string> args, const platform::System& system) {
  args.insert(args.begin(), "kvor-scan");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* outBuf = nullptr;
  char* errBuf = nullptr;
  size_t outLen = 0, errLen = 0;
  std::FILE* out = ::open_memstream(&outBuf, &outLen);
  std::FILE* err = ::open_memstream(&errBuf, &errLen);
  Output result;
  result.status = report::Run(static_cast<int>(args.size()), argv.data(), system, out, err);
  std::fclose(out);
  std::fclose(err);
  result.out.assign(outBuf, outLen);
  result.err.assign(errBuf, errLen);
  std::free(outBuf);
  std::free(errBuf);
  return result;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0, tab;
    while ((tab = line.find('\t', start)) != std::string::npos) {
      fields.push_back(line.substr(start, tab - start));
      start = tab + 1;
    }
    fields.push_back(line.substr(start));
    rows.push_back(fields);
  }
  return rows;
}

// Totals counted by nftw without following symlinks or leaving the file system.
struct Counted {
  int64_t files = 0, dirs = -1, bytes = 0;
};
Counted* g_counted = nullptr;
int CountEntry(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR)
    ++g_counted->dirs;
  else
    ++g_counted->files, g_counted->bytes += st->st_size;
  return 0;
}

TEST(Report, FiguresMatchAnotherWalker) {
  TempDir t;
  std::mt19937 rng(42);
  std::vector<std::string> dirs{t.path()};
  for (int i = 0; i < 300; ++i) {
    const std::string dir = dirs[rng() % dirs.size()] + (rng() % 4 == 0 ? "/.h" : "/d") + std::to_string(i);
    MakeDir(dir);
    dirs.push_back(dir);
  }
  for (int i = 0; i < 2000; ++i)
    MakeFile(dirs[rng() % dirs.size()] + "/f" + std::to_string(i), rng() % 20000);
  MakeSymlink(t.path(), dirs[5] + "/loop");
  MakeFile(t / "sparse", 7000000000ULL);
  ASSERT_EQ(::link((t / "sparse").c_str(), (dirs[9] + "/hardlink").c_str()), 0);  // counted at each name

  Counted counted;
  g_counted = &counted;
  ASSERT_EQ(::nftw(t.path().c_str(), CountEntry, 64, FTW_PHYS | FTW_MOUNT), 0);

  test::FakeSystem system;
  system.figures = {8, 512, 1000, 5000000};
  const Output o = RunReport({t.path()}, system);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  const auto rows = Rows(o.out);
  std::map<std::string, std::string> totals;
  std::size_t nodes = 0;
  for (const auto& row : rows) {
    if (row[0] == "node") {
      ASSERT_EQ(row.size(), 4u);
      EXPECT_EQ(row[2].substr(0, row[2].find('?')), std::to_string(nodes));  // keys in walk order
      ++nodes;
    } else {
      ASSERT_EQ(row.size(), 3u);
      EXPECT_EQ(row[0], "total");
      totals[row[1]] = row[2];
    }
  }
  EXPECT_EQ(nodes, dirs.size());
  EXPECT_EQ(totals["gTotalFiles"], std::to_string(counted.files));
  EXPECT_EQ(totals["gTotalDirs"], std::to_string(counted.dirs));
  EXPECT_EQ(totals["gTotalFileBytes"], std::to_string(counted.bytes));
  EXPECT_EQ(totals["gClusterSize"], "4096");
  EXPECT_EQ(totals["gTotalBytes"], "20480000000");
  EXPECT_EQ(totals["gFreeBytes"], "4096000");
  EXPECT_EQ(totals["gUsedBytes"], "20475904000");
  EXPECT_EQ(rows[0][1], "0");
  EXPECT_EQ(rows[0][2], "0?" + t.path());

  const Output summary = RunReport({"--summary", t.path()}, system);
  EXPECT_EQ(Rows(summary.out).size(), 7u);
  EXPECT_EQ(summary.out, o.out.substr(o.out.find("total\t")));
}

TEST(Report, RootPathIsAbsoluteAndNormalisedButNotResolved) {
  TempDir t;
  MakeDir(t / "real");
  MakeDir(t / "real/sub");
  MakeSymlink(t / "real", t / "link");
  test::FakeSystem system;
  const Output o = RunReport({t.path() + "/./link/sub/..//"}, system);
  ASSERT_EQ(o.status, 0);
  const auto rows = Rows(o.out);
  EXPECT_EQ(rows[0][2], "0?" + t.path() + "/link");
  EXPECT_EQ(rows[1][2], "1?" + t.path() + "/link/sub");
}

TEST(Report, EscapesBytesThatCannotBePrintedAsTheyAre) {
  EXPECT_EQ(report::Escape("plain name, with [brackets]?"), "plain name, with [brackets]?");
  EXPECT_EQ(report::Escape("tab\there"), "tab\\x09here");
  EXPECT_EQ(report::Escape("new\nline"), "new\\x0aline");
  EXPECT_EQ(report::Escape("back\\slash"), "back\\x5cslash");
  EXPECT_EQ(report::Escape("del\x7f"), "del\\x7f");
  EXPECT_EQ(report::Escape("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x81");
  EXPECT_EQ(report::Escape("latin1 \xe9t\xe9"), "latin1 \\xe9t\\xe9");
  EXPECT_EQ(report::Escape("overlong \xc0\xaf"), "overlong \\xc0\\xaf");
  EXPECT_EQ(report::Escape("surrogate \xed\xa0\x80"), "surrogate \\xed\\xa0\\x80");
  EXPECT_EQ(report::Escape("cut \xe2\x82"), "cut \\xe2\\x82");
}

TEST(Report, OddNamesArePrintedEscapedOneLineEach) {
  TempDir t;
  MakeDir(t / "new\nline");
  MakeDir(t / "\xff");
  test::FakeSystem system;
  const Output o = RunReport({t.path()}, system);
  ASSERT_EQ(o.status, 0);
  const auto rows = Rows(o.out);
  ASSERT_EQ(rows.size(), 3u + 7u);
  EXPECT_EQ(rows[1][2], "1?" + t.path() + "/new\\x0aline");
  EXPECT_EQ(rows[1][3].substr(0, 13), "new\\x0aline  ");
  EXPECT_EQ(rows[2][2], "2?" + t.path() + "/\\xff");
}

// The real executable: exit statuses and messages. `prefix` runs before it in the same shell
// command; stderr is kept apart from stdout.
Output RunBinary(const std::string& args, const std::string& prefix = "") {
  Output o;
  char errPath[] = "/tmp/kvor-scan-err-XXXXXX";
  const int errFd = ::mkstemp(errPath);
  const std::string command = prefix + " " + std::string(KVOR_SCAN_BINARY) + " " + args + " 2>" + errPath;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) o.out.append(buf, n);
  o.status = WEXITSTATUS(::pclose(pipe));
  while ((n = static_cast<size_t>(std::max<ssize_t>(::read(errFd, buf, sizeof buf), 0))) > 0) o.err.append(buf, n);
  ::close(errFd);
  ::unlink(errPath);
  return o;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

TEST(Report, UnreadableOrMissingDirectoryIsOneLineAndStatusTwo) {
  TempDir t;
  const Output missing = RunBinary(t / "missing");
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1);
  EXPECT_NE(missing.err.find("kvor-scan: cannot read"), std::string::npos);
  MakeFile(t / "file", 1);
  EXPECT_EQ(RunBinary(t / "file").status, 2);
  EXPECT_EQ(RunBinary("").status, 2);
  EXPECT_EQ(RunBinary("--bogus " + t.path()).status, 2);
  const Output ok = RunBinary("--summary " + t.path());
  EXPECT_EQ(ok.status, 0);
  EXPECT_NE(ok.out.find("total\tgTotalFiles\t1\n"), std::string::npos);
}

TEST(Report, StatusesAndOneLineMessages) {
  TempDir t;
  MakeDir(t / "gone");
  MakeDir(t / "ok");
  MakeDir(t / "ok/locked");
  MakeDir(t / "ok/open");
  MakeFile(t / "ok/open/f", 1);
  ::chmod((t / "ok/locked").c_str(), 0);
  const struct {
    std::string prefix, args;
    int status;
    std::string out, err;  // out: a line it must hold; err: the whole of stderr
  } cases[] = {
      {"", "--help", 0, "usage: kvor-scan [--summary] DIR\n", ""},
      {"", "--version", 0, "kvor-scan 1.5\n", ""},
      {"", "--summary " + t / "ok", 0, "total\tgTotalFiles\t1\n", ""},
      // A directory that cannot be read: said on stderr, the report finished, status 1.
      {"setpriv --reuid=65534 --regid=65534 --clear-groups", "--summary " + t / "ok", 1,
       "total\tgTotalDirs\t2\n", "kvor-scan: cannot read " + t / "ok/locked" + ": Permission denied\n"},
      // A working directory that no longer exists is not "/".
      {"cd " + t / "gone" + " && rmdir " + t / "gone" + " &&", ".", 2, "",
       "kvor-scan: cannot resolve the working directory: No such file or directory\n"},
      {"", t / "ok" + " >/dev/full", 2, "", "kvor-scan: cannot write the report: No space left on device\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix + " " + c.args);
    const Output o = RunBinary(c.args, c.prefix);
    EXPECT_EQ(o.status, c.status);
    EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
    EXPECT_EQ(o.err, c.err);
  }
}

TEST(Report, DriveIsTheDirectoryItselfWhateverItsNameOrLink) {
  TempDir t;
  MakeDir(t / "a [b]");
  MakeDir(t / "real");
  MakeDir(t / "real/sub");
  MakeFile(t / "real/sub/f", 3);
  MakeDir(t / "real/mnt");
  MakeSymlink(t / "real", t / "link");
  const bool mounted = test::CanMount() &&
                       ::mount("kvortest", (t / "real/mnt").c_str(), "tmpfs", 0, "size=256k") == 0;
  if (mounted) MakeFile(t / "real/mnt/inside", 100000);
  // A name that ends in a bracketed word is a path, never a drive list's text; a link to a
  // directory scans that directory, shown by the name given.
  for (const std::string& dir : {t / "a [b]", t / "link"}) {
    SCOPED_TRACE(dir);
    const Output o = RunBinary(Quoted(dir));
    EXPECT_EQ(o.status, 0) << o.err;
    const auto rows = Rows(o.out);
    EXPECT_EQ(rows[0][2], "0?" + dir);
    std::map<std::string, std::string> totals;
    for (const auto& row : rows)
      if (row[0] == "total") totals[row[1]] = row[2];
    EXPECT_NE(totals["gClusterSize"], "0");
    EXPECT_NE(totals["gTotalBytes"], "0");
    if (dir == t / "link") {
      EXPECT_EQ(totals["gTotalFileBytes"], "3");
      EXPECT_EQ(totals["gTotalDirs"], mounted ? "1" : "2");
    }
  }
  if (mounted) ::umount2((t / "real/mnt").c_str(), MNT_DETACH);

  test::FakeSystem failing;
  failing.queryFails = true;
  const Output o = RunReport({t.path()}, failing);
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "kvor-scan: cannot query the space of " + t.path() + ": Input/output error\n");
}

}  // namespace
}  // namespace kvor
