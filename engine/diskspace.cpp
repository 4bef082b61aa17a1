#include "engine/diskspace.h"

namespace kvor {

int64_t DiskFigure(ScanState& s, const platform::DiskFreeSpace& figures, std::string_view kind) {
  const int64_t clusterSize = figures.sectorsPerCluster * figures.bytesPerSector;
  s.gClusterSize = clusterSize;
  const int64_t freeBytes = clusterSize * figures.freeClusters;
  const int64_t totalBytes = clusterSize * figures.totalClusters;

  if (kind == "USED") return totalBytes - freeBytes;
  if (kind == "FREE") return freeBytes;
  if (kind == "TOTAL") return totalBytes;
  return 0;
}

int64_t GetDiskSpace(ScanState& s, const platform::System& system, const std::string& rootPath,
                     std::string_view kind) {
  // A failed query leaves the figures at 0; its result is not otherwise looked at.
  platform::DiskFreeSpace figures;
  if (!system.GetDiskFreeSpace(rootPath, figures)) figures = {};
  return DiskFigure(s, figures, kind);
}

}  // namespace kvor
