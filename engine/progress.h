#pragma once
// What the walk tells whoever runs it: what the drive holds, the directory about to be read
// with what has been read so far, and a chance for waiting events to run. A window shows the
// figures and cancels at the yield; the report tool may show them on a terminal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvor {

// What the walk has read so far: directories, names of every kind (the root's own included)
// and the blocks of the files among them.
struct WalkCounts {
  int64_t dirs = 0;
  int64_t entries = 0;
  int64_t allocated = 0;  // 512-byte blocks
};

// What the walk is measured against: the drive's own figures, from the query made before it.
struct DriveHolds {
  int64_t inodesInUse = 0;  // 0 where the file system keeps no count
  int64_t usedBytes = 0;
  bool wholeDrive = false;  // the walk starts at its file system's root, so it reads all of it
};

class ScanProgress {
 public:
  virtual ~ScanProgress() = default;
  // Once, before the walk.
  virtual void Measure(const DriveHolds&) {}
  // The directory about to be read, and what was read before it.
  virtual void ShowCurrentDir(std::string_view path, const WalkCounts& counts) = 0;
  // Lets waiting user-interface events run once.
  virtual void DoEvents() = 0;
};

// Progress and yield that do nothing, for headless scans.
class NoProgress final : public ScanProgress {
 public:
  void ShowCurrentDir(std::string_view, const WalkCounts&) override {}
  void DoEvents() override {}
};

// Into `out`, a path as a progress line keeps it: whole up to 2 * `ends` bytes, else its first
// and last `ends` bytes (or a few less) joined by "…"; a UTF-8 sequence is never cut in two.
void ShortenPath(std::string_view path, std::size_t ends, std::string& out);

}  // namespace kvor
