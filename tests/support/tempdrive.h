#pragma once
// Test helpers: temporary directory trees, and a system whose space figures the test gives,
// so that any temporary directory can play a drive.
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace kvor::test {

// A temporary directory, removed with everything below it (permissions restored first).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view relative) const { return path_ + "/" + std::string(relative); }

 private:
  std::string path_;
};

void MakeDir(const std::string& path);
// A file of `size` bytes; sizes beyond a few KiB are made sparse.
void MakeFile(const std::string& path, uint64_t size);
void MakeSymlink(const std::string& target, const std::string& path);

// Space figures chosen by the test; the mount table is the machine's unless one is given.
class FakeSystem : public platform::System {
 public:
  platform::DiskFreeSpace figures{1, 4096, 1000, 100000};
  bool queryFails = false;
  std::string mountTable;  // empty: the machine's

  bool GetDiskFreeSpace(const std::string&, platform::DiskFreeSpace& out) const override {
    return GetDiskFreeSpaceOf(-1, out);
  }
  bool GetDiskFreeSpaceOf(int, platform::DiskFreeSpace& out) const override {
    out = {};
    if (queryFails) {
      errno = EIO;
      return false;
    }
    out = figures;
    return true;
  }
  std::string MountTableText() const override {
    return mountTable.empty() ? platform::System::MountTableText() : mountTable;
  }
};

// Descriptors this process has open (0 when it has none to spare for looking).
int OpenDescriptors();

// Whether this process may mount file systems (tests that need it skip otherwise).
bool CanMount();

}  // namespace kvor::test
