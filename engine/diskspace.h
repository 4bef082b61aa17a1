#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scanstate.h"
#include "platform/system.h"

namespace kvor {

// One figure of a drive: kind "FREE", "USED" or "TOTAL" (exact case), 0 for any other kind
// and for a failed query. Every call records the drive's cluster size in gClusterSize.
// The figure of `kind` from figures already queried; records the cluster size likewise.
int64_t DiskFigure(ScanState& s, const platform::DiskFreeSpace& figures, std::string_view kind);

int64_t GetDiskSpace(ScanState& s, const platform::System& system, const std::string& rootPath,
                     std::string_view kind);

}  // namespace kvor
