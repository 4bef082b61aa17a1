#include "report/report.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <getopt.h>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "engine/escape.h"
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
    const uint8_t problems = tree[node].problems;
    if (problems == 0) continue;
    any = true;
    const std::string path = Escape(tree.Path(node));
    const char* reason = std::strerror(tree[node].error);
    if (problems & (platform::kCannotEnter | platform::kListedInPart))
      std::fprintf(err, "kvor-scan: cannot read %s: %s\n", path.c_str(), reason);
    else if (problems & platform::kChanged)
      std::fprintf(err, "kvor-scan: changed while read: %s\n", path.c_str());
    else if (problems & platform::kSizesUnreadable)
      std::fprintf(err, "kvor-scan: cannot read sizes in %s: %s\n", path.c_str(), reason);
    else
      std::fprintf(err, "kvor-scan: figures too large in %s: %s\n", path.c_str(), reason);
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

// DIR as the drive: its root opened once (a link to a directory followed), queried through
// that descriptor, read, walked; then the report. Throws std::bad_alloc when memory runs out.
int ScanAndPrint(const std::string& root, const std::string& openAs, const std::string& dir, bool summary,
                 const platform::System& system, std::FILE* out, std::FILE* err) {
  ScanResult scan;
  NoProgress progress;
  const std::atomic<bool> never = false;
  Scanner scanner(system, progress, never);
  switch (scanner.ReachDrive(root, scan, openAs)) {
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
  scanner.ScanDrive(scan);
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
  if (relative) {
    std::vector<char> buf(4096);
    const char* name;
    while ((name = ::getcwd(buf.data(), buf.size())) == nullptr && errno == ERANGE) buf.resize(buf.size() * 2);
    // A deleted working directory, or one outside this process's root, has no name to scan:
    // never "/" in its place. One that cannot be named for another reason is printed as given.
    const int error = name == nullptr ? errno : name[0] != platform::kSeparator ? ENOENT : 0;
    if (error == ENOENT) {
      std::fprintf(err, "kvor-scan: cannot resolve the working directory: %s\n", std::strerror(error));
      return 2;
    }
    if (error == 0) cwd = name;
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
