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
#include <utility>

#include "platform/detached.h"
#include "platform/diskwaits.h"

namespace kvor::platform {

namespace {
constexpr auto kCancelPoll = std::chrono::milliseconds(20);
}

struct SizeHelpers::Job {
  int fd = -1;  // its own: the lister may leave the job behind
  ListingCalls calls;
  int64_t clusterSize = 0;
  std::atomic<bool> abandoned = false;
  // The rest under the state's mutex. A deque: a slice being read stays put as more are added.
  std::deque<Slice> slices;
  std::size_t next = 0;  // the first slice no thread has taken
  std::size_t done = 0;
  bool outOfMemory = false;
  std::condition_variable doneOne;

  ~Job() {
    if (fd >= 0) ::close(fd);
  }
  bool HasSlice() const { return !abandoned && next < slices.size(); }
};

struct SizeHelpers::State {
  unsigned most = 0;
  std::function<long()> blocksRead;
  std::mutex mutex;
  std::condition_variable work;
  std::deque<std::shared_ptr<Job>> jobs;  // each until its lister is done with it
  unsigned started = 0;
  bool grown = false;  // all helpers asked for
  bool stop = false;

  // The next slice of the first job that has one. Mutex held.
  Slice* Take(std::shared_ptr<Job>& job) {
    for (const std::shared_ptr<Job>& j : jobs)
      if (j->HasSlice()) return &(job = j)->slices[j->next++];
    return nullptr;
  }

  // Reads a slice taken with the mutex held, which is let go meanwhile. While not every helper
  // is asked for, the slice's first reads are a sample: if they waited on the disk, every helper
  // comes in, for many reads at once then keep the disk busy, as a spare core does when warm.
  static void Read(const std::shared_ptr<State>& self, std::unique_lock<std::mutex>& lock, Job& job, Slice& slice) {
    State& s = *self;
    const std::size_t sample = s.grown ? 0 : std::min<std::size_t>(DiskWaits::kReadsPerSample, slice.unsized.size());
    lock.unlock();
    const auto read = [&](std::size_t begin, std::size_t end) {
      slice.sizes.Read(job.fd, slice.names.data(), slice.unsized.data() + begin, end - begin, &job.calls,
                       job.clusterSize, &job.abandoned);
    };
    bool outOfMemory = false;
    try {
      const long before = sample != 0 ? BlocksRead(s.blocksRead) : 0;
      read(0, sample);
      if (sample != 0 && DiskWaits::Waited(BlocksRead(s.blocksRead) - before)) {
        std::lock_guard grow(s.mutex);
        if (!std::exchange(s.grown, true)) Grow(self, s.most);
      }
      read(sample, slice.unsized.size());
      // Only the names of directories found are wanted from here on: the memory goes back while
      // the listing still goes on.
      std::vector<DirListing::Unsized>().swap(slice.unsized);
      if (slice.sizes.dirs.empty()) std::string().swap(slice.names);
    } catch (const std::bad_alloc&) {
      outOfMemory = true;  // no memory for the directories it found: the lister says so
    }
    lock.lock();
    if (outOfMemory) job.outOfMemory = true, job.abandoned = true;
    ++job.done;
    job.doneOne.notify_all();
  }

  // A helper's life: slices of whichever job has them, until stopped.
  static void Run(const std::shared_ptr<State>& self) {
    State& s = *self;
    std::unique_lock lock(s.mutex);
    for (;;) {
      std::shared_ptr<Job> job;
      Slice* slice = nullptr;
      s.work.wait(lock, [&] { return s.stop || (slice = s.Take(job)) != nullptr; });
      if (s.stop) return;
      Read(self, lock, *job, *slice);
    }
  }

  // Up to `count` helpers. Called with the mutex held.
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

bool SizeHelpers::Stream::Start(SizeHelpers& helpers, int fd, const ListingCalls* calls, int64_t clusterSize) {
  const std::shared_ptr<State>& state = helpers.state_;
  if (state->most == 0) return false;
  auto job = std::make_shared<Job>();
  job->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (job->fd < 0) return false;  // out of descriptors: the lister reads on its own
  if (calls != nullptr) job->calls = *calls;
  job->clusterSize = clusterSize;
  const unsigned spare = std::max(std::thread::hardware_concurrency(), 2u) - 1;
  std::lock_guard lock(state->mutex);
  state->jobs.push_back(job);
  State::Grow(state, spare);
  state_ = state;
  job_ = std::move(job);
  return true;
}

void SizeHelpers::Stream::Add(Slice&& slice) {
  std::lock_guard lock(state_->mutex);
  job_->slices.push_back(std::move(slice));
  state_->work.notify_one();
}

SizeHelpers::Stream::Outcome SizeHelpers::Stream::Finish(const std::atomic<bool>* cancel, std::vector<Slice>& out) {
  const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
  std::unique_lock lock(state_->mutex);
  while (job_->HasSlice() && !cancelled()) State::Read(state_, lock, *job_, job_->slices[job_->next++]);
  while (job_->done < job_->next && !cancelled()) job_->doneOne.wait_for(lock, kCancelPoll);
  if (cancelled()) return Outcome::Cancelled;  // left to the helpers still in its reads
  if (job_->outOfMemory) throw std::bad_alloc();
  out.reserve(job_->slices.size());
  for (Slice& slice : job_->slices) out.push_back(std::move(slice));
  std::erase(state_->jobs, job_);
  job_.reset();  // its descriptor closed now, not when the helpers next look for work
  return Outcome::Read;
}

SizeHelpers::Stream::~Stream() {
  if (job_ == nullptr) return;
  std::lock_guard lock(state_->mutex);
  job_->abandoned = true;  // a helper in one of its reads drops it after that read
  std::erase(state_->jobs, job_);
}

}  // namespace kvor::platform
