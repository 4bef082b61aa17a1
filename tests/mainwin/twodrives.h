#pragma once
// Two local hard drives made of temporary directories, through a mount table and space
// figures of our own; the program's folder lies on the first.
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/system.h"

namespace kvor::testing {

class TwoDrives : public platform::System {
 public:
  TwoDrives() {
    const std::string base = dir.path().toStdString();
    first = base + "/a_first";
    second = base + "/b_second";
    std::filesystem::create_directories(first + "/bin");
    std::filesystem::create_directories(second);
    table = "30 1 254:1 / " + first + " rw,relatime shared:1 - ext4 /dev/vdb1 rw\n" +
            "31 1 254:2 / " + second + " rw,relatime shared:2 - ext4 /dev/vdc1 rw\n";
  }

  std::string MountTableText() const override { return table; }
  bool GetDiskFreeSpace(const std::string&, platform::DiskFreeSpace& out) const override {
    out = space;
    return true;
  }
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return first + "/bin"; }

  static void MakeFile(const std::string& path, std::size_t bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
  }

  QTemporaryDir dir;
  std::string first, second, table;
  // 4 KB clusters; 400 MB of 1 GB in use.
  platform::DiskFreeSpace space{8, 512, 150'000, 250'000};
};

}  // namespace kvor::testing
