#include "platform/blockpool.h"

#include <new>
#include <utility>

#include "platform/quicklock.h"

namespace kvor::platform {

namespace {

// Under AddressSanitizer every block is the heap's, so a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

constexpr std::size_t kAlign = alignof(std::max_align_t);

}  // namespace

void* BlockPool::Take(std::size_t size) {
  if (kPooled) {
    const auto lock = LockSoon(mutex_);
    if (size_ == 0) size_ = (size + kAlign - 1) / kAlign * kAlign;
    if (size <= size_) {
      if (free_ != nullptr) return std::exchange(free_, free_->next);
      if (used_ + size_ > kSlab) {
        slabs_.push_back(std::make_unique_for_overwrite<std::byte[]>(kSlab));
        used_ = 0;
      }
      used_ += size_;
      return slabs_.back().get() + used_ - size_;
    }
  }
  return ::operator new(size);
}

void BlockPool::Give(void* block, std::size_t size) noexcept {
  if (kPooled) {
    const auto lock = LockSoon(mutex_);
    if (size <= size_) {
      free_ = new (block) Free{free_};
      return;
    }
  }
  ::operator delete(block);
}

}  // namespace kvor::platform
