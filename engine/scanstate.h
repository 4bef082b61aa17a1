#pragma once
// The figures and flags that the scan, the main window and the dialogs share. One instance
// lives for the whole run; every member starts at zero (false).
//
// Figures are 64-bit integers: drives, subtrees and counts outgrow 32 bits on any modern disk.
#include <atomic>
#include <cstdint>

namespace kvor {

struct ScanState {
  // Drive figures, written by a disk-information query.
  int64_t gFreeBytes = 0;
  int64_t gTotalBytes = 0;
  int64_t gUsedBytes = 0;
  int64_t gClusterSize = 0;

  // The directory read last.
  int64_t gDirBytes = 0;
  int64_t gDirLostSpace = 0;
  int64_t gFileCount = 0;
  int64_t gSubdirCount = 0;
  int64_t gHiddenCount = 0;

  // Totals of the scan.
  int64_t gTotalFiles = 0;
  int64_t gTotalDirs = 0;
  int64_t gTotalFileBytes = 0;

  // Tree-key counter.
  int64_t gNodeCounter = 0;

  // Control flags. gAbort is the one that crosses threads: the progress dialog raises it
  // while a scan runs.
  std::atomic<bool> gAbort = false;
  bool gGoToRoot = false;
  bool gRescan = false;
  bool gIgnoreDriveChange = false;
  int gLastDriveIndex = 0;
};

}  // namespace kvor
