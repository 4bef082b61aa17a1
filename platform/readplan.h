#pragma once
// What the read-ahead reads next, and what it holds: its policy as one plain object, without
// threads, locks or system calls (ReadAhead runs it under its mutex). It keeps the tree of the
// directories scheduled and entered, the directories with slots left in the walk's order, the
// budget, the far reader's parts, and the count of what was read and taken.
//
// The far reader (the first) keeps away from the walk: it takes the next slot of the shallowest
// directory with slots left, reads that part depth first, and leaves it for another as soon as
// the walk reaches what it is reading. When what it holds fills half the budget while the walk
// is elsewhere (a big folder before many small ones), its next part lies nearer the walk; when
// the walk catches a part at once, farther. The others read the walk's next directories,
// children of the one being walked first.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/blockpool.h"
#include "platform/summary.h"

namespace kvor::platform {

class ReadPlan {
 public:
  struct Limits {
    // Summaries held (reads under way among them). Each costs about 300 bytes with its node;
    // 16,384 keep a 1M-entry scan within 16 MiB, and half as many leave the readers short.
    std::size_t maxDirs = 16384;
    std::size_t maxBytes = std::size_t{32} << 20;
    // Deeper directories are the walk's alone: a reader opens a directory by its path from the
    // root, which costs the kernel a step per component.
    std::size_t maxPath = 1024;
  };
  struct Node {
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node();
    Node* parent = nullptr;     // outlives the node while it is alive
    Node* jump = nullptr;       // an ancestor further up (see Link)
    std::shared_ptr<const DirSummary> summary;  // the read the walk uses (or will use)
    // The scheduled or entered children, by slot: a list, as the walk takes them from its front
    // and readers add at its back; a map in each of thousands of nodes would weigh more than them.
    std::shared_ptr<Node> firstKid;
    std::shared_ptr<Node> nextKid;
    Node* prevKid = nullptr;
    Node* lastKid = nullptr;
    uint32_t slot = 0;
    uint32_t depth = 0;         // below the root
    uint32_t pathLength = 0;    // of the path relative to the root, at most Limits::maxPath
    uint32_t cursor = 0;        // next slot to schedule (slots' names end at 32-bit offsets)
    uint32_t region = 0;        // the far reader's part it was scheduled in; 0: none
    bool opening = false;       // its reader is opening or reading it (the threads' to set)
    bool walked = false;        // the walk has arrived: a read finishing now is not used
    bool failed = false;
    bool dead = false;          // the walk is done with it
    bool counted = false;       // its summary counts against the budget
  };
  struct Stats {
    uint64_t read = 0;        // summaries made
    uint64_t handedOver = 0;  // taken by the walk
    uint64_t notReady = 0;    // entered by the walk before (or without) a good read ahead
    uint64_t retries = 0;     // opens tried again after running out of descriptors (the threads')
    uint64_t hops = 0;        // steps up the tree taken to put directories in the walk's order
  };
  struct Ready {  // names and 512-byte file blocks read ahead, not yet taken by the walk
    int64_t names = 0;
    int64_t blocks = 0;
  };
  struct Job {
    std::shared_ptr<Node> node;  // null: nothing to read now
    std::string path;            // relative to the root
    bool full = false;           // nothing because the budget is full
  };
  struct Handed {
    std::shared_ptr<const DirSummary> summary;  // null: the walk reads the directory itself
    bool news = false;                          // readers have work again
  };

  explicit ReadPlan(Limits limits) : limits_(limits), farLimit_(limits.maxDirs / 2) {}

  Node* Start(std::shared_ptr<const DirSummary> root);
  void SetReaders(unsigned started) { readers_ = started; }
  // The next directory for the far reader or another; counts as held until delivered.
  Job Pick(bool far);
  // A reader's read of `node`; null when it failed.
  void Deliver(const std::shared_ptr<Node>& node, std::shared_ptr<const DirSummary> summary);
  // The walk reaches child `slot` of `parent`: its node (null when deeper than readers go).
  // A read under way of it is to be waited for before Take.
  std::shared_ptr<Node> Enter(Node& parent, std::size_t slot);
  Handed Take(const std::shared_ptr<Node>& node);
  // The walk read `dir` itself (not read ahead, or not well); true when it has slots for readers.
  bool Adopt(Node& dir, std::shared_ptr<const DirSummary> summary);
  // The walk is done with `dir`; true when readers that found the budget full have room again.
  bool Leave(Node& dir);
  bool HasWork();
  int Busy() const { return busy_; }
  const Stats& GetStats() const { return stats_; }
  Ready ReadyToTake() const { return ready_; }

 private:
  bool BudgetFull() const;
  bool FarFull() const;
  bool RoomAgain() const;
  std::size_t RoomAfter(std::size_t held) const;
  std::size_t MaxPath() const;
  static bool HasSlots(const Node& source);
  static void DropSpent(std::vector<std::shared_ptr<Node>>& stack);
  static void Link(Node& node, Node& parent, uint32_t slot);
  static std::shared_ptr<Node> Kid(Node& parent, uint32_t slot);
  static void AddKid(Node& parent, std::shared_ptr<Node> kid);
  static void Unlink(Node& kid);
  std::size_t Lift(const Node*& n, uint32_t depth);
  bool WalkedBefore(const Node* a, const Node* b);
  void AddSource(std::shared_ptr<Node> source);
  std::shared_ptr<Node> Schedule(Node& source, uint32_t region, std::string& path);
  std::shared_ptr<Node> PickFrom(std::vector<std::shared_ptr<Node>>& stack, uint32_t region, std::string& path);
  std::shared_ptr<Node> PickFar(std::string& path);
  std::shared_ptr<Node> NewFarPart(std::string& path);
  void Count(const Node& node, int sign);
  void Uncount(Node& node);
  void Kill(Node& top);
  std::shared_ptr<Node> NewNode();

  Limits limits_;
  // Nodes are made on readers' threads and mostly freed on the walk's.
  std::shared_ptr<BlockPool> pool_ = std::make_shared<BlockPool>();
  unsigned readers_ = 0;
  std::shared_ptr<Node> root_;
  // Nodes with slots to schedule, in the walk's order: the last holds the slot it reaches first.
  std::vector<std::shared_ptr<Node>> sources_;
  std::vector<std::shared_ptr<Node>> farSources_;  // the far reader's own part, depth first
  uint32_t farRegion_ = 0;
  bool farCaught_ = false;       // the walk has reached what the far reader was reading
  // Where the far reader's next part starts: at a directory this deep or deeper.
  uint32_t farDepth_ = 0;
  uint32_t farPartDepth_ = 0;    // of the directory the current part started at
  std::size_t farPartReads_ = 0; // directories taken in the current part
  std::size_t farLimit_;         // held by the far reader, at which it moves nearer
  bool farSkip_ = false;         // its last part was caught at once
  // The directory and slot the current part started at (compared, never followed: the walk
  // reaching that slot or one after it has caught the reader, whether it waits for it or not).
  const Node* farPartSource_ = nullptr;
  std::size_t farPartSlot_ = 0;
  bool waitForRoom_ = false;     // a reader found the budget full
  int busy_ = 0;                 // reads picked and not yet delivered
  std::size_t readyDirs_ = 0;
  std::size_t farDirs_ = 0;      // of them, read by the far reader
  std::size_t readyBytes_ = 0;
  Ready ready_;
  Stats stats_;
};

}  // namespace kvor::platform
