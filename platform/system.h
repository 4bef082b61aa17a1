#pragma once
// The operating system as the program sees it: the mount table, space figures, device
// flags and the program's own folder. Tests replace it to make any directory a drive.
#include <cstdint>
#include <string>

namespace kvor::platform {

// What statvfs reports of a file system's space: its fragment size (the unit a file's last
// block is rounded up to) and the fragments free (root's reserve included) and in all; its
// inodes in all and free, both 0 where it keeps no count. A failed query leaves them all 0.
struct SpaceFigures {
  int64_t blockSize = 0;
  int64_t freeBlocks = 0;
  int64_t totalBlocks = 0;
  int64_t inodes = 0;
  int64_t freeInodes = 0;
};

class System {
 public:
  virtual ~System() = default;

  // The text of the mount table, in the form of /proc/self/mountinfo.
  virtual std::string MountTableText() const;

  // Space figures of the file system that holds `rootPath`; false when the query fails.
  virtual bool QuerySpace(const std::string& rootPath, SpaceFigures& out) const;
  // The same for the directory open at `fd` (fstatvfs); errno is set when it fails.
  virtual bool QuerySpaceOf(int fd, SpaceFigures& out) const;

  // Whether the directory open at `fd` is the root of its file system's mount.
  virtual bool IsMountRoot(int fd) const;

  // Whether the block device major:minor (or the disk it is a partition of) is removable.
  virtual bool IsRemovableDevice(unsigned major, unsigned minor) const;

  // Volume label of a device path such as "/dev/vda1"; empty when it has none.
  virtual std::string VolumeLabel(const std::string& devicePath) const;

  // The folder that holds the program's own executable.
  virtual std::string ProgramFolder() const;

  // A descriptor that signals every change of the mount table as an exceptional condition (what
  // poll calls POLLPRI), for an event loop to watch; -1 where there is none. The caller closes it.
  virtual int WatchMountTable() const;

  // Hands back to the system the memory freed since: the allocator keeps freed pages in the
  // arenas of the threads that used them, and each scan runs on new threads.
  virtual void GiveBackMemory() const;
};

// The machine itself.
const System& LocalSystem();

}  // namespace kvor::platform
