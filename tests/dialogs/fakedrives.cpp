#include "fakedrives.h"

#include <QDir>
#include <QFile>
#include <filesystem>

namespace kvor::testing {

FakeDrives::FakeDrives() {
  const std::string base = dir.path().toStdString();
  // Named so the drive list's order (by mount point) is this one.
  fixed1 = base + "/a_fixed";
  fixed2 = base + "/b_fixed";
  ram = base + "/c_ram";
  net = base + "/d_net";
  cd = base + "/e_cd";
  gone = base + "/f_gone";
  for (const auto* root : {&fixed1, &fixed2, &ram, &net, &cd, &gone})
    std::filesystem::create_directories(*root);
  programFolder = fixed1 + "/bin";
  std::filesystem::create_directories(programFolder);

  table = "30 1 254:1 / " + fixed1 + " rw,relatime shared:1 - ext4 /dev/vdb1 rw\n" +
          "31 1 254:2 / " + fixed2 + " rw,relatime shared:2 - ext4 /dev/vdc1 rw\n" +
          "32 1 0:40 / " + ram + " rw,nosuid - tmpfs tmpfs rw,size=65536k\n" +
          "33 1 0:41 / " + net + " rw,relatime - nfs4 server:/export rw,vers=4.2\n" +
          "34 1 11:0 / " + cd + " ro,relatime - iso9660 /dev/sr0 ro\n" +
          "35 1 254:3 / " + gone + " rw,relatime - ext4 /dev/vdd1 rw\n";

  // 4 KB clusters; 400 MB of 1 GB in use.
  const platform::DiskFreeSpace standard{8, 512, 150'000, 250'000};
  for (const auto* root : {&fixed1, &fixed2, &ram, &net, &cd, &gone}) space[*root] = standard;
}

bool FakeDrives::GetDiskFreeSpace(const std::string& rootPath, platform::DiskFreeSpace& out) const {
  std::string root = rootPath;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const auto it = space.find(root);
  if (it == space.end()) return false;
  out = it->second;
  return true;
}

void FakeDrives::Vanish() const { std::filesystem::remove_all(gone); }

void FakeDrives::Unmount(const std::string& root) {
  std::string kept;
  std::size_t pos = 0;
  while (pos < table.size()) {
    const std::size_t end = table.find('\n', pos);
    const std::string line = table.substr(pos, end - pos);
    if (line.find(" " + root + " ") == std::string::npos) kept += line + "\n";
    pos = end == std::string::npos ? table.size() : end + 1;
  }
  table = kept;
}

void FakeDrives::MakeDir(const std::string& root, const std::string& relative, int bytes) {
  const std::string path = root + "/" + relative;
  std::filesystem::create_directories(path);
  if (bytes > 0) {
    QFile file(QString::fromStdString(path + "/data.bin"));
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray(bytes, 'x'));
  }
}

}  // namespace kvor::testing
