#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "platform/mounts.h"
#include "platform/pathrules.h"
#include "platform/system.h"

namespace kvor::platform {
namespace {

// Taken from a desktop with a USB stick, a DVD, an NFS share and a container's view mixed in.
constexpr const char* kTable =
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "24 22 0:22 / /sys rw,nosuid shared:2 - sysfs sysfs rw\n"
    "25 24 0:23 / /sys/fs/cgroup rw shared:3 - cgroup2 cgroup2 rw\n"
    "26 22 0:5 / /dev rw,nosuid shared:4 - devtmpfs udev rw,size=8000k\n"
    "27 26 0:24 / /dev/pts rw shared:5 - devpts devpts rw\n"
    "28 26 0:25 / /dev/shm rw shared:6 - tmpfs tmpfs rw\n"
    "29 26 0:26 / /dev/shm rw - tmpfs shm2 rw\n"
    "30 22 8:3 / /home rw,relatime shared:30 master:7 - ext4 /dev/sda3 rw\n"
    "31 22 8:17 / /media/usb\\040stick rw - vfat /dev/sdb1 rw\n"
    "32 22 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
    "33 22 0:40 / /mnt/nfs rw - nfs4 server:/export rw\n"
    "34 22 0:41 / /run rw - tmpfs tmpfs rw\n"
    "35 30 8:3 /alice/data /srv/data rw - ext4 /dev/sda3 rw\n"
    "36 22 0:42 / /mnt/odd\\011tab\\012line\\134slash rw - ext4 /dev/sda4 rw\n"
    "37 22 0:43 / /home2 rw - xfs /dev/sdc1 rw\n"
    "38 22 0:44 / /proc/sys/fs/binfmt_misc rw - binfmt_misc binfmt_misc rw\n"
    "39 22 0:45 / /var/lib/box rw - overlay overlay rw,lowerdir=/a\n"
    "40 22 0:46 / /mnt/sshfs rw - fuse.sshfs me@host:/srv rw\n"
    "41 22 0:47 / /mnt/ram rw - ramfs ramfs rw\n"
    "42 22 7:0 / /mnt/disc\\040image ro - udf /dev/loop0 ro\n"
    "43 22 0:48 / /mnt/weird rw - fuse.mystery thing rw\n"
    "44 22 0:49 / /mnt/pool rw - btrfs /dev/sdd1 rw\n"
    "garbage line that is not a mount\n"
    "45 22 8:5 / /broken rw\n";

// A machine whose mount table and devices the test decides.
class FakeSystem : public System {
 public:
  std::string table = kTable;
  std::set<std::pair<unsigned, unsigned>> removable = {{8, 17}};
  std::map<std::string, std::string> labels;

  std::string MountTableText() const override { return table; }
  bool IsRemovableDevice(unsigned major, unsigned minor) const override {
    return removable.count({major, minor}) > 0;
  }
  std::string VolumeLabel(const std::string& device) const override {
    const auto it = labels.find(device);
    return it == labels.end() ? std::string() : it->second;
  }
};

TEST(MountTableParse, ReadsFieldsAroundOptionalFieldsAndSkipsMalformedLines) {
  const auto table = MountTable::Parse(kTable);
  ASSERT_EQ(table.Entries().size(), 23u);

  const MountEntry* home = table.At("/home");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(home->id, 30);
  EXPECT_EQ(home->parentId, 22);
  EXPECT_EQ(home->major, 8u);
  EXPECT_EQ(home->minor, 3u);
  EXPECT_EQ(home->root, "/");
  EXPECT_EQ(home->fsType, "ext4");
  EXPECT_EQ(home->source, "/dev/sda3");

  const MountEntry* bind = table.At("/srv/data");
  ASSERT_NE(bind, nullptr);
  EXPECT_EQ(bind->root, "/alice/data");

  EXPECT_EQ(table.At("/broken"), nullptr);
}

TEST(MountTableParse, DecodesOctalEscapes) {
  EXPECT_EQ(DecodeMountField("a\\040b\\011c\\012d\\134e"), "a b\tc\nd\\e");
  // Not an escape: too short, not octal, or running off the end.
  EXPECT_EQ(DecodeMountField("x\\04"), "x\\04");
  EXPECT_EQ(DecodeMountField("x\\089y"), "x\\089y");
  EXPECT_EQ(DecodeMountField("\\"), "\\");
  EXPECT_EQ(DecodeMountField("\\134040"), "\\040");  // decoded once, never twice

  const auto table = MountTable::Parse(kTable);
  EXPECT_NE(table.At("/media/usb stick"), nullptr);
  EXPECT_NE(table.At("/mnt/odd\ttab\nline\\slash"), nullptr);
  EXPECT_EQ(table.At("/media/usb\\040stick"), nullptr);

  const auto spaced = MountTable::Parse("1 0 8:1 /a\\040b /mnt/x rw - nfs host:/my\\040share rw\n");
  ASSERT_EQ(spaced.Entries().size(), 1u);
  EXPECT_EQ(spaced.Entries()[0].root, "/a b");
  EXPECT_EQ(spaced.Entries()[0].source, "host:/my share");
}

TEST(MountTableParse, LastMountAtAPointIsTheVisibleOne) {
  const auto table = MountTable::Parse(kTable);
  const MountEntry* shm = table.At("/dev/shm");
  ASSERT_NE(shm, nullptr);
  EXPECT_EQ(shm->id, 29);
  EXPECT_EQ(table.At("/dev/shm/"), shm);
  EXPECT_EQ(table.At("/"), &table.Entries()[0]);
  EXPECT_EQ(table.At("/dev/sh"), nullptr);
  EXPECT_FALSE(table.IsMountPoint("/usr"));
}

TEST(MountTableParse, EmptyAndCopiedTables) {
  const MountTable none;
  EXPECT_EQ(none.At("/"), nullptr);
  EXPECT_EQ(none.MountPointOf("/home"), "");
  EXPECT_TRUE(none.MountedNamesIn("/").empty());
  EXPECT_TRUE(MountTable::Parse("").Drives().empty());

  // The lookup index must travel with the entries.
  MountTable copy;
  {
    const auto original = MountTable::Parse(kTable);
    copy = original;
  }
  ASSERT_NE(copy.At("/home"), nullptr);
  EXPECT_EQ(copy.At("/home")->source, "/dev/sda3");
  EXPECT_EQ(copy.MountPointOf("/home/alice"), "/home");
  MountTable moved = std::move(copy);
  EXPECT_EQ(moved.MountedNamesIn("/media"), (std::vector<std::string>{"cdrom", "usb stick"}));
}

TEST(MountTableLookup, MountPointOfStopsOnComponentBoundaries) {
  const auto table = MountTable::Parse(kTable);
  EXPECT_EQ(table.MountPointOf("/home2/x"), "/home2");
  EXPECT_EQ(table.MountPointOf("/home/alice/file"), "/home");
  EXPECT_EQ(table.MountPointOf("/home/"), "/home");
  EXPECT_EQ(table.MountPointOf("/homework"), "/");
  EXPECT_EQ(table.MountPointOf("/dev/shmem"), "/dev");
  EXPECT_EQ(table.MountPointOf("/dev/shm/a"), "/dev/shm");
  EXPECT_EQ(table.MountPointOf("/media/usb stick/photos"), "/media/usb stick");
  EXPECT_EQ(table.MountPointOf("/media/usb"), "/");
  EXPECT_EQ(table.MountPointOf("/"), "/");
}

TEST(MountTableLookup, MountedNamesInListsDirectChildrenOnce) {
  const auto table = MountTable::Parse(kTable);
  EXPECT_EQ(table.MountedNamesIn("/"),
            (std::vector<std::string>{"dev", "home", "home2", "proc", "run", "sys"}));
  // /dev/shm is mounted twice but is one directory.
  EXPECT_EQ(table.MountedNamesIn("/dev"), (std::vector<std::string>{"pts", "shm"}));
  EXPECT_EQ(table.MountedNamesIn("/mnt"),
            (std::vector<std::string>{"disc image", "nfs", "odd\ttab\nline\\slash", "pool", "ram",
                                      "sshfs", "weird"}));
  EXPECT_EQ(table.MountedNamesIn("/srv"), std::vector<std::string>{"data"});
  EXPECT_TRUE(table.MountedNamesIn("/home").empty());
  EXPECT_TRUE(table.MountedNamesIn("/proc").empty());  // binfmt_misc sits deeper
  EXPECT_EQ(table.MountedNamesIn("/proc/sys/fs"), std::vector<std::string>{"binfmt_misc"});
}

TEST(MountTableTypes, EachKindOfFileSystem) {
  FakeSystem sys;
  const auto table = MountTable::Read(sys);
  EXPECT_EQ(table.TypeOf("/", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/home", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/srv/data", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/var/lib/box", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/mnt/pool", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/media/usb stick", sys), DRIVE_REMOVABLE);
  EXPECT_EQ(table.TypeOf("/media/cdrom", sys), DRIVE_CDROM);
  EXPECT_EQ(table.TypeOf("/mnt/disc image", sys), DRIVE_CDROM);
  EXPECT_EQ(table.TypeOf("/mnt/nfs", sys), DRIVE_REMOTE);
  EXPECT_EQ(table.TypeOf("/mnt/sshfs", sys), DRIVE_REMOTE);
  EXPECT_EQ(table.TypeOf("/run", sys), DRIVE_RAMDISK);
  EXPECT_EQ(table.TypeOf("/dev/shm", sys), DRIVE_RAMDISK);
  EXPECT_EQ(table.TypeOf("/mnt/weird", sys), DRIVE_UNKNOWN);
  EXPECT_EQ(table.TypeOf("/proc", sys), DRIVE_UNKNOWN);
  EXPECT_EQ(table.TypeOf("/home/alice", sys), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(table.TypeOf("/nowhere", sys), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(table.TypeOf("", sys), DRIVE_NO_ROOT_DIR);
}

TEST(MountTableTypes, RemovableFlagDecidesForBlockDevicesOnly) {
  FakeSystem sys;
  sys.removable = {{8, 2}, {0, 41}, {11, 0}};
  const auto table = MountTable::Read(sys);
  EXPECT_EQ(table.TypeOf("/", sys), DRIVE_REMOVABLE);
  EXPECT_EQ(table.TypeOf("/media/usb stick", sys), DRIVE_FIXED);
  EXPECT_EQ(table.TypeOf("/run", sys), DRIVE_RAMDISK);
  EXPECT_EQ(table.TypeOf("/media/cdrom", sys), DRIVE_CDROM);

  // GetDriveType reads the table afresh on every call.
  EXPECT_EQ(GetDriveType(sys, "/"), DRIVE_REMOVABLE);
  sys.table = "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n";
  EXPECT_EQ(GetDriveType(sys, "/home"), DRIVE_NO_ROOT_DIR);
}

TEST(MountTableDrives, RealFileSystemsRootFirstEachPointOnce) {
  const auto table = MountTable::Parse(kTable);
  std::vector<std::string> points;
  for (const MountEntry* e : table.Drives()) points.push_back(e->mountPoint);
  EXPECT_EQ(points, (std::vector<std::string>{
                        "/", "/dev/shm", "/home", "/home2", "/media/cdrom", "/media/usb stick",
                        "/mnt/disc image", "/mnt/nfs", "/mnt/odd\ttab\nline\\slash", "/mnt/pool",
                        "/mnt/ram", "/mnt/sshfs", "/mnt/weird", "/run", "/srv/data",
                        "/var/lib/box"}));
  for (const MountEntry* e : table.Drives()) {
    if (e->mountPoint == "/dev/shm") {
      EXPECT_EQ(e->id, 29);
    }
  }

  // "/" first even when the table lists it late and names sort below "/".
  const auto late = MountTable::Parse(
      "5 1 0:30 / /!bang rw - tmpfs tmpfs rw\n"
      "6 1 0:31 / /\\040lead rw - tmpfs tmpfs rw\n"
      "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n");
  ASSERT_EQ(late.Drives().size(), 3u);
  EXPECT_EQ(late.Drives().front()->mountPoint, "/");
}

TEST(MountTableDrives, PseudoFileSystems) {
  for (const char* fs : {"proc", "sysfs", "cgroup2", "devpts", "autofs", "devtmpfs"})
    EXPECT_TRUE(IsPseudoFileSystem(fs)) << fs;
  for (const char* fs : {"ext4", "tmpfs", "ramfs", "nfs", "overlay", "vfat", "iso9660", ""})
    EXPECT_FALSE(IsPseudoFileSystem(fs)) << fs;
}

TEST(MountTableDrives, DriveTextNamesLabelOrDeviceAndReadsBack) {
  FakeSystem sys;
  sys.labels["/dev/sdb1"] = "HOLIDAY";
  sys.labels["/dev/sda3"] = "odd [label]";
  const auto table = MountTable::Read(sys);
  EXPECT_EQ(DriveText(*table.At("/"), sys), "/ [sda2]");
  EXPECT_EQ(DriveText(*table.At("/media/usb stick"), sys), "/media/usb stick [HOLIDAY]");
  EXPECT_EQ(DriveText(*table.At("/run"), sys), "/run [tmpfs]");
  EXPECT_EQ(DriveText(*table.At("/mnt/nfs"), sys), "/mnt/nfs [server:/export]");
  EXPECT_EQ(DriveText(*table.At("/dev/shm"), sys), "/dev/shm [shm2]");

  MountEntry mapper;
  mapper.mountPoint = "/data";
  mapper.source = "/dev/mapper/vg-data";
  EXPECT_EQ(DriveText(mapper, sys), "/data [vg-data]");
  MountEntry nameless;
  nameless.mountPoint = "/x";
  nameless.fsType = "ramfs";
  EXPECT_EQ(DriveText(nameless, sys), "/x [ramfs]");

  // Every drive's text leads back to its root path, odd names included.
  for (const MountEntry* e : table.Drives())
    EXPECT_EQ(DriveRootFromText(DriveText(*e, sys)), e->mountPoint);
  MountEntry bracketed;
  bracketed.mountPoint = "/mnt/a [b]";
  bracketed.source = "/dev/sde1";
  EXPECT_EQ(DriveRootFromText(DriveText(bracketed, sys)), "/mnt/a [b]");
}

// The real machine, through its own mount table.
TEST(LocalSystem, RootIsADriveWithFigures) {
  const System& sys = LocalSystem();
  const auto table = MountTable::Read(sys);
  ASSERT_NE(table.At("/"), nullptr);
  ASSERT_FALSE(table.Drives().empty());
  EXPECT_EQ(table.Drives().front()->mountPoint, "/");
  EXPECT_EQ(table.MountPointOf("/proc/self"), "/proc");

  DiskFreeSpace space;
  ASSERT_TRUE(sys.GetDiskFreeSpace("/", space));
  EXPECT_EQ(space.sectorsPerCluster, 1);
  EXPECT_GT(space.bytesPerSector, 0);
  EXPECT_GT(space.totalClusters, 0);
  EXPECT_LE(space.freeClusters, space.totalClusters);

  EXPECT_FALSE(sys.GetDiskFreeSpace("/no/such/directory", space));
  EXPECT_EQ(space.bytesPerSector, 0);
  EXPECT_EQ(space.totalClusters, 0);

  const std::string folder = sys.ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  struct stat st {};
  EXPECT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(LocalSystem, SpaceQueryDoesNotFollowSymlinks) {
  char pattern[] = "/tmp/kvor-link-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string link = dir + "/link";
  ASSERT_EQ(::symlink("/", link.c_str()), 0);
  DiskFreeSpace space;
  EXPECT_FALSE(LocalSystem().GetDiskFreeSpace(link, space));
  EXPECT_TRUE(LocalSystem().GetDiskFreeSpace(dir, space));
  std::filesystem::remove_all(dir);
}

// Real mounts need root; where mounting is refused the cases skip.
class RealMount : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kvor-mount-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    point_ = dir_ + "/point";
    ASSERT_EQ(::mkdir(point_.c_str(), 0755), 0);
  }
  void TearDown() override {
    if (mounted_) ::umount2(point_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string dir_;
  std::string point_;
  bool mounted_ = false;
};

TEST_F(RealMount, TmpfsIsARamDiskOfItsSize) {
  if (::mount("kvortest", point_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  mounted_ = true;

  const System& sys = LocalSystem();
  const auto table = MountTable::Read(sys);
  const MountEntry* e = table.At(point_);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->fsType, "tmpfs");
  EXPECT_EQ(table.TypeOf(point_, sys), DRIVE_RAMDISK);
  EXPECT_EQ(GetDriveType(sys, point_), DRIVE_RAMDISK);
  EXPECT_EQ(table.MountPointOf(point_ + "/sub/file"), point_);
  EXPECT_EQ(table.MountedNamesIn(dir_), std::vector<std::string>{"point"});
  EXPECT_EQ(DriveText(*e, sys), point_ + " [kvortest]");

  DiskFreeSpace space;
  ASSERT_TRUE(sys.GetDiskFreeSpace(point_, space));
  const int64_t total = space.sectorsPerCluster * space.bytesPerSector * space.totalClusters;
  EXPECT_EQ(total, 1 << 20);
  EXPECT_EQ(space.freeClusters, space.totalClusters);
}

TEST_F(RealMount, LoopExt4ImageIsAFixedDrive) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string image = dir_ + "/disk.img";
  const std::string make = "mkfs.ext4 -q -F -L KVORDISK -b 4096 " + image + " 8M >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkfs.ext4 not available";
  const std::string mountCmd = "mount -o loop " + image + " " + point_ + " >/dev/null 2>&1";
  if (std::system(mountCmd.c_str()) != 0) GTEST_SKIP() << "loop mount refused";
  mounted_ = true;

  const System& sys = LocalSystem();
  const auto table = MountTable::Read(sys);
  const MountEntry* e = table.At(point_);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->fsType, "ext4");
  EXPECT_EQ(e->major, 7u);  // loop devices are never removable
  EXPECT_FALSE(sys.IsRemovableDevice(e->major, e->minor));
  EXPECT_EQ(table.TypeOf(point_, sys), DRIVE_FIXED);

  DiskFreeSpace space;
  ASSERT_TRUE(sys.GetDiskFreeSpace(point_, space));
  EXPECT_EQ(space.sectorsPerCluster, 1);
  EXPECT_EQ(space.bytesPerSector, 4096);
  // ext4 leaves its journal and metadata out of the total.
  EXPECT_LE(space.totalClusters, 2048);
  EXPECT_GT(space.totalClusters, 512);
  EXPECT_LT(space.freeClusters, space.totalClusters);

  struct statvfs st {};
  ASSERT_EQ(::statvfs(point_.c_str(), &st), 0);
  EXPECT_EQ(space.totalClusters, static_cast<int64_t>(st.f_blocks));
  EXPECT_EQ(space.freeClusters, static_cast<int64_t>(st.f_bfree));
}

}  // namespace
}  // namespace kvor::platform
