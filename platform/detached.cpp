#include "platform/detached.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace kvor::platform::detached {

namespace {

// Never destroyed: a thread may end after the program's statics are gone.
struct Registry {
  std::mutex mutex;
  std::condition_variable gone;
  int live = 0;
};
Registry& Threads() {
  static auto* registry = new Registry;
  return *registry;
}

void Ended() {
  Registry& r = Threads();
  std::lock_guard lock(r.mutex);
  --r.live;
  r.gone.notify_all();
}

}  // namespace

bool Start(std::function<void()> body) {
  Registry& r = Threads();
  {
    std::lock_guard lock(r.mutex);
    ++r.live;
  }
  try {
    std::thread([body = std::move(body)]() mutable {
      body();
      body = nullptr;
      Ended();
    }).detach();
  } catch (const std::exception&) {  // no thread, or no memory for one
    Ended();
    return false;
  }
  return true;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  Registry& r = Threads();
  std::unique_lock lock(r.mutex);
  return r.gone.wait_for(lock, timeout, done);
}

void WaitAllGone() {
  Registry& r = Threads();
  std::unique_lock lock(r.mutex);
  r.gone.wait(lock, [&] { return r.live == 0; });
}

}  // namespace kvor::platform::detached
