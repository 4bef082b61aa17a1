#include "platform/summary.h"

namespace kvor::platform {

DirSummary Summarize(const DirListing& listing, uint64_t device, uint64_t inode) {
  DirSummary s;
  s.device = device;
  s.inode = inode;
  s.fileCount = listing.FileCount();
  s.allocated = listing.Allocated();
  s.bytes = listing.Bytes();
  s.lostSpace = listing.LostSpace();
  s.problems = listing.Problems();
  s.error = static_cast<int16_t>(listing.Error());
  s.ordinaryCount = static_cast<uint32_t>(listing.SubdirCount());
  const std::size_t slots = s.ordinaryCount + listing.HiddenCount();
  s.ends.reserve(slots);
  std::size_t length = 0;
  for (std::size_t i = 0; i < s.ordinaryCount; ++i) length += listing.SubdirName(i).size();
  for (std::size_t i = 0; i < listing.HiddenCount(); ++i) length += listing.HiddenName(i).size();
  s.names.reserve(length);
  const auto add = [&s](std::string_view name) {
    s.names.append(name);
    s.ends.push_back(static_cast<uint32_t>(s.names.size()));
  };
  for (std::size_t i = 0; i < s.ordinaryCount; ++i) add(listing.SubdirName(i));
  for (std::size_t i = 0; i < listing.HiddenCount(); ++i) add(listing.HiddenName(i));
  return s;
}

std::shared_ptr<const DirSummary> ReadChild(int fd, const DirSummary& parent, uint64_t mount, DirListing& listing,
                                            const DirListing::Options& options, const std::shared_ptr<BlockPool>& pool) {
  Identity id, up;
  if (!IdentityOf(fd, "", id) || id.mount != mount || id.mountRoot) return nullptr;
  std::shared_ptr<const DirSummary> out;
  // Its ".." entry names the parent without a lookup where the file system gives the parent's
  // inode there and both are on one device, where inodes are unique; elsewhere ask.
  if (listing.Read(fd, options) == DirListing::Status::Ok &&
      ((id.device == parent.device && listing.DotDotInode() == parent.inode) ||
       (IdentityOf(fd, "..", up) && up.device == parent.device && up.inode == parent.inode)))
    out = std::allocate_shared<DirSummary>(PoolAllocator<DirSummary>(pool), Summarize(listing, id.device, id.inode));
  listing.Trim();
  return out;
}

}  // namespace kvor::platform
