#pragma once
// Work on threads that are never joined: a probe of a drive or a display, a reader or a scan stuck
// in a file system that does not answer is left to end on its own, holding only what it shares
// with whoever started it. They are counted, so that an owner can wait a little for them and a
// test for all of them.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace kvor::platform::detached {

// Runs `body` on a thread of its own; false when no thread (or no memory for one) could be had.
// What `body` holds is let go before the thread counts as ended.
bool Start(std::function<void()> body);
// Until `done` holds (asked again whenever such a thread ends), at most `timeout`; whether it holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Until every such thread has ended; for tests.
void WaitAllGone();

using Starter = std::function<bool(std::function<void()>)>;

// The answer of `work` run by Start: taken when it comes within a wait, or at a later look.
// Dropped unanswered, the work is abandoned; it keeps only the answer's slot and what it holds.
template <class T>
class Answer {
 public:
  Answer() = default;
  // Starts `work`; `start` is Start but where a test refuses the thread.
  explicit Answer(std::function<T()> work, const Starter& start = Start) {
    auto slot = std::make_shared<Slot>();
    if (start([slot, work = std::move(work)] {
          slot->value = work();
          slot->came.store(true, std::memory_order_release);
        }))
      slot_ = std::move(slot);
  }
  // Whether a thread took the work.
  bool Started() const { return slot_ != nullptr; }
  // Whether the work has returned.
  bool Came() const { return slot_ && slot_->came.load(std::memory_order_acquire); }
  // The answer, if it comes by `deadline`.
  std::optional<T> By(std::chrono::steady_clock::time_point deadline) const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return Within(std::max(left, std::chrono::milliseconds(0)));
  }
  // The answer, if it comes within `wait` (0: if it has come already).
  std::optional<T> Within(std::chrono::milliseconds wait) const {
    if (!slot_ || !WaitUntil([this] { return Came(); }, wait)) return std::nullopt;
    return slot_->value;
  }

 private:
  struct Slot {
    std::atomic<bool> came = false;
    T value{};
  };
  std::shared_ptr<Slot> slot_;
};

}  // namespace kvor::platform::detached
