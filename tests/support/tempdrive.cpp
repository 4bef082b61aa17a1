#include "tempdrive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kvor::test {

namespace fs = std::filesystem;

namespace {

// Trees of tens of thousands of entries are made in memory where the machine allows it:
// on a virtual disk each create can cost a quarter of a millisecond.
fs::path TempBase() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (TempBase() / "kvor-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  // Removed by descriptor, one level at a time, so chains tens of thousands deep cost time in
  // proportion to their size (a walk by path would look every path up from the top) and only
  // a few hundred descriptors.
  struct Level {
    DIR* dir;  // nullptr: closed to spare descriptors, reopened from below
    std::string name;
  };
  constexpr std::size_t kKeepOpen = 256;
  std::vector<Level> stack;
  ::chmod(path_.c_str(), 0755);
  const int rootFd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (rootFd >= 0) stack.push_back({::fdopendir(rootFd), {}});
  while (!stack.empty()) {
    DIR* dir = stack.back().dir;
    const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr;
    if (entry != nullptr) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const int fd = ::dirfd(dir);
      if (entry->d_type != DT_DIR) {
        ::unlinkat(fd, name.c_str(), 0);
        continue;
      }
      (void)!::fchmodat(fd, name.c_str(), 0755, 0);  // best effort: the open below tells
      const int sub = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
        continue;
      }
      if (stack.size() > kKeepOpen && stack[stack.size() - kKeepOpen].dir != nullptr) {
        ::closedir(stack[stack.size() - kKeepOpen].dir);
        stack[stack.size() - kKeepOpen].dir = nullptr;
      }
      stack.push_back({::fdopendir(sub), name});
      continue;
    }
    // Empty now: remove it from its parent, reopened through ".." if it was closed.
    Level done = std::move(stack.back());
    stack.pop_back();
    if (!stack.empty() && stack.back().dir == nullptr && done.dir != nullptr) {
      const int up = ::openat(::dirfd(done.dir), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (up >= 0) stack.back().dir = ::fdopendir(up);
    }
    if (done.dir != nullptr) ::closedir(done.dir);
    if (!stack.empty() && stack.back().dir != nullptr)
      ::unlinkat(::dirfd(stack.back().dir), done.name.c_str(), AT_REMOVEDIR);
  }
  ::rmdir(path_.c_str());
  std::error_code ec;
  fs::remove_all(path_, ec);  // whatever the walk above could not reach
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir failed: " + path);
}

void MakeFile(const std::string& path, uint64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  if (size <= 8192) {
    const std::string bytes(size, 'k');
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("short write");
  } else if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    throw std::runtime_error("ftruncate failed");
  }
  ::close(fd);
}

void MakeSymlink(const std::string& target, const std::string& path) {
  if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink failed");
}

int OpenDescriptors() {
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return 0;
  int n = 0;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n - 3;  // ".", ".." and the listing's own
}

bool CanMount() {
  TempDir probe;
  if (::mount("kvortest", probe.path().c_str(), "tmpfs", 0, "size=64k") != 0) return false;
  ::umount2(probe.path().c_str(), MNT_DETACH);
  return true;
}

}  // namespace kvor::test
