#pragma once
// How far a walk has come and how long it has left, from what the drive holds and what the
// walk has read. The time of each reading is given, so the estimate is the same however it
// is run. Names are counted against the inodes in use where the file system counts inodes;
// the files' blocks against the used space where it counts none; a walk that does not start
// at its file system's root has nothing to be measured against.
#include <cstdint>
#include <deque>
#include <string>

#include "engine/progress.h"
#include "platform/system.h"

namespace kvor {

DriveHolds HoldsOf(const platform::SpaceFigures& space, bool mountRoot);

struct Estimate {
  enum class Basis : uint8_t { Unknown, Entries, Blocks };
  Basis basis = Basis::Unknown;
  int64_t read = 0;          // names read
  int64_t ofAbout = 0;       // names the drive holds, with the Entries basis
  double fraction = 0;       // done, short of 1 until the walk ends; with a basis only
  int64_t secondsLeft = -1;  // -1 until there is something worth saying
};

class ProgressEstimator {
 public:
  explicit ProgressEstimator(const DriveHolds& holds);
  // The walk's counts at `seconds` from its start; readings come in time order.
  Estimate Update(const WalkCounts& counts, double seconds);

 private:
  struct Sample {
    double seconds;
    double done;
  };
  double RecentRate(double seconds, double done);

  Estimate::Basis basis_;
  double total_ = 0;
  double fraction_ = 0;
  std::deque<Sample> samples_;  // one every half second, over the recent window
  double left_ = -1;            // smoothed seconds left
  double lastSeconds_ = 0;
};

// "about 40 seconds left", "about 3 minutes left": read at a glance.
std::string TimeLeftText(int64_t seconds);
// 1234567 as "1,234,567".
std::string GroupedNumber(int64_t value);
// The figures under a progress bar: "12,345 of about 1,000,000 items, about 3 minutes left";
// "12,345 items read" where the drive's figures tell no count.
std::string FiguresText(const Estimate& estimate);

}  // namespace kvor
