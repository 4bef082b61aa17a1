#include "platform/readplan.h"

#include <algorithm>
#include <utility>

#include "platform/pathrules.h"

namespace kvor::platform {

namespace {

// The policy's figures, all of them.
// A far part the walk reaches before this many of its directories were taken was too near.
constexpr std::size_t kCaughtAtOnce = 8;
// Slots left in a directory from which the far reader, caught at once, leaves half to the walk
// (at most a quarter of the budget's directories).
constexpr std::size_t kWide = 64;
// The far reader's reads wait longest for the walk; with other readers about it keeps to half
// the budget, so theirs (what the walk wants next) always find room.
std::size_t FarShare(std::size_t maxDirs) { return maxDirs / 2; }
// Readers that found the budget full wake once a quarter of it is free again (the far reader's
// part down to three eighths), not at each directory the walk takes: else reader and walk take
// turns at every one.
std::size_t RoomAgainAt(std::size_t most) { return most / 4 * 3; }
std::size_t FarRoomAgainAt(std::size_t maxDirs) { return maxDirs / 8 * 3; }

int64_t Names(const DirSummary& s) { return static_cast<int64_t>(s.fileCount + s.SlotCount()); }

// The length of the path of child `name` of a directory whose path is `parentLength` long.
std::size_t ChildPathLength(std::size_t parentLength, std::string_view name) {
  return parentLength + (parentLength == 0 ? 0 : 1) + name.size();
}

}  // namespace

// Frees the children one by one: their list, destroyed link by link, could be longer than a
// thread's stack allows.
ReadPlan::Node::~Node() {
  while (firstKid != nullptr) firstKid = std::move(firstKid->nextKid);
}

// The child at `slot`, if scheduled or entered. The walk enters slots in order and leaves each
// before the next, so the one it looks for is at the front.
std::shared_ptr<ReadPlan::Node> ReadPlan::Kid(Node& parent, uint32_t slot) {
  for (Node* k = parent.firstKid.get(); k != nullptr && k->slot <= slot; k = k->nextKid.get())
    if (k->slot == slot) return k->prevKid == nullptr ? parent.firstKid : k->prevKid->nextKid;
  return nullptr;
}

// Files `kid` among its parent's children by slot: a scheduled slot after all the others, one
// the walk enters near the front, the slots before it being left already.
void ReadPlan::AddKid(Node& parent, std::shared_ptr<Node> kid) {
  Node* after = parent.lastKid;
  if (after != nullptr && after->slot > kid->slot) {
    after = nullptr;
    for (Node* k = parent.firstKid.get(); k->slot < kid->slot; k = k->nextKid.get()) after = k;
  }
  std::shared_ptr<Node>& link = after == nullptr ? parent.firstKid : after->nextKid;
  kid->prevKid = after;
  kid->nextKid = std::move(link);
  (kid->nextKid == nullptr ? parent.lastKid : kid->nextKid->prevKid) = kid.get();
  link = std::move(kid);
}

// Takes `kid` out of its parent's children; it lives on while anyone else holds it.
void ReadPlan::Unlink(Node& kid) {
  Node& parent = *kid.parent;
  (kid.nextKid == nullptr ? parent.lastKid : kid.nextKid->prevKid) = kid.prevKid;
  std::shared_ptr<Node>& link = kid.prevKid == nullptr ? parent.firstKid : kid.prevKid->nextKid;
  const std::shared_ptr<Node> keep = std::exchange(link, std::move(kid.nextKid));
  kid.prevKid = nullptr;
}

std::shared_ptr<ReadPlan::Node> ReadPlan::NewNode() { return std::allocate_shared<Node>(PoolAllocator<Node>(pool_)); }

ReadPlan::Node* ReadPlan::Start(std::shared_ptr<const DirSummary> root) {
  root_ = NewNode();
  root_->summary = std::move(root);
  root_->walked = true;
  sources_.push_back(root_);
  return root_.get();
}

// Reads under way count as directories held: their size is known only once read.
bool ReadPlan::BudgetFull() const {
  return readyDirs_ + busy_ >= limits_.maxDirs || readyBytes_ >= limits_.maxBytes;
}
bool ReadPlan::FarFull() const { return readers_ > 1 && farDirs_ >= FarShare(limits_.maxDirs); }
bool ReadPlan::RoomAgain() const {
  return waitForRoom_ && readyDirs_ + busy_ <= RoomAgainAt(limits_.maxDirs) &&
         readyBytes_ <= RoomAgainAt(limits_.maxBytes) && (readers_ <= 1 || farDirs_ <= FarRoomAgainAt(limits_.maxDirs));
}
// Halfway from `held` directories to a full budget.
// Node paths are 32-bit lengths.
std::size_t ReadPlan::MaxPath() const { return std::min<std::size_t>(limits_.maxPath, UINT32_MAX); }

std::size_t ReadPlan::RoomAfter(std::size_t held) const {
  return held + (limits_.maxDirs - std::min(held, limits_.maxDirs)) / 2;
}

bool ReadPlan::HasSlots(const Node& source) {
  return !source.dead && source.summary != nullptr && source.cursor < source.summary->SlotCount();
}

// Makes `node` the child of `parent` at `slot`. Its jump skips up the tree in steps whose
// lengths follow the skew binary numbers, so any ancestor is reached in a number of jumps that
// grows with the logarithm of the depth.
void ReadPlan::Link(Node& node, Node& parent, uint32_t slot) {
  node.parent = &parent;
  node.slot = slot;
  node.depth = parent.depth + 1;
  const Node* j = parent.jump;
  node.jump = j != nullptr && j->jump != nullptr && parent.depth - j->depth == j->depth - j->jump->depth ? j->jump
                                                                                                         : &parent;
}

// Moves `n` up to its ancestor at `depth` (above it); returns the slot it came up by.
std::size_t ReadPlan::Lift(const Node*& n, uint32_t depth) {
  while (n->depth > depth + 1) {
    n = n->jump->depth >= depth + 1 ? n->jump : n->parent;
    ++stats_.hops;
  }
  const std::size_t slot = n->slot;
  n = n->parent;
  ++stats_.hops;
  return slot;
}

// Whether the walk reaches the next slot of `a` before that of `b`. Each is known by its slots
// from the root down and then its next slot; the two are compared where their paths part,
// found by jumping up from the nodes themselves.
bool ReadPlan::WalkedBefore(const Node* a, const Node* b) {
  std::size_t ka = a->cursor, kb = b->cursor;  // the keys' elements at the depth reached
  int lifted = 0;                              // -1: a came up to b's depth, 1: b to a's
  if (a->depth > b->depth) ka = Lift(a, b->depth), lifted = -1;
  if (b->depth > a->depth) kb = Lift(b, a->depth), lifted = 1;
  if (a != b) {
    // Up to the two children of the nearest common ancestor. Nodes of one depth have jumps of
    // one length: different targets mean the common ancestor lies above them.
    while (a->parent != b->parent) {
      const bool far = a->jump != b->jump;
      a = far ? a->jump : a->parent;
      b = far ? b->jump : b->parent;
      stats_.hops += 2;
    }
    ka = a->slot, kb = b->slot, lifted = 0;
  }
  if (ka != kb) return ka < kb;
  return lifted == 1;  // one lies below the other's next slot: the shorter key comes first
}

// Files `source` by the walk's order. Readers finish out of order; kept on top as they finish,
// the last sibling's children would be read before the first's while the walk, going the
// other way, reads the first's itself, and the budget fills with what it wants last.
void ReadPlan::AddSource(std::shared_ptr<Node> source) {
  auto at = sources_.end();
  while (at != sources_.begin()) {
    Node& other = **(at - 1);
    if (!HasSlots(other)) {
      at = sources_.erase(at - 1);
      continue;
    }
    if (!WalkedBefore(&other, source.get())) break;
    --at;
  }
  sources_.insert(at, std::move(source));
}

// Takes the next slot of `source`: its node, with its path relative to the root, or null when
// that slot is not a reader's.
std::shared_ptr<ReadPlan::Node> ReadPlan::Schedule(Node& source, uint32_t region, std::string& path) {
  const uint32_t slot = source.cursor++;
  if (source.lastKid != nullptr && source.lastKid->slot == slot) return nullptr;  // entered by the walk already
  const std::size_t length = ChildPathLength(source.pathLength, source.summary->Name(slot));
  if (length > MaxPath()) return nullptr;
  auto node = NewNode();
  Link(*node, source, slot);
  node->pathLength = static_cast<uint32_t>(length);
  node->region = region;
  AddKid(source, node);
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

std::shared_ptr<ReadPlan::Node> ReadPlan::PickFrom(std::vector<std::shared_ptr<Node>>& stack, uint32_t region,
                                                   std::string& path) {
  while (!stack.empty()) {
    if (!HasSlots(*stack.back())) {
      stack.pop_back();
      continue;
    }
    if (auto node = Schedule(*stack.back(), region, path)) return node;
  }
  return nullptr;
}

ReadPlan::Job ReadPlan::Pick(bool far) {
  Job job;
  if (BudgetFull() || (far && FarFull())) {
    waitForRoom_ = true;
    job.full = true;
    return job;
  }
  job.node = far ? PickFar(job.path) : PickFrom(sources_, 0, job.path);
  if (job.node != nullptr) ++busy_;
  return job;
}

std::shared_ptr<ReadPlan::Node> ReadPlan::PickFar(std::string& path) {
  if (farCaught_) {
    farSources_.clear();
    farSkip_ = farPartReads_ < kCaughtAtOnce;
    if (farSkip_ && farDepth_ > 0) --farDepth_;
    farLimit_ = std::max(FarShare(limits_.maxDirs), RoomAfter(farDirs_));
  }
  farCaught_ = false;
  if (farDirs_ >= farLimit_) {
    // Far parts the walk is not near fill the budget (one big folder before many small ones):
    // the rest of it goes to a part nearer the walk.
    farSources_.clear();
    farDepth_ = farPartDepth_ + 1;
    farLimit_ = RoomAfter(farDirs_);
  }
  if (auto node = PickFrom(farSources_, farRegion_, path)) {
    ++farPartReads_;
    return node;
  }
  return NewFarPart(path);
}

// The next slot of the shallowest directory with slots left at farDepth_ or below, whose
// subtree the walk reaches last of all it has there; with none that deep, the nearest
// directory with slots left.
std::shared_ptr<ReadPlan::Node> ReadPlan::NewFarPart(std::string& path) {
  ++farRegion_;
  DropSpent(sources_);
  auto from = std::find_if(sources_.begin(), sources_.end(), [&](const auto& s) { return s->depth >= farDepth_; });
  if (from == sources_.end() && from != sources_.begin()) --from;
  for (; from != sources_.end(); ++from) {
    Node& source = **from;
    // Caught at once in a wide directory: leaving a stretch of it to the walk, the two read
    // side by side instead of taking turns at each next slot. Other readers read what it leaves.
    const std::size_t left = HasSlots(source) ? source.summary->SlotCount() - source.cursor : 0;
    if (std::exchange(farSkip_, false) && readers_ == 1 && left >= kWide)
      source.cursor += static_cast<uint32_t>(std::min(left / 2, limits_.maxDirs / 4));
    while (HasSlots(source))
      if (auto node = Schedule(source, farRegion_, path)) {
        farPartDepth_ = source.depth;
        farPartReads_ = 1;
        farPartSource_ = &source;
        farPartSlot_ = node->slot;
        return node;
      }
  }
  return nullptr;
}

// Drops the sources the walk reaches first that have no slot left.
void ReadPlan::DropSpent(std::vector<std::shared_ptr<Node>>& stack) {
  while (!stack.empty() && !HasSlots(*stack.back())) stack.pop_back();
}

bool ReadPlan::HasWork() {
  if (BudgetFull()) return false;
  DropSpent(sources_);
  DropSpent(farSources_);
  return !sources_.empty() || (!farSources_.empty() && !FarFull());
}

// Adds (sign 1) or takes away (-1) `node`'s summary from what is held.
void ReadPlan::Count(const Node& node, int sign) {
  const auto step = static_cast<std::size_t>(sign);  // wraps: adding it takes one away
  readyDirs_ += step;
  if (node.region != 0) farDirs_ += step;
  readyBytes_ += step * node.summary->MemoryBytes();
  ready_.names += sign * Names(*node.summary);
  ready_.blocks += sign * node.summary->allocated;
}

void ReadPlan::Uncount(Node& node) {
  if (!node.counted) return;
  node.counted = false;
  Count(node, -1);
}

// Marks `top` and all below it dead, by the children's links and without memory of its own:
// the walk leaves a directory on its way out of a failure too, out of memory among them.
void ReadPlan::Kill(Node& top) {
  for (Node* n = &top;;) {
    n->dead = true;
    Uncount(*n);
    if (n->firstKid != nullptr) {
      n = n->firstKid.get();
      continue;
    }
    while (n != &top && n->nextKid == nullptr) n = n->parent;
    if (n == &top) return;
    n = n->nextKid.get();
  }
}

void ReadPlan::Deliver(const std::shared_ptr<Node>& node, std::shared_ptr<const DirSummary> summary) {
  --busy_;
  if (node->dead || node->walked) return;
  if (summary == nullptr) {
    node->failed = true;
    return;
  }
  ++stats_.read;
  node->summary = std::move(summary);
  node->counted = true;
  Count(*node, 1);
  if (node->summary->SlotCount() == 0) return;
  // Its children are read next, by this reader first.
  if (node->region != 0 && node->region == farRegion_)
    farSources_.push_back(node);
  else
    AddSource(node);
}

std::shared_ptr<ReadPlan::Node> ReadPlan::Enter(Node& parent, std::size_t slot) {
  const auto key = static_cast<uint32_t>(slot);
  parent.cursor = std::max(parent.cursor, key + 1);  // the slots before are behind the walk
  std::shared_ptr<Node> node = Kid(parent, key);
  if (node == nullptr) {
    const std::size_t length = ChildPathLength(parent.pathLength, parent.summary->Name(slot));
    if (length > MaxPath()) return nullptr;  // no reader goes there, nor below
    node = NewNode();
    Link(*node, parent, key);
    node->pathLength = static_cast<uint32_t>(length);
    AddKid(parent, node);
  }
  // The walk has caught up with the far reader: it reads what is left there, the reader moves on.
  const bool ready = node->summary != nullptr && !node->failed;
  if (!ready && farRegion_ != 0 && (parent.region == farRegion_ || (&parent == farPartSource_ && slot >= farPartSlot_)))
    farCaught_ = true;
  return node;
}

ReadPlan::Handed ReadPlan::Take(const std::shared_ptr<Node>& node) {
  node->walked = true;
  if (node->summary == nullptr || node->failed) {
    ++stats_.notReady;
    return {};
  }
  ++stats_.handedOver;
  Uncount(*node);
  // Children of the directory being walked come first.
  const bool more = node->cursor < node->summary->SlotCount();
  if (more) AddSource(node);
  const bool news = more || RoomAgain();
  if (news) waitForRoom_ = false;
  return {node->summary, news};
}

bool ReadPlan::Adopt(Node& dir, std::shared_ptr<const DirSummary> summary) {
  // Nothing was scheduled below it: a directory with a read is handed over, not read again.
  dir.summary = std::move(summary);
  if (dir.summary->SlotCount() == 0) return false;
  AddSource(dir.parent == nullptr ? root_ : Kid(*dir.parent, dir.slot));
  return true;
}

bool ReadPlan::Leave(Node& dir) {
  Kill(dir);
  // Frees it and all below; a node a reader still holds lives on, dead, until it delivers.
  if (dir.parent != nullptr) Unlink(dir);
  if (!RoomAgain()) return false;
  waitForRoom_ = false;
  return true;
}

}  // namespace kvor::platform
