#include "platform/cursor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

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
    ReadInto(root, root.fd);
    rootRead_ = true;
  }
  return root.read;
}

// Reads the directory open at `fd`, the one `level` names, into its summary; false when it
// could not be listed whole (or at all).
bool DirCursor::ReadInto(Level& level, int fd) {
  const DirListing::Status status = scratch_.Read(
      fd, {.cancel = cancel_, .calls = &options_.hooks.listing, .clusterSize = clusterSize_,
                 .helpers = helpers_.get()});
  level.read = std::make_shared<const DirSummary>(Summarize(scratch_, level.dev, level.ino));
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
  levels_[0]->dir = ahead_->Start(levels_[0]->fd, levels_[0]->read, clusterSize_, helpers_);
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

const DirSummary& DirCursor::CurrentRead() const { return *Top().read; }

std::string_view DirCursor::PathOf(std::size_t slot) {
  path_.resize(Top().pathLength);
  AppendName(path_, Top().read->Name(slot));
  return path_;
}

// What entering one directory holds until its level takes it: the read-ahead's node, the
// descriptor opened here, the level being made. Whatever way Enter ends short of that, a
// failure or std::bad_alloc, they are given back here and the cursor stays where it was.
struct DirCursor::Entering {
  DirCursor& cursor;
  ReadAhead::Taken taken;
  int fd = -1;
  uint64_t device = 0;
  uint64_t inode = 0;
  Level* level = nullptr;

  explicit Entering(DirCursor& c) : cursor(c) {}
  ~Entering() {
    if (fd >= 0) ::close(fd);
    if (level != nullptr) level->read = nullptr, level->dir = nullptr;
    if (taken.dir != nullptr) cursor.ahead_->Leave(taken.dir);
  }
};

DirCursor::Step DirCursor::Enter(std::size_t slot) {
  if (depth_ == 0 || !rootRead_) return Step{Move::Failed, ENOENT, nullptr};
  const std::string_view name = Top().read->Name(slot);
  if (name.size() > NAME_MAX) return Step{Move::Failed, ENAMETOOLONG, nullptr};
  Entering entering(*this);
  TakeReadAhead(entering, slot);
  if (entering.taken.summary == nullptr) {
    const Step opened = OpenSubdir(name, entering);
    if (opened.move != Move::Entered) return opened;
  }
  // Whoever read it, it is the directory that read describes, and it counts once: reached again
  // under another name (two siblings exchanged since their parent was read, or one moved ahead
  // of the walk), it is not counted again.
  if (!counted_.Add(entering.device, entering.inode)) return Step{Move::Changed, 0, nullptr};
  Level& level = NextLevel(name, slot, entering);
  if (entering.taken.summary != nullptr) {
    level.read = std::move(entering.taken.summary);  // entered without a descriptor of its own
  } else if (!ReadInto(level, entering.fd)) {      // not listed at all, or cut short by a cancel
    return Step{Move::Failed, scratch_.Error() != 0 ? scratch_.Error() : ECANCELED, nullptr};
  }
  // The level holds it all now.
  level.fd = std::exchange(entering.fd, -1);
  entering.taken.dir = nullptr, entering.level = nullptr;
  ++depth_;
  Settle();
  return Step{Move::Entered, 0, level.read};
}

// A summary the read-ahead made of child `slot`, if any, and its node, whichever the walk takes.
void DirCursor::TakeReadAhead(Entering& entering, std::size_t slot) {
  if (ahead_ == nullptr || Top().dir == nullptr) return;
  entering.taken = ahead_->Enter(Top().dir, slot, cancel_);
  if (entering.taken.summary == nullptr) return;
  entering.device = entering.taken.summary->device;
  entering.inode = entering.taken.summary->inode;
}

// Subdirectory `name` of the current directory, opened on the root's mount: a file system
// mounted there is left out without being opened, nor automounted; a symlink or a file that
// took its name is not a directory. Without openat2, statx tells a mount's root first.
DirCursor::Step DirCursor::OpenSubdir(std::string_view name, Entering& entering) {
  if (Top().fd < 0 && !Reopen(depth_ - 1)) return Step{FailureOf(errno), errno, nullptr};
  char nameZ[NAME_MAX + 1];
  name.copy(nameZ, name.size());
  nameZ[name.size()] = '\0';
  if (!openat2_) return OpenAfterStatx(nameZ, entering);
  entering.fd = OpenChild(Top().fd, nameZ, true);
  if (entering.fd >= 0) return Identify(entering, nullptr);
  const int error = errno;
  if (error == EXDEV) return Step{Move::OtherDevice, 0, nullptr};
  if (error == ENOSYS) openat2_ = false;
  if (error == ENOSYS || error == EPERM) return OpenAfterStatx(nameZ, entering);  // or a filter refused it
  const int why = error == ELOOP ? ENOTDIR : error;  // a symlink is no directory
  return Step{FailureOf(why), why, nullptr};
}

// statx first, so that a file system mounted there is left out without being opened or asked,
// then the directory opened checked to be what statx saw.
DirCursor::Step DirCursor::OpenAfterStatx(const char* name, Entering& entering) {
  Identity seen;
  if (!IdentityOf(Top().fd, name, seen)) return Step{FailureOf(errno), errno, nullptr};
  if (seen.mountRoot || seen.mount != mount_) return Step{Move::OtherDevice, 0, nullptr};
  if (!seen.directory) return Step{Move::Changed, ENOTDIR, nullptr};
  entering.fd = OpenChild(Top().fd, name, false);
  if (entering.fd < 0) return Step{FailureOf(errno), errno, nullptr};
  return Identify(entering, &seen);
}

// The directory opened: on the root's mount and not a mount's root (mounted over since statx
// looked, it is another drive), and the one statx saw, when it looked (replaced since, it is not
// the directory the parent's read named).
DirCursor::Step DirCursor::Identify(Entering& entering, const Identity* seen) {
  Identity id;
  if (!IdentityOf(entering.fd, "", id)) return Step{Move::Failed, errno, nullptr};
  entering.device = id.device;
  entering.inode = id.inode;
  if (id.mountRoot || id.mount != mount_) return Step{Move::OtherDevice, 0, nullptr};
  if (seen != nullptr && (id.device != seen->device || id.inode != seen->inode))
    return Step{Move::Changed, ENOENT, nullptr};
  return Step{Move::Entered, 0, nullptr};
}

// The level below the current one made subdirectory `name` at `slot`, its path appended;
// without a descriptor or a read yet.
DirCursor::Level& DirCursor::NextLevel(std::string_view name, std::size_t slot, Entering& entering) {
  if (levels_.size() <= depth_) levels_.push_back(std::make_unique<Level>());
  Level& level = *levels_[depth_];
  path_.resize(Top().pathLength);
  AppendName(path_, name);
  level.nameStart = path_.size() - name.size();
  level.pathLength = path_.size();
  level.dir = entering.taken.dir;
  level.slot = slot;
  level.dev = entering.device;
  level.ino = entering.inode;
  entering.level = &level;
  return level;
}

// After a level is entered: the disk's waits sampled, the descriptors beyond the window closed.
void DirCursor::Settle() {
  if (sampler_) SampleDiskWaits();
  while (depth_ - lowOpen_ > window_) levels_[lowOpen_++]->Close();
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
    int next = OpenChild(fd, name.c_str(), openat2_);
    if (next < 0 && errno == ENOSYS) openat2_ = false, next = OpenChild(fd, name.c_str(), false);
    if (j > from) ::close(fd);
    if (next < 0) {
      if (errno == EXDEV) errno = ENOENT;  // mounted over since it was read
      return false;
    }
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
int DirCursor::OpenChild(int parentFd, const char* name, bool onMount) {
  for (;;) {
    const ListingCalls& calls = options_.hooks.listing;
    const int fd = !onMount              ? OpenDirectoryAt(parentFd, name)
                   : calls.openOnMount ? calls.openOnMount(parentFd, name)
                                       : OpenOnMount(parentFd, name);
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
