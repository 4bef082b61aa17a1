// The report tool end to end: its output format, its exit statuses and messages, and its
// figures against a count made with nftw, a different walker.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "report/report.h"
#include "tempdrive.h"

namespace kvor {
namespace {

using namespace test;

struct Output {
  int status = -1;
  std::string out, err;
  std::vector<std::vector<std::string>> rows;  // out split into lines and TAB-separated fields
  std::map<std::string, std::string> totals;
};

void Split(Output& o) {
  std::istringstream in(o.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() == 3 && fields[0] == "total") o.totals[fields[1]] = fields[2];
    o.rows.push_back(fields);
  }
}

Output RunReport(std::vector<std::string> args, const platform::System& system) {
  args.insert(args.begin(), "kvor-scan");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  char *outBuf = nullptr, *errBuf = nullptr;
  size_t outLen = 0, errLen = 0;
  std::FILE* out = ::open_memstream(&outBuf, &outLen);
  std::FILE* err = ::open_memstream(&errBuf, &errLen);
  Output o;
  o.status = report::Run(static_cast<int>(args.size()), argv.data(), system, out, err);
  std::fclose(out), std::fclose(err);
  o.out.assign(outBuf, outLen), o.err.assign(errBuf, errLen);
  std::free(outBuf), std::free(errBuf);
  Split(o);
  return o;
}

// The real executable; `prefix` runs before it in the same shell command.
Output RunBinary(const std::string& args, const std::string& prefix) {
  Output o;
  char errPath[] = "/tmp/kvor-scan-err-XXXXXX";
  ::close(::mkstemp(errPath));
  std::FILE* pipe = ::popen((prefix + " " + KVOR_SCAN_BINARY + " " + args + " 2>" + errPath).c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) o.out.append(buf, n);
  o.status = WEXITSTATUS(::pclose(pipe));
  std::ifstream in(errPath);
  o.err.assign(std::istreambuf_iterator<char>(in), {});
  ::unlink(errPath);
  Split(o);
  return o;
}

// Totals counted by nftw without following symlinks or leaving the file system.
int64_t g_files = 0, g_dirs = -1, g_bytes = 0;
int CountEntry(const char*, const struct stat* st, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR)
    ++g_dirs;
  else
    ++g_files, g_bytes += st->st_size;
  return 0;
}

TEST(Report, FiguresMatchAnotherWalker) {
  TempDir t;
  const auto dirs = MakeTree(t.path(), 42, 300);
  MakeFile(t / "sparse", 7000000000ULL);
  ASSERT_EQ(::link((t / "sparse").c_str(), (dirs[9] + "/hardlink").c_str()), 0);  // counted at each name
  ASSERT_EQ(::nftw(t.path().c_str(), CountEntry, 64, FTW_PHYS | FTW_MOUNT), 0);
  FakeSystem system;
  system.figures = {8, 512, 1000, 5000000};
  const Output o = RunReport({t.path()}, system);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  int64_t nodes = 0;
  for (const auto& row : o.rows) {
    if (row[0] != "node") continue;
    ASSERT_EQ(row.size(), 4u);
    EXPECT_EQ(row[2].substr(0, row[2].find('?')), std::to_string(nodes++));  // keys in walk order
  }
  EXPECT_EQ(nodes, g_dirs + 1);
  EXPECT_EQ(o.rows[0][1] + " " + o.rows[0][2], "0 0?" + t.path());
  EXPECT_EQ(o.rows[1][1], "1");
  EXPECT_EQ(o.totals, (std::map<std::string, std::string>{
                          {"gTotalFiles", std::to_string(g_files)}, {"gTotalDirs", std::to_string(g_dirs)},
                          {"gTotalFileBytes", std::to_string(g_bytes)}, {"gClusterSize", "4096"},
                          {"gTotalBytes", "20480000000"}, {"gFreeBytes", "4096000"}, {"gUsedBytes", "20475904000"}}));
  const Output summary = RunReport({"--summary", t.path()}, system);
  EXPECT_EQ(summary.out, o.out.substr(o.out.find("total\t")));
  EXPECT_EQ(summary.rows.size(), 7u);
}

TEST(Report, EscapesBytesThatCannotBePrintedAsTheyAre) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain name, with [brackets]?~", "plain name, with [brackets]?~"},
      {"tab\there\x01", "tab\\x09here\\x01"}, {"new\nline", "new\\x0aline"}, {"back\\slash", "back\\x5cslash"},
      {"del\x7f", "del\\x7f"},
      {"caf\xc3\xa9 \xdf\xbf \xe2\x82\xac \xef\xbf\xbd \xf0\x9f\x93\x81 \xf4\x8f\xbf\xbf",
       "caf\xc3\xa9 \xdf\xbf \xe2\x82\xac \xef\xbf\xbd \xf0\x9f\x93\x81 \xf4\x8f\xbf\xbf"},
      {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"}, {"overlong \xc0\xaf \xe0\x9f\xbf", "overlong \\xc0\\xaf \\xe0\\x9f\\xbf"},
      {"surrogate \xed\xa0\x80 \xed\xbf\xbf", "surrogate \\xed\\xa0\\x80 \\xed\\xbf\\xbf"},
      {"beyond \xf4\x90\x80\x80 \xf8", "beyond \\xf4\\x90\\x80\\x80 \\xf8"}, {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"\xc3(", "\\xc3("}, {"\x80", "\\x80"}};
  for (const auto& [text, escaped] : cases) EXPECT_EQ(report::Escape(text), escaped);
}

TEST(Report, ArgumentsRootsAndMessages) {
  TempDir t;
  for (const char* dir : {"real", "real/sub", "real/mnt", "new\nline", "a [b]"}) MakeDir(t / dir);
  MakeFile(t / "real/sub/f", 3);
  MakeFile(t / "file", 1);
  MakeSymlink(t / "real", t / "link");
  const bool mounted = CanMount() && ::mount("kvortest", (t / "real/mnt").c_str(), "tmpfs", 0, "size=256k") == 0;
  FakeSystem failing;
  failing.queryFails = true;
  const std::string usage = "usage: kvor-scan [--summary] DIR\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // out: how it begins
    const platform::System& system = platform::LocalSystem();
  } cases[] = {
      {{"--help"}, 0, usage.substr(0, usage.size() - 1), ""},
      {{"--version", "x"}, 0, "kvor-scan 1.5", ""},
      {{}, 2, "", usage},
      {{""}, 2, "", usage},
      {{"--bogus", t.path()}, 2, "", usage},
      {{t.path(), "extra"}, 2, "", usage},
      {{t / "missing"}, 2, "", "kvor-scan: cannot read " + t / "missing" + ": No such file or directory\n"},
      {{t / "file"}, 2, "", "kvor-scan: cannot read " + t / "file" + ": Not a directory\n"},
      {{t.path()}, 2, "", "kvor-scan: cannot query the space of " + t.path() + ": Input/output error\n", failing},
      // Made absolute, "." and ".." removed, the link not resolved: its directory is scanned.
      {{"--summary", t / "./link/sub/..//"}, 0, "total\tgTotalFiles\t1", ""},
      {{"--", t / "link"}, 0, "node\t0\t0?" + t / "link\t", ""},
      {{t / "link/"}, 0, "node\t0\t0?" + t / "link\t", ""},
      // A name that ends in a bracketed word is a path, never a drive list's text.
      {{t / "a [b]"}, 0, "node\t0\t0?" + t / "a [b]\tRoot", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
    const Output o = RunReport(c.args, c.system);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.out.substr(0, c.status == 2 ? std::string::npos : c.out.size()), c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.totals.size(), c.status == 0 && c.args[0] != "--help" && c.args[0] != "--version" ? 7u : 0u);
    if (!o.totals.empty()) EXPECT_NE(o.totals.at("gClusterSize") + o.totals.at("gTotalBytes"), "00");
  }
  Output link = RunReport({t / "link"}, platform::LocalSystem());
  EXPECT_EQ(link.totals["gTotalDirs"], mounted ? "1" : "2");  // another file system is left out
  EXPECT_EQ(link.totals["gTotalFileBytes"], "3");
  EXPECT_EQ(link.rows[1][2], "1?" + t / "link/sub");
  const Output odd = RunReport({t.path()}, platform::LocalSystem());
  EXPECT_EQ(odd.rows[2][2] + "|" + odd.rows[2][3].substr(0, 13), "2?" + t / "new\\x0aline|new\\x0aline  ");
  if (mounted) ::umount2((t / "real/mnt").c_str(), MNT_DETACH);
}

TEST(Report, StatusesOfTheExecutable) {
  TempDir t;
  for (const char* dir : {"gone", "ok", "ok/locked", "ok/open"}) MakeDir(t / dir);
  MakeFile(t / "ok/open/f", 1);
  ::chmod((t / "ok/locked").c_str(), 0);
  const struct {
    std::string prefix, args;
    int status;
    std::string out, err;  // out: a line it must hold; err: the whole of stderr
  } cases[] = {
      // A directory that cannot be read: said on stderr after the whole report, status 1.
      {"setpriv --reuid=65534 --regid=65534 --clear-groups", "--summary " + t / "ok", 1,
       "total\tgTotalDirs\t2\n", "kvor-scan: cannot read " + t / "ok/locked" + ": Permission denied\n"},
      // A working directory that no longer exists is not "/".
      {"cd " + t / "gone" + " && rmdir " + t / "gone" + " &&", ".", 2, "",
       "kvor-scan: cannot resolve the working directory: No such file or directory\n"},
      {"cd " + t / "ok/open" + " &&", "--summary ../open/.", 0, "total\tgTotalFiles\t1\n", ""},
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

}  // namespace
}  // namespace kvor
