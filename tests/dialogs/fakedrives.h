#pragma once
// A machine made of temporary directories, mounted (as far as the program can tell) through a
// mount table we write, and the program on it: message boxes answered and recorded, its end
// counted, its scan's worker held at a chosen path as a drive that stops answering would.
#include <QtTest>
#include <QTemporaryDir>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "gate.h"
#include "mainwin/app.h"
#include "mainwin/frmdisksumm.h"

namespace kvor::testing {

struct Message {
  QString text, title;
  int style;
};
inline std::string MountLine(int id, const std::string& point, const std::string& rest) {
  return std::to_string(id) + " 1 0:" + std::to_string(id) + " / " + point + " rw - " + rest + " rw\n";
}
inline void MakeFile(const std::string& path, std::size_t bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
}

struct Machine : platform::System {
  Machine() {
    for (const auto* root : {&programFolder, &ram, &net, &cd, &gone}) std::filesystem::create_directories(*root);
    for (const char* file : {"/x/f", "/x/y/f", "/z/f"}) MakeFile(fixed2 + file, 200);
    // Named so the drive list's order (by mount point) is this one.
    table = MountLine(30, fixed1, "ext4 /dev/vdb1") + MountLine(31, fixed2, "ext4 /dev/vdc1") +
            MountLine(32, ram, "tmpfs tmpfs") + MountLine(33, net, "nfs4 server:/export") +
            MountLine(34, cd, "iso9660 /dev/sr0") + MountLine(35, gone, "ext4 /dev/vdd1");
    app.messageBox = [this](const QString& text, int style, const QString& title) {
      messages.push_back({text, title, style});
      return answer;
    };
    app.endProgram = [this] { ++ends; };
    app.scans.directoryHook = [this](std::string_view path) { Pass(path); };
  }
  // Nothing stays held: the program waits for its workers when it goes.
  ~Machine() override { gate.Open(); }

  // The first worker to reach `holdAt` (a root's space query, or a directory before it is
  // read) waits at the gate; later ones pass.
  void Pass(std::string_view path) const {
    if (path == holdAt && !held.exchange(true)) gate.Wait();
  }
  std::string MountTableText() const override { return table; }
  bool GetDiskFreeSpace(const std::string& root, platform::DiskFreeSpace& out) const override {
    Pass(root);
    out = {8, 512, 150'000, 250'000};  // 4 KB clusters; 400 MB of 1 GB in use
    return true;
  }
  bool GetDiskFreeSpaceOf(int fd, platform::DiskFreeSpace& out) const override {  // by path, so a hold holds it too
    return GetDiskFreeSpace(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)), out);
  }
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return programFolder; }
  void Unmount() { table.resize(table.find("35 1 ")); }  // drops `gone`, the last line

  // The main window, its start-up scan ended.
  frmDiskSumm& Main() {
    const bool first = !app.Loaded<frmDiskSumm>();
    frmDiskSumm& main = app.Form<frmDiskSumm>();
    if (first) app.scans.Finish();
    return main;
  }
  frmDiskPick& Pick() { return app.Form<frmDiskPick>(); }
  int IndexOf(const std::string& root) { return Pick().driveList->findData(QByteArray::fromStdString(root)); }
  void Choose(const std::string& root) { Pick().driveList->SetListIndex(IndexOf(root)); }
  const platform::NodeStore& Store() { return Main().Store(); }
  // Select Disk: while the dialog is shown modally, choose `roots` in turn and answer; then the
  // scan, if one starts, runs to its end.
  void SelectDisk(const std::vector<std::string>& roots, std::function<void(frmDiskPick&)> answer) {
    QMetaObject::invokeMethod(&Main(), [=, this] {  // runs inside the dialog's modal loop
      QVERIFY(Pick().isVisible() && Pick().isModal() && Pick().focusWidget() == Pick().driveList);
      for (const std::string& root : roots) Choose(root);
      answer(Pick());
    }, Qt::QueuedConnection);
    Main().cmdSelect_Click();
    app.scans.Finish();
  }

  QTemporaryDir dir;
  const std::string base = dir.path().toStdString() + "/";
  std::string fixed1 = base + "a_fixed", fixed2 = base + "b_fixed", ram = base + "c_ram",
              net = base + "d_net", cd = base + "e_cd", gone = base + "f_gone";
  std::string programFolder = fixed1 + "/bin", table, holdAt;
  mutable test::Gate gate;
  mutable std::atomic<bool> held = false;
  std::vector<Message> messages;
  int answer = vbOK, ends = 0;
  App app{*this};
};

}  // namespace kvor::testing
