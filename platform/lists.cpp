#include "platform/lists.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

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

bool IsWithin(std::string_view root, std::string_view path) {
  if (path.substr(0, root.size()) != root) return false;
  return path.size() == root.size() || root.back() == kSeparator || path[root.size()] == kSeparator;
}

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

std::string DescriptorPath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink(link, buffer, sizeof buffer);
  return n > 0 && n < static_cast<ssize_t>(sizeof buffer) ? std::string(buffer, static_cast<std::size_t>(n))
                                                          : std::string();
}

}  // namespace

struct DirListBox::Level {
  std::shared_ptr<const DirSummary> summary;
  ReadAhead::Dir dir = nullptr;  // its node in the read-ahead, while one runs
  std::size_t slot = SIZE_MAX;   // in its parent's summary, when entered by it
  int fd = -1;
  std::size_t pathLength = 0;  // its path is path_'s first pathLength bytes
  std::size_t nameStart = 0;
  unsigned long dev = 0;
  unsigned long ino = 0;
  bool mayHoldMounts = false;

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

DirListBox::DirListBox(const System& system) : system_(system) {}

DirListBox::~DirListBox() {
  StopReadAhead();
  for (auto& level : levels_) level->Close();
}

int DirListBox::RootDescriptor() const { return depth_ == 0 ? -1 : levels_[0]->fd; }

std::string_view DirListBox::RootPath() const {
  return depth_ == 0 ? std::string_view() : std::string_view(path_).substr(0, levels_[0]->pathLength);
}

const DirSummary& DirListBox::Current() const {
  return depth_ == 0 ? empty_ : *levels_[depth_ - 1]->summary;
}

std::shared_ptr<const DirSummary> DirListBox::CurrentShared() const {
  return depth_ == 0 ? nullptr : levels_[depth_ - 1]->summary;
}

void DirListBox::StartReadAhead() {
  StopReadAhead();
  if (depth_ != 1 || aheadOptions_.readers == 0 || levels_[0]->fd < 0 || Current().SlotCount() == 0) return;
  if (aheadOptions_.firstReaders > 0) {
    Launch(0);
    return;
  }
  armed_ = true;
  waits_ = DiskWaits();
  blocks_ = BlocksRead(aheadHooks_.blocksRead);
  reads_ = 0;
}

// The read-ahead from where the walk stands: the levels below the root are entered in it as
// the walk entered them. False when one was entered other than by its slot.
bool DirListBox::Launch(unsigned readers) {
  for (std::size_t k = 1; k < depth_; ++k)
    if (levels_[k]->slot == SIZE_MAX) return false;
  ahead_ = std::make_unique<ReadAhead>(aheadOptions_, aheadHooks_);
  std::string rootKey = realRoot_.empty() ? path_.substr(0, levels_[0]->pathLength) : realRoot_;
  levels_[0]->dir = ahead_->Start(levels_[0]->fd, mounts_, std::move(rootKey), levels_[0]->summary);
  for (std::size_t k = 1; k < depth_; ++k) {
    Level& level = *levels_[k];
    level.dir = ahead_->Enter(levels_[k - 1]->dir, level.slot).dir;
    ahead_->Adopt(level.dir, level.summary);
  }
  if (readers > 0) ahead_->AddReaders(readers, waits_);
  return true;
}

// Every few reads of its own, whether they waited on the disk.
void DirListBox::SampleDiskWaits() {
  const long blocks = BlocksRead(aheadHooks_.blocksRead);
  const unsigned readers = waits_.Add(reads_, blocks - blocks_);
  blocks_ = blocks;
  reads_ = 0;
  if (readers > 0 && Launch(readers)) armed_ = false;
}

void DirListBox::StopReadAhead() {
  armed_ = false;
  if (ahead_ == nullptr) return;
  ahead_.reset();
  for (auto& level : levels_) level->dir = nullptr;
}

bool DirListBox::SetPath(std::string_view requested) {
  if (depth_ > 0 && requested == path_) return true;

  if (depth_ >= 2 && requested == std::string_view(path_).substr(0, levels_[depth_ - 2]->pathLength))
    return Up();

  if (depth_ > 0) {
    const std::string_view name = ChildName(path_, requested);
    if (!name.empty()) return EnterChild(name) == Move::Entered;
  }

  // A jump elsewhere: a new start, with a fresh look at the mount table.
  if (OpenRoot(requested)) return true;
  const int error = lastError_;
  const std::string root = DriveRootFromText(requested);
  if (root == requested) return false;
  if (depth_ > 0 && root == path_) return true;
  if (OpenRoot(root)) return true;
  lastError_ = error;
  return false;
}

bool DirListBox::OpenRoot(std::string_view requested) {
  const std::string target(requested);
  const int fd = OpenDirectory(target);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  MountTable mounts = MountTable::Read(system_);
  const std::string real = DescriptorPath(fd);
  StopReadAhead();
  CloseFrom(0);
  depth_ = 0;
  mounts_ = std::move(mounts);
  path_ = target;
  realRoot_ = real != target ? real : std::string();
  givenRootLength_ = target.size();
  lowOpen_ = 1;
  window_ = kOpenWindow;
  if (levels_.empty()) levels_.push_back(std::make_unique<Level>());
  Level& level = *levels_[0];
  level.pathLength = path_.size();
  level.nameStart = 0;
  if (!Admit(fd, level, true)) {
    path_.clear();
    return false;
  }
  Raise();
  return true;
}

DirListBox::Move DirListBox::EnterChild(std::string_view name, std::size_t slot) {
  if (depth_ == 0) {
    lastError_ = ENOENT;
    return Move::Failed;
  }
  if (name.size() > NAME_MAX) {
    lastError_ = ENAMETOOLONG;
    return Move::Failed;
  }
  ReadAhead::Taken taken;
  {
    const Level& parent = *levels_[depth_ - 1];
    if (slot >= parent.summary->SlotCount() || parent.summary->Name(slot) != name) slot = SIZE_MAX;
    if (ahead_ != nullptr && parent.dir != nullptr && slot != SIZE_MAX)
      taken = ahead_->Enter(parent.dir, slot, cancel_);
  }
  // The read-ahead's node goes with the level, or now when there is none.
  const auto fail = [&](Move move) {
    if (taken.dir != nullptr) ahead_->Leave(taken.dir);
    return move;
  };

  int fd = -1;
  struct stat st {};
  if (taken.summary == nullptr) {
    if (levels_[depth_ - 1]->fd < 0 && !Reopen(depth_ - 1)) return fail(Move::Failed);
    char nameZ[NAME_MAX + 1];
    name.copy(nameZ, name.size());
    nameZ[name.size()] = '\0';
    fd = OpenChild(levels_[depth_ - 1]->fd, nameZ);
    if (fd < 0) return fail(Move::Failed);
    if (::fstat(fd, &st) != 0) {
      lastError_ = errno;
      ::close(fd);
      return fail(Move::Failed);
    }
    if (st.st_dev != device_) {
      // Mounted since the table was read, or reached some other way: another drive.
      ::close(fd);
      return fail(Move::OtherDevice);
    }
  }

  const std::size_t parentLength = path_.size();
  bool owned = false;  // whether the level holds fd yet
  try {
    if (levels_.size() <= depth_) levels_.push_back(std::make_unique<Level>());
    Level& parent = *levels_[depth_ - 1];
    Level& level = *levels_[depth_];
    if (path_.empty() || path_.back() != kSeparator) path_.push_back(kSeparator);
    level.nameStart = path_.size();
    path_.append(name);
    level.pathLength = path_.size();
    level.mayHoldMounts = parent.mayHoldMounts && mounts_.MayHoldMounts(MountKey());
    level.dir = taken.dir;
    level.slot = slot;
    owned = true;
    if (taken.summary != nullptr) {
      // Read ahead: entered without a descriptor of its own.
      level.Close();
      level.summary = std::move(taken.summary);
      level.dev = level.summary->device;
      level.ino = level.summary->inode;
      ++depth_;
    } else {
      level.dev = st.st_dev;
      level.ino = st.st_ino;
      if (!Admit(fd, level, false)) {
        path_.resize(parentLength);
        level.dir = nullptr;
        return fail(Move::Failed);
      }
    }
  } catch (const std::bad_alloc&) {
    // Deeper than memory allows: this directory cannot be entered, and the walk goes on.
    path_.resize(parentLength);
    if (owned) {
      levels_[depth_]->Close();
      levels_[depth_]->dir = nullptr;
    } else if (fd >= 0) {
      ::close(fd);
    }
    lastError_ = ENOMEM;
    return fail(Move::Failed);
  }
  if (armed_ && ++reads_ == DiskWaits::kReadsPerSample) SampleDiskWaits();
  while (depth_ - lowOpen_ > window_) levels_[lowOpen_++]->Close();
  Raise();
  return Move::Entered;
}

// Reads the directory open at `fd` into `level` and makes it the current one.
bool DirListBox::Admit(int fd, Level& level, bool root) {
  level.Close();
  level.fd = fd;
  if (root) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      lastError_ = errno;
      level.Close();
      return false;
    }
    device_ = st.st_dev;
    level.dev = st.st_dev;
    level.ino = st.st_ino;
    level.mayHoldMounts = mounts_.MayHoldMounts(MountKey());
  }
  if (!ReadInto(level)) {
    level.Close();
    return false;
  }
  ++depth_;
  return true;
}

// Reads the directory open at level.fd, at the current path, into its summary.
bool DirListBox::ReadInto(Level& level) {
  const std::vector<std::string>* mounted =
      level.mayHoldMounts ? &mounts_.MountedNamesIn(MountKey()) : nullptr;
  const DirListing::Status status = scratch_.Read(level.fd, mounted, cancel_);
  level.summary = std::make_shared<const DirSummary>(
      Summarize(scratch_, clusterSize_ != nullptr ? *clusterSize_ : 0, level.dev, level.ino));
  if (status != DirListing::Status::Ok) {
    lastError_ = scratch_.Error() != 0 ? scratch_.Error() : ECANCELED;
    return false;
  }
  if (ahead_ != nullptr && level.dir != nullptr) ahead_->Adopt(level.dir, level.summary);
  return true;
}

bool DirListBox::Up() {
  if (depth_ < 2) return false;
  Level& child = *levels_[depth_ - 1];
  Level& parent = *levels_[depth_ - 2];
  if (parent.fd < 0 && child.fd >= 0) {
    // Beyond the window: the parent is found again through the child, and checked.
    const int fd = ::openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == parent.dev && st.st_ino == parent.ino)
      parent.fd = fd;
    else if (fd >= 0)
      ::close(fd);
  }
  child.Close();
  if (child.dir != nullptr) ahead_->Leave(child.dir);
  child.dir = nullptr;
  --depth_;
  path_.resize(parent.pathLength);
  if (lowOpen_ > depth_ - 1) lowOpen_ = parent.fd >= 0 || depth_ == 1 ? std::max<std::size_t>(depth_ - 1, 1) : depth_;
  Raise();
  return true;
}

// Opens level k again from the nearest ancestor still open, name by name, each step checked
// against the directory first read there; only level k keeps its descriptor.
bool DirListBox::Reopen(std::size_t k) {
  std::size_t from = k;
  while (from > 0 && levels_[from - 1]->fd < 0) --from;
  if (from == 0) {
    lastError_ = EBADF;
    return false;
  }
  int fd = levels_[from - 1]->fd;
  for (std::size_t j = from; j <= k; ++j) {
    Level& level = *levels_[j];
    const std::string name = path_.substr(level.nameStart, level.pathLength - level.nameStart);
    const int next = OpenChild(fd, name.c_str());
    if (j > from) ::close(fd);
    if (next < 0) return false;
    struct stat st;
    if (::fstat(next, &st) != 0 || st.st_dev != level.dev || st.st_ino != level.ino) {
      ::close(next);
      lastError_ = ENOENT;  // moved or replaced since it was read
      return false;
    }
    fd = next;
  }
  levels_[k]->fd = fd;
  lowOpen_ = std::min(lowOpen_, k);
  return true;
}

// openat that, when the process runs out of descriptors, gives back the oldest of its own
// and tries again: the window narrows instead of a directory being lost.
int DirListBox::OpenChild(int parentFd, const char* name) {
  for (;;) {
    const int fd = OpenDirectoryAt(parentFd, name);
    if (fd >= 0) return fd;
    lastError_ = errno;
    if (!OutOfDescriptors(lastError_)) return -1;
    // Readers' descriptors go first: reading ahead is a luxury, the walk's own are not.
    if (ahead_ != nullptr && ahead_->GiveBackDescriptors(cancel_)) continue;
    if (!GiveBackOne()) return -1;
  }
}

bool DirListBox::GiveBackOne() {
  // The current directory's descriptor is the one needed; any other may go.
  if (depth_ < 2 || lowOpen_ + 1 >= depth_) return false;
  levels_[lowOpen_++]->Close();
  window_ = std::max<std::size_t>(depth_ - lowOpen_, 1);
  return true;
}

void DirListBox::CloseFrom(std::size_t k) {
  for (std::size_t j = k; j < levels_.size(); ++j) levels_[j]->Close();
}

std::string DirListBox::MountKey() const {
  if (realRoot_.empty()) return path_;
  return realRoot_ + path_.substr(givenRootLength_);
}

bool DirListBox::Refresh() {
  if (depth_ == 0) return false;
  Level& level = *levels_[depth_ - 1];
  if (level.fd >= 0 && ::lseek(level.fd, 0, SEEK_SET) < 0) level.Close();
  if (level.fd < 0) {
    if (depth_ >= 2) {
      if (!Reopen(depth_ - 1)) return false;
    } else if ((level.fd = OpenDirectory(path_)) < 0) {
      return false;
    }
  }
  return ReadInto(level);
}

std::string DirListBox::DriveRoot() const {
  if (!rootOverride_.empty() && IsWithin(rootOverride_, path_)) return rootOverride_;
  return mounts_.MountPointOf(path_);
}

std::string DirListBox::List(std::ptrdiff_t i) const {
  if (i < 0) return Path();
  return JoinPath(Path(), Current().Name(static_cast<std::size_t>(i)));
}

std::size_t DirListBox::ListCount() const { return Current().ordinaryCount; }

void DirListBox::Raise() {
  if (onChange_) onChange_();
}

void FileListBox::SetPath(std::string_view path) {
  // Set to the directory list's own path at every move of the walk: no copy, no comparison
  // of a path that may be hundreds of kilobytes long.
  const std::string& dir = sibling_.Path();
  if ((path.data() == dir.data() && path.size() == dir.size()) || path == dir) {
    following_ = true;
    count_ = sibling_.Current().fileCount;
    return;
  }
  following_ = false;
  path_.assign(path);
  count_ = 0;
  const int fd = OpenDirectory(path_);
  if (fd < 0) return;
  DirListing listing;
  if (listing.Read(fd, nullptr, nullptr) == DirListing::Status::Ok)
    count_ = listing.FileCount();
  ::close(fd);
}

void ListBox::AddItem(std::string_view text) {
  if (borrowed_ != nullptr) {  // from now on a list of its own
    const std::shared_ptr<const DirSummary> summary = std::move(borrowed_);
    borrowed_.reset();
    for (std::size_t i = summary->ordinaryCount; i < summary->SlotCount(); ++i) AddItem(summary->Name(i));
  }
  if (count_ == items_.size())
    items_.emplace_back(text);
  else
    items_[count_].assign(text);
  ++count_;
}

}  // namespace kvor::platform
