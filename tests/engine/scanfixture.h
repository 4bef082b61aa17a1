#pragma once
// A scan of a temporary directory as a drive, as the report tool runs it, with hooks into
// the progress calls so tests can stop the walk or change the tree at exact points.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/scanner.h"
#include "engine/storetree.h"
#include "platform/nodestore.h"
#include "tempdrive.h"

namespace kvor::test {

class HookedProgress : public ScanProgress {
 public:
  std::string shown;  // the last path only: a deep chain shows thousands of long ones
  int doEvents = 0;
  std::function<void(const std::string&)> onShow;
  std::function<void(int)> onDoEvents;  // gets the 1-based count of calls so far

  void ShowCurrentDir(std::string_view path) override {
    shown.assign(path);
    if (onShow) onShow(shown);
  }
  void DoEvents() override {
    ++doEvents;
    if (onDoEvents) onDoEvents(doEvents);
  }
};

// Readers that read ahead of the walk: the program's count, or none when the suite runs a
// second time to show that they change nothing (KVOR_TEST_READERS=0).
inline unsigned Readers() {
  const char* given = std::getenv("KVOR_TEST_READERS");
  return given != nullptr ? static_cast<unsigned>(std::atoi(given)) : platform::DirListBox::kReaders;
}

struct ScanFixture {
  ScanState s;
  platform::NodeStore store;
  StoreTree tree{store};
  HookedProgress progress;
  FakeSystem system;
  Scanner scanner{s, system, tree, progress};

  explicit ScanFixture(unsigned readers = Readers(), platform::ReadAhead::Hooks hooks = {}) {
    scanner.dirList.SetReadAheadOptions({.readers = readers}, std::move(hooks));
  }

  // Reads the "drive"'s root, queries it and walks it, as the start-up does.
  void Run(const std::string& root) {
    scanner.ReachDrive(root);
    scanner.ScanDrive();
  }

  // Nodes in display order as "depth|key|text".
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::function<void(platform::NodeStore::Index, int)> visit = [&](auto node, int depth) {
      out.push_back(std::to_string(depth) + "|" + store.Key(node) + "|" + store.Text(node));
      for (std::size_t r = 0; r < store.ChildCount(node); ++r) visit(store.Child(node, r), depth + 1);
    };
    for (std::size_t r = 0; r < store.ChildCount(platform::NodeStore::kNone); ++r)
      visit(store.Child(platform::NodeStore::kNone, r), 0);
    return out;
  }
};

}  // namespace kvor::test
