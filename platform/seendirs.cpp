#include "platform/seendirs.h"

#include <utility>

namespace kvor::platform {

namespace {

constexpr std::size_t kFirstCells = 1024;

// Inodes come in runs; multiplied by the golden ratio their top bits spread over the table.
std::size_t Home(uint64_t inode, std::size_t mask) {
  return static_cast<std::size_t>((inode * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

template <typename Key>
bool Insert(std::vector<Key>& cells, Key inode) {
  const std::size_t mask = cells.size() - 1;
  for (std::size_t i = Home(inode, mask);; i = (i + 1) & mask) {
    if (cells[i] == inode) return false;
    if (cells[i] == 0) {
      cells[i] = inode;
      return true;
    }
  }
}

}  // namespace

template <typename Key>
bool SeenDirs::Table<Key>::Add(Key inode) {
  // At most seven eighths full: a search for a new inode then reads some 30 cells on average
  // when fullest (two cache lines), and a 100,000-folder drive's table takes half a MiB, not one.
  if ((count + 1) * 8 > cells.size() * 7) {
    std::vector<Key> wider(cells.empty() ? kFirstCells : cells.size() * 2, 0);
    for (const Key kept : cells)
      if (kept != 0) Insert(wider, kept);
    cells = std::move(wider);
  }
  if (!Insert(cells, inode)) return false;
  ++count;
  return true;
}

bool SeenDirs::Add(uint64_t device, uint64_t inode) {
  Device* d = nullptr;
  for (auto& each : devices_)
    if (each.id == device) d = &each;
  if (d == nullptr) {
    d = &devices_.emplace_back();
    d->id = device;
  }
  if (inode == 0) return !std::exchange(d->zero, true);
  if (inode <= UINT32_MAX) return d->narrow.Add(static_cast<uint32_t>(inode));
  return d->wide.Add(inode);
}

}  // namespace kvor::platform
