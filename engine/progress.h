#pragma once
// What the walk tells whoever runs it: the directory about to be read, and a chance for
// waiting events to run. A window shows the one and cancels at the other; the report tool
// does neither.
#include <string_view>

namespace kvor {

class ScanProgress {
 public:
  virtual ~ScanProgress() = default;
  // The directory about to be read.
  virtual void ShowCurrentDir(std::string_view path) = 0;
  // Lets waiting user-interface events run once.
  virtual void DoEvents() = 0;
};

// Progress and yield that do nothing, for headless scans.
class NoProgress final : public ScanProgress {
 public:
  void ShowCurrentDir(std::string_view) override {}
  void DoEvents() override {}
};

}  // namespace kvor
