#include "platform/mounts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>

#include "platform/detached.h"
#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

template <size_t N>
bool OneOf(std::string_view value, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), value) != names.end();
}

constexpr std::array<std::string_view, 29> kPseudo = {
    "proc",     "sysfs",      "cgroup",    "cgroup2",         "devpts",      "mqueue",
    "debugfs",  "tracefs",    "securityfs", "bpf",            "pstore",      "configfs",
    "autofs",   "binfmt_misc", "hugetlbfs", "devtmpfs",       "fusectl",     "nsfs",
    "rpc_pipefs", "efivarfs", "selinuxfs", "nfsd",            "sockfs",      "pipefs",
    "fuse.gvfsd-fuse", "fuse.portal", "fuse.lxcfs", "binderfs", "smackfs"};

constexpr std::array<std::string_view, 20> kRemote = {
    "nfs",        "nfs4",        "cifs",          "smb3",       "smbfs",
    "9p",         "ceph",        "afs",           "glusterfs",  "lustre",
    "ncpfs",      "coda",        "davfs",         "orangefs",   "beegfs",
    "fuse.sshfs", "fuse.s3fs",   "fuse.rclone",   "fuse.glusterfs", "fuse.davfs2"};

constexpr std::array<std::string_view, 2> kOptical = {"iso9660", "udf"};

constexpr std::array<std::string_view, 3> kRam = {"tmpfs", "ramfs", "rootfs"};

constexpr std::array<std::string_view, 22> kBlock = {
    "ext2",  "ext3",   "ext4",  "xfs",      "btrfs",   "f2fs",  "vfat",  "msdos",
    "exfat", "ntfs",   "ntfs3", "fuseblk",  "jfs",     "reiserfs", "hfs", "hfsplus",
    "nilfs2", "zfs",   "bcachefs", "minix", "ufs",     "squashfs"};

// A container's root: local, but on no block device of its own.
constexpr std::array<std::string_view, 2> kOverlay = {"overlay", "fuse.overlayfs"};

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// FUSE mounts of a remote file system name their server as "host:path" or "//host/share".
bool LooksRemoteFuse(const MountEntry& e) {
  return StartsWith(e.fsType, "fuse.") &&
         (e.source.find(':') != std::string::npos || StartsWith(e.source, "//"));
}

std::string_view TrimTrailingSeparators(std::string_view path) {
  while (path.size() > 1 && path.back() == kSeparator) path.remove_suffix(1);
  return path;
}

// "/a/b" -> "/a", "/a" -> "/", "/" -> "" (no parent).
std::string_view ParentDir(std::string_view path) {
  const auto pos = path.rfind(kSeparator);
  if (pos == std::string_view::npos || path.size() <= 1) return {};
  return pos == 0 ? path.substr(0, 1) : path.substr(0, pos);
}

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

bool ParseDevice(std::string_view text, unsigned& major, unsigned& minor) {
  const auto colon = text.find(':');
  return colon != std::string_view::npos && ParseNumber(text.substr(0, colon), major) &&
         ParseNumber(text.substr(colon + 1), minor);
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    const auto end = std::min(line.find(' ', pos), line.size());
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end + 1;
  }
  return fields;
}

bool ParseLine(std::string_view line, MountEntry& e) {
  const auto f = SplitFields(line);
  if (f.size() < 8) return false;
  // Optional fields run up to a lone "-"; the file system type follows it.
  size_t dash = 6;
  while (dash < f.size() && f[dash] != "-") ++dash;
  if (dash + 1 >= f.size()) return false;
  if (!ParseNumber(f[0], e.id) || !ParseNumber(f[1], e.parentId) ||
      !ParseDevice(f[2], e.major, e.minor))
    return false;
  e.root = DecodeMountField(f[3]);
  e.mountPoint = DecodeMountField(f[4]);
  if (e.mountPoint.empty() || e.mountPoint.front() != kSeparator) return false;
  e.fsType = DecodeMountField(f[dash + 1]);
  e.source = dash + 2 < f.size() ? DecodeMountField(f[dash + 2]) : std::string();
  return true;
}

}  // namespace

std::string DecodeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    const auto isOctal = [&](size_t k) {
      return k < field.size() && field[k] >= '0' && field[k] <= '7';
    };
    if (field[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
      const int code = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (code <= 0xff) {
        out.push_back(static_cast<char>(code));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

bool IsPseudoFileSystem(std::string_view fsType) { return OneOf(fsType, kPseudo); }

MountTable MountTable::Parse(std::string_view text) {
  MountTable table;
  size_t pos = 0;
  while (pos < text.size()) {
    const auto end = std::min(text.find('\n', pos), text.size());
    MountEntry e;
    if (ParseLine(text.substr(pos, end - pos), e)) table.entries_.push_back(std::move(e));
    pos = end + 1;
  }

  // Later mounts at the same point cover earlier ones.
  for (size_t i = 0; i < table.entries_.size(); ++i) table.visible_[table.entries_[i].mountPoint] = i;
  return table;
}

const MountEntry* MountTable::At(std::string_view path) const {
  const auto it = visible_.find(std::string(TrimTrailingSeparators(path)));
  return it == visible_.end() ? nullptr : &entries_[it->second];
}

std::string MountTable::MountPointOf(std::string_view path) const {
  std::string_view probe = TrimTrailingSeparators(path);
  while (!probe.empty()) {
    if (visible_.count(std::string(probe))) return std::string(probe);
    probe = ParentDir(probe);
  }
  return {};
}

DriveType MountTable::TypeOf(std::string_view rootPath, const System& system) const {
  const MountEntry* e = At(rootPath);
  if (e == nullptr) return DriveType::NotMounted;
  if (OneOf(e->fsType, kRemote) || LooksRemoteFuse(*e)) return DriveType::Remote;
  if (OneOf(e->fsType, kOptical)) return DriveType::Optical;
  if (OneOf(e->fsType, kRam)) return DriveType::RamDisk;
  if (OneOf(e->fsType, kOverlay)) return DriveType::Fixed;
  const bool onDevice = e->major != 0 && StartsWith(e->source, "/dev/");
  if (OneOf(e->fsType, kBlock) || (onDevice && !IsPseudoFileSystem(e->fsType))) {
    // Some file systems (btrfs, zfs) report an anonymous device number: nothing to ask.
    if (e->major != 0 && system.IsRemovableDevice(e->major, e->minor)) return DriveType::Removable;
    return DriveType::Fixed;
  }
  return DriveType::Unknown;
}

bool IsSystemMountPoint(std::string_view point) {
  const auto under = [point](std::string_view dir) {
    return StartsWith(point, dir) && (point.size() == dir.size() || point[dir.size()] == kSeparator);
  };
  // Desktop sessions mount removable media under /run/media/<user>.
  if (under("/run/media") && point.size() > std::string_view("/run/media/").size()) return false;
  return under("/proc") || under("/sys") || under("/dev") || under("/run");
}

Drive DriveOf(const MountEntry& entry) { return Drive{entry.mountPoint, entry.source, entry.fsType, entry.id}; }

std::vector<Drive> MountTable::Drives() const {
  std::vector<const MountEntry*> drives;
  for (const auto& [point, index] : visible_) {
    const MountEntry& e = entries_[index];
    // A squashfs is a read-only package or live image, never a drive anyone fills.
    if (!IsPseudoFileSystem(e.fsType) && !IsSystemMountPoint(point) && e.fsType != "squashfs")
      drives.push_back(&e);
  }
  std::sort(drives.begin(), drives.end(), [](const MountEntry* a, const MountEntry* b) {
    // "/" sorts first by itself: no other mount point is a prefix of it.
    return a->mountPoint < b->mountPoint;
  });
  std::vector<Drive> out;
  out.reserve(drives.size());
  for (const MountEntry* e : drives) out.push_back(DriveOf(*e));
  return out;
}

std::string DriveText(const Drive& drive, const System& system) {
  std::string name;
  if (StartsWith(drive.source, "/dev/")) {
    name = system.VolumeLabel(drive.source);
    if (name.empty()) name = drive.source.substr(drive.source.rfind(kSeparator) + 1);
  } else {
    name = drive.source.empty() ? drive.fsType : drive.source;
  }
  // Brackets inside the name would make the text ambiguous to read.
  std::replace(name.begin(), name.end(), '[', '(');
  std::replace(name.begin(), name.end(), ']', ')');
  return drive.root + " [" + name + "]";
}

DriveType DriveTypeOf(const System& system, std::string_view rootPath) {
  return MountTable::Read(system).TypeOf(rootPath, system);
}

bool StillMounted(const System& system, const Drive& drive) {
  if (drive.mountId < 0) return true;
  const std::string text = system.MountTableText();
  if (text.empty()) return true;
  const MountTable table = MountTable::Parse(text);
  const MountEntry* now = table.At(drive.root);
  return now != nullptr && now->id == drive.mountId;
}

namespace {

// The failures of a look at a drive's root that mean the drive cannot be used now.
bool MeansUnavailable(int error) {
  switch (error) {
    case EIO:
    case ENOENT:
    case ENOTDIR:
    case ESTALE:
    case ENOTCONN:
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
      return true;
    default:
      return false;
  }
}

}  // namespace

DriveCheck CheckDrive(const System& system, const std::string& rootPath, std::chrono::milliseconds wait) {
  const DriveType type = DriveTypeOf(system, rootPath);
  if (type != DriveType::Fixed) return {type, type == DriveType::NotMounted};
  // lstat, never following a link, on a thread of its own: a look that never comes back is left
  // to itself, holding only its copy of the path and its answer.
  const detached::Answer<int> look([root = rootPath] {
    struct stat st {};
    return ::lstat(root.c_str(), &st) == 0 ? 0 : errno;
  });
  const std::optional<int> error = look.Within(wait);
  return {type, !error || MeansUnavailable(*error)};
}

MountWatch::~MountWatch() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace kvor::platform
