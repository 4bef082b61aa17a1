#include "tempdrive.h"

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
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(path_.c_str(), 0755);
  fs::remove_all(path_, ec);
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

bool CanMount() {
  TempDir probe;
  if (::mount("kvortest", probe.path().c_str(), "tmpfs", 0, "size=64k") != 0) return false;
  ::umount2(probe.path().c_str(), MNT_DETACH);
  return true;
}

}  // namespace kvor::test
