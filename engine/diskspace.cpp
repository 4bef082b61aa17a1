#include "engine/diskspace.h"

namespace kvor {

int64_t GetDiskSpace(ScanFigures& figures, const platform::SpaceFigures& space, std::string_view kind) {
  const int64_t clusterSize = space.blockSize;
  figures.gClusterSize = clusterSize;
  const int64_t freeBytes = clusterSize * space.freeBlocks;
  const int64_t totalBytes = clusterSize * space.totalBlocks;

  if (kind == "USED") return totalBytes - freeBytes;
  if (kind == "FREE") return freeBytes;
  if (kind == "TOTAL") return totalBytes;
  return 0;
}

}  // namespace kvor
