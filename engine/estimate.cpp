#include "engine/estimate.h"

#include <algorithm>
#include <cmath>

namespace kvor {

namespace {

constexpr double kWindow = 10;     // seconds of walk the rate is taken over
constexpr double kStep = 0.5;      // seconds between samples of it
constexpr double kFirstSaid = 3;   // seconds before the time left is said at all
constexpr double kFollow = 3;      // seconds a change of rate takes to show
constexpr double kKnee = 0.95;     // beyond it the fraction only creeps towards kCeiling
constexpr double kCeiling = 0.99;
constexpr double kBlockUnit = 512;

// Names read past what the drive was thought to hold (hard links, a drive that grows) bring
// the fraction ever nearer the end without reaching it.
double Shaped(double ratio) {
  if (ratio <= kKnee) return ratio;
  const double room = kCeiling - kKnee;
  return kKnee + room * (1 - std::exp(-(ratio - kKnee) / room));
}

}  // namespace

DriveHolds HoldsOf(const platform::SpaceFigures& space, bool mountRoot) {
  DriveHolds holds;
  holds.wholeDrive = mountRoot;
  if (space.inodes > 0 && space.freeInodes <= space.inodes) holds.inodesInUse = space.inodes - space.freeInodes;
  if (space.totalBlocks > space.freeBlocks && space.blockSize > 0)
    holds.usedBytes = (space.totalBlocks - space.freeBlocks) * space.blockSize;
  return holds;
}

ProgressEstimator::ProgressEstimator(const DriveHolds& holds) {
  if (!holds.wholeDrive) {
    basis_ = Estimate::Basis::Unknown;
  } else if (holds.inodesInUse > 0) {
    basis_ = Estimate::Basis::Entries;
    total_ = static_cast<double>(holds.inodesInUse);
  } else if (holds.usedBytes > 0) {
    basis_ = Estimate::Basis::Blocks;
    total_ = static_cast<double>(holds.usedBytes);
  } else {
    basis_ = Estimate::Basis::Unknown;
  }
}

// Units done per second over the last kWindow seconds; 0 while too little time has passed.
double ProgressEstimator::RecentRate(double seconds, double done) {
  if (samples_.empty() || seconds - samples_.back().seconds >= kStep) samples_.push_back({seconds, done});
  while (samples_.size() > 2 && samples_[1].seconds <= seconds - kWindow) samples_.pop_front();
  const Sample& first = samples_.front();
  const double span = seconds - first.seconds;
  return span >= kStep ? (done - first.done) / span : 0;
}

Estimate ProgressEstimator::Update(const WalkCounts& counts, double seconds) {
  Estimate e;
  e.basis = basis_;
  e.read = counts.entries;
  if (basis_ == Estimate::Basis::Unknown) return e;
  const double done = basis_ == Estimate::Basis::Entries ? static_cast<double>(counts.entries)
                                                         : static_cast<double>(counts.allocated) * kBlockUnit;
  if (basis_ == Estimate::Basis::Entries) e.ofAbout = std::max(counts.entries, static_cast<int64_t>(total_));
  fraction_ = std::max(fraction_, Shaped(done / total_));
  e.fraction = fraction_;

  const double rate = RecentRate(seconds, done);
  const double elapsed = std::max(0.0, seconds - lastSeconds_);
  lastSeconds_ = seconds;
  if (rate <= 0 || done >= total_) {
    left_ = -1;  // stalled, or past all it was thought to hold: no honest figure
    return e;
  }
  if (seconds < kFirstSaid) return e;  // the first seconds' rate says little: starts are slow
  const double raw = (total_ - done) / rate;
  if (left_ < 0) {
    left_ = raw;
  } else {
    // The figure counts down with the clock, and moves towards the new reading gradually.
    const double counted = std::max(0.0, left_ - elapsed);
    left_ = counted + (raw - counted) * (1 - std::exp(-elapsed / kFollow));
  }
  e.secondsLeft = std::llround(left_);
  return e;
}

std::string TimeLeftText(int64_t seconds) {
  const auto about = [](int64_t n, const char* unit) {
    return "about " + std::to_string(n) + " " + unit + (n == 1 ? "" : "s") + " left";
  };
  if (seconds < 10) return "a few seconds left";
  if (seconds < 55) return about((seconds + 5) / 10 * 10, "second");
  if (seconds < 90) return "about a minute left";
  const int64_t minutes = (seconds + 30) / 60;
  if (minutes < 60) return about(minutes, "minute");
  return about((seconds + 1800) / 3600, "hour");  // beyond an hour, minutes would be noise
}

std::string GroupedNumber(int64_t value) {
  const std::string digits = std::to_string(value);
  const std::size_t sign = value < 0 ? 1 : 0;
  std::string out = digits.substr(0, sign);
  for (std::size_t i = sign; i < digits.size(); ++i) {
    if (i > sign && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string FiguresText(const Estimate& e) {
  std::string text = GroupedNumber(e.read);
  if (e.basis == Estimate::Basis::Entries)
    text += " of about " + GroupedNumber(e.ofAbout) + " items";
  else
    text += e.read == 1 ? " item read" : " items read";
  if (e.secondsLeft >= 0) text += ", " + TimeLeftText(e.secondsLeft);
  return text;
}

}  // namespace kvor
