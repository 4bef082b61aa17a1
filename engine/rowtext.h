#pragma once
// The one place where a row of the tree gets its text, and where a directory not read whole
// gets the words for why.
#include <string>
#include <string_view>

#include "engine/scanresult.h"

namespace kvor {

// The text of `node`'s row, sizes with `decimalSeparator`; its name as `shownName` where the
// reader shows names otherwise than by their own bytes.
std::string RowText(const ScanResult& scan, NodeStore::Index node, char decimalSeparator);
std::string RowText(const ScanResult& scan, NodeStore::Index node, char decimalSeparator, std::string_view shownName);

// Who reads why a directory is not whole: the window, beside its path, or the report tool's
// stderr, as du words it, with the path (escaped) in the line.
enum class ProblemWords { Window, Report };
// Why `node`'s figures are not whole, the worst of its problems only; empty when they are.
std::string ProblemText(const NodeStore& tree, NodeStore::Index node, ProblemWords words);

}  // namespace kvor
