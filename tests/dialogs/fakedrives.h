#pragma once
// A machine made of temporary directories, mounted (as far as the program can tell) through
// a mount table we write; and the program on it with its message boxes and end recorded.
#include <QTemporaryDir>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mainwin/app.h"
#include "platform/system.h"

namespace kvor::testing {

// Holds the scan's worker at a chosen path, as a drive that stops answering would, until the
// test lets it go. Only the first worker to arrive is held; later ones pass.
class Gate {
 public:
  // On the worker: the space query of a root and every directory before it is read pass here.
  void Pass(std::string_view path) {
    std::unique_lock lock(mutex_);
    if (at_.empty() || path != at_ || held_) return;
    held_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return released_; });
  }
  void Arm(std::string path) {
    std::lock_guard lock(mutex_);
    at_ = std::move(path);
  }
  // Returns once a worker is held.
  void WaitHeld() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string at_;
  bool held_ = false, released_ = false;
};

class FakeDrives : public platform::System {
 public:
  FakeDrives() {
    const std::string base = dir.path().toStdString() + "/";
    // Named so the drive list's order (by mount point) is this one.
    fixed1 = base + "a_fixed", fixed2 = base + "b_fixed", ram = base + "c_ram";
    net = base + "d_net", cd = base + "e_cd", gone = base + "f_gone";
    for (const auto* root : {&fixed2, &ram, &net, &cd, &gone}) std::filesystem::create_directories(*root);
    std::filesystem::create_directories(fixed1 + "/bin");
    programFolder = fixed1 + "/bin";
    table = "30 1 254:1 / " + fixed1 + " rw - ext4 /dev/vdb1 rw\n" +
            "31 1 254:2 / " + fixed2 + " rw - ext4 /dev/vdc1 rw\n" +
            "32 1 0:40 / " + ram + " rw - tmpfs tmpfs rw,size=65536k\n" +
            "33 1 0:41 / " + net + " rw - nfs4 server:/export rw\n" +
            "34 1 11:0 / " + cd + " ro - iso9660 /dev/sr0 ro\n" +
            "35 1 254:3 / " + gone + " rw - ext4 /dev/vdd1 rw\n";
  }

  std::string MountTableText() const override { return table; }
  bool GetDiskFreeSpace(const std::string& root, platform::DiskFreeSpace& out) const override {
    gate.Pass(root);
    out = {8, 512, 150'000, 250'000};  // 4 KB clusters; 400 MB of 1 GB in use
    return true;
  }
  // The root open at `fd`, by its path, so that a gate armed at a root holds this query too.
  bool GetDiskFreeSpaceOf(int fd, platform::DiskFreeSpace& out) const override {
    std::error_code error;
    const auto root = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return GetDiskFreeSpace(root.string(), out);
  }
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return programFolder; }

  void Unmount() { table.resize(table.find("35 1 ")); }  // drops `gone`, the last line
  static void MakeFile(const std::string& path, std::size_t bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
  }

  QTemporaryDir dir;
  mutable Gate gate;
  std::string fixed1, fixed2, ram, net, cd, gone, programFolder, table;
};

struct Message {
  QString text;
  int style;
  QString title;
};

// The program with its message boxes answered and its end recorded, not shown or done; its
// scans pass the drives' gate.
struct Rig {
  explicit Rig(FakeDrives& drives) : drives(drives), app(drives) {
    app.messageBox = [this](const QString& text, int style, const QString& title) {
      messages.push_back({text, style, title});
      return answer;
    };
    app.endProgram = [this] { ++ends; };
    app.scans.directoryHook = [&drives](std::string_view path) { drives.gate.Pass(path); };
  }
  // Nothing stays held: the program waits for its workers when it goes.
  ~Rig() { drives.gate.Release(); }
  FakeDrives& drives;
  App app;
  std::vector<Message> messages;
  int answer = vbOK;
  int ends = 0;
};

struct Machine : FakeDrives {
  Rig rig{*this};
};

}  // namespace kvor::testing
