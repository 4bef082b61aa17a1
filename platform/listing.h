#pragma once
// One read of one directory: every entry with its kind and size, taken in a single
// enumeration, from which the directory, file and hidden lists and the byte sums are all fed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <sys/stat.h>
#include <string>
#include <string_view>
#include <vector>

namespace kvor::platform {

// Sums of sizes: every entry may be near 2^63 bytes (sparse files), so they add up in 128 bits.
__extension__ typedef __int128 Int128;

// What kept a directory's figures from being whole; several may hold at once.
enum ReadProblem : uint8_t {
  kCannotEnter = 1,      // could not be opened or listed at all
  kListedInPart = 2,     // the listing failed part way; what came before it is kept
  kSizesUnreadable = 4,  // some entries were listed but their size could not be read
  kSumTooLarge = 8,      // a figure of the scan state stopped at its largest value
  kChanged = 16,         // listed as a directory, something else by the time it was entered
};

// The two calls a listing makes of the system, replaceable so tests can make them fail.
struct ListingCalls {
  std::function<long(int fd, char* buffer, std::size_t size)> getdents = {};  // as getdents64
  std::function<int(int fd, const char* name, struct stat* st)> lstatat = {};  // fstatat, no link followed
};

// One entry of a listing. Hidden: its name begins with ".".
struct Entry {
  std::string_view name;  // valid while the listing lives
  uint64_t size = 0;      // lstat size for non-directories, 0 for directories
  bool directory = false;
  bool hidden = false;
};

class DirListing {
 public:
  enum class Status { Ok, Failed, Cancelled };

  // Reads the directory freshly opened at `fd`; the descriptor stays open. Entries named in
  // `mounted` (names the mount table puts in this directory) that are mount points are left
  // out. Stops early when `cancel` becomes true. On failure Error() holds the errno.
  Status Read(int fd, const std::vector<std::string>* mounted, const std::atomic<bool>* cancel,
              const ListingCalls* calls = nullptr);

  size_t EntryCount() const { return entries_.size(); }
  Entry At(size_t i) const;
  std::string_view Name(size_t i) const;

  // Ordinary subdirectories (real directories, not hidden), sorted by name, bytewise.
  size_t SubdirCount() const { return subdirs_.size(); }
  std::string_view SubdirName(size_t i) const { return Name(subdirs_[i]); }

  // Every entry that is not a directory, hidden ones included.
  size_t FileCount() const { return fileCount_; }

  // ReadProblem flags of the last read, and the errno of the first of them.
  uint8_t Problems() const { return problems_; }
  // The inode its ".." entry names (the parent's, on most file systems); 0 when not listed.
  uint64_t DotDotInode() const { return dotDotInode_; }
  int Error() const { return error_; }

 private:
  struct Record {
    uint32_t nameOffset;
    uint32_t nameLength;
    uint32_t flags;  // kDirectory, kHidden, kGone
    uint64_t size;
  };
  static constexpr uint32_t kDirectory = 1;
  static constexpr uint32_t kHidden = 2;
  struct Unsized {  // an entry whose size is still to be read
    uint64_t inode;
    uint32_t index;
  };
  static constexpr uint32_t kGone = 1u << 31;  // listed, but removed before its size was read

  void AddEntry(std::string_view name, uint32_t flags, uint64_t size);
  void Note(uint8_t problem, int error);

  std::string names_;
  std::vector<Record> entries_;
  std::vector<uint32_t> subdirs_;
  std::vector<Unsized> unsized_;
  size_t fileCount_ = 0;
  uint8_t problems_ = 0;
  int error_ = 0;
  uint64_t dotDotInode_ = 0;
};

// Opens a directory for reading without following a final symlink; -1 on failure.
int OpenDirectoryAt(int parentFd, const char* name);
// Opens a directory by path; a final symlink is followed (a root given as a link).
int OpenDirectory(const std::string& path);

}  // namespace kvor::platform
