#include "report/report.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <getopt.h>
#include <new>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/escape.h"
#include "engine/estimate.h"
#include "engine/formatsize.h"
#include "engine/progress.h"
#include "engine/rowtext.h"
#include "engine/scanner.h"
#include "platform/listing.h"
#include "platform/pathrules.h"

namespace kvor::report {

namespace {

void PrintTotal(std::FILE* out, const char* name, int64_t value) {
  std::fprintf(out, "total\t%s\t%lld\n", name, static_cast<long long>(value));
}

// Columns `text` takes on a terminal; a byte the locale cannot read takes one.
std::size_t Columns(std::string_view text, std::vector<std::size_t>* starts = nullptr) {
  std::mbstate_t state{};
  std::size_t columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    wchar_t c;
    std::size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    int width = 1;
    if (n == 0 || n > text.size() - i) {
      n = 1;
      state = {};
    } else {
      width = std::max(0, ::wcwidth(c));
    }
    if (starts != nullptr) starts->push_back(i);
    columns += static_cast<std::size_t>(width);
    i += n;
  }
  return columns;
}

// `text` cut from the left to at most `width` columns, the cut marked with "...".
std::string TailIn(const std::string& text, std::size_t width) {
  std::vector<std::size_t> starts;
  if (Columns(text, &starts) <= width) return text;
  if (width < 4) return {};
  for (std::size_t start : starts)
    if (Columns(std::string_view(text).substr(start)) + 3 <= width) return "..." + text.substr(start);
  return {};
}

}  // namespace

TerminalStatus::TerminalStatus(int fd) : fd_(fd) {}

TerminalStatus::~TerminalStatus() { Clear(); }

void TerminalStatus::Measure(const DriveHolds& holds) {
  estimator_.emplace(holds);
  start_ = std::chrono::steady_clock::now();
}

void TerminalStatus::ShowCurrentDir(std::string_view path, const WalkCounts& counts) {
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  if (!estimator_) estimator_.emplace(DriveHolds{});
  const Estimate e = estimator_->Update(counts, std::chrono::duration<double>(now - start_).count());
  std::string head = e.basis == Estimate::Basis::Unknown ? GroupedNumber(e.read) + (e.read == 1 ? " item" : " items")
                                                         : std::to_string(static_cast<int>(e.fraction * 100)) + "%";
  if (e.secondsLeft >= 0) head += ", " + TimeLeftText(e.secondsLeft);
  struct winsize size {};
  const std::size_t width = ::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  // One column short of the edge, so the cursor never wraps to a line of its own.
  std::string line = "\r" + head;
  const std::size_t used = head.size() + 2;
  if (width > used + 1) line += "  " + TailIn(Escape(path), width - used - 1);
  line += "\033[K";
  Write(line);
  shown_ = true;
}

void TerminalStatus::Clear() {
  if (!shown_) return;
  Write("\r\033[K");
  shown_ = false;
}

void TerminalStatus::Write(const std::string& text) const {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the line is a courtesy: a terminal that takes no more goes without
    done += static_cast<std::size_t>(n);
  }
}

namespace {

}  // namespace

void PrintTree(const ScanResult& scan, std::FILE* out) {
  const NodeStore& tree = scan.tree;
  const char separator = DecimalSeparator();
  // Nodes are stored in display order; the path and depth of each follow from the ones above
  // it, so a line costs its own name, however deep (chains thousands of levels deep are
  // ordinary input).
  std::vector<std::pair<NodeStore::Index, std::size_t>> above;  // ancestors, with their path's length
  std::string path;
  for (NodeStore::Index node = 0; node < tree.size(); ++node) {
    if (node == 0) {
      path.assign(tree.Name(0));
    } else {
      while (above.back().first != tree[node].parent) above.pop_back();
      path.resize(above.back().second);
      platform::AppendName(path, tree.Name(node));
    }
    std::fprintf(out, "node\t%zu\t%u?%s\t%s\n", above.size(), node, Escape(path).c_str(),
                 Escape(RowText(scan, node, separator)).c_str());
    above.emplace_back(node, path.size());
  }
}

void PrintTotals(const ScanFigures& s, std::FILE* out) {
  PrintTotal(out, "gTotalFiles", s.gTotalFiles);
  PrintTotal(out, "gTotalDirs", s.gTotalDirs);
  PrintTotal(out, "gTotalFileBytes", s.gTotalFileBytes);
  PrintTotal(out, "gUsedBytes", s.gUsedBytes);
  PrintTotal(out, "gFreeBytes", s.gFreeBytes);
  PrintTotal(out, "gTotalBytes", s.gTotalBytes);
  PrintTotal(out, "gClusterSize", s.gClusterSize);
}

bool ReportProblems(const NodeStore& tree, std::FILE* err) {
  bool any = false;
  for (NodeStore::Index node = 0; node < tree.size(); ++node) {
    if (tree[node].problems == 0) continue;
    any = true;
    std::fprintf(err, "kvor-scan: %s\n", ProblemText(tree, node, ProblemWords::Report).c_str());
  }
  return any;
}

namespace {

constexpr const char* kUsage =
    "usage: kvor-scan [--summary] DIR\n"
    "Scans DIR as the root of a drive and prints one line per directory, then the totals.\n"
    "  --summary  print the totals only\n"
    "  --help     print this text\n"
    "  --version  print the version\n";

struct Arguments {
  bool summary = false;
  std::string dir;
};

int UsageError(std::FILE* err, const std::string& what) {
  std::fprintf(err, "kvor-scan: %s\nTry 'kvor-scan --help' for more information.\n", what.c_str());
  return 2;
}

// --help and --version: 0 once the text is out, else one line and 2, as for the report.
int PrintText(const char* text, std::FILE* out, std::FILE* err) {
  errno = 0;
  if (std::fputs(text, out) >= 0 && std::fflush(out) == 0 && !std::ferror(out)) return 0;
  std::fprintf(err, "kvor-scan: cannot write the report: %s\n", std::strerror(errno != 0 ? errno : EIO));
  return 2;
}

// As du takes its arguments: options anywhere (getopt permutes them before DIR), "--" ends
// them, and a wrong one is named. Long options only by their whole name: a script that
// abbreviates would change meaning when an option is added. Returns the exit status when
// there is nothing to scan.
std::optional<int> ParseArguments(int argc, char** argv, Arguments& args, std::FILE* out, std::FILE* err) {
  // Values outside the range of a short option's byte, so that optopt tells them apart.
  enum : int { kSummary = 0x100, kHelp, kVersion };
  static const option kOptions[] = {{"summary", no_argument, nullptr, kSummary},
                                    {"help", no_argument, nullptr, kHelp},
                                    {"version", no_argument, nullptr, kVersion},
                                    {nullptr, 0, nullptr, 0}};
  const auto isWhole = [](std::string_view name, int value) {
    for (const option* o = kOptions; o->name != nullptr; ++o)
      if (o->val == value) return name == std::string("--") + o->name;
    return false;
  };
  optind = 0;  // a fresh scan of argv, also when called again
  opterr = 0;  // our own words, on our own stream
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    // optopt: 0 for an unknown long option, a long option's value when it was given a value,
    // else the byte of a short one, which need not have moved optind (-xy).
    if (c == '?' && optopt != 0 && optopt < kSummary)
      return UsageError(err, "invalid option -- '" + Escape(std::string(1, static_cast<char>(optopt))) + "'");
    const std::string_view given = argv[optind - 1];
    const std::string_view name = given.substr(0, given.find('='));
    if (!isWhole(name, c == '?' ? optopt : c)) return UsageError(err, "unrecognized option '" + Escape(given) + "'");
    if (c == '?') return UsageError(err, "option '" + Escape(name) + "' doesn't allow an argument");
    if (c == kHelp || c == kVersion) return PrintText(c == kHelp ? kUsage : "kvor-scan " KVOR_VERSION "\n", out, err);
    args.summary = true;
  }
  if (optind == argc) return UsageError(err, "missing operand");
  if (argc - optind > 1) return UsageError(err, "extra operand '" + Escape(argv[optind + 1]) + "'");
  args.dir = argv[optind];
  if (args.dir.empty()) {
    // No name is no directory, never the working one.
    std::fprintf(err, "kvor-scan: cannot read : %s\n", std::strerror(ENOENT));
    return 2;
  }
  return std::nullopt;
}

// The working directory's name into `name`, left empty where it has none: one outside this
// process's root, or on a file system unmounted lazily, is still opened as "." and printed as
// given. False only for one that was removed, which has nothing to scan (never "/" in its
// place). getcwd(3) says ENOENT for both; the system call tells them apart.
bool WorkingDirectoryName(std::string& name) {
  std::vector<char> buf(4096);
  const char* got;
  while ((got = ::getcwd(buf.data(), buf.size())) == nullptr && errno == ERANGE) buf.resize(buf.size() * 2);
  if (got != nullptr && got[0] == platform::kSeparator) {
    name = got;
    return true;
  }
  if (got == nullptr && errno != ENOENT) return true;
  buf.resize(std::max<std::size_t>(buf.size(), PATH_MAX));
  return ::syscall(SYS_getcwd, buf.data(), buf.size()) >= 0 || errno != ENOENT;
}

// DIR as the drive: its root opened once (a link to a directory followed), queried through
// that descriptor, read, walked; then the report. Throws std::bad_alloc when memory runs out.
int ScanAndPrint(const std::string& root, const std::string& openAs, const std::string& dir, bool summary,
                 const platform::System& system, std::FILE* out, std::FILE* err) {
  ScanResult scan;
  // A line that says how far the scan has come, only where a person watches it.
  std::optional<TerminalStatus> status;
  NoProgress quiet;
  if (const int fd = ::fileno(err); fd >= 0 && ::isatty(fd) == 1) status.emplace(fd);
  ScanProgress& progress = status ? static_cast<ScanProgress&>(*status) : quiet;
  const std::atomic<bool> never = false;
  // On the heap, like every big object of the scan: the stack may be as small as the system allows.
  const auto scanner = std::make_unique<Scanner>(system, progress, never);
  switch (scanner->ReachDrive(root, scan, openAs)) {
    case Scanner::Reach::NotOpened:
      std::fprintf(err, "kvor-scan: cannot read %s: %s\n", Escape(dir).c_str(), std::strerror(errno));
      return 2;
    case Scanner::Reach::NotQueried:
      std::fprintf(err, "kvor-scan: cannot query the space of %s: %s\n", Escape(dir).c_str(),
                   std::strerror(errno));
      return 2;
    case Scanner::Reach::Reached:
      break;
  }
  scanner->ScanDrive(scan);
  if (status) status->Clear();
  if (scan.end == ScanResult::End::OutOfMemory) throw std::bad_alloc();

  if (!summary) PrintTree(scan, out);
  PrintTotals(scan, out);
  if (std::fflush(out) != 0 || std::ferror(out)) {
    std::fprintf(err, "kvor-scan: cannot write the report: %s\n", std::strerror(errno));
    return 2;
  }
  return ReportProblems(scan.tree, err) ? 1 : 0;
}

}  // namespace

int Run(int argc, char** argv, const platform::System& system, std::FILE* out, std::FILE* err) {
  Arguments args;
  if (const std::optional<int> status = ParseArguments(argc, argv, args, out, err)) return *status;
  const bool summary = args.summary;
  const std::string& dir = args.dir;

  // A relative DIR is opened from the working directory itself, so that one of any length
  // serves; its name, where it can be had, makes the root printed absolute.
  const bool relative = dir.front() != platform::kSeparator;
  std::string cwd;
  if (relative && !WorkingDirectoryName(cwd)) {
    std::fprintf(err, "kvor-scan: cannot resolve the working directory: %s\n", std::strerror(ENOENT));
    return 2;
  }
  const std::string root = platform::NormalisePath(dir, cwd);

  try {
    return ScanAndPrint(root, relative ? platform::NormalisePath(dir, "") : root, dir, summary, system, out, err);
  } catch (const std::bad_alloc&) {
    std::fputs("kvor-scan: out of memory\n", err);
    return 2;
  }
}

}  // namespace kvor::report
