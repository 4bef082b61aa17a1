#pragma once
// The headless report: scans a directory as a drive and prints the tree and the totals.
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/scanresult.h"
#include "platform/system.h"

namespace kvor::report {

// One line per node in display order: "node", depth, key, text, separated by TABs.
void PrintTree(const ScanResult& scan, std::FILE* out);
// One line per figure: "total", name, value.
void PrintTotals(const ScanFigures& figures, std::FILE* out);
// One line per directory whose figures are not whole, as du words them; true when any.
bool ReportProblems(const NodeStore& tree, std::FILE* err);

// The whole tool: `kvor-scan [--summary] DIR`. Returns the exit status.
int Run(int argc, char** argv, const platform::System& system, std::FILE* out, std::FILE* err);

}  // namespace kvor::report
