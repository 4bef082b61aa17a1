// The platform layer: the mount table and drives, path rules, the directories a walk has seen,
// and what the system layer reads from udev's and sysfs's folders.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "platform/mounts.h"
#include "platform/pathrules.h"
#include "platform/seendirs.h"
#include "tempdrive.h"

namespace kvor::platform {
namespace {

using namespace test;

// A desktop with a USB stick, a DVD, an NFS share and a container's view mixed in;
// "/" comes late, as it can after a pivot. One of a type nobody knows has a device number
// but no device path.
constexpr const char* kTable =
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n" "26 22 0:5 / /dev rw,nosuid shared:4 - devtmpfs udev rw\n"
    "28 26 0:25 / /dev/shm rw shared:6 - tmpfs tmpfs rw\n" "29 26 0:26 / /dev/shm rw - tmpfs shm2 rw\n"
    "30 22 8:3 / /home rw,relatime shared:30 master:7 - ext4 /dev/sda3 rw\n"
    "31 22 8:17 / /media/usb\\040stick rw - vfat /dev/sdb1 rw\n" "32 22 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
    "33 22 0:40 / /mnt/nfs rw - nfs4 server:/my\\040export rw\n" "34 22 0:41 / /run rw - tmpfs tmpfs rw\n"
    "35 30 8:3 /alice\\040data /srv/data rw - ext4 /dev/sda3 rw\n"
    "36 22 0:42 / /mnt/odd\\011tab\\012line\\134slash rw - ext4 /dev/sda4 rw\n"
    "37 22 0:43 /  /home2 rw - xfs /dev/sdc1 rw\n"  // fields apart by more than one blank
    "38 22 254:0 / /mnt/a\\040[b] rw - ext4 /dev/mapper/vg-data rw\n" "55 23 8:9 / /proc/x rw - ext4 /dev/sdi rw\n"
    "39 22 0:45 / /var/lib/box rw - overlay overlay rw\n" "40 22 0:46 / /mnt/sshfs rw - fuse.sshfs me@host:/srv rw\n"
    "41 22 0:47 / /mnt/ram rw - ramfs\n"  // no source: named by its type
    "42 22 7:0 / /mnt/disc\\040image ro - udf /dev/loop0 ro\n" "43 22 8:48 / /mnt/weird rw - fuse.mystery thing rw\n"
    "46 34 0:50 / /run/user/1000 rw - tmpfs tmpfs rw\n" "47 34 8:33 / /run/media/alice/STICK rw - vfat /dev/sdc1 rw\n"
    "48 22 7:1 / /snap/core/123 ro - squashfs /dev/loop1 ro\n" "49 22 0:51 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
    "50 22 8:49 / /devices rw - ext4 /dev/sde1 rw\n" "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "garbage line that is not a mount\n" "45 22 8:5 / /broken rw\n"
    "51 22 x:1 / /bad rw - ext4 /dev/sdf rw\n" "52 22 8:6 / /nofs rw shared:1 -\n"
    "53 22 8:7 / /nodash rw shared:1 ext4 /dev/sdg rw\n" "54 22 8:8 / relative rw - ext4 /dev/sdh rw\n";

struct TableSystem : System {
  std::string table;
  std::set<std::pair<unsigned, unsigned>> removable = {{8, 17}};

  explicit TableSystem(std::string text = kTable) : table(std::move(text)) {}

  std::string MountTableText() const override { return table; }
  bool IsRemovableDevice(unsigned major, unsigned minor) const override { return removable.count({major, minor}); }
  std::string VolumeLabel(const std::string& dev) const override {
    return dev == "/dev/sdb1" ? "HOLIDAY" : dev == "/dev/sda3" ? "odd [label]" : "";
  }
};

// The table read, each path's mount point found by whole path components, and the drives it
// holds with their types and texts.
TEST(MountTable, PointsDrivesTypesAndTexts) {
  TableSystem sys;
  MountTable table;  // the lookup index travels with the entries when they move
  table = MountTable::Read(sys);
  // A bind mount's root, the last mount at a point (the one seen), a device.
  EXPECT_EQ(std::tuple(table.At("/srv/data")->root, table.At("/dev/shm/")->id, table.At("/home")->major, table.At("/home")->minor),
            std::tuple("/alice data", 29, 8u, 3u));
  for (const char* notEscape : {"x\\04", "x\\089y", "\\", "\\400"}) EXPECT_EQ(DecodeMountField(notEscape), notEscape);
  EXPECT_EQ(DecodeMountField("\\134040\\101"), "\\040A");  // decoded once, never twice
  EXPECT_EQ(DecodeMountField(std::string_view("x\\0401", 4)), "x\\04");  // the field ends where it ends
  const std::pair<const char*, const char*> owners[] = {
      {"/home2/x", "/home2"}, {"/home/alice/file", "/home"}, {"/home/", "/home"}, {"/homework", "/"}, {"/", "/"},
      {"/dev/shmem", "/dev"}, {"/dev/shm/a", "/dev/shm"}, {"/media/usb", "/"}, {"/media/usb stick/p", "/media/usb stick"},
      {"/mnt/a [b]/x", "/mnt/a [b]"}, {"/mnt/disc image/x", "/mnt/disc image"},
      {"/mnt/odd\ttab\nline\\slash/x", "/mnt/odd\ttab\nline\\slash"}};
  for (const auto& [path, point] : owners) EXPECT_EQ(table.MountPointOf(path), point) << path;
  EXPECT_EQ(MountTable().MountPointOf("/home"), "");

  using enum DriveType;
  // No /dev/shm, /run, /run/user/..., /sys/... or snap image; removable media under /run/media
  // and names that merely begin like a system folder stay. Each drive's text leads back to its
  // root path, odd names included.
  std::vector<std::pair<std::string, DriveType>> drives;
  for (const Drive& d : table.Drives()) drives.emplace_back(DriveText(d, sys), table.TypeOf(d.root, sys));
  EXPECT_EQ(drives, (std::vector<std::pair<std::string, DriveType>>{
                        {"/ [sda2]", Fixed}, {"/devices [sde1]", Fixed}, {"/home [odd (label)]", Fixed},
                        {"/home2 [sdc1]", Fixed}, {"/media/cdrom [sr0]", Optical}, {"/media/usb stick [HOLIDAY]", Removable},
                        {"/mnt/a [b] [vg-data]", Fixed}, {"/mnt/disc image [loop0]", Optical},
                        {"/mnt/nfs [server:/my export]", Remote}, {"/mnt/odd\ttab\nline\\slash [sda4]", Fixed},
                        {"/mnt/ram [ramfs]", RamDisk}, {"/mnt/sshfs [me@host:/srv]", Remote}, {"/mnt/weird [thing]", Unknown},
                        {"/run/media/alice/STICK [sdc1]", Fixed}, {"/srv/data [odd (label)]", Fixed},
                        {"/var/lib/box [overlay]", Fixed}}));
  for (const auto& [path, type] : {std::pair{"/run", RamDisk}, {"/proc", Unknown}, {"/home/alice", NotMounted}, {"", NotMounted}})
    EXPECT_EQ(table.TypeOf(path, sys), type) << path;
  // The removable flag decides for block devices only.
  sys.removable = {{8, 2}, {0, 41}, {11, 0}};
  for (const auto& [path, type] : {std::pair{"/", Removable}, {"/media/usb stick", Fixed}, {"/run", RamDisk}, {"/media/cdrom", Optical}})
    EXPECT_EQ(table.TypeOf(path, sys), type) << path;

  // DriveTypeOf reads the table afresh on every call, and so does StillMounted: a drive is the
  // mount it was while that mount is the one seen at its root.
  const Drive home = DriveOf(*table.At("/home")), covered{"/dev/shm", "tmpfs", "tmpfs", 28};
  const std::string rootOnly = "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n";
  EXPECT_EQ(std::pair(DriveTypeOf(sys, "/home"), DriveTypeOf(TableSystem(rootOnly), "/home")),
            std::pair(Fixed, NotMounted));
  const std::tuple<std::string, Drive, bool> mounted[] = {
      {kTable, home, true}, {kTable, covered, false}, {rootOnly, home, false}, {"", home, true},
      {rootOnly, Drive{"/home", "", "", -1}, true}, {rootOnly + "99 1 8:9 / /home rw - ext4 /dev/sdb1 rw\n", home, false}};
  for (const auto& [text, drive, still] : mounted) EXPECT_EQ(StillMounted(TableSystem(text), drive), still) << text;
}

TEST(PathRules, AppendAndNormalise) {
  std::string root = "/", dir = "/usr", none;
  AppendName(root, "usr"), AppendName(dir, "b"), AppendName(none, "c");
  EXPECT_EQ(root + dir + none, "/usr/usr/b/c");
  // With no working directory to go by (""), a relative path stays relative.
  const std::tuple<const char*, const char*, const char*> paths[] = {
      {"a/./b//c/", "/w/d", "/w/d/a/b/c"}, {"/x/../..", "/w/d", "/"}, {"", "/w/d", "/w/d"}, {"../../../y", "/w/d", "/y"},
      {"/a/b/../c", "/w/d", "/a/c"}, {"a/./b//c/", "", "a/b/c"}, {"", "", "."}, {"./a/..", "", "."},
      {"../../y/../z", "", "../../z"}, {"a/../../b", "", "../b"}, {"/x/../y", "", "/y"}};
  for (const auto& [path, cwd, normal] : paths) EXPECT_EQ(NormalisePath(path, cwd), normal) << path << " in " << cwd;
}

// The machine's own: its mount table, program folder and space queries; then, in a mount
// namespace of its own where tmpfs over /dev and /sys hides the machine's, a RAM disk's type,
// text and space, and labels and removable flags where udev and sysfs put them.
TEST(System, TheMachineAndUdevAndSysfsOfItsOwn) {
  const System& sys = LocalSystem();
  EXPECT_EQ(std::pair(MountTable::Read(sys).Drives().at(0).root, std::filesystem::is_directory(sys.ProgramFolder())),
            std::pair(std::string("/"), true));
  SpaceFigures space;
  // Not through a symlink (this one links to "/"), a path that is not there, or a descriptor
  // that is not open.
  EXPECT_FALSE(sys.QuerySpace("/proc/self/root", space) || sys.QuerySpace("/no/such", space) || sys.QuerySpaceOf(-1, space));
  const std::string out = RunInChild([] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("kvortest", "/dev", "tmpfs", 0, "size=1m") != 0 || ::mount("kvortest", "/sys", "tmpfs", 0, nullptr) != 0)
      ::_exit(0);
  }, [&] {
    SpaceFigures dev;
    const bool queried = sys.QuerySpace("/dev", dev) && dev.freeBlocks == dev.totalBlocks;  // free: every unused block
    std::string said = Text(queried, dev.blockSize * dev.totalBlocks, DriveTypeOf(sys, "/dev") == DriveType::RamDisk) +
                       DriveText(DriveOf(*MountTable::Read(sys).At("/dev")), sys);
    for (const char* dir : {"/dev/disk/by-label", "/sys/dev/block", "/sys/d/sda/sda1", "/sys/d/sdb", "/sys/d/sr0"})
      std::filesystem::create_directories(dir);
    for (const char* dev : {"/dev/sda1", "/dev/sdb", "/dev/sr0"}) MakeFile(dev, 0);
    // Escapes decoded where whole; a backslash without x, or an x without a backslash, stays.
    std::filesystem::create_symlink("../../sda1", "/dev/disk/by-label/My\\x20Disk\\x2fA\\xZZ\\y41Ox41\\x4");
    std::filesystem::create_symlink("/dev/sdb", "/dev/disk/by-label/Ab\\x3a\\x3A\\x7e\\x39\\x30\\x4F\\x4f\\x09");
    for (const auto& [link, to] : {std::pair{"8:1", "sda/sda1"}, {"8:16", "sdb"}, {"11:0", "sr0"}})
      std::filesystem::create_symlink(std::string("../../d/") + to, std::string("/sys/dev/block/") + link);
    for (const auto& [file, text] : {std::pair{"/sys/d/sda/removable", "1\n"}, {"/sys/d/sda/sda1/partition", "1\n"},
                                     {"/sys/d/sda/sda1/removable", "0\n"}, {"/sys/d/sdb/removable", "0\n"},
                                     {"/sys/d/sr0/removable", "1"}})
      std::ofstream(file) << text;
    // Each device's label and removable flag.
    for (const auto& [device, major, minor] :
         {std::tuple{"/dev/sda1", 8u, 1u}, {"/dev/sdb", 8u, 16u}, {"/dev/sr0", 11u, 0u}, {"/dev/none", 9u, 9u}})
      said += "|" + sys.VolumeLabel(device) + (sys.IsRemovableDevice(major, minor) ? " 1" : " 0");
    return said;
  });
  if (out.empty()) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(out, "1 1048576 1 /dev [kvortest]|My Disk/A\\xZZ\\y41Ox41\\x4 1|Ab::~90OO\t 0| 1| 0");
}

// Each directory is new once: on two devices, past several growths of the table, with
// inodes beyond 32 bits and the inode 0.
TEST(SeenDirs, EachDirectoryIsNewOnce) {
  SeenDirs seen;
  const auto inode = [](uint64_t i) { return i % 3 == 0 ? i : i % 3 == 1 ? (i << 32) + 7 : ~i; };
  for (uint64_t i = 0; i < 200000; ++i)  // 50,000 inodes on each device, then all of them again
    ASSERT_EQ(seen.Add(8 + i % 2, inode(i / 2 % 50000)), i < 100000) << i;
  seen.Clear();
  EXPECT_TRUE(seen.Add(8, 0));
}

}  // namespace
}  // namespace kvor::platform
