#pragma once
// The mount table: which file systems are mounted where, and what kind of drive each is. A scan
// does not read it: it tells a mount point by statx as it comes to one.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/system.h"

namespace kvor::platform {

// What kind of drive a mount point is; the program scans only fixed ones.
enum class DriveType { Unknown, NotMounted, Removable, Fixed, Remote, Optical, RamDisk };

struct MountEntry {
  int id = 0;
  int parentId = 0;
  unsigned major = 0;
  unsigned minor = 0;
  std::string root;        // the mounted subtree of the source file system
  std::string mountPoint;  // octal escapes decoded
  std::string fsType;
  std::string source;      // device or server, octal escapes decoded
};

// A drive as the windows hand it to a scan: its root (the mount point, byte for byte, which need
// not be UTF-8) and what the mount table says of it. Its display text is made from it for
// display only, never read back.
struct Drive {
  std::string root;
  std::string source;  // device or server
  std::string fsType;
  // Which mount it is: the mount table's ID of the mount seen at `root` when the table was read
  // (the ID statx reports as STATX_MNT_ID); -1 where not known.
  int mountId = -1;
  bool operator==(const Drive&) const = default;
};
Drive DriveOf(const MountEntry& entry);

class MountTable {
 public:
  MountTable() = default;
  // Parses /proc/self/mountinfo text; malformed lines are skipped.
  static MountTable Parse(std::string_view text);
  static MountTable Read(const System& system) { return Parse(system.MountTableText()); }

  // The entry visible at exactly `path` (the last mount there wins), or nullptr.
  const MountEntry* At(std::string_view path) const;

  // The mount point of the file system that holds `path` (longest matching mount point).
  std::string MountPointOf(std::string_view path) const;

  // The drive type of a root path; DriveType::NotMounted when it is not a mount point.
  DriveType TypeOf(std::string_view rootPath, const System& system) const;

  // The machine's drives: real file systems only, "/" first, then by mount point,
  // a mount point mounted over counted once. Left out as no one's drive: mounts under /proc,
  // /sys, /dev and /run (but for removable media under /run/media/...), and squashfs images.
  std::vector<Drive> Drives() const;

 private:
  std::vector<MountEntry> entries_;
  std::unordered_map<std::string, size_t> visible_;  // mount point -> entry, built by Parse
};

// True for file systems that are not drives at all (proc, sysfs, cgroup, ...).
bool IsPseudoFileSystem(std::string_view fsType);
// True for mount points of the system's own: /proc, /sys, /dev, /run and below, except the
// removable media under /run/media/.
bool IsSystemMountPoint(std::string_view mountPoint);

// Decodes the octal escapes of a mount table field (\040 blank, \011 tab, \012 newline, \134 "\").
std::string DecodeMountField(std::string_view field);

// A drive list entry: root path, a blank, and the label or device name in square brackets.
std::string DriveText(const Drive& drive, const System& system);

// The drive type of a root path, read from the system's mount table now.
DriveType DriveTypeOf(const System& system, std::string_view rootPath);

// Whether `drive` is still mounted as it was when chosen: the mount seen at its root now, by the
// system's mount table, is the same mount (its ID), not the folder beneath it nor another mount
// put there since. Asks nothing of the drive itself, so a drive that stops answering cannot hold
// the caller. True where that cannot be told: the drive's mount is not known, or the system
// gives no mount table.
bool StillMounted(const System& system, const Drive& drive);

// Whether a drive can be used as it is chosen: its type by the mount table now, and whether it
// is unavailable: gone from the table, or fixed and its root does not answer within `wait` (an
// I/O error, a stale handle, a mount gone from under us, a server or daemon that is gone). Only a
// fixed drive is looked at; the others are told by their type alone, with no call on the drive.
struct DriveCheck {
  DriveType type = DriveType::Unknown;
  bool unavailable = false;
};
DriveCheck CheckDrive(const System& system, const std::string& rootPath, std::chrono::milliseconds wait);

// The system's watch on the mount table, closed with this.
class MountWatch {
 public:
  explicit MountWatch(const System& system) : fd_(system.WatchMountTable()) {}
  ~MountWatch();
  MountWatch(const MountWatch&) = delete;
  MountWatch& operator=(const MountWatch&) = delete;
  // What to watch for an exceptional condition; -1 when there is nothing to watch.
  int Descriptor() const { return fd_; }

 private:
  int fd_;
};

}  // namespace kvor::platform
