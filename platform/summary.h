#pragma once
// What the walk needs of one directory's read: the names of its subdirectories in the order
// the walk visits them, and its own figures. Compact, without a copy of every entry, so the
// read-ahead can hold thousands of them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/blockpool.h"
#include "platform/listing.h"

namespace kvor::platform {

struct DirSummary {
  // The slots: the ordinary subdirectories sorted bytewise, then the hidden ones in listing
  // order.
  // Thousands are held ahead of the walk: the fields are as narrow as their ranges allow.
  std::string names;
  std::vector<uint32_t> ends;  // end of each slot's name in `names`
  uint32_t ordinaryCount = 0;  // below the slots' count, which their 32-bit ends bound
  uint8_t problems = 0;   // ReadProblem flags of the read, and the errno of the first
  int16_t error = 0;
  std::size_t fileCount = 0;
  int64_t allocated = 0;  // 512-byte blocks of the files
  Int128 bytes = 0;       // every entry's size
  Int128 lostSpace = 0;   // every entry's slack for the cluster size it was read with
  uint64_t device = 0;    // of the directory itself
  uint64_t inode = 0;

  std::size_t SlotCount() const { return ends.size(); }
  bool Hidden(std::size_t slot) const { return slot >= ordinaryCount; }
  std::string_view Name(std::size_t slot) const {
    const uint32_t begin = slot == 0 ? 0 : ends[slot - 1];
    return std::string_view(names).substr(begin, ends[slot] - begin);
  }
  std::size_t MemoryBytes() const { return sizeof *this + names.capacity() + ends.capacity() * sizeof(uint32_t); }
};

// The summary of a listing read whole (or in part, as its problems say).
DirSummary Summarize(const DirListing& listing, uint64_t device, uint64_t inode);

// The summary of the directory open at `fd`, opened by its path after `parent` was read; null
// when it is not as the walk would find it there: on another mount (a subvolume's device may
// be its own), not read whole, or no longer `parent`'s child (a rename since then). Made in
// `pool`.
std::shared_ptr<const DirSummary> ReadChild(int fd, const DirSummary& parent, uint64_t mount, DirListing& listing,
                                            const DirListing::Options& options, const std::shared_ptr<BlockPool>& pool);

}  // namespace kvor::platform
