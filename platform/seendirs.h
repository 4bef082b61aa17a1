#pragma once
// The directories a scan has counted, by device and inode: a directory reached a second time
// under another name (two siblings exchanged, or one moved, while the drive is read) is not
// counted again. Compact: 4 bytes a directory (8 for an inode beyond 32 bits) and as many
// again free at most (an eighth free at least), for the one device a drive has (or the few of
// its subvolumes).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvor::platform {

class SeenDirs {
 public:
  // True when the directory was not seen before; it is from now on. Throws std::bad_alloc.
  bool Add(uint64_t device, uint64_t inode);
  void Clear() { devices_.clear(); }

 private:
  // Open addressing; 0 marks a free cell.
  template <typename Key>
  struct Table {
    std::vector<Key> cells;
    std::size_t count = 0;
    bool Add(Key inode);
  };
  struct Device {
    uint64_t id = 0;
    Table<uint32_t> narrow;  // inodes below 2^32: every one, on most file systems
    Table<uint64_t> wide;
    bool zero = false;       // inode 0, which cannot have a cell
  };
  std::vector<Device> devices_;
};

}  // namespace kvor::platform
