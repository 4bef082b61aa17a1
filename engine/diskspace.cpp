#include "engine/diskspace.h"

namespace kvor {

int64_t GetDiskSpace(ScanFigures& figures, const platform::DiskFreeSpace& space, std::string_view kind) {
  const int64_t clusterSize = space.sectorsPerCluster * space.bytesPerSector;
  figures.gClusterSize = clusterSize;
  const int64_t freeBytes = clusterSize * space.freeClusters;
  const int64_t totalBytes = clusterSize * space.totalClusters;

  if (kind == "USED") return totalBytes - freeBytes;
  if (kind == "FREE") return freeBytes;
  if (kind == "TOTAL") return totalBytes;
  return 0;
}

}  // namespace kvor
