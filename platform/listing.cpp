#include "platform/listing.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <dirent.h>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>


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

// The mount a name belongs to: two names on one device may still be two mounts.
bool MountId(int dirFd, const char* name, int flags, uint64_t& id) {
  struct statx stx {};
  if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_MNT_ID, &stx) != 0 ||
      (stx.stx_mask & STATX_MNT_ID) == 0)
    return false;
  id = stx.stx_mnt_id;
  return true;
}

// Whether `name` in the directory at `fd` is where a file system is mounted: another device,
// or the same device seen through another mount (a bind mount).
bool IsMountPoint(int fd, const char* name) {
  uint64_t own = 0, entry = 0;
  if (MountId(fd, "", AT_EMPTY_PATH, own) && MountId(fd, name, 0, entry)) return own != entry;
  struct stat dir, st;
  return ::fstat(fd, &dir) == 0 && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0 &&
         st.st_dev != dir.st_dev;
}

}  // namespace

int OpenDirectoryAt(int parentFd, const char* name) {
  return ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenDirectory(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

Entry DirListing::At(size_t i) const {
  const auto& e = entries_[i];
  return Entry{Name(i), e.size, (e.flags & kDirectory) != 0, (e.flags & kHidden) != 0};
}

std::string_view DirListing::Name(size_t i) const {
  const auto& e = entries_[i];
  return std::string_view(names_).substr(e.nameOffset, e.nameLength);
}

void DirListing::AddEntry(std::string_view name, uint32_t flags, uint64_t size) {
  entries_.push_back(Record{static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(name.size()), flags, size});
  names_.append(name);
  names_.push_back('\0');  // so a name can be handed to the system as it stands
}

void DirListing::Note(uint8_t problem, int error) {
  if (problems_ == 0) error_ = error;
  problems_ |= problem;
}

DirListing::Status DirListing::Read(int fd, const std::vector<std::string>* mounted,
                                    const std::atomic<bool>* cancel, const ListingCalls* calls) {
  names_.clear();
  entries_.clear();
  subdirs_.clear();
  unsized_.clear();
  fileCount_ = 0;
  problems_ = 0;
  error_ = 0;
  dotDotInode_ = 0;
  if (mounted != nullptr && mounted->empty()) mounted = nullptr;

  alignas(LinuxDirent64) char buffer[64 * 1024];
  std::size_t seen = 0;
  bool anyRead = false;
  for (;;) {
    const long n = calls != nullptr && calls->getdents ? calls->getdents(fd, buffer, sizeof buffer)
                                                       : ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!anyRead) {
        Note(kCannotEnter, errno);
        return Status::Failed;
      }
      Note(kListedInPart, errno);
      break;  // keep what was read before the error, and say so
    }
    if (n == 0) break;
    anyRead = true;
    for (long offset = 0; offset < n;) {
      const auto* d = reinterpret_cast<const LinuxDirent64*>(buffer + offset);
      offset += d->d_reclen;
      if (cancel != nullptr && ++seen % kCancelCheckInterval == 0 && cancel->load(std::memory_order_relaxed))
        return Status::Cancelled;
      const std::string_view name(reinterpret_cast<const char*>(d) + offsetof(LinuxDirent64, d_name));
      uint32_t flags = name.front() == '.' ? kHidden : 0;
      switch (d->d_type) {
        case DT_DIR:
          flags |= kDirectory;
          if (name == "..") dotDotInode_ = d->d_ino;
          break;
        case DT_CHR:
        case DT_BLK:
        case DT_FIFO:
        case DT_SOCK:
          break;  // these report no size
        default:  // regular files, symlinks, and names whose type the listing does not give
          unsized_.push_back(Unsized{d->d_ino, static_cast<uint32_t>(entries_.size())});
      }
      AddEntry(name, flags, 0);
    }
  }

  // Sizes are read in inode order, not the listing's (hash) order: on a cold disk neighbouring
  // inodes share a block of the inode table, so each block is read once instead of many times.
  std::sort(unsized_.begin(), unsized_.end(),
            [](const Unsized& a, const Unsized& b) { return a.inode < b.inode; });
  for (const Unsized& u : unsized_) {
    if (cancel != nullptr && ++seen % kCancelCheckInterval == 0 && cancel->load(std::memory_order_relaxed))
      return Status::Cancelled;
    Record& e = entries_[u.index];
    struct stat st;
    const char* name = names_.data() + e.nameOffset;
    if ((calls != nullptr && calls->lstatat ? calls->lstatat(fd, name, &st)
                                            : ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) {
      if (errno == ENOENT) {  // gone since it was listed
        e.flags |= kGone;
      } else {
        Note(kSizesUnreadable, errno);  // counted, but its size is unknown
      }
    } else if (S_ISDIR(st.st_mode)) {
      e.flags |= kDirectory;
    } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
      e.size = static_cast<uint64_t>(st.st_size);
    }
  }

  std::size_t kept = 0;
  for (const Record& e : entries_) {
    if (e.flags & kGone) continue;
    const std::string_view name = std::string_view(names_).substr(e.nameOffset, e.nameLength);
    if ((e.flags & kDirectory) == 0) {
      ++fileCount_;
    } else if (mounted != nullptr && !IsDotOrDotDot(name) &&
               std::find(mounted->begin(), mounted->end(), name) != mounted->end() &&
               IsMountPoint(fd, names_.data() + e.nameOffset)) {
      continue;  // another drive, or another view of this one, is mounted here
    } else if ((e.flags & kHidden) == 0) {
      subdirs_.push_back(static_cast<uint32_t>(kept));
    }
    entries_[kept++] = e;
  }
  entries_.resize(kept);

  std::sort(subdirs_.begin(), subdirs_.end(),
            [this](uint32_t a, uint32_t b) { return Name(a) < Name(b); });
  return Status::Ok;
}

}  // namespace kvor::platform
