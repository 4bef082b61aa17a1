#include "platform/listing.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <new>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/sizehelpers.h"

namespace kvor::platform {

namespace {

struct LinuxDirent64 {
  ino64_t d_ino;
  off64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];  // runs on to the record's end
};

constexpr std::size_t kCancelCheckInterval = 1024;

bool IsDotOrDotDot(std::string_view name) { return name == "." || name == ".."; }

// A name's first 8 bytes as a number that orders as the bytes do; a shorter name's are
// followed by zeros, which no name holds.
uint64_t Prefix(std::string_view name) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, name.data(), std::min<std::size_t>(name.size(), sizeof bytes));
  uint64_t key = 0;
  for (const unsigned char b : bytes) key = key << 8 | b;
  return key;
}

// Sizes are read in inode order: on a cold disk neighbouring inodes share a block of the inode
// table, read once instead of many times.
void SortByInode(DirListing::Unsized* begin, DirListing::Unsized* end) {
  std::sort(begin, end, [](const DirListing::Unsized& a, const DirListing::Unsized& b) { return a.inode < b.inode; });
}

}  // namespace

int OpenDirectoryAt(int parentFd, const char* name) {
  return ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenOnMount(int parentFd, const char* name) {
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, parentFd, name, &how, sizeof how));
}

int OpenDirectory(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool IdentityOf(int dirFd, const char* name, Identity& out) {
  // Cached attributes only: the root of a FUSE mount whose daemon hangs is not asked.
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC | (*name == '\0' ? AT_EMPTY_PATH : 0);
  struct statx stx {};
  if (::statx(dirFd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &stx) != 0) return false;
  out.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  out.inode = stx.stx_ino;
  // Before Linux 5.8 there is no mount ID: the device stands in for it.
  out.mount = (stx.stx_mask & STATX_MNT_ID) != 0 ? stx.stx_mnt_id : out.device;
  out.mountRoot = (stx.stx_attributes & stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  out.directory = S_ISDIR(stx.stx_mode);
  return true;
}

int64_t SlackOf(uint64_t size, int64_t clusterSize) {
  if (clusterSize <= 0) return 0;
  const auto cluster = static_cast<uint64_t>(clusterSize);
  return static_cast<int64_t>((cluster - size % cluster) % cluster);
}

void DirListing::Note(uint8_t problem, int error) {
  if (problems_ == 0) error_ = error;
  problems_ |= problem;
}

// Kept with a NUL after it, so a name can be handed to the system as it stands.
void DirListing::AddName(std::string_view name) {
  if (names_.size() + name.size() + 1 > UINT32_MAX) throw std::bad_alloc();
  names_.append(name);
  names_.push_back('\0');
}

bool DirListing::Sizes::Read(int fd, const char* names, const Unsized* unsized, std::size_t count,
                             const ListingCalls* calls, int64_t clusterSize, const std::atomic<bool>* cancel) {
  for (std::size_t i = 0; i < count; ++i) {
    if (cancel != nullptr && i % kCancelCheckInterval == 0 && cancel->load(std::memory_order_relaxed)) return false;
    const char* name = names + unsized[i].nameOffset;
    struct stat st;
    if ((calls != nullptr && calls->lstatat ? calls->lstatat(fd, name, &st)
                                            : ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) {
      if (errno == ENOENT) continue;  // gone since it was listed
      if (problems == 0) error = errno;
      problems |= kSizesUnreadable;  // counted, but its size is unknown
      ++files;
    } else if (S_ISDIR(st.st_mode)) {  // the listing did not say
      const std::size_t length = std::strlen(name);
      dirs.push_back(Dir{unsized[i].nameOffset, unsized[i].seq, static_cast<uint16_t>(length), name[0] == '.'});
    } else {
      ++files;
      // Devices, fifos and sockets report no size of their own.
      allocated += st.st_blocks;
      if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        const auto size = static_cast<uint64_t>(st.st_size);
        bytes += size;
        lost += SlackOf(size, clusterSize);
      }
    }
  }
  return true;
}

// The files' sizes read beside the listing, once it has listed enough of them.
struct DirListing::Handover {
  SizeHelpers::Stream stream;
  bool alone = false;  // no helpers to be had
};

DirListing::Status DirListing::Read(int fd, const Options& options) {
  names_.clear();
  fileNames_.clear();
  dirs_.clear();
  order_.clear();
  unsized_.clear();
  ordinary_ = 0;
  fileCount_ = 0;
  allocated_ = 0;
  bytes_ = lost_ = 0;
  problems_ = 0;
  error_ = 0;
  dotDotInode_ = 0;
  Handover handover;  // left to the helpers if the read ends early
  const Status listed = ListNames(fd, options, handover);
  if (listed != Status::Ok) return listed;
  return ReadSizes(fd, options, handover) ? Status::Ok : Status::Cancelled;
}

// Every name of the directory, sorted into subdirectories, files whose size is to be read and
// files that report none. A listing that fails part way keeps what it read, and says so.
DirListing::Status DirListing::ListNames(int fd, const Options& options, Handover& handover) {
  const std::atomic<bool>* cancel = options.cancel;
  const ListingCalls* calls = options.calls;
  // On the heap, kept for the next read: a thread's stack may be as small as the system allows.
  if (buffer_ == nullptr) buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
  char* const buffer = buffer_.get();
  uint32_t seq = 0;
  bool anyRead = false;
  for (;;) {
    const long n = calls != nullptr && calls->getdents ? calls->getdents(fd, buffer, kBufferSize)
                                                       : ::syscall(SYS_getdents64, fd, buffer, kBufferSize);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!anyRead) {
        Note(kCannotEnter, errno);
        return Status::Failed;
      }
      Note(kListedInPart, errno);
      return Status::Ok;  // keep what was read before the error, and say so
    }
    if (n == 0) return Status::Ok;
    anyRead = true;
    for (long offset = 0; offset < n;) {
      const auto* d = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
      offset += d->d_reclen;
      if (cancel != nullptr && ++seq % kCancelCheckInterval == 0 && cancel->load(std::memory_order_relaxed))
        return Status::Cancelled;
      AddEntry(std::string_view(reinterpret_cast<const char*>(d) + offsetof(LinuxDirent64, d_name)), d->d_type,
               d->d_ino, seq);
    }
    HandOver(fd, options, handover);
  }
}

void DirListing::AddEntry(std::string_view name, unsigned char type, uint64_t inode, uint32_t seq) {
  if (IsDotOrDotDot(name)) {
    if (name.size() == 2) dotDotInode_ = inode;
    return;
  }
  const auto at = static_cast<uint32_t>(names_.size());
  switch (type) {
    case DT_DIR:
      AddName(name);
      dirs_.push_back(Dir{at, seq, static_cast<uint16_t>(name.size()), name.front() == '.'});
      break;
    case DT_CHR:
    case DT_BLK:
    case DT_FIFO:
    case DT_SOCK:
      ++fileCount_;  // these report no size
      break;
    default:  // regular files, symlinks, and names whose type the listing does not give
      if (fileNames_.size() + name.size() + 1 > UINT32_MAX) throw std::bad_alloc();
      unsized_.push_back(Unsized{inode, static_cast<uint32_t>(fileNames_.size()), seq});
      fileNames_.append(name);
      fileNames_.push_back('\0');
  }
}

// Once a directory has shown itself wide, its files go to the helpers a slice at a time while
// the listing goes on: the sizes of the first are read while the disk still gives the rest.
void DirListing::HandOver(int fd, const Options& options, Handover& handover) {
  if (options.helpers == nullptr || handover.alone) return;
  if (!handover.stream.Started()) {
    if (unsized_.size() < SizeHelpers::kLeast) return;
    handover.alone = !handover.stream.Start(*options.helpers, fd, options.calls, options.clusterSize);
    if (handover.alone) return;
  }
  const std::size_t whole = unsized_.size() - unsized_.size() % SizeHelpers::kSlice;
  if (whole == 0) return;
  for (std::size_t begin = 0; begin < whole; begin += SizeHelpers::kSlice) {
    SortByInode(unsized_.data() + begin, unsized_.data() + begin + SizeHelpers::kSlice);
    handover.stream.Add(Cut(begin, begin + SizeHelpers::kSlice));
  }
  Slice rest = Cut(whole, unsized_.size());
  fileNames_.assign(rest.names);
  unsized_.assign(rest.unsized.begin(), rest.unsized.end());
}

// Entries `begin` to `end` of those to be read, with their names laid out in the entries' order:
// scattered, each name the kernel copies in would miss the caches.
DirListing::Slice DirListing::Cut(std::size_t begin, std::size_t end) const {
  Slice slice;
  slice.unsized.assign(unsized_.begin() + begin, unsized_.begin() + end);
  for (Unsized& u : slice.unsized) {
    const char* name = fileNames_.data() + u.nameOffset;
    u.nameOffset = static_cast<uint32_t>(slice.names.size());
    slice.names.append(name, std::strlen(name) + 1);
  }
  return slice;
}

// The sizes of the files listed, the helpers' slices or all on this thread; false when cancelled.
bool DirListing::ReadSizes(int fd, const Options& options, Handover& handover) {
  const std::size_t listed = dirs_.size();
  SortByInode(unsized_.data(), unsized_.data() + unsized_.size());
  if (handover.stream.Started()) {
    if (!unsized_.empty()) handover.stream.Add(Cut(0, unsized_.size()));
    std::vector<Slice> slices;
    if (handover.stream.Finish(options.cancel, slices) == SizeHelpers::Stream::Outcome::Cancelled) return false;
    for (const Slice& slice : slices) Take(slice.sizes, slice.names.data());
  } else {
    Sizes sizes;
    if (!sizes.Read(fd, fileNames_.data(), unsized_.data(), unsized_.size(), options.calls, options.clusterSize,
                    options.cancel))
      return false;
    Take(sizes, fileNames_.data());
  }
  Order(dirs_.size() != listed);
  return true;
}

// Adds what reading sizes found; the directories among the files are named in `names`.
void DirListing::Take(const Sizes& sizes, const char* names) {
  fileCount_ += sizes.files;
  allocated_ += sizes.allocated;
  bytes_ += sizes.bytes;
  lost_ += sizes.lost;
  if (sizes.problems != 0) Note(sizes.problems, sizes.error);
  for (const Dir& d : sizes.dirs) {
    const auto at = static_cast<uint32_t>(names_.size());
    AddName(std::string_view(names + d.nameOffset, d.nameLength));
    dirs_.push_back(Dir{at, d.seq, d.nameLength, d.hidden});
  }
}

// Puts the subdirectories in the walk's order: ordinary ones by name, then hidden ones as listed.
void DirListing::Order(bool foundByStat) {
  order_.resize(dirs_.size());
  for (uint32_t i = 0; i < order_.size(); ++i) order_[i] = i;
  const auto hidden = std::stable_partition(order_.begin(), order_.end(), [&](uint32_t i) { return !dirs_[i].hidden; });
  ordinary_ = static_cast<std::size_t>(hidden - order_.begin());
  // By their first bytes as numbers, whole names compared only where those tie: the walk waits
  // while a wide directory's names are sorted.
  std::vector<std::pair<uint64_t, uint32_t>> keyed(ordinary_);
  for (std::size_t i = 0; i < ordinary_; ++i) keyed[i] = {Prefix(DirName(dirs_[order_[i]])), order_[i]};
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : DirName(dirs_[a.second]) < DirName(dirs_[b.second]);
  });
  for (std::size_t i = 0; i < ordinary_; ++i) order_[i] = keyed[i].second;
  // Directories the sizes' reads found came after those listed as such, in inode order.
  if (foundByStat)
    std::sort(hidden, order_.end(), [&](uint32_t a, uint32_t b) { return dirs_[a].seq < dirs_[b].seq; });
}

void DirListing::Trim() {
  // Bytes worth keeping for the next read: each of many readers keeps its own.
  constexpr std::size_t kKeep = 8 * 1024;
  if (names_.capacity() > kKeep) std::string().swap(names_);
  if (fileNames_.capacity() > kKeep) std::string().swap(fileNames_);
  if (unsized_.capacity() * sizeof(Unsized) > kKeep) std::vector<Unsized>().swap(unsized_);
  if (dirs_.capacity() * sizeof(Dir) > kKeep) std::vector<Dir>().swap(dirs_);
  if (order_.capacity() * sizeof(uint32_t) > kKeep) std::vector<uint32_t>().swap(order_);
}

}  // namespace kvor::platform
