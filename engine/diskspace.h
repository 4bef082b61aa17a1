#pragma once
#include <cstdint>
#include <string_view>

#include "engine/scanresult.h"
#include "platform/system.h"

namespace kvor {

// One figure of a drive from its queried space: kind "FREE", "USED" or "TOTAL" (exact case), 0
// for any other kind and for a failed query (all zero). Every call records the drive's cluster
// size in `figures`.
int64_t GetDiskSpace(ScanFigures& figures, const platform::SpaceFigures& space, std::string_view kind);

}  // namespace kvor
