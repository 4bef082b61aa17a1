#pragma once
// The one place where a row of the tree gets its text.
#include <string>
#include <string_view>

#include "engine/scanresult.h"

namespace kvor {

// The text of `node`'s row, sizes with `decimalSeparator`; its name as `shownName` where the
// reader shows names otherwise than by their own bytes.
std::string RowText(const ScanResult& scan, NodeStore::Index node, char decimalSeparator);
std::string RowText(const ScanResult& scan, NodeStore::Index node, char decimalSeparator, std::string_view shownName);

}  // namespace kvor
