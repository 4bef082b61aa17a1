#include "platform/cursor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

// A name that no longer leads to a directory: a file or a symlink took its place.
DirCursor::Move FailureOf(int error) {
  return error == ENOTDIR || error == ELOOP ? DirCursor::Move::Changed : DirCursor::Move::Failed;
}

}  // namespace

struct DirCursor::Level {
  std::shared_ptr<const DirSummary> read;
  ReadAhead::Dir dir = nullptr;  // its node in the read-ahead, while one follows it
  std::size_t slot = SIZE_MAX;   // in its parent's read
  int fd = -1;
  std::size_t pathLength = 0;    // its path is path_'s first pathLength bytes
  std::size_t nameStart = 0;
  unsigned long dev = 0;
  unsigned long ino = 0;

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

unsigned DirCursor::FirstReaders() { return std::thread::hardware_concurrency() > 1 ? 1 : 0; }

DirCursor::DirCursor(const std::atomic<bool>* cancel, Options options)
    : cancel_(cancel), options_(std::move(options)) {
  // A wide directory's sizes are read on as many threads as there may be readers.
  if (options_.readAhead.readers > 0)
    helpers_ = std::make_shared<SizeHelpers>(options_.readAhead.readers, options_.hooks.blocksRead);
}

DirCursor::~DirCursor() {
  StopReadAhead();
  CloseAll();
}

void DirCursor::CloseAll() {
  for (auto& level : levels_) level->Close();
}

int DirCursor::RootDescriptor() const { return depth_ == 0 ? -1 : levels_[0]->fd; }

int DirCursor::Open(const std::string& root, const std::string& openAs) {
  StopReadAhead();
  CloseAll();
  depth_ = 0;
  rootRead_ = false;
  path_.clear();
  const int fd = OpenDirectory(openAs.empty() ? root : openAs);
  if (fd < 0) return errno;
  if (levels_.empty()) levels_.push_back(std::make_unique<Level>());
  Level& level = *levels_[0];
  level.fd = fd;
  Identity id;
  if (!IdentityOf(fd, "", id)) {
    const int error = errno;
    level.Close();
    return error;
  }
  path_ = root;
  lowOpen_ = 1;
  window_ = kOpenWindow;
  mount_ = id.mount;
  level.read = nullptr;
  level.dir = nullptr;
  level.slot = SIZE_MAX;
  level.pathLength = path_.size();
  level.nameStart = 0;
  level.dev = id.device;
  level.ino = id.inode;
  counted_.Clear();
  counted_.Add(id.device, id.inode);
  depth_ = 1;
  return 0;
}

std::shared_ptr<const DirSummary> DirCursor::ReadRoot(int64_t clusterSize) {
  if (depth_ == 0) return nullptr;
  Level& root = *levels_[0];
  if (!rootRead_) {
    clusterSize_ = clusterSize;
    ReadInto(root);
    rootRead_ = true;
  }
  return root.read;
}

// Reads the directory open at level.fd, at the current path, into its summary; false when it
// could not be listed whole (or at all).
bool DirCursor::ReadInto(Level& level) {
  const DirListing::Status status = scratch_.Read(
      level.fd, {.cancel = cancel_, .calls = &options_.hooks.listing, .clusterSize = clusterSize_,
                 .helpers = helpers_.get()});
  level.read = std::make_shared<const DirSummary>(Summarize(scratch_, clusterSize_, level.dev, level.ino));
  scratch_.Trim();
  if (status != DirListing::Status::Ok) return false;
  if (ahead_ != nullptr && level.dir != nullptr) ahead_->Adopt(level.dir, level.read);
  return true;
}

void DirCursor::StartReadAhead() {
  StopReadAhead();
  if (depth_ != 1 || !rootRead_ || options_.readAhead.readers == 0 || levels_[0]->fd < 0 ||
      levels_[0]->read->SlotCount() == 0)
    return;
  if (options_.readAhead.firstReaders > 0) {
    Launch(0);
    return;
  }
  waits_ = DiskWaits();
  sampler_.emplace(options_.hooks.blocksRead);
}

// The read-ahead from where the walk stands: the levels below the root are entered in it as
// the walk entered them.
void DirCursor::Launch(unsigned readers) {
  ahead_ = std::make_unique<ReadAhead>(options_.readAhead, options_.hooks);
  levels_[0]->dir = ahead_->Start(levels_[0]->fd, levels_[0]->read, helpers_);
  for (std::size_t k = 1; k < depth_; ++k) {
    Level& level = *levels_[k];
    level.dir = levels_[k - 1]->dir == nullptr ? nullptr : ahead_->Enter(levels_[k - 1]->dir, level.slot).dir;
    if (level.dir != nullptr) ahead_->Adopt(level.dir, level.read);
  }
  if (readers > 0) ahead_->AddReaders(readers, waits_);
}

// Every few reads of its own, whether they waited on the disk.
void DirCursor::SampleDiskWaits() {
  const long blocks = sampler_->Count();
  if (blocks < 0) return;
  if (const unsigned readers = waits_.Add(blocks); readers > 0) {
    sampler_.reset();
    Launch(readers);
  }
}

void DirCursor::StopReadAhead() {
  sampler_.reset();
  if (ahead_ == nullptr) return;
  ahead_.reset();
  for (auto& level : levels_) level->dir = nullptr;
}

DirCursor::Step DirCursor::Enter(std::size_t slot) {
  if (depth_ == 0 || !rootRead_) return Step{Move::Failed, ENOENT, nullptr};
  ReadAhead::Taken taken;
  const Level& parent = *levels_[depth_ - 1];
  const std::string_view name = parent.read->Name(slot);
  if (name.size() > NAME_MAX) return Step{Move::Failed, ENAMETOOLONG, nullptr};
  if (ahead_ != nullptr && parent.dir != nullptr) taken = ahead_->Enter(parent.dir, slot, cancel_);
  // The read-ahead's node goes with the level, or now when there is none.
  const auto fail = [&](Move move, int error) {
    if (taken.dir != nullptr) ahead_->Leave(taken.dir);
    return Step{move, error, nullptr};
  };

  int fd = -1;
  Identity id;
  if (taken.summary == nullptr) {
    Step why;
    fd = OpenSubdir(name, id, why);
    if (fd < 0) return fail(why.move, why.error);
  }

  // Whoever read it, it is the directory that read describes, and it counts once: reached again
  // under another name (two siblings exchanged since their parent was read, or one moved ahead
  // of the walk), it is not counted again.
  const unsigned long dev = taken.summary != nullptr ? taken.summary->device : id.device;
  const unsigned long ino = taken.summary != nullptr ? taken.summary->inode : id.inode;
  const std::size_t parentLength = path_.size();
  bool owned = false;  // whether the level holds fd yet
  try {
    if (!counted_.Add(dev, ino)) {
      if (fd >= 0) ::close(fd);
      return fail(Move::Changed, 0);
    }
    Level& level = NextLevel(name, slot, taken.dir, dev, ino);
    owned = true;
    if (taken.summary != nullptr) {
      level.read = std::move(taken.summary);  // entered without a descriptor of its own
    } else {
      level.fd = fd;
      if (!ReadInto(level)) {  // not listed at all, or cut short by a cancel
        level.Close(), level.dir = nullptr;
        path_.resize(parentLength);
        return fail(Move::Failed, scratch_.Error() != 0 ? scratch_.Error() : ECANCELED);
      }
    }
  } catch (const std::bad_alloc&) {
    // The walk ends for want of memory; the cursor stays where it was.
    path_.resize(parentLength);
    if (owned)
      levels_[depth_]->Close(), levels_[depth_]->dir = nullptr;
    else if (fd >= 0)
      ::close(fd);
    if (taken.dir != nullptr) ahead_->Leave(taken.dir);
    throw;
  }
  ++depth_;
  if (sampler_) SampleDiskWaits();
  while (depth_ - lowOpen_ > window_) levels_[lowOpen_++]->Close();
  return Step{Move::Entered, 0, levels_[depth_ - 1]->read};
}

// Subdirectory `name` of the current directory, opened: told by statx first, so that a file
// system mounted there is left out without being opened or asked, then checked to be what
// statx saw. -1 when it is not entered, `why` saying so.
int DirCursor::OpenSubdir(std::string_view name, Identity& id, Step& why) {
  const auto no = [&why](Move move, int error) {
    why = Step{move, error, nullptr};
    return -1;
  };
  if (levels_[depth_ - 1]->fd < 0 && !Reopen(depth_ - 1)) return no(FailureOf(errno), errno);
  char nameZ[NAME_MAX + 1];
  name.copy(nameZ, name.size());
  nameZ[name.size()] = '\0';
  if (!IdentityOf(levels_[depth_ - 1]->fd, nameZ, id)) return no(FailureOf(errno), errno);
  if (id.mountRoot || id.mount != mount_) return no(Move::OtherDevice, 0);
  if (!id.directory) return no(Move::Changed, ENOTDIR);
  const int fd = OpenChild(levels_[depth_ - 1]->fd, nameZ);
  if (fd < 0) return no(FailureOf(errno), errno);
  const Identity seen = id;
  if (!IdentityOf(fd, "", id)) {
    const int error = errno;
    ::close(fd);
    return no(Move::Failed, error);
  }
  // Mounted over since statx looked, it is another drive; replaced since, it is not the
  // directory the parent's read named.
  const bool mounted = id.mountRoot || id.mount != mount_;
  if (mounted || id.device != seen.device || id.inode != seen.inode) {
    ::close(fd);
    return mounted ? no(Move::OtherDevice, 0) : no(Move::Changed, ENOENT);
  }
  return fd;
}

// The level below the current one made subdirectory `name` at `slot`, the directory `dev` and
// `ino`, its path appended; without a descriptor or a read yet.
DirCursor::Level& DirCursor::NextLevel(std::string_view name, std::size_t slot, ReadAhead::Dir dir,
                                       unsigned long dev, unsigned long ino) {
  if (levels_.size() <= depth_) levels_.push_back(std::make_unique<Level>());
  Level& level = *levels_[depth_];
  AppendName(path_, name);
  level.nameStart = path_.size() - name.size();
  level.pathLength = path_.size();
  level.dir = dir;
  level.slot = slot;
  level.dev = dev;
  level.ino = ino;
  level.Close();
  return level;
}

void DirCursor::Leave() {
  if (depth_ < 2) return;
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
  child.read = nullptr;
  if (child.dir != nullptr) ahead_->Leave(child.dir);
  child.dir = nullptr;
  --depth_;
  path_.resize(parent.pathLength);
  if (lowOpen_ > depth_ - 1) lowOpen_ = parent.fd >= 0 || depth_ == 1 ? std::max<std::size_t>(depth_ - 1, 1) : depth_;
}

// Opens level k again from the nearest ancestor still open, name by name, each step checked
// against the directory first read there; only level k keeps its descriptor. errno tells why
// it could not.
bool DirCursor::Reopen(std::size_t k) {
  std::size_t from = k;
  while (from > 0 && levels_[from - 1]->fd < 0) --from;
  if (from == 0) {
    errno = EBADF;
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
      errno = ENOENT;  // moved or replaced since it was read
      return false;
    }
    fd = next;
  }
  levels_[k]->fd = fd;
  lowOpen_ = std::min(lowOpen_, k);
  return true;
}

// openat that, when the process runs out of descriptors, gives back the oldest of its own
// and tries again: the window narrows instead of a directory being lost. errno tells why it
// could not.
int DirCursor::OpenChild(int parentFd, const char* name) {
  for (;;) {
    const int fd = OpenDirectoryAt(parentFd, name);
    if (fd >= 0) return fd;
    const int error = errno;
    if (!OutOfDescriptors(error)) return -1;
    // Readers' descriptors go first: reading ahead is a luxury, the walk's own are not.
    if (ahead_ != nullptr && ahead_->GiveBackDescriptors(cancel_)) continue;
    if (!GiveBackOne()) {
      errno = error;
      return -1;
    }
  }
}

bool DirCursor::GiveBackOne() {
  // The current directory's descriptor is the one needed; any other may go.
  if (depth_ < 2 || lowOpen_ + 1 >= depth_) return false;
  levels_[lowOpen_++]->Close();
  window_ = std::max<std::size_t>(depth_ - lowOpen_, 1);
  return true;
}

}  // namespace kvor::platform
