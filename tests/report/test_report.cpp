// The report tool end to end: its output format, its exit statuses and messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>

#include "engine/escape.h"
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

// The tool in this process; what it prints goes to `to` when given.
Output RunReport(std::vector<std::string> args, const platform::System& system, std::FILE* to = nullptr) {
  args.insert(args.begin(), "kvor-scan");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  Output o;
  o.err = Written([&](std::FILE* err) {
    const auto run = [&](std::FILE* out) { o.status = report::Run(int(args.size()), argv.data(), system, out, err); };
    if (to == nullptr) o.out = Written(run);
    else run(to), std::fclose(to);
  });
  std::istringstream in(o.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream split(line);
    o.rows.emplace_back();
    for (std::string field; std::getline(split, field, '\t');) o.rows.back().push_back(field);
    if (o.rows.back().size() == 3 && o.rows.back()[0] == "total") o.totals[o.rows.back()[1]] = o.rows.back()[2];
  }
  return o;
}

TEST(Report, TreeInDisplayOrderThenTotals) {
  TempDir t;
  for (const char* dir : {"b", "b/c", "new\nline\xc2\x9b\xe2\x80\xae", ".h"}) MakeDir(t / dir);
  for (const auto& [file, size] : {std::pair{"b/f", 3ULL}, {"top", 7000000000ULL}}) MakeFile(t / file, size);
  FakeSystem system;
  system.figures = {4096, 1000, 5000000};
  const Output o = RunReport({t.path()}, system);
  EXPECT_EQ(std::to_string(o.status) + o.err, "0");  // nothing on stderr
  std::string nodes;  // depth, key, name
  for (const auto& row : o.rows)
    if (row.size() == 4 && row[0] == "node")
      nodes += row[1] + " " + row[2] + " " + row[3].substr(0, row[3].find(' ')) + "\n";
  EXPECT_EQ(nodes, "0 0?" + t.path() + " " + t.path() + "\n1 1?" + t / "b b\n2 2?" + t / "b/c c\n1 3?" +
                       t / "new\\x0aline\\xc2\\x9b\\xe2\\x80\\xae new\\x0aline\\xc2\\x9b\\xe2\\x80\\xae\n1 4?" + t / ".h .h\n");
  EXPECT_EQ(o.totals, (std::map<std::string, std::string>{
                          {"gTotalFiles", "2"}, {"gTotalDirs", "4"}, {"gTotalFileBytes", "7000000003"},
                          {"gClusterSize", "4096"}, {"gTotalBytes", "20480000000"}, {"gFreeBytes", "4096000"},
                          {"gUsedBytes", "20475904000"}}));
  EXPECT_EQ(o.rows.size(), 5u + 7u);
  EXPECT_EQ(RunReport({"--summary", t.path()}, system).out, o.out.substr(o.out.find("total\t")));
}

TEST(Report, EscapesBytesThatCannotBePrintedAsTheyAre) {
  const std::pair<const char*, const char*> cases[] = {  // null: printed as it is
      {"plain name, with [brackets]?~", nullptr}, {"tab\there\x01", "tab\\x09here\\x01"},
      {"\xc3\xa9\xdf\xbf\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbd\xf0\x90\x80\x80\xf0\x9f\x93\x81\xf4\x8f\xbf\xbf", nullptr},
      {"new\nline", "new\\x0aline"}, {"back\\slash", "back\\x5cslash"}, {"del\x7f", "del\\x7f"},
      {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"}, {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"overlong \xc0\xaf \xe0\x9f\xbf", "overlong \\xc0\\xaf \\xe0\\x9f\\xbf"}, {"\xc3(", "\\xc3("}, {"\x80", "\\x80"},
      {"surrogate \xed\xa0\x80 \xed\xbf\xbf", "surrogate \\xed\\xa0\\x80 \\xed\\xbf\\xbf"},
      {"beyond \xf4\x90\x80\x80 \xf8", "beyond \\xf4\\x90\\x80\\x80 \\xf8"}};
  for (const auto& [text, escaped] : cases) EXPECT_EQ(Escape(text), escaped != nullptr ? escaped : text);
  // Code points that move a terminal's cursor or a line's direction, every byte escaped; their
  // printable neighbours as they are.
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto utf8 = [](char32_t cp) {
    std::string s;
    if (cp < 0x800) return s = {char(0xC0 | cp >> 6), char(0x80 | (cp & 0x3F))};
    return s = {char(0xE0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3F)), char(0x80 | (cp & 0x3F))};
  };
  const std::pair<char32_t, bool> points[] = {
      {0x80, true},    {0x9B, true},    {0x9F, true},    {0xA0, false},   {0x5D0, false},  {0x61C, true},
      {0x200D, false}, {0x200E, true},  {0x200F, true},  {0x2027, false}, {0x2028, true},  {0x2029, true},
      {0x202A, true},  {0x202B, true},  {0x202C, true},  {0x202D, true},  {0x202E, true},  {0x202F, false},
      {0x2065, false}, {0x2066, true},  {0x2067, true},  {0x2068, true},  {0x2069, true},  {0x206A, false}};
  for (const auto& [cp, escaped] : points) {
    std::string hex;
    for (const char byte : utf8(cp)) hex += "\\x" + std::string{kDigits[(byte >> 4) & 15], kDigits[byte & 15]};
    EXPECT_EQ(Escape("a" + utf8(cp) + "b"), "a" + (escaped ? hex : utf8(cp)) + "b") << std::hex << unsigned(cp);
  }
}

TEST(Report, ArgumentsRootsAndMessages) {
  TempDir t;
  for (const char* dir : {"real", "real/sub", "a [b]"}) MakeDir(t / dir);
  for (const auto& [file, size] : {std::pair{"real/sub/f", 3}, {"file", 1}}) MakeFile(t / file, size);
  std::filesystem::create_symlink(t / "real", t / "link");
  FakeSystem failing;
  failing.queryFails = true;
  const std::string usage = "usage: kvor-scan [--summary] DIR\n";
  const auto wrong = [](const std::string& what) {
    return "kvor-scan: " + what + "\nTry 'kvor-scan --help' for more information.\n";
  };
  enum To { kMemory, kFull, kClosed };
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // out: how it begins
    const platform::System& system = platform::LocalSystem();
    To to = kMemory;
  } cases[] = {
      {{"--help"}, 0, usage.substr(0, usage.size() - 1), ""}, {{"--version", "x"}, 0, "kvor-scan " KVOR_VERSION, ""},
      {{t.path(), "--help"}, 0, usage, ""},
      {{"--help"}, 2, "", "kvor-scan: cannot write the report: No space left on device\n", failing, kFull},
      {{"--version"}, 2, "", "kvor-scan: cannot write the report: Bad file descriptor\n", failing, kClosed},
      {{t / "real"}, 2, "", "kvor-scan: cannot write the report: No space left on device\n", platform::LocalSystem(), kFull},
      // Usage errors say what was wrong, as du does.
      {{}, 2, "", wrong("missing operand")}, {{"--summary"}, 2, "", wrong("missing operand")},
      {{"--bogus", t.path()}, 2, "", wrong("unrecognized option '--bogus'")},
      {{"--sum", t.path()}, 2, "", wrong("unrecognized option '--sum'")},
      {{t.path(), "--summary=no"}, 2, "", wrong("option '--summary' doesn't allow an argument")},
      {{"-sx", t.path()}, 2, "", wrong("invalid option -- 's'")}, {{"-\t"}, 2, "", wrong("invalid option -- '\\x09'")},
      {{t.path(), "x"}, 2, "", wrong("extra operand 'x'")},
      {{""}, 2, "", "kvor-scan: cannot read : No such file or directory\n"},
      {{"--", "--summary"}, 2, "", "kvor-scan: cannot read --summary: No such file or directory\n"},
      {{t / "missing"}, 2, "", "kvor-scan: cannot read " + t / "missing" + ": No such file or directory\n"},
      {{t / "file"}, 2, "", "kvor-scan: cannot read " + t / "file" + ": Not a directory\n"},
      {{t.path()}, 2, "", "kvor-scan: cannot query the space of " + t.path() + ": Input/output error\n", failing},
      // Made absolute, "." and ".." removed, the link not resolved: its directory is scanned.
      {{"--summary", t / "./link/sub/..//"}, 0, "total\tgTotalFiles\t1", ""},
      {{t / "link", "--summary"}, 0, "total\tgTotalFiles\t1", ""},
      {{"--", t / "link"}, 0, "node\t0\t0?" + t / "link\t", ""}, {{t / "link/"}, 0, "node\t0\t0?" + t / "link\t", ""},
      // A name that ends in a bracketed word is a path, never a drive list's text.
      {{t / "a [b]"}, 0, "node\t0\t0?" + t / "a [b]\tRoot", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "" : c.args.back());
    std::FILE* to = nullptr;
    if (c.to == kFull) to = std::fopen("/dev/full", "w");
    if (c.to == kClosed) to = ::fdopen(::dup(STDERR_FILENO), "w"), ::close(::fileno(to));
    const Output o = RunReport(c.args, c.system, to);
    EXPECT_EQ(std::to_string(o.status) + " " + o.err, std::to_string(c.status) + " " + c.err);
    EXPECT_EQ(o.out.substr(0, c.status == 2 ? std::string::npos : c.out.size()), c.out);
  }
  EXPECT_EQ(RunReport({t / "link"}, platform::LocalSystem()).rows.at(1).at(2), "1?" + t / "link/sub");
}

TEST(Report, StatusesWhenSomethingCannotBeRead) {
  TempDir t;
  for (const char* dir : {"gone", "ok", "ok/locked", "ok/open"}) MakeDir(t / dir);
  MakeFile(t / "ok/open/f", 1);
  ::chmod((t / "ok/locked").c_str(), 0);
  const auto run = [&](const std::function<void()>& prepare, const std::vector<std::string>& args) {
    return RunInChild(prepare, [&] {
      Output o = RunReport(args, platform::LocalSystem());
      return std::to_string(o.status) + " " + o.totals["gTotalFiles"] + " " + o.err;
    });
  };
  // A directory that cannot be read: said on stderr after the whole report, status 1.
  EXPECT_EQ(run(DropPrivileges, {"--summary", t / "ok"}),
            "1 1 kvor-scan: cannot read " + t / "ok/locked" + ": Permission denied\n");
  // A working directory that no longer exists is not "/".
  EXPECT_EQ(run([&] { (void)!::chdir((t / "gone").c_str()), ::rmdir((t / "gone").c_str()); }, {"."}),
            "2  kvor-scan: cannot resolve the working directory: No such file or directory\n");
  EXPECT_EQ(run([&] { (void)!::chdir((t / "ok/open").c_str()); }, {"../open/."}), "0 1 ");
  // A working directory longer than a path may be (12,060 bytes) is scanned from where it is.
  const auto deep = [&] {
    (void)!::chdir(t.path().c_str());
    for (int i = 0; i < 60; ++i) MakeDir(std::string(200, 'x')), (void)!::chdir(std::string(200, 'x').c_str());
    MakeFile("f", 5);
  };
  EXPECT_EQ(run(deep, {"--summary", "."}), "0 1 ");
  // One whose file system was unmounted lazily has no name, yet is read from where it is, and
  // DIR is printed as given.
  MakeDir(t / "lazy");
  if (::mount("kvortest", (t / "lazy").c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount";
  MakeDir(t / "lazy/sub"), MakeFile(t / "lazy/sub/f", 3);
  const std::string unmounted = RunInChild(
      [&] { (void)!::chdir((t / "lazy").c_str()), ::umount2((t / "lazy").c_str(), MNT_DETACH); },
      [&] {
        Output o = RunReport({"sub/.."}, platform::LocalSystem());
        return std::to_string(o.status) + " " + (o.rows.size() > 1 ? o.rows[0][2] + " " + o.rows[1][2] : "") + " " +
               o.totals["gTotalFiles"] + " " + o.err;
      });
  ::umount2((t / "lazy").c_str(), MNT_DETACH);
  EXPECT_EQ(unmounted, "0 0?. 1?./sub 1 ");
}

// Out of memory is said, never an abort: kvor-scan itself under address-space limits from the
// least it starts with up to where it scans whole, each run exact or "out of memory" (small
// thread stacks, so that readers start and run out too). A stack as small as the runtime
// starts on is enough.
TEST(Report, OutOfMemoryIsSaidAtEveryLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own reservations do not fit under a limit";
#endif
  TempDir t;
  MakeTree(t.path(), 11, 300);
  MakeDir(t / "wide");
  for (int i = 0; i < 5000; ++i) MakeFile(t / ("wide/f" + std::to_string(i)), i % 700);  // read in slices
  // Status and the walk's totals (the drive's figures change with other writers), or the
  // tool's complaint.
  const auto run = [&](const std::string& kib, const char* stackKib = "256") {
    const std::string command = "ulimit -s " + std::string(stackKib) + "; ulimit -v " + kib +
                                "; exec " KVOR_SCAN_PROGRAM " --summary " + t.path() + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    for (char line[4096]; std::fgets(line, sizeof line, pipe) != nullptr;)
      if (std::strncmp(line, "total\tgTotal", 12) == 0 || std::strncmp(line, "total", 5) != 0) text += line;
    return std::pair(WEXITSTATUS(::pclose(pipe)), text);
  };
  const auto whole = run("unlimited");
  ASSERT_EQ(whole.first, 0);
  EXPECT_EQ(run("unlimited", "32"), whole);
  int exact = 0, outOfMemory = 0;
  for (long kib = 1024; exact < 4 && kib < (1 << 20); kib += 128) {
    const auto [status, text] = run(std::to_string(kib));
    if (status == 127 && outOfMemory + exact == 0) continue;  // too little for the system to start it
    if (std::pair(status, text) == whole) {
      ++exact;
    } else {
      ++outOfMemory;
      EXPECT_EQ(std::to_string(status) + " " + text, "2 kvor-scan: out of memory\n") << kib << " KiB";
    }
  }
  EXPECT_EQ(exact, 4);
  EXPECT_GT(outOfMemory, 4);
}

// The tool run on `dir` with stdout to /dev/null and stderr to a terminal of `columns`; exit
// status and what its stderr received.
std::pair<int, std::string> RunWithStderrOn(const std::string& dir, unsigned short columns) {
  int terminal = -1;
  struct winsize size {};
  size.ws_row = 24, size.ws_col = columns;
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execl(KVOR_SCAN_PROGRAM, "kvor-scan", "--summary", dir.c_str(), nullptr);
    ::_exit(127);
  }
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;  // EIO: the terminal's last writer is gone
    got.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(child, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, got};
}

TEST(Report, AStatusLineOnATerminalOnly) {
  TempDir t;
  const std::string root = t / "a long name to be cut \x1b[2J";  // escaped, never obeyed
  MakeDir(root), MakeDir(root + "/d"), MakeFile(root + "/d/f", 10);
  for (const unsigned short columns : {40, 200}) {
    const auto [status, line] = RunWithStderrOn(root, columns);
    ASSERT_EQ(status, 0);
    // Rewritten in place (a folder's scan: items, with no fraction), then cleared.
    const std::string clear = "\r\x1b[K";
    ASSERT_TRUE(line.size() > clear.size() && line.starts_with("\r1 item  ") && line.ends_with(clear)) << line;
    const std::string shown = line.substr(1, line.find("\x1b[K") - 1);
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.size(), std::min<std::size_t>(columns - 1, 8 + Escape(root).size())) << shown;
    EXPECT_TRUE(shown.ends_with(Escape(root).substr(Escape(root).size() - 20))) << shown;
  }
  // A pipe gets nothing.
  std::FILE* pipe = ::popen((KVOR_SCAN_PROGRAM " --summary '" + root + "' 2>&1 >/dev/null").c_str(), "r");
  EXPECT_EQ(std::fgetc(pipe), EOF);
  EXPECT_EQ(::pclose(pipe), 0);
}

}  // namespace
}  // namespace kvor
