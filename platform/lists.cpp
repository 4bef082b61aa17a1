#include "platform/lists.h"

#include <climits>
#include <unistd.h>

#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

// Descriptors kept open along the current path; deeper chains reopen an ancestor on demand,
// so depth is not bounded by the descriptor limit.
constexpr std::size_t kOpenWindow = 64;

// The name of `path` below `dir`, or empty when `path` is not a direct child of it.
std::string_view ChildName(std::string_view dir, std::string_view path) {
  if (path.size() <= dir.size() || path.substr(0, dir.size()) != dir) return {};
  std::string_view rest = path.substr(dir.size());
  if (dir.empty() || dir.back() != kSeparator) {
    if (rest.front() != kSeparator) return {};
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest.find(kSeparator) != std::string_view::npos) return {};
  return rest;
}

std::string PathLeafOf(std::string_view path) {
  const auto pos = path.rfind(kSeparator);
  return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

bool IsWithin(std::string_view root, std::string_view path) {
  if (path.substr(0, root.size()) != root) return false;
  return path.size() == root.size() || root.back() == kSeparator || path[root.size()] == kSeparator;
}

}  // namespace

struct DirListBox::Level {
  DirListing listing;
  int fd = -1;

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

DirListBox::DirListBox(const System& system) : system_(system) {}

DirListBox::~DirListBox() {
  for (auto& level : levels_) level->Close();
}

const std::string& DirListBox::Path() const { return Current().Path(); }

const DirListing& DirListBox::Current() const {
  return depth_ == 0 ? empty_ : levels_[depth_ - 1]->listing;
}

bool DirListBox::SetPath(std::string_view requested) {
  if (depth_ > 0 && requested == Path()) return true;

  // Back to the parent: the walk's return, served from the read kept on the way down.
  if (depth_ >= 2 && requested == levels_[depth_ - 2]->listing.Path()) {
    levels_[--depth_]->Close();
    Raise(false);
    return true;
  }

  if (depth_ > 0) {
    const std::string_view name = ChildName(Path(), requested);
    if (!name.empty()) {
      int parentFd = levels_[depth_ - 1]->fd;
      if (parentFd < 0) {
        // Reopen the nearest ancestor still open, then down the path again.
        std::size_t open = depth_ - 1;
        while (open > 0 && levels_[open - 1]->fd < 0) --open;
        int fd = open == 0 ? -1 : levels_[open - 1]->fd;
        for (std::size_t k = open; k < depth_; ++k) {
          const std::string& path = levels_[k]->listing.Path();
          const int next = fd < 0 ? OpenDirectory(path)
                                  : OpenDirectoryAt(fd, PathLeafOf(path).c_str());
          if (next < 0) return false;
          levels_[k]->fd = next;
          fd = next;
        }
        parentFd = fd;
      }
      char nameZ[NAME_MAX + 1];
      if (name.size() > NAME_MAX) return false;
      name.copy(nameZ, name.size());
      nameZ[name.size()] = '\0';
      const int fd = OpenDirectoryAt(parentFd, nameZ);
      if (fd < 0) return false;
      return Enter(fd, std::string(requested), false);
    }
  }

  // A jump elsewhere: a new start, with a fresh look at the mount table.
  std::string target(requested);
  int fd = OpenDirectory(target);
  if (fd < 0) {
    const std::string root = DriveRootFromText(requested);
    if (root == target) return false;
    target = root;
    if (depth_ > 0 && target == Path()) return true;
    fd = OpenDirectory(target);
    if (fd < 0) return false;
  }
  return Enter(fd, std::move(target), true);
}

bool DirListBox::Enter(int fd, std::string path, bool jump) {
  if (jump) {
    mounts_ = MountTable::Read(system_);
    for (std::size_t k = 0; k < depth_; ++k) levels_[k]->Close();
    depth_ = 0;
  }
  if (levels_.size() <= depth_) levels_.push_back(std::make_unique<Level>());
  Level& level = *levels_[depth_];
  level.Close();
  level.fd = fd;
  if (level.listing.Read(fd, std::move(path), &mounts_, cancel_) != DirListing::Status::Ok) {
    level.Close();
    return false;
  }
  ++depth_;
  if (depth_ > kOpenWindow) levels_[depth_ - 1 - kOpenWindow]->Close();
  Raise(true);
  return true;
}

bool DirListBox::Refresh() {
  if (depth_ == 0) return false;
  Level& level = *levels_[depth_ - 1];
  if (level.fd >= 0 && ::lseek(level.fd, 0, SEEK_SET) < 0) level.Close();
  if (level.fd < 0) {
    level.fd = OpenDirectory(level.listing.Path());
    if (level.fd < 0) return false;
  }
  std::string path = level.listing.Path();
  return level.listing.Read(level.fd, std::move(path), &mounts_, cancel_) ==
         DirListing::Status::Ok;
}

std::string DirListBox::DriveRoot() const {
  const std::string& path = Path();
  if (!rootOverride_.empty() && IsWithin(rootOverride_, path)) return rootOverride_;
  return mounts_.MountPointOf(path);
}

std::string DirListBox::List(std::ptrdiff_t i) const {
  if (i < 0) return Path();
  return JoinPath(Path(), Current().SubdirName(static_cast<std::size_t>(i)));
}

std::size_t DirListBox::ListCount() const { return Current().SubdirCount(); }

void DirListBox::Raise(bool fresh) {
  const bool outer = freshRaise_;
  freshRaise_ = fresh;
  if (onChange_) onChange_();
  freshRaise_ = outer;
}

void FileListBox::SetPath(std::string_view path) {
  path_.assign(path);
  if (path_ == sibling_.Path()) {
    count_ = sibling_.Current().FileCount();
    return;
  }
  count_ = 0;
  const int fd = OpenDirectory(path_);
  if (fd < 0) return;
  DirListing listing;
  if (listing.Read(fd, path_, nullptr, nullptr) == DirListing::Status::Ok)
    count_ = listing.FileCount();
  ::close(fd);
}

void ListBox::AddItem(std::string_view text) {
  if (count_ == items_.size())
    items_.emplace_back(text);
  else
    items_[count_].assign(text);
  ++count_;
}

}  // namespace kvor::platform
