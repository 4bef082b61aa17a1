#include "platform/readahead.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <linux/openat2.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

#include "platform/detached.h"
#include "platform/pathrules.h"
#include "platform/quicklock.h"

namespace kvor::platform {

namespace {

constexpr auto kAbandonAfter = std::chrono::milliseconds(100);
constexpr auto kRetryFirst = std::chrono::milliseconds(1);
constexpr auto kRetryMost = std::chrono::milliseconds(50);
constexpr auto kCancelPoll = std::chrono::milliseconds(20);
constexpr int kSpinTurns = 16;  // about ten microseconds

}  // namespace

using Node = ReadPlan::Node;

struct ReadAhead::Shared {
  Options options;
  Hooks hooks;
  ReadPlan plan;                    // under the mutex
  std::mutex mutex;
  std::condition_variable work;     // readers: something to do, or stop
  std::condition_variable changed;  // the walk: a reader finished or let go of a descriptor
  std::condition_variable farWork;  // the far reader: something to do, or stop
  std::atomic<bool> spin = true;    // reads come from the cache: waits on the mutex or a read are short
  std::atomic<bool> stop = false;
  bool noOpen = false;
  bool starved = false;             // a reader ran out of memory: no more start
  int rootFd = -1;
  int open = 0;                     // descriptors readers hold
  int idle = 0;                     // readers waiting for work, the far one aside
  bool farIdle = false;
  unsigned started = 0;             // readers started
  DiskWaits waits;
  int watchers = 0;                 // callers waiting for `changed`, the walk's Enter aside
  const Node* awaited = nullptr;    // the read the walk waits for
  std::shared_ptr<SizeHelpers> helpers;  // kept while a reader may use them
  const std::shared_ptr<BlockPool> summaries = std::make_shared<BlockPool>();
  int64_t clusterSize = 0;
  uint64_t mount = 0;               // the root's mount ID
  uint64_t retries = 0;
  // The plan's Ready, for the walk's progress without the lock.
  std::atomic<int64_t> readyNames = 0, readyBlocks = 0;

  Shared(Options o, Hooks h)
      : options(o), hooks(std::move(h)), plan(o.limits) {}
  ~Shared() {
    if (rootFd >= 0) ::close(rootFd);
  }

  // Wakes one idle reader; each that finds work wakes the next, so no wake-up is for nothing.
  void WakeReader() {
    if (idle > 0) work.notify_one();
    if (farIdle) farWork.notify_one();
  }
  // A reader finished with `settled`. The walk wakes for the one read it waits for, not for
  // every reader's: with many readers those wake-ups cost more than the reads they announce.
  void Tell(const Node* settled = nullptr) {
    if (watchers > 0 || (settled != nullptr && settled == awaited)) changed.notify_all();
  }
  void Publish() {
    const Ready ready = plan.ReadyToTake();
    readyNames.store(ready.names, std::memory_order_relaxed);
    readyBlocks.store(ready.blocks, std::memory_order_relaxed);
  }
  bool HasWork() { return !noOpen && plan.HasWork(); }
  std::unique_lock<std::mutex> Lock() { return LockSoon(mutex, spin.load(std::memory_order_relaxed)); }
  // The walk changes the plan by `change`, which tells whether readers have work again.
  template <class F>
  void Change(F change) {
    const auto lock = Lock();
    const bool news = change(plan);
    Publish();
    if (news) WakeReader();
  }

  // Opens `path` below the root: no symlink on the way, no other mount (refused before its root
  // is opened), nothing above the root; waits and tries again while the process is out of
  // descriptors.
  int Open(const std::string& path, Node& node) {
    auto wait = kRetryFirst;
    for (;;) {
      int at;
      {
        const auto lock = Lock();
        if (stop || noOpen || node.walked || node.dead) return -1;
        ++open;
        node.opening = true;
        at = rootFd;  // stays open while any reader holds a descriptor
      }
      open_how how{};
      how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
      const int fd = static_cast<int>(::syscall(SYS_openat2, at, path.c_str(), &how, sizeof how));
      if (fd >= 0) return fd;
      const int error = errno;
      std::unique_lock lock(mutex);
      --open;
      node.opening = false;
      Tell(&node);
      if (error != EMFILE && error != ENFILE) return -1;
      ++retries;
      if (hooks.outOfDescriptors) {
        lock.unlock();
        hooks.outOfDescriptors(path);
        lock.lock();
      }
      // Descriptors come back as the walk and the other readers close theirs; no event says so.
      changed.wait_for(lock, wait, [&] { return stop || noOpen || node.walked || node.dead; });
      wait = std::min(wait * 2, kRetryMost);
    }
  }

  // Reads one directory into a summary; null when anything is not as the walk would find it.
  // `held` tells whether it held a descriptor, given back under the mutex by the caller.
  std::shared_ptr<const DirSummary> Read(const std::string& path, Node& node, const DirSummary& parent,
                                         DirListing& listing, bool& held) {
    if (hooks.beforeOpen) hooks.beforeOpen(path);
    const int fd = Open(path, node);
    if (fd < 0) return nullptr;
    held = true;
    try {
      auto out = ReadChild(fd, parent, mount, listing,
                           {.cancel = &stop, .calls = &hooks.listing, .clusterSize = clusterSize, .helpers = helpers.get()},
                           summaries);
      ::close(fd);
      return out;
    } catch (const std::bad_alloc&) {
      ::close(fd);
      throw;
    }
  }

  // Up to `count` more readers, each on a thread of its own that co-owns the shared block; the
  // first is the far one. Called with the mutex held.
  static void Grow(const std::shared_ptr<Shared>& self, unsigned count) {
    Shared& s = *self;
    for (; count > 0 && s.started < s.options.readers && !s.stop && !s.starved; --count) {
      const bool far = s.started == 0;
      if (!detached::Start([self, far] { Run(self, far); })) break;
      s.plan.SetReaders(++s.started);
    }
    if (s.started > s.options.firstReaders) s.spin = false;
  }

  // Nothing to pick: sleeps until the walk or another reader makes some. Called with the mutex held.
  void WaitForWork(bool far, std::unique_lock<std::mutex>& lock) {
    Tell();
    if (far) {
      farIdle = true;
      farWork.wait(lock);
      farIdle = false;
    } else {
      ++idle;
      work.wait(lock);
      --idle;
    }
  }

  // Reads `job` with the mutex let go, and delivers it; false when memory ran out (the reader
  // stops, and no other starts). Called with the mutex held.
  bool ReadOne(const std::shared_ptr<Shared>& self, ReadPlan::Job& job, std::unique_lock<std::mutex>& lock,
               DirListing& listing, ReadSampler& sampler) {
    // The walk keeps the parent's summary while a child of it may be read.
    const std::shared_ptr<const DirSummary> parent = job.node->parent->summary;
    const bool mayGrow = started < options.readers;
    lock.unlock();
    bool held = false, starved = false;
    std::shared_ptr<const DirSummary> summary;
    try {
      summary = Read(job.path, *job.node, *parent, listing, held);
    } catch (const std::bad_alloc&) {
      starved = true;
    }
    const long blocks = mayGrow ? sampler.Count() : -1;
    lock = Lock();
    if (blocks >= 0) Grow(self, waits.Add(blocks));
    if (held) --open;
    job.node->opening = false;
    try {
      plan.Deliver(job.node, std::move(summary));
    } catch (const std::bad_alloc&) {
      starved = true;  // delivered, but its children are left to the walk
    }
    Publish();
    Tell(job.node.get());
    return !starved;
  }

  static void Run(std::shared_ptr<Shared> self, bool far) {
    // The last owner frees the shared block when this returns, not under its own mutex.
    Shared& s = *self;
    DirListing listing;  // kept for its buffers
    ReadSampler sampler(s.hooks.blocksRead);
    std::unique_lock lock(s.mutex);
    while (!s.stop) {
      ReadPlan::Job job;
      try {
        if (!s.noOpen) job = s.plan.Pick(far);
      } catch (const std::bad_alloc&) {
        s.starved = true;
        return;
      }
      if (job.node == nullptr) {
        s.WaitForWork(far, lock);
        continue;
      }
      if (s.HasWork()) s.WakeReader();
      if (!s.ReadOne(self, job, lock, listing, sampler)) {
        s.starved = true;
        return;
      }
    }
  }
};

ReadAhead::ReadAhead(Options options, Hooks hooks) : shared_(std::make_shared<Shared>(options, std::move(hooks))) {}

ReadAhead::~ReadAhead() {
  Stop();
  // Readers end once their reads return; one stuck in a file system that hangs is left to
  // end on its own, holding only the shared block.
  std::weak_ptr<Shared> watch = shared_;
  shared_.reset();
  detached::WaitUntil([&] { return watch.expired(); }, kAbandonAfter);
}

ReadAhead::Dir ReadAhead::Start(int rootFd, std::shared_ptr<const DirSummary> root, int64_t clusterSize,
                                std::shared_ptr<SizeHelpers> helpers) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.helpers = std::move(helpers);
  s.clusterSize = clusterSize;
  Dir dir = s.plan.Start(std::move(root));
  Identity id;
  if (s.options.readers > 0 && IdentityOf(rootFd, "", id)) {
    s.mount = id.mount;
    s.rootFd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  }
  if (s.rootFd >= 0) Shared::Grow(shared_, s.options.firstReaders);
  return dir;
}

void ReadAhead::AddReaders(unsigned count, const DiskWaits& waits) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.waits = waits;
  if (s.rootFd >= 0) Shared::Grow(shared_, count);
}

ReadAhead::Taken ReadAhead::Enter(Dir parent, std::size_t slot, const std::atomic<bool>* cancel) {
  Shared& s = *shared_;
  auto lock = s.Lock();
  // Held here: readers may add to parent's kids while the walk waits, moving its entries.
  const std::shared_ptr<Node> node = s.plan.Enter(*parent, slot);
  if (node == nullptr) return Taken{};
  // A read under way has a head start on one the walk would begin now: wait for it (not for a
  // reader that has yet to open it: it may be held back).
  // From the cache a read ends within microseconds: looking again a few times is cheaper than
  // sleeping on it. Reads that wait on the disk (readers were added for them) are slept on.
  for (int turn = 0; s.spin && turn < kSpinTurns && node->opening && !s.stop; ++turn) {
    lock.unlock();
    for (int i = 0; i < 8; ++i) CpuRelax();
    lock = s.Lock();
  }
  s.awaited = node.get();
  while (node->opening && !s.stop && (cancel == nullptr || !cancel->load()))
    s.changed.wait_for(lock, kCancelPoll);
  s.awaited = nullptr;
  const ReadPlan::Handed handed = s.plan.Take(node);
  s.Publish();
  // A wake-up costs the walk a system call per directory; only news is worth one.
  if (handed.news) s.WakeReader();
  return Taken{node.get(), handed.summary};
}

void ReadAhead::Adopt(Dir dir, std::shared_ptr<const DirSummary> summary) {
  shared_->Change([&](ReadPlan& plan) { return plan.Adopt(*dir, std::move(summary)); });
}

void ReadAhead::Leave(Dir dir) {
  shared_->Change([&](ReadPlan& plan) { return plan.Leave(*dir); });
}

bool ReadAhead::GiveBackDescriptors(const std::atomic<bool>* cancel) {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  const bool readersHeldSome = s.open > 0;
  s.noOpen = true;
  s.changed.notify_all();  // readers waiting to try an open again
  ++s.watchers;
  while (s.open > 0 && !s.stop && (cancel == nullptr || !cancel->load())) s.changed.wait_for(lock, kCancelPoll);
  --s.watchers;
  if (s.open > 0) return false;  // stopped first
  if (s.rootFd < 0) return readersHeldSome;
  ::close(s.rootFd);
  s.rootFd = -1;
  return true;
}

void ReadAhead::Stop() {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.stop = true;
  s.work.notify_all();
  s.farWork.notify_all();
  s.changed.notify_all();
}

ReadAhead::Stats ReadAhead::GetStats() const {
  std::lock_guard lock(shared_->mutex);
  Stats stats = shared_->plan.GetStats();
  stats.retries = shared_->retries;
  return stats;
}

ReadAhead::Ready ReadAhead::ReadyToTake() const {
  return {shared_->readyNames.load(std::memory_order_relaxed), shared_->readyBlocks.load(std::memory_order_relaxed)};
}

void ReadAhead::WaitIdle() {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  if (s.started == 0) return;
  ++s.watchers;
  s.changed.wait(lock, [&] { return s.stop || (s.plan.Busy() == 0 && !s.HasWork()); });
  --s.watchers;
}

}  // namespace kvor::platform
