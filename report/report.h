#pragma once
// The headless report: scans a directory as a drive and prints the tree and the totals.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "engine/estimate.h"
#include "engine/progress.h"
#include "engine/scanresult.h"
#include "platform/system.h"

namespace kvor::report {

// One line per node in display order: "node", depth, key, text, separated by TABs.
void PrintTree(const ScanResult& scan, std::FILE* out);
// One line per figure: "total", name, value.
void PrintTotals(const ScanFigures& figures, std::FILE* out);
// One line per directory whose figures are not whole, as du words them; true when any.
bool ReportProblems(const NodeStore& tree, std::FILE* err);

// One line on the terminal at `fd` that says how far the scan has come: rewritten at most ten
// times a second, cleared before anything else is written there.
class TerminalStatus final : public ScanProgress {
 public:
  explicit TerminalStatus(int fd);
  ~TerminalStatus() override;
  TerminalStatus(const TerminalStatus&) = delete;
  TerminalStatus& operator=(const TerminalStatus&) = delete;
  void Measure(const DriveHolds& holds) override;
  void ShowCurrentDir(std::string_view path, const WalkCounts& counts) override;
  void DoEvents() override {}
  void Clear();

 private:
  void Write(const std::string& text) const;

  int fd_;
  bool shown_ = false;
  std::optional<ProgressEstimator> estimator_;
  std::chrono::steady_clock::time_point start_{}, last_{};
};

// The whole tool: `kvor-scan [--summary] DIR`. Returns the exit status.
int Run(int argc, char** argv, const platform::System& system, std::FILE* out, std::FILE* err);

}  // namespace kvor::report
