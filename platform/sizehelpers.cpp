#include "platform/sizehelpers.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <thread>
#include <unistd.h>

#include "platform/detached.h"
#include "platform/diskwaits.h"

namespace kvor::platform {

namespace {
constexpr auto kCancelPoll = std::chrono::milliseconds(20);
}

struct SizeHelpers::Job {
  int fd = -1;  // its own: the lister may leave the job behind
  std::string names;
  std::vector<DirListing::Unsized> unsized;
  ListingCalls calls;
  int64_t clusterSize = 0;
  std::size_t slices = 0;
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> abandoned = false;
  std::atomic<bool> outOfMemory = false;
  std::vector<DirListing::Sizes> results;  // one per slice
  std::mutex mutex;
  std::condition_variable doneOne;
  std::size_t done = 0;

  ~Job() {
    if (fd >= 0) ::close(fd);
  }
  bool Left() const { return next.load(std::memory_order_relaxed) < slices; }

  // Slice `i`; a raised `cancel` leaves the whole job behind.
  void RunSlice(std::size_t i, const std::atomic<bool>* cancel) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) abandoned = true;
    if (!abandoned) {
      const std::size_t begin = i * kSlice;
      try {
        results[i].Read(fd, names.data(), unsized.data() + begin, std::min(kSlice, unsized.size() - begin), &calls,
                        clusterSize, &abandoned);
      } catch (const std::bad_alloc&) {
        outOfMemory = true;  // no memory for the directories it found: the lister says so
        abandoned = true;
      }
    }
    std::lock_guard lock(mutex);
    ++done;
    doneOne.notify_all();
  }
  // Takes slices until none is left.
  void Work() {
    for (std::size_t i; (i = next.fetch_add(1)) < slices;) RunSlice(i, nullptr);
  }
};

struct SizeHelpers::State {
  unsigned most = 0;
  std::function<long()> blocksRead;
  std::mutex mutex;
  std::condition_variable work;
  std::deque<std::shared_ptr<Job>> jobs;  // with slices left
  unsigned started = 0;
  bool stop = false;

  // A helper's life: slices of whichever job has them, until stopped.
  static void Run(const std::shared_ptr<State>& self) {
    State& s = *self;
    std::unique_lock lock(s.mutex);
    for (;;) {
      s.work.wait(lock, [&] { return s.stop || !s.jobs.empty(); });
      if (s.stop) return;
      const std::shared_ptr<Job> job = s.jobs.front();
      if (!job->Left()) {
        s.jobs.pop_front();
        continue;
      }
      lock.unlock();
      job->Work();
      lock.lock();
    }
  }

  // Up to `count` helpers for the jobs there are. Called with the mutex held.
  static void Grow(const std::shared_ptr<State>& self, unsigned count) {
    while (self->started < std::min(count, self->most) && detached::Start([self] { Run(self); }))
      ++self->started;
    self->work.notify_all();
  }
};

SizeHelpers::SizeHelpers(unsigned most, std::function<long()> blocksRead) : state_(std::make_shared<State>()) {
  state_->most = most;
  state_->blocksRead = std::move(blocksRead);
}

SizeHelpers::~SizeHelpers() {
  std::lock_guard lock(state_->mutex);
  state_->stop = true;
  state_->jobs.clear();
  state_->work.notify_all();
}

SizeHelpers::Outcome SizeHelpers::Read(int fd, std::string& names, std::vector<DirListing::Unsized>& unsized,
                                       const ListingCalls* calls, int64_t clusterSize,
                                       const std::atomic<bool>* cancel, DirListing::Sizes& out) {
  if (state_->most == 0) return Outcome::Alone;
  auto job = std::make_shared<Job>();
  job->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (job->fd < 0) return Outcome::Alone;  // out of descriptors: the lister reads on its own
  if (calls != nullptr) job->calls = *calls;
  job->clusterSize = clusterSize;
  job->slices = (unsized.size() + kSlice - 1) / kSlice;
  job->results.resize(job->slices);
  job->names = std::move(names);
  job->unsized = std::move(unsized);
  const unsigned spare = std::max(std::thread::hardware_concurrency(), 2u) - 1;
  {
    std::lock_guard lock(state_->mutex);
    state_->jobs.push_back(job);
    State::Grow(state_, spare);
  }
  // The lister's first slice tells whether reads wait on the disk; then many at once keep it
  // busy, as a spare core does on a warm cache.
  const long before = BlocksRead(state_->blocksRead);
  bool first = true;
  for (std::size_t i; (i = job->next.fetch_add(1)) < job->slices;) {
    job->RunSlice(i, cancel);
    if (first && DiskWaits::Waited(BlocksRead(state_->blocksRead) - before)) {
      std::lock_guard lock(state_->mutex);
      State::Grow(state_, state_->most);
    }
    first = false;
  }

  std::unique_lock lock(job->mutex);
  while (job->done < job->slices) {
    if (cancel != nullptr && cancel->load()) {
      job->abandoned = true;
      return Outcome::Cancelled;  // the job, with the names and entries, stays with the helpers
    }
    job->doneOne.wait_for(lock, kCancelPoll);
  }
  if (job->outOfMemory) throw std::bad_alloc();
  if (job->abandoned) return Outcome::Cancelled;
  for (DirListing::Sizes& slice : job->results) out.Add(std::move(slice));
  names = std::move(job->names);
  unsized = std::move(job->unsized);
  return Outcome::Read;
}

}  // namespace kvor::platform
