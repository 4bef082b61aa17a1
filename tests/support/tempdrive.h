#pragma once
// Test helpers: temporary directory trees, and a system whose space figures the test gives,
// so that any temporary directory can play a drive.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/system.h"

namespace kvor::test {

// A temporary directory, removed with everything below it (permissions restored first).
struct TempDir {
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

void MakeDir(const std::string& path);
void MakeFile(const std::string& path, uint64_t size);  // sparse beyond a few KiB
// A seeded tree below `root`: `dirs` directories nested at random, a fifth of them hidden; four
// files per directory, of many sizes, some hidden; directories with odd names (blanks, "?",
// ",", "\\", control bytes, bytes that are not UTF-8, names like dot entries); a chain a
// dozen deep; symlinks, loops among them.
void MakeTree(const std::string& root, unsigned seed, int dirs);

// Space figures chosen by the test; the mount table is the machine's.
struct FakeSystem : platform::System {
  platform::SpaceFigures figures{4096, 1000, 100000};
  bool queryFails = false;
  bool QuerySpace(const std::string&, platform::SpaceFigures& out) const override { return QuerySpaceOf(-1, out); }
  bool QuerySpaceOf(int, platform::SpaceFigures& out) const override {
    out = queryFails ? platform::SpaceFigures{} : figures;
    errno = queryFails ? EIO : errno;
    return !queryFails;
  }
};

// Runs `body` in a child process after `prepare` (which may drop privileges or lower limits
// for good); returns what the body returned.
std::string RunInChild(const std::function<void()>& prepare, const std::function<std::string()>& body);
void DropPrivileges();  // to nobody's, where this process is root

int OpenDescriptors();  // of this process

// Figures as text, each followed by a blank: what a child process hands back.
template <class... Figures>
std::string Text(Figures... figures) { return ((std::to_string(figures) + " ") + ... + std::string()); }

// What `write` writes to a stream.
std::string Written(const std::function<void(std::FILE*)>& write);

}  // namespace kvor::test
