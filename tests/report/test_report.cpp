// The report tool end to end: its output format, its exit statuses and messages.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "engine/escape.h"
#include "report/report.h"
#include "tempdrive.h"

namespace kvor {
namespace {

using namespace test;

// The tool in this process: its exit status, a blank, what it wrote to stderr and then what it
// wrote to stdout, each node's line cut after the first word of its text (the name; the rest is
// the row's text). Streams given are written to and not read back; stderr is a file by default,
// no terminal: one given as stderr is read from its other end, `errFrom`.
std::string RunReport(std::vector<std::string> args, const platform::System& system, std::FILE* out = nullptr,
                      std::FILE* err = std::tmpfile(), std::FILE* errFrom = nullptr) {
  args.insert(args.begin(), "kvor-scan");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  int status = -1;
  const auto run = [&](std::FILE* to) { status = report::Run(int(argv.size()), argv.data(), system, to, err); };
  if (out != nullptr) run(out), std::fclose(out);
  std::istringstream lines(out == nullptr ? Written(run) : "");
  std::string said = std::to_string(status) + " ";
  std::rewind(err);
  if (errFrom != nullptr) std::fclose(std::exchange(err, errFrom));  // the end written to closed first
  for (int c; (c = std::fgetc(err)) != EOF;) said += char(c);
  std::fclose(err);
  for (std::string line; std::getline(lines, line);)
    said += (line.starts_with("node\t") ? line.substr(0, line.find(' ', line.rfind('\t'))) : line) + "\n";
  return said;
}

TEST(Report, EscapesBytesThatCannotBePrintedAsTheyAre) {
  const std::pair<const char*, const char*> cases[] = {  // null: printed as it is
      {"plain name, with [brackets]?~", nullptr}, {"tab\there\x01", "tab\\x09here\\x01"}, {"del\x7f", "del\\x7f"},
      {"\xc3\xa9\xdf\xbf\xe0\xa0\x80\xe2\x82\xac\xef\xbf\xbd\xf0\x90\x80\x80\xf0\x9f\x93\x81\xf4\x8f\xbf\xbf", nullptr},
      {"back\\slash", "back\\x5cslash"}, {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9"}, {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"overlong \xc0\xaf \xe0\x9f\xbf", "overlong \\xc0\\xaf \\xe0\\x9f\\xbf"}, {"\xc3(", "\\xc3("}, {"\x80", "\\x80"},
      {"surrogate \xed\xa0\x80 \xed\xbf\xbf", "surrogate \\xed\\xa0\\x80 \\xed\\xbf\\xbf"},
      {"beyond \xf4\x90\x80\x80 \xf8", "beyond \\xf4\\x90\\x80\\x80 \\xf8"},
      // Neighbours of the code points below, printable.
      {"\u00a0\u05d0\u200d\u2027\u202f\u2065\u206a", nullptr}};
  for (const auto& [text, escaped] : cases) EXPECT_EQ(Escape(text), escaped != nullptr ? escaped : text);
  // Code points that move a terminal's cursor or a line's direction: every byte escaped (the
  // table above shows how).
  const std::string moving = "\u0080\u009b\u009f\u061c\u200e\u200f\u2028\u2029\u202a\u202b\u202c\u202d\u202e\u2066"
                             "\u2067\u2068\u2069";
  EXPECT_EQ(Escape(moving).size(), 4 * moving.size()) << Escape(moving);
}

// Each case run in a child process, in the situation `prepare` makes there, on a drive whose
// space figures the test gives.
TEST(Report, OutputStatusesAndMessages) {
  TempDir t;
  for (const char* dir : {"real", "real/b", "real/b/c", "real/new\nline\xc2\x9b\xe2\x80\xae", "real/.h", "a [b]",
                          "gone", "ok", "ok/locked", "ok/open", "lazy"})
    MakeDir(t / dir);
  for (const auto& [file, size] :
       {std::pair{"real/b/f", 3ULL}, {"real/top", 7000000000ULL}, {"file", 1ULL}, {"ok/open/f", 1ULL}})
    MakeFile(t / file, size);
  std::filesystem::create_symlink(t / "real", t / "link");
  FakeSystem drive;
  // The totals' lines: the walk's figures, then the drive's.
  const auto totals = [](int files, int dirs, int64_t bytes) {
    return "total\tgTotalFiles\t" + std::to_string(files) + "\ntotal\tgTotalDirs\t" + std::to_string(dirs) +
           "\ntotal\tgTotalFileBytes\t" + std::to_string(bytes) + "\ntotal\tgUsedBytes\t405504000\n" +
           "total\tgFreeBytes\t4096000\ntotal\tgTotalBytes\t409600000\ntotal\tgClusterSize\t4096\n";
  };
  // The node lines of the tree above as the tool prints them, in display order, from `root`.
  const auto nodes = [odd = std::string("new\\x0aline\\xc2\\x9b\\xe2\\x80\\xae")](const std::string& root) {
    return "node\t0\t0?" + root + "\t" + root + "\nnode\t1\t1?" + root + "/b\tb\nnode\t2\t2?" + root + "/b/c\tc\n" +
           "node\t1\t3?" + root + "/" + odd + "\t" + odd + "\nnode\t1\t4?" + root + "/.h\t.h\n";
  };
  const std::string usage = "usage: kvor-scan [--summary] DIR\n", noFile = ": No such file or directory\n",
                    full = "cannot write the report: No space left on device\n",
                    badStream = "cannot write the report: Bad file descriptor\n";
  const auto wrong = [](const std::string& what) { return what + "\nTry 'kvor-scan --help' for more information.\n"; };
  const auto into = [](const std::string& dir) { (void)!::chdir(dir.c_str()); };
  const auto noSpace = [&] { drive.queryFails = true; };
  const auto diskFull = +[] { return std::fopen("/dev/full", "w"); };
  const auto readOnly = +[] { return std::fopen("/dev/null", "r"); };
  struct Case {
    std::vector<std::string> args;
    int status;
    // On stderr (each line after "kvor-scan: " where the status is not 0), then how stdout
    // begins (all of it where the status is 2).
    std::string said;
    std::function<void()> prepare = [] {};
    std::FILE* (*stdoutOn)() = [] { return static_cast<std::FILE*>(nullptr); };  // the tool's own
  };
  const auto check = [&](const Case& c) {
    const std::string expected = std::to_string(c.status) + (c.status == 0 ? " " : " kvor-scan: ") + c.said;
    const std::string got = RunInChild(c.prepare, [&] { return RunReport(c.args, drive, c.stdoutOn()); });
    EXPECT_EQ(c.status == 2 ? got : got.substr(0, expected.size()), expected) << (c.args.empty() ? "" : c.args.back());
  };
  const Case cases[] = {
      // The tree, then the totals, alone with --summary.
      {{t / "real"}, 0, nodes(t / "real") + totals(2, 4, 7000000003)},
      {{"--summary", t / "real"}, 0, totals(2, 4, 7000000003)},
      {{"--help"}, 0, usage}, {{t.path(), "--help"}, 0, usage}, {{"--version", "x"}, 0, "kvor-scan " KVOR_VERSION "\n"},
      // The texts and the report written or said not to be: the space is not asked for the texts.
      {{"--help"}, 2, full, noSpace, diskFull}, {{"--version"}, 2, badStream, noSpace, readOnly},
      {{t / "real"}, 2, full, [] {}, diskFull}, {{t / "real"}, 2, badStream, [] {}, readOnly},
      // Usage errors say what was wrong, as du does.
      {{}, 2, wrong("missing operand")}, {{"--summary"}, 2, wrong("missing operand")},
      {{"--bogus", t.path()}, 2, wrong("unrecognized option '--bogus'")},
      {{"--sum", t.path()}, 2, wrong("unrecognized option '--sum'")},
      {{t.path(), "--summary=no"}, 2, wrong("option '--summary' doesn't allow an argument")},
      {{"-sx", t.path()}, 2, wrong("invalid option -- 's'")}, {{"-\t"}, 2, wrong("invalid option -- '\\x09'")},
      {{t.path(), "x"}, 2, wrong("extra operand 'x'")}, {{t / "missing"}, 2, "cannot read " + t / "missing" + noFile},
      {{""}, 2, "cannot read " + noFile}, {{"--", "--summary"}, 2, "cannot read --summary" + noFile},
      {{t / "file"}, 2, "cannot read " + t / "file" + ": Not a directory\n"},
      {{t.path()}, 2, "cannot query the space of " + t.path() + ": Input/output error\n", noSpace},
      // Made absolute, "." and ".." removed, the link not resolved: its directory is scanned.
      {{"--", t / "./link/b/..//"}, 0, nodes(t / "link") + totals(2, 4, 7000000003)},
      // A name that ends in a bracketed word is a path, never a drive list's text.
      {{t / "a [b]"}, 0, "node\t0\t0?" + t / "a [b]\tRoot\n" + totals(0, 0, 0)},
      // A directory that cannot be read: said on stderr after the whole report, status 1.
      {{"--summary", t / "ok"}, 1, "cannot read " + t / "ok/locked" + ": Permission denied\n" + totals(1, 2, 1),
       [&] { ::chmod((t / "ok/locked").c_str(), 0), DropPrivileges(); }},
      // A working directory that no longer exists is not "/"; one longer than a path may be
      // (12,060 bytes) is scanned from where it is.
      {{"."}, 2, "cannot resolve the working directory" + noFile,
       [&] { into(t / "gone"), ::rmdir((t / "gone").c_str()); }},
      {{"../open/."}, 0, "node\t0\t0?" + t / "ok/open\tRoot\n" + totals(1, 0, 1), [&] { into(t / "ok/open"); }},
      {{"--summary", "."}, 0, totals(1, 0, 5), [&] {
         into(t.path());
         for (int i = 0; i < 60; ++i) MakeDir(std::string(200, 'x')), into(std::string(200, 'x'));
         MakeFile("f", 5);
       }},
  };
  for (const Case& c : cases) check(c);
  // One whose file system was unmounted lazily has no name, yet is read from where it is, and
  // DIR is printed as given.
  if (::mount("kvortest", (t / "lazy").c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount";
  MakeDir(t / "lazy/sub"), MakeFile(t / "lazy/sub/f", 3);
  check({{"sub/.."}, 0, "node\t0\t0?.\t.\nnode\t1\t1?./sub\tsub\n" + totals(1, 1, 3),
         [&] { into(t / "lazy"), ::umount2((t / "lazy").c_str(), MNT_DETACH); }});
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
    std::FILE* pipe = ::popen(("ulimit -s " + std::string(stackKib) + "; ulimit -v " + kib + "; exec " KVOR_SCAN_PROGRAM
                               " --summary " + t.path() + " 2>&1").c_str(), "r");
    std::string text;
    for (char line[4096]; std::fgets(line, sizeof line, pipe) != nullptr;)
      if (std::strncmp(line, "total\tgTotal", 12) == 0 || std::strncmp(line, "total", 5) != 0) text += line;
    return std::pair(WEXITSTATUS(::pclose(pipe)), text);
  };
  // The whole scan, also on a stack as small as the runtime starts on.
  const auto whole = run("unlimited");
  ASSERT_EQ(std::pair(whole.first, run("unlimited", "32")), std::pair(0, whole));
  int exact = 0, outOfMemory = 0;
  for (long kib = 1024; exact < 4 && kib < (1 << 20); kib += 128) {
    const auto got = run(std::to_string(kib));
    if (got.first == 127 && outOfMemory + exact == 0) continue;  // too little for the system to start it
    EXPECT_TRUE(got == whole || got == std::pair(2, std::string("kvor-scan: out of memory\n")))
        << kib << " KiB: " << got.first << " " << got.second;
    ++(got == whole ? exact : outOfMemory);
  }
  EXPECT_EQ(std::pair(exact, outOfMemory > 4), std::pair(4, true)) << outOfMemory;
}

TEST(Report, AStatusLineOnATerminalOnly) {
  TempDir t;
  const std::string root = t / "a long name to be cut \x1b[2J";  // escaped, never obeyed
  MakeDir(root), MakeDir(root + "/d"), MakeFile(root + "/d/f", 10);
  for (const unsigned short columns : {40, 200}) {
    int terminal = -1, status = -1;
    winsize size{24, columns, 0, 0};
    ASSERT_EQ(::openpty(&terminal, &status, nullptr, nullptr, &size), 0);
    const std::string line = RunReport({"--summary", root}, FakeSystem(), std::fopen("/dev/null", "w"),
                                       ::fdopen(status, "w"), ::fdopen(terminal, "r"));
    // Status 0; rewritten in place (a folder's scan: items, with no fraction), then cleared; one
    // column short of the edge, the path cut from the left, its escape sequence escaped.
    const std::string shown = line.substr(2, line.find("\x1b[K") - 2);
    EXPECT_TRUE(line.starts_with("0 \r1 item  ") && line.ends_with("\r\x1b[K")) << line;
    EXPECT_EQ(shown.size(), std::min<std::size_t>(columns, 9 + Escape(root).size())) << line;
    EXPECT_TRUE(shown.ends_with(Escape(root).substr(Escape(root).size() - 20))) << line;
  }
}

}  // namespace
}  // namespace kvor
