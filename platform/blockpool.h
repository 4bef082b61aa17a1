#pragma once
// Blocks of one size, shared by a scan's threads. A summary a reader makes is freed by the walk:
// from malloc, its memory would go back to the reader's own arena, where only that reader can
// use it again, and with many readers the arenas together would keep several times what is in
// use at once. From here, any thread's next block reuses it.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace kvor::platform {

class BlockPool {
 public:
  // A block of the size first asked for; a larger one comes from the heap. Throws std::bad_alloc.
  void* Take(std::size_t size);
  void Give(void* block, std::size_t size) noexcept;

 private:
  static constexpr std::size_t kSlab = 64 * 1024;
  struct Free {
    Free* next;
  };
  std::mutex mutex_;
  std::size_t size_ = 0;
  Free* free_ = nullptr;
  std::vector<std::unique_ptr<std::byte[]>> slabs_;
  std::size_t used_ = kSlab;  // of the last slab
};

// For allocate_shared: the pool lives as long as any block taken from it.
template <class T>
struct PoolAllocator {
  using value_type = T;
  std::shared_ptr<BlockPool> pool;
  explicit PoolAllocator(std::shared_ptr<BlockPool> p) : pool(std::move(p)) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
  T* allocate(std::size_t n) { return static_cast<T*>(pool->Take(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { pool->Give(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PoolAllocator<U>& other) const { return pool == other.pool; }
};

}  // namespace kvor::platform
