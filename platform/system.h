#pragma once
// The operating system as the program sees it: the mount table, space figures, device
// flags and the program's own folder. Tests replace it to make any directory a drive.
#include <cstdint>
#include <string>

namespace kvor::platform {

// The four figures a space query reports; a failed query leaves them all 0.
struct DiskFreeSpace {
  int64_t sectorsPerCluster = 0;
  int64_t bytesPerSector = 0;
  int64_t freeClusters = 0;
  int64_t totalClusters = 0;
};

class System {
 public:
  virtual ~System() = default;

  // The text of the mount table, in the form of /proc/self/mountinfo.
  virtual std::string MountTableText() const;

  // Space figures of the file system that holds `rootPath`; false when the query fails.
  // Here: one sector per cluster, f_frsize bytes per sector, f_bfree free, f_blocks total.
  virtual bool GetDiskFreeSpace(const std::string& rootPath, DiskFreeSpace& out) const;
  // The same for the directory open at `fd` (fstatvfs); errno is set when it fails.
  virtual bool GetDiskFreeSpaceOf(int fd, DiskFreeSpace& out) const;

  // Whether the block device major:minor (or the disk it is a partition of) is removable.
  virtual bool IsRemovableDevice(unsigned major, unsigned minor) const;

  // Volume label of a device path such as "/dev/vda1"; empty when it has none.
  virtual std::string VolumeLabel(const std::string& devicePath) const;

  // The folder that holds the program's own executable.
  virtual std::string ProgramFolder() const;
};

// The machine itself.
const System& LocalSystem();

}  // namespace kvor::platform
