#pragma once
// A machine made of temporary directories: each one is mounted, as far as the program can
// tell, through a mount table we write ourselves.
#include <QTemporaryDir>
#include <map>
#include <string>

#include "platform/system.h"

namespace kvor::testing {

class FakeDrives : public platform::System {
 public:
  FakeDrives();

  std::string MountTableText() const override { return table; }
  bool GetDiskFreeSpace(const std::string& rootPath, platform::DiskFreeSpace& out) const override;
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return programFolder; }

  // Removes the directory of `gone`, so its root no longer answers.
  void Vanish() const;
  // Drops `root` from the mount table.
  void Unmount(const std::string& root);
  // Creates `relative` (and its parents) below `root`, with one file of `bytes` in it.
  static void MakeDir(const std::string& root, const std::string& relative, int bytes = 0);

  QTemporaryDir dir;
  std::string fixed1, fixed2, ram, net, cd, gone;
  std::string programFolder;  // inside fixed1
  std::string table;
  // Space figures by root; a root not listed fails its query.
  std::map<std::string, platform::DiskFreeSpace> space;
};

}  // namespace kvor::testing
