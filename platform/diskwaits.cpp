#include "platform/diskwaits.h"

#include <algorithm>
#include <sys/resource.h>

namespace kvor::platform {

long BlocksRead(const std::function<long()>& hook) {
  if (hook) return hook();
  rusage usage{};
  return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_inblock : 0;
}

unsigned DiskWaits::Add(unsigned reads, long blocks) {
  // A read that waited took at least a page; a read that merely lost its core to a busy
  // machine took none (off-CPU time would count it).
  constexpr long kBlocksPerPage = 4096 / 512;
  const auto waited = static_cast<unsigned>(std::clamp<long>(blocks / kBlocksPerPage, 0, reads));
  unsigned add = 0;
  for (unsigned i = 0; i < waited; ++i) {
    share_ += (256 - share_) / 8;
    if (share_ >= 128) ++add;
  }
  for (unsigned i = waited; i < reads; ++i) share_ -= share_ / 8;
  return add;
}

}  // namespace kvor::platform
