#pragma once
// One read of one directory: its entries listed in a single enumeration, the sizes of its
// files read, and from them what the scan needs: the file count, the byte and lost-space sums
// and the names of the subdirectories. A wide directory's sizes are read in slices, by helpers
// beside the thread that lists it (see SizeHelpers).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "platform/problems.h"

namespace kvor::platform {

// The calls a read makes of the system, replaceable so tests can make them fail.
struct ListingCalls {
  std::function<long(int fd, char* buffer, std::size_t size)> getdents = {};  // as getdents64
  std::function<int(int fd, const char* name, struct stat* st)> lstatat = {};  // fstatat, no link followed
  std::function<int(int parentFd, const char* name)> openOnMount = {};        // the walk's, as OpenOnMount
};

// Space lost to rounding `size` up to whole clusters.
int64_t SlackOf(uint64_t size, int64_t clusterSize);

class SizeHelpers;

class DirListing {
 public:
  enum class Status { Ok, Failed, Cancelled };
  struct Options {
    const std::atomic<bool>* cancel = nullptr;          // stops the read early
    const ListingCalls* calls = nullptr;
    int64_t clusterSize = 0;                            // the lost space is summed for it
    SizeHelpers* helpers = nullptr;                     // read a wide directory's sizes too
  };

  // Reads the directory freshly opened at `fd`; the descriptor stays open. Subdirectories on
  // which a file system is mounted are listed too: the walk leaves them out as it comes to them.
  // On failure Error() holds the errno.
  Status Read(int fd, const Options& options);

  // Every entry that is not a directory, hidden ones included, and their sums.
  std::size_t FileCount() const { return fileCount_; }
  Int128 Bytes() const { return bytes_; }
  Int128 LostSpace() const { return lost_; }
  // The 512-byte blocks those whose size was read take on the disk.
  int64_t Allocated() const { return allocated_; }

  // Ordinary subdirectories (not hidden), sorted by name bytewise; then the hidden ones (their
  // names begin with "."), in the order listed.
  std::size_t SubdirCount() const { return ordinary_; }
  std::size_t HiddenCount() const { return order_.size() - ordinary_; }
  std::string_view SubdirName(std::size_t i) const { return DirName(dirs_[order_[i]]); }
  std::string_view HiddenName(std::size_t i) const { return DirName(dirs_[order_[ordinary_ + i]]); }

  // ReadProblem flags of the last read, and the errno of the first of them.
  uint8_t Problems() const { return problems_; }
  int Error() const { return error_; }
  // The inode its ".." entry names (the parent's, on most file systems); 0 when not listed.
  uint64_t DotDotInode() const { return dotDotInode_; }

  // Gives back the memory a wide directory took, so a scan does not keep its widest one's.
  void Trim();

  // Entries whose size is still to be read, and what reading them found; the parts a
  // helper works on.
  struct Unsized {
    uint64_t inode;
    uint32_t nameOffset;  // in the file names (or its slice's), NUL-terminated
    uint32_t seq;         // its place in the listing
  };
  struct Dir {
    uint32_t nameOffset;
    uint32_t seq;
    uint16_t nameLength;
    bool hidden;
  };
  struct Sizes {
    std::size_t files = 0;
    int64_t allocated = 0;
    Int128 bytes = 0;
    Int128 lost = 0;
    uint8_t problems = 0;
    int error = 0;
    std::vector<Dir> dirs;  // entries of no type in the listing that are directories
    // Reads the sizes of `unsized` in the directory open at `fd`; false when cancelled.
    bool Read(int fd, const char* names, const Unsized* unsized, std::size_t count, const ListingCalls* calls,
              int64_t clusterSize, const std::atomic<bool>* cancel);
  };
  // Entries whose size is to be read, in inode order, with their names; and what reading found.
  struct Slice {
    std::string names;  // each NUL-terminated, in the entries' order
    std::vector<Unsized> unsized;
    Sizes sizes;
  };

 private:
  struct Handover;
  std::string_view DirName(const Dir& d) const { return std::string_view(names_).substr(d.nameOffset, d.nameLength); }
  void Note(uint8_t problem, int error);
  void AddName(std::string_view name);
  Status ListNames(int fd, const Options& options, Handover& handover);
  void AddEntry(std::string_view name, unsigned char type, uint64_t inode, uint32_t seq);
  void HandOver(int fd, const Options& options, Handover& handover);
  bool ReadSizes(int fd, const Options& options, Handover& handover);
  Slice Cut(std::size_t begin, std::size_t end) const;
  void Take(const Sizes& sizes, const char* names);
  void Order(bool foundByStat);

  static constexpr std::size_t kBufferSize = 16 * 1024;  // for getdents64
  std::unique_ptr<char[]> buffer_;
  std::string names_;      // of the subdirectories
  std::string fileNames_;  // of the entries in unsized_
  std::vector<Dir> dirs_;
  std::vector<uint32_t> order_;  // into dirs_: ordinary ones sorted, then hidden ones
  std::size_t ordinary_ = 0;
  std::vector<Unsized> unsized_;
  std::size_t fileCount_ = 0;
  int64_t allocated_ = 0;
  Int128 bytes_ = 0;
  Int128 lost_ = 0;
  uint8_t problems_ = 0;
  int error_ = 0;
  uint64_t dotDotInode_ = 0;
};

// Opens a directory for reading without following a final symlink; -1 on failure.
int OpenDirectoryAt(int parentFd, const char* name);
// Opens subdirectory `name` of the directory open at `parentFd` on that directory's mount only,
// with openat2: -1 with EXDEV where a file system is mounted there (neither opened nor
// automounted), ELOOP where it is a symlink, ENOSYS (or EPERM, under a filter) where the
// kernel offers no openat2.
int OpenOnMount(int parentFd, const char* name);
// Opens a directory by path; a final symlink is followed (a root given as a link).
int OpenDirectory(const std::string& path);

// What statx tells of a name from what the kernel holds, without asking its file system: its
// device and inode, its mount, and whether it is the root of a mount (where another file
// system, or another view of this one, is mounted).
struct Identity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t mount = 0;
  bool mountRoot = false;
  bool directory = false;
};
// Of `name` in the directory open at `dirFd` (no link followed, nothing automounted), or of that
// directory itself when `name` is empty; false, with errno, when statx fails.
bool IdentityOf(int dirFd, const char* name, Identity& out);

}  // namespace kvor::platform
