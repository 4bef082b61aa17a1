#include "platform/summary.h"

namespace kvor::platform {

int64_t SlackOf(uint64_t size, int64_t clusterSize) {
  if (clusterSize <= 0) return 0;
  const auto cluster = static_cast<uint64_t>(clusterSize);
  return static_cast<int64_t>((cluster - size % cluster) % cluster);
}

DirSummary Summarize(const DirListing& listing, int64_t clusterSize, uint64_t device, uint64_t inode) {
  DirSummary s;
  s.clusterSize = clusterSize;
  s.device = device;
  s.inode = inode;
  s.fileCount = listing.FileCount();
  s.problems = listing.Problems();
  s.error = listing.Error();
  s.ordinaryCount = listing.SubdirCount();
  std::vector<uint32_t> hidden;
  for (std::size_t i = 0; i < listing.EntryCount(); ++i) {
    const Entry entry = listing.At(i);
    s.bytes += entry.size;
    s.lostSpace += SlackOf(entry.size, clusterSize);
    // Exact names: on this file system ". " is a directory like any other, not a dot entry.
    if (entry.directory && entry.hidden && entry.name != "." && entry.name != "..")
      hidden.push_back(static_cast<uint32_t>(i));
  }
  s.ends.reserve(s.ordinaryCount + hidden.size());
  const auto add = [&s](std::string_view name) {
    s.names.append(name);
    s.ends.push_back(static_cast<uint32_t>(s.names.size()));
  };
  for (std::size_t i = 0; i < s.ordinaryCount; ++i) add(listing.SubdirName(i));
  for (const uint32_t i : hidden) add(listing.Name(i));
  s.names.shrink_to_fit();
  return s;
}

}  // namespace kvor::platform
