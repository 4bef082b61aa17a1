#include "platform/system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace kvor::platform {

namespace {

// Read straight into the string: streams would take a kilobyte of a stack that may be small.
std::string ReadSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  for (std::size_t got = 0;;) {
    text.resize(std::max<std::size_t>(got * 2, 4096));
    ssize_t n;
    while ((n = ::read(fd, text.data() + got, text.size() - got)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
      text.resize(n < 0 ? 0 : got);
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return text;
}

bool FlagFileIsOne(const std::string& path) {
  const std::string text = ReadSmallFile(path);
  return !text.empty() && text[0] == '1';
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), &::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// udev writes unsafe bytes of a label as "\xNN".
std::string DecodeUdevName(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
      const int hi = HexValue(name[i + 2]);
      const int lo = HexValue(name[i + 3]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 3;
        continue;
      }
    }
    out.push_back(name[i]);
  }
  return out;
}

bool SpaceOf(int fd, SpaceFigures& out);

}  // namespace

std::string System::MountTableText() const { return ReadSmallFile("/proc/self/mountinfo"); }

bool System::QuerySpace(const std::string& rootPath, SpaceFigures& out) const {
  out = SpaceFigures{};
  // Opened without following a symlink, so the figures are those of the path itself.
  const int fd = ::open(rootPath.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = SpaceOf(fd, out);
  ::close(fd);
  return ok;
}

bool System::QuerySpaceOf(int fd, SpaceFigures& out) const { return SpaceOf(fd, out); }

namespace {

bool SpaceOf(int fd, SpaceFigures& out) {
  out = SpaceFigures{};
  struct statvfs st {};
  if (::fstatvfs(fd, &st) != 0) return false;
  out.blockSize = static_cast<int64_t>(st.f_frsize != 0 ? st.f_frsize : st.f_bsize);
  out.freeBlocks = static_cast<int64_t>(st.f_bfree);
  out.totalBlocks = static_cast<int64_t>(st.f_blocks);
  out.inodes = static_cast<int64_t>(st.f_files);
  out.freeInodes = static_cast<int64_t>(st.f_ffree);
  return true;
}

}  // namespace

bool System::IsMountRoot(int fd) const {
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  // Kernels before 5.8: a root whose parent lies on another device, or is itself.
  struct stat self {}, parent {};
  if (::fstat(fd, &self) != 0 || ::fstatat(fd, "..", &parent, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

bool System::IsRemovableDevice(unsigned major, unsigned minor) const {
  const std::string dev = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  // A partition carries no flag of its own; its disk is the directory above it.
  if (Exists(dev + "/partition")) return FlagFileIsOne(dev + "/../removable");
  return FlagFileIsOne(dev + "/removable");
}

std::string System::VolumeLabel(const std::string& devicePath) const {
  const std::string device = RealPath(devicePath);
  if (device.empty()) return {};
  const std::string folder = "/dev/disk/by-label";
  const auto closeDir = [](DIR* d) { ::closedir(d); };
  std::unique_ptr<DIR, decltype(closeDir)> dir(::opendir(folder.c_str()), closeDir);
  if (!dir) return {};
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (RealPath(folder + "/" + name) == device) return DecodeUdevName(name);
  }
  return {};
}

std::string System::ProgramFolder() const {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  const std::string exe(buffer, static_cast<size_t>(n));
  const auto slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

int System::WatchMountTable() const { return ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC); }

void System::GiveBackMemory() const { ::malloc_trim(0); }

const System& LocalSystem() {
  static const System system{};
  return system;
}

}  // namespace kvor::platform
