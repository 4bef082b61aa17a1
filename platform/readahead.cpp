#include "platform/readahead.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <linux/openat2.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include "platform/detached.h"
#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

constexpr auto kAbandonAfter = std::chrono::milliseconds(100);
constexpr auto kRetryFirst = std::chrono::milliseconds(1);
constexpr auto kRetryMost = std::chrono::milliseconds(50);
constexpr auto kCancelPoll = std::chrono::milliseconds(20);
// A far part the walk reaches before this many of its directories were taken was too near.
constexpr std::size_t kCaughtAtOnce = 8;
constexpr std::size_t kWide = 64;  // slots left in a directory, from which the far reader skips

}  // namespace

struct ReadAhead::Node {
  Node* parent = nullptr;           // outlives the node while it is alive
  Node* jump = nullptr;             // an ancestor further up (see Link)
  uint32_t slot = 0;
  uint32_t depth = 0;               // below the root
  std::size_t pathLength = 0;       // of the path relative to the root
  std::shared_ptr<const DirSummary> summary;  // the read the walk uses (or will use)
  std::unordered_map<uint32_t, std::shared_ptr<Node>> kids;  // scheduled or entered slots
  std::size_t cursor = 0;           // next slot to schedule
  uint32_t region = 0;              // the far reader's part it was scheduled in; 0: none
  bool opening = false;             // its reader is past the hook, opening or reading it
  bool walked = false;              // the walk has arrived: a read ahead finishing now is not used
  bool failed = false;
  bool dead = false;                // the walk is done with it
  bool counted = false;             // its summary counts against the budget
};

struct ReadAhead::Shared {
  Options options;
  Hooks hooks;
  std::mutex mutex;
  std::condition_variable work;     // readers: something to do, or stop
  std::condition_variable changed;  // the walk: a reader finished or let go of a descriptor
  std::condition_variable farWork;  // the far reader: something to do, or stop
  std::atomic<bool> stop = false;
  bool noOpen = false;
  bool starved = false;             // a reader ran out of memory: no more start
  int rootFd = -1;
  int open = 0;                     // descriptors readers hold
  int busy = 0;                     // readers between taking a job and delivering it
  int idle = 0;                     // readers waiting for work, the far one aside
  bool farIdle = false;
  unsigned started = 0;             // readers started
  DiskWaits waits;
  int watchers = 0;                 // callers waiting for `changed`, the walk's Enter aside
  const Node* awaited = nullptr;    // the read the walk waits for
  std::shared_ptr<SizeHelpers> helpers;  // kept while a reader may use them
  int64_t clusterSize = 0;
  uint64_t mount = 0;               // the root's mount ID
  std::shared_ptr<Node> root;
  // Nodes with slots to schedule, in the walk's order: the last holds the slot it reaches first.
  std::vector<std::shared_ptr<Node>> sources;
  std::vector<std::shared_ptr<Node>> farSources;  // the first reader's own part, depth first
  uint32_t farRegion = 0;
  bool farCaught = false;           // the walk has reached what the far reader was reading
  // Where the far reader's next part starts: at a directory this deep or deeper. Its parts go
  // nearer the walk when what it holds fills the budget, farther when the walk catches it at once.
  uint32_t farDepth = 0;
  uint32_t farPartDepth = 0;        // of the directory the current part started at
  std::size_t farPartReads = 0;     // directories taken in the current part
  std::size_t farLimit = 0;         // held by the far reader, at which it moves nearer
  bool farSkip = false;             // its last part was caught at once
  // The directory and slot the current part started at (compared, never followed: the walk
  // reaching that slot or one after it has caught the reader, whether it waits for it or not).
  const Node* farPartSource = nullptr;
  std::size_t farPartSlot = 0;
  bool waitForRoom = false;         // a reader found the budget full
  std::size_t readyDirs = 0;
  std::size_t farDirs = 0;          // of them, read by the far reader
  std::size_t readyBytes = 0;
  // Names and file blocks in the summaries the walk has yet to take: read, though not walked.
  std::atomic<int64_t> readyNames = 0, readyBlocks = 0;
  Stats stats;

  ~Shared() {
    if (rootFd >= 0) ::close(rootFd);
  }

  // Reads under way count as directories held: their size is known only once read.
  // Wakes one idle reader; each that finds work wakes the next, so no wake-up is for nothing.
  void WakeReader() {
    if (idle > 0) work.notify_one();
    if (farIdle) farWork.notify_one();
  }
  void Wake() {
    waitForRoom = false;
    WakeReader();
  }
  // A reader finished with `settled`. The walk wakes for the one read it waits for, not for
  // every reader's: with many readers those wake-ups cost more than the reads they announce.
  void Tell(const Node* settled = nullptr) {
    if (watchers > 0 || (settled != nullptr && settled == awaited)) changed.notify_all();
  }

  bool BudgetFull() const { return readyDirs + busy >= options.maxDirs || readyBytes >= options.maxBytes; }
  // The far reader's reads wait longest for the walk; with other readers about it keeps to
  // half the budget, so theirs (what the walk wants next) always find room.
  bool FarFull() const { return started > 1 && farDirs >= options.maxDirs / 2; }
  // Readers that found the budget full wake once a quarter of it is free again, not at each
  // directory the walk takes: else reader and walk take turns at every one.
  bool RoomAgain() const {
    return waitForRoom && readyDirs + busy <= options.maxDirs / 4 * 3 && readyBytes <= options.maxBytes / 4 * 3 &&
           (started <= 1 || farDirs <= options.maxDirs / 8 * 3);
  }

  static bool HasSlots(const Node& source) {
    return !source.dead && source.summary != nullptr && source.cursor < source.summary->SlotCount();
  }

  // Makes `node` the child of `parent` at `slot`. Its jump skips up the tree in steps whose
  // lengths follow the skew binary numbers, so any ancestor is reached in a number of jumps
  // that grows with the logarithm of the depth.
  static void Link(Node& node, Node& parent, uint32_t slot) {
    node.parent = &parent;
    node.slot = slot;
    node.depth = parent.depth + 1;
    const Node* j = parent.jump;
    node.jump = j != nullptr && j->jump != nullptr && parent.depth - j->depth == j->depth - j->jump->depth
                    ? j->jump
                    : &parent;
  }

  // Moves `n` up to its ancestor at `depth` (above it); returns the slot it came up by.
  std::size_t Lift(const Node*& n, uint32_t depth) {
    while (n->depth > depth + 1) {
      n = n->jump->depth >= depth + 1 ? n->jump : n->parent;
      ++stats.hops;
    }
    const std::size_t slot = n->slot;
    n = n->parent;
    ++stats.hops;
    return slot;
  }

  // Whether the walk reaches the next slot of `a` before that of `b`. Each is known by its
  // slots from the root down and then its next slot; the two are compared where their paths
  // part, found by jumping up from the nodes themselves.
  bool WalkedBefore(const Node* a, const Node* b) {
    std::size_t ka = a->cursor, kb = b->cursor;  // the keys' elements at the depth reached
    int lifted = 0;                              // -1: a came up to b's depth, 1: b to a's
    if (a->depth > b->depth) ka = Lift(a, b->depth), lifted = -1;
    if (b->depth > a->depth) kb = Lift(b, a->depth), lifted = 1;
    if (a != b) {
      // Up to the two children of the nearest common ancestor. Nodes of one depth have jumps
      // of one length: different targets mean the common ancestor lies above them.
      while (a->parent != b->parent) {
        const bool far = a->jump != b->jump;
        a = far ? a->jump : a->parent;
        b = far ? b->jump : b->parent;
        stats.hops += 2;
      }
      ka = a->slot, kb = b->slot, lifted = 0;
    }
    if (ka != kb) return ka < kb;
    return lifted == 1;  // one lies below the other's next slot: the shorter key comes first
  }

  // Files `source` by the walk's order. Readers finish out of order; kept on top as they
  // finish, the last sibling's children would be read before the first's while the walk,
  // going the other way, reads the first's itself, and the budget fills with what it wants last.
  void AddSource(std::shared_ptr<Node> source) {
    auto at = sources.end();
    while (at != sources.begin()) {
      Node& other = **(at - 1);
      if (!HasSlots(other)) {
        at = sources.erase(at - 1);
        continue;
      }
      if (!WalkedBefore(&other, source.get())) break;
      --at;
    }
    sources.insert(at, std::move(source));
  }

  // Takes the next slot of `source`: its node, with its path relative to the root, or null when
  // that slot is not a reader's. Called with the mutex held.
  std::shared_ptr<Node> Schedule(Node& source, uint32_t region, std::string& path) {
    const auto slot = static_cast<uint32_t>(source.cursor++);
    if (source.kids.count(slot) != 0) return nullptr;  // entered by the walk already
    const std::string_view name = source.summary->Name(slot);
    const std::size_t length = source.pathLength + (source.pathLength == 0 ? 0 : 1) + name.size();
    if (length > options.maxPath) return nullptr;
    auto node = std::make_shared<Node>();
    Link(*node, source, slot);
    node->pathLength = length;
    node->region = region;
    source.kids.emplace(slot, node);
    path.assign(length, '\0');
    // Spelled from the end: each ancestor's name sits just before its child's.
    for (const Node* n = node.get(); n->parent != nullptr; n = n->parent) {
      const std::string_view part = n->parent->summary->Name(n->slot);
      const std::size_t at = n->pathLength - part.size();
      path.replace(at, part.size(), part);
      if (at > 0) path[at - 1] = kSeparator;
    }
    return node;
  }

  std::shared_ptr<Node> PickFrom(std::vector<std::shared_ptr<Node>>& stack, uint32_t region, std::string& path) {
    while (!stack.empty()) {
      if (!HasSlots(*stack.back())) {
        stack.pop_back();
        continue;
      }
      if (auto node = Schedule(*stack.back(), region, path)) return node;
    }
    return nullptr;
  }

  // The next directory for a reader; null when there is none (or the budget is full). Called
  // with the mutex held.
  std::shared_ptr<Node> Pick(bool far, std::string& path) {
    if (noOpen) return nullptr;
    if (BudgetFull() || (far && FarFull())) {
      waitForRoom = true;
      return nullptr;
    }
    if (!far) return PickFrom(sources, 0, path);
    if (farCaught) {
      farSources.clear();
      farSkip = farPartReads < kCaughtAtOnce;
      if (farSkip && farDepth > 0) --farDepth;
      farLimit = std::max(options.maxDirs / 2, RoomAfter(farDirs));
    }
    farCaught = false;
    if (farDirs >= farLimit) {
      // Far parts the walk is not near fill the budget (one big folder before many small
      // ones): the rest of it goes to a part nearer the walk.
      farSources.clear();
      farDepth = farPartDepth + 1;
      farLimit = RoomAfter(farDirs);
    }
    if (auto node = PickFrom(farSources, farRegion, path)) {
      ++farPartReads;
      return node;
    }
    // A new part: the next slot of the shallowest directory with slots left at farDepth or
    // below, whose subtree the walk reaches last of all it has there; with none that deep, the
    // nearest directory with slots left.
    ++farRegion;
    auto from = std::find_if(sources.begin(), sources.end(), [&](const auto& s) { return s->depth >= farDepth; });
    if (from == sources.end() && from != sources.begin()) --from;
    for (; from != sources.end(); ++from) {
      Node& source = **from;
      // Caught at once in a wide directory: leaving a stretch of it to the walk, the two read
      // side by side instead of taking turns at each next slot. Other readers read what it leaves.
      const std::size_t left = HasSlots(source) ? source.summary->SlotCount() - source.cursor : 0;
      if (std::exchange(farSkip, false) && started == 1 && left >= kWide)
        source.cursor += std::min(left / 2, options.maxDirs / 4);
      while (HasSlots(source))
        if (auto node = Schedule(source, farRegion, path)) {
          farPartDepth = source.depth;
          farPartReads = 1;
          farPartSource = &source;
          farPartSlot = node->slot;
          return node;
        }
    }
    return nullptr;
  }
  // Halfway from `held` directories to a full budget.
  std::size_t RoomAfter(std::size_t held) const { return held + (options.maxDirs - std::min(held, options.maxDirs)) / 2; }

  bool HasWork() {
    if (BudgetFull() || noOpen) return false;
    for (auto* stack : {&sources, &farSources})
      while (!stack->empty() && !HasSlots(*stack->back())) stack->pop_back();
    return !sources.empty() || (!farSources.empty() && !FarFull());
  }

  void Uncount(Node& node) {
    if (!node.counted) return;
    node.counted = false;
    --readyDirs;
    if (node.region != 0) --farDirs;
    readyBytes -= node.summary->MemoryBytes();
    readyNames.fetch_sub(Names(*node.summary), std::memory_order_relaxed);
    readyBlocks.fetch_sub(node.summary->allocated, std::memory_order_relaxed);
  }
  static int64_t Names(const DirSummary& s) { return static_cast<int64_t>(s.fileCount + s.SlotCount()); }

  void Kill(Node& top) {
    std::vector<Node*> pending{&top};
    while (!pending.empty()) {
      Node* n = pending.back();
      pending.pop_back();
      n->dead = true;
      Uncount(*n);
      for (auto& [slot, kid] : n->kids) pending.push_back(kid.get());
    }
    // Freed from the top: a kid a reader still holds lives on, dead, until it delivers.
    top.kids.clear();
  }

  // A summary, or nothing, for `node`, read ahead by a reader.
  void Deliver(const std::shared_ptr<Node>& node, std::shared_ptr<const DirSummary> summary) {
    node->opening = false;
    if (node->dead || node->walked || stop) return;
    if (summary == nullptr) {
      node->failed = true;
      return;
    }
    ++stats.read;
    node->summary = std::move(summary);
    node->counted = true;
    ++readyDirs;
    if (node->region != 0) ++farDirs;
    readyBytes += node->summary->MemoryBytes();
    readyNames.fetch_add(Names(*node->summary), std::memory_order_relaxed);
    readyBlocks.fetch_add(node->summary->allocated, std::memory_order_relaxed);
    if (node->summary->SlotCount() == 0) return;
    if (node->region != 0 && node->region == farRegion)
      farSources.push_back(node);
    else
      AddSource(node);
  }

  // Opens `path` below the root: no symlink on the way, no other mount (refused before its root
  // is opened), nothing above the root; waits and tries again while the process is out of
  // descriptors.
  int Open(const std::string& path, Node& node) {
    auto wait = kRetryFirst;
    for (;;) {
      int at;
      {
        std::lock_guard lock(mutex);
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
      ++stats.retries;
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
    held = fd >= 0;
    if (fd < 0) return nullptr;
    std::shared_ptr<const DirSummary> out;
    Identity id, up;
    // The directory on the drive's mount (a subvolume's device may be its own), and still the
    // child of the directory whose read named it (a rename since then makes it the walk's to
    // read). Its ".." entry says so without a lookup where the file system gives the parent's
    // inode there and both are on one device, where inodes are unique; elsewhere ask.
    try {
      if (IdentityOf(fd, "", id) && id.mount == mount && !id.mountRoot) {
        if (listing.Read(fd, {.cancel = &stop, .calls = &hooks.listing, .clusterSize = clusterSize,
                              .helpers = helpers.get()}) == DirListing::Status::Ok &&
            ((id.device == parent.device && listing.DotDotInode() == parent.inode) ||
             (IdentityOf(fd, "..", up) && up.device == parent.device && up.inode == parent.inode)))
          out = std::make_shared<const DirSummary>(Summarize(listing, clusterSize, id.device, id.inode));
        listing.Trim();
      }
    } catch (const std::bad_alloc&) {
      ::close(fd);
      throw;
    }
    ::close(fd);
    return out;
  }

  // One more reader, on a thread of its own that co-owns the shared block. Called with the
  // mutex held; false when no thread could be made.
  static bool StartReader(const std::shared_ptr<Shared>& self) {
    const bool far = self->started == 0;
    if (!detached::Start([self, far] { Run(self, far); })) return false;
    ++self->started;
    return true;
  }

  // Called with the mutex held.
  static void Grow(const std::shared_ptr<Shared>& self, unsigned count) {
    for (; count > 0 && self->started < self->options.readers && !self->stop && !self->starved; --count)
      if (!StartReader(self)) break;
  }

  // Nothing to pick: sleeps until the walk or another reader makes some. Called with the mutex held.
  void WaitForWork(bool far, std::unique_lock<std::mutex>& lock) {
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

  // A reader that runs out of memory hands back what it took (the walk reads it in place) and
  // stops, and no other starts.
  static void Run(std::shared_ptr<Shared> self, bool far) {
    // The last owner frees the shared block when this returns, not under its own mutex.
    Shared& s = *self;
    DirListing listing;  // kept for its buffers
    // Measured over a few reads: a getrusage per read costs a warm scan more than it tells.
    long blocks = BlocksRead(s.hooks.blocksRead);
    unsigned reads = 0;
    std::unique_lock lock(s.mutex);
    for (;;) {
      if (s.stop) break;
      std::string path;
      std::shared_ptr<Node> node;
      try {
        node = s.Pick(far, path);
      } catch (const std::bad_alloc&) {
        s.starved = true;
        break;
      }
      if (node == nullptr) {
        s.Tell();
        s.WaitForWork(far, lock);
        continue;
      }
      if (s.HasWork()) s.WakeReader();
      // The walk keeps the parent's summary while a child of it may be read.
      const std::shared_ptr<const DirSummary> parent = node->parent->summary;
      const bool mayGrow = s.started < s.options.readers;
      ++s.busy;
      lock.unlock();
      bool held = false, starved = false;
      std::shared_ptr<const DirSummary> summary;
      try {
        summary = s.Read(path, *node, *parent, listing, held);
      } catch (const std::bad_alloc&) {
        starved = true;
      }
      const bool sample = ++reads == DiskWaits::kReadsPerSample && mayGrow;
      const long blocksNow = sample ? BlocksRead(s.hooks.blocksRead) : 0;
      lock.lock();
      if (sample) {
        Grow(self, s.waits.Add(reads, blocksNow - blocks));
        blocks = blocksNow;
        reads = 0;
      }
      reads %= DiskWaits::kReadsPerSample;
      --s.busy;
      if (held) --s.open;
      try {
        s.Deliver(node, std::move(summary));  // its children are read next, by this reader first
      } catch (const std::bad_alloc&) {
        starved = true;  // delivered, but its children are left to the walk
      }
      s.Tell(node.get());
      if (starved) {
        s.starved = true;
        break;
      }
    }
  }
};

ReadAhead::ReadAhead(Options options) : ReadAhead(options, Hooks()) {}

ReadAhead::ReadAhead(Options options, Hooks hooks) : shared_(std::make_shared<Shared>()) {
  shared_->options = options;
  shared_->hooks = std::move(hooks);
  shared_->farLimit = options.maxDirs / 2;
}

ReadAhead::~ReadAhead() {
  Stop();
  // Readers end once their reads return; one stuck in a file system that hangs is left to
  // end on its own, holding only the shared block.
  std::weak_ptr<Shared> watch = shared_;
  shared_.reset();
  detached::WaitUntil([&] { return watch.expired(); }, kAbandonAfter);
}

ReadAhead::Dir ReadAhead::Start(int rootFd, std::shared_ptr<const DirSummary> root,
                                std::shared_ptr<SizeHelpers> helpers) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.helpers = std::move(helpers);
  s.clusterSize = root->clusterSize;
  s.root = std::make_shared<Node>();
  s.root->summary = std::move(root);
  s.root->walked = true;
  s.sources.push_back(s.root);
  Identity id;
  if (s.options.readers > 0 && IdentityOf(rootFd, "", id)) {
    s.mount = id.mount;
    s.rootFd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  }
  if (s.rootFd >= 0) Shared::Grow(shared_, s.options.firstReaders);
  return s.root.get();
}

void ReadAhead::AddReaders(unsigned count, const DiskWaits& waits) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.waits = waits;
  if (s.rootFd >= 0) Shared::Grow(shared_, count);
}

ReadAhead::Taken ReadAhead::Enter(Dir parent, std::size_t slot, const std::atomic<bool>* cancel) {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  const auto key = static_cast<uint32_t>(slot);
  parent->cursor = std::max(parent->cursor, slot + 1);  // the slots before are behind the walk
  auto it = parent->kids.find(key);
  if (it == parent->kids.end()) {
    const std::size_t length =
        parent->pathLength + (parent->pathLength == 0 ? 0 : 1) + parent->summary->Name(slot).size();
    if (length > s.options.maxPath) return Taken{};  // no reader goes there, nor below
    auto node = std::make_shared<Node>();
    Shared::Link(*node, *parent, key);
    node->pathLength = length;
    it = parent->kids.emplace(key, std::move(node)).first;
  }
  // Held here: readers may add to parent->kids while the walk waits, moving its entries.
  const std::shared_ptr<Node> held = it->second;
  Node& node = *held;
  const bool ready = node.summary != nullptr && !node.failed;
  // The walk has caught up with the far reader: it reads what is left there, the reader moves
  // on. Told before waiting for the read, after which the reader is elsewhere.
  if (!ready && s.farRegion != 0 &&
      (node.region == s.farRegion || parent->region == s.farRegion ||
       (parent == s.farPartSource && slot >= s.farPartSlot)))
    s.farCaught = true;
  // A read under way has a head start on one the walk would begin now: wait for it (not for a
  // reader that has yet to open it: it may be held back).
  s.awaited = &node;
  while (node.opening && !s.stop && (cancel == nullptr || !cancel->load()))
    s.changed.wait_for(lock, kCancelPoll);
  s.awaited = nullptr;
  node.walked = true;
  if (node.summary == nullptr || node.failed) {
    ++s.stats.notReady;
    return Taken{&node, nullptr};
  }
  ++s.stats.handedOver;
  s.Uncount(node);
  // Children of the directory being walked come first.
  const bool more = node.cursor < node.summary->SlotCount();
  if (more) s.AddSource(held);
  // A wake-up costs the walk a system call per directory; only news is worth one.
  if (more || s.RoomAgain()) s.Wake();
  return Taken{&node, node.summary};
}

void ReadAhead::Adopt(Dir dir, std::shared_ptr<const DirSummary> summary) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  dir->summary = std::move(summary);
  dir->failed = false;
  dir->cursor = 0;
  // The children of what the walk read: what was read ahead of an older read goes.
  for (auto& [slot, kid] : dir->kids) s.Kill(*kid);
  dir->kids.clear();
  if (dir->summary->SlotCount() > 0) {
    s.AddSource(s.root.get() == dir ? s.root : dir->parent->kids.at(dir->slot));
    s.WakeReader();
  }
}

void ReadAhead::Leave(Dir dir) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  s.Kill(*dir);
  if (dir->parent != nullptr) dir->parent->kids.erase(dir->slot);  // frees it
  if (s.RoomAgain()) s.Wake();
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
  return shared_->stats;
}

ReadAhead::Ready ReadAhead::ReadyToTake() const {
  return {shared_->readyNames.load(std::memory_order_relaxed), shared_->readyBlocks.load(std::memory_order_relaxed)};
}

void ReadAhead::WaitIdle() {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  if (s.started == 0) return;
  ++s.watchers;
  s.changed.wait(lock, [&] { return s.stop || (s.busy == 0 && !s.HasWork()); });
  --s.watchers;
}



}  // namespace kvor::platform
