#include "tempdrive.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

namespace kvor::test {

TempDir::TempDir() {
  // In memory where the machine allows: on a virtual disk each create can cost a quarter of a
  // millisecond, and some trees have tens of thousands of entries.
  path_ = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::filesystem::temp_directory_path().string()) +
          "/kvor-test-XXXXXX";
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  // Locked directories, and chains deeper than a path may be long: rm walks by descriptor.
  if (ec) (void)!std::system(("chmod -R u+rwx " + path_ + " 2>/dev/null; rm -rf " + path_).c_str());
}

void MakeDir(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir failed: " + path);
}

void MakeFile(const std::string& path, uint64_t size) {
  if (!(std::ofstream(path) << std::string(size <= 8192 ? size : 0, 'k'))) throw std::runtime_error("cannot make " + path);
  if (size > 8192) std::filesystem::resize_file(path, size);
}

void MakeTree(const std::string& root, unsigned seed, int dirs) {
  std::mt19937 rng(seed);
  std::vector<std::string> made{root};
  for (int i = 0; i < dirs; ++i)
    MakeDir(made.emplace_back(made[rng() % made.size()] + (rng() % 5 == 0 ? "/.d" : "/d") + std::to_string(i)));
  for (int i = 0; i < dirs * 4; ++i) {
    const uint64_t size = rng() % 7 == 0 ? rng() % 100000 : rng() % 9000;
    MakeFile(made[rng() % made.size()] + (rng() % 6 == 0 ? "/.f" : "/f") + std::to_string(i), size);
  }
  for (const char* odd : {"with blank", "what?", "a,b", "back\\slash", "new\nline", "\xff\xfe-\xe9", ". ", "..."})
    MakeDir(made[rng() % made.size()] + "/" + odd);
  // Siblings alike in their first eight bytes: the walk's order is then decided past them.
  for (const char* twin : {"eightbyt\xff", "eightbyte-b", "eightbyte-a", "eightbyt"}) MakeDir(root + "/" + twin);
  std::string chain = made[rng() % made.size()];
  for (int i = 0; i < 12; ++i) MakeDir(chain += "/chain");
  for (int links = 0; const char* target : {root.c_str(), "..", "self", "missing-target", "/"})
    std::filesystem::create_symlink(target, made[rng() % made.size()] + "/link" + std::to_string(links++));
}

std::string Written(const std::function<void(std::FILE*)>& write) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* stream = ::open_memstream(&text, &size);
  write(stream);
  std::fclose(stream);
  std::string written(text, size);
  std::free(text);
  return written;
}

std::string RunInChild(const std::function<void()>& prepare, const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    prepare();
    const std::string out = body();
    ::_exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 4);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return out;
}

void DropPrivileges() { if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3); }

int OpenDescriptors() {  // less the listing's own
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

}  // namespace kvor::test
