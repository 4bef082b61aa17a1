#pragma once
// What one scan produces: the drive's figures, the totals of the walk and the tree. Figures are
// 64-bit integers: drives, subtrees and counts outgrow 32 bits on any modern disk.
#include <cstdint>

#include "engine/nodestore.h"

namespace kvor {

struct ScanFigures {
  // The drive, as its file system reports it.
  int64_t gFreeBytes = 0;
  int64_t gTotalBytes = 0;
  int64_t gUsedBytes = 0;
  int64_t gClusterSize = 0;
  // Totals of the walk: files and directories below the root (the root's own files included,
  // the root itself not counted), and the bytes of every file, at most the largest figure.
  int64_t gTotalFiles = 0;
  int64_t gTotalDirs = 0;
  int64_t gTotalFileBytes = 0;
};

// The space the walk accounts for: every file's bytes and a cluster per directory, from the
// totals, so that what the root's row and the analysis say agrees with them also where a total
// stopped at its largest value.
inline Int128 FoundBytes(const ScanFigures& s) { return Int128{s.gClusterSize} * s.gTotalDirs + s.gTotalFileBytes; }

struct ScanResult : ScanFigures {
  // How the walk ended: at its end, at a stop, or when memory ran out (its tree then is partial).
  enum class End : uint8_t { Complete, Stopped, OutOfMemory };
  NodeStore tree;
  End end = End::Complete;
};

}  // namespace kvor
