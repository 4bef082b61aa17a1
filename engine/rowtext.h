#pragma once
// The one place where a row of the tree gets its text.
#include <string>

#include "engine/scanresult.h"

namespace kvor {

// The text of `node`'s row, sizes with `decimalSeparator`.
std::string RowText(const ScanResult& scan, NodeStore::Index node, char decimalSeparator);

}  // namespace kvor
