#include "platform/diskwaits.h"

#include <algorithm>
#include <sys/resource.h>

namespace kvor::platform {

long BlocksRead(const std::function<long()>& hook) {
  if (hook) return hook();
  rusage usage{};
  return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_inblock : 0;
}

unsigned DiskWaits::Add(long blocks) {
  const auto waited = static_cast<unsigned>(std::clamp<long>(blocks / kBlocksPerPage, 0, kReadsPerSample));
  unsigned add = 0;
  for (unsigned i = 0; i < waited; ++i) {
    share_ += (256 - share_) / 8;
    if (share_ >= 128) ++add;
  }
  for (unsigned i = waited; i < kReadsPerSample; ++i) share_ -= share_ / 8;
  return add;
}

long ReadSampler::Count() {
  if (++reads_ < DiskWaits::kReadsPerSample) return -1;
  reads_ = 0;
  const long before = blocks_;
  blocks_ = BlocksRead(*hook_);
  return blocks_ - before;
}

}  // namespace kvor::platform
