#pragma once
// A scan of a temporary directory as a drive, as the report tool runs it, with hooks into
// the progress calls so tests can stop the walk or change the tree at exact points.
#include <cstdlib>
#include <functional>

#include "engine/scanner.h"
#include "engine/storetree.h"
#include "tempdrive.h"

namespace kvor::test {

struct HookedProgress : ScanProgress {
  int doEvents = 0;
  std::function<void(const std::string&)> onShow;
  std::function<void(int)> onDoEvents;  // gets the 1-based count of calls so far
  void ShowCurrentDir(std::string_view path) override {
    if (onShow) onShow(std::string(path));
  }
  void DoEvents() override {
    if (onDoEvents) onDoEvents(doEvents + 1);
    ++doEvents;
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
    if (store.size() > 0) visit(0, 0);
    return out;
  }
};

}  // namespace kvor::test
