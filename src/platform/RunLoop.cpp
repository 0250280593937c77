#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <utility>

#include "orvo/platform/RunLoop.h"
#include "platform/RunLoopSource.h"

namespace orvo {

namespace {

constexpr auto kBusySourceInterval = std::chrono::milliseconds(1);

// Marks the calling thread as the loop's runner for the duration of a run;
// nested runs (a task draining the loop) keep the outer runner.
class RunnerScope {
 public:
  RunnerScope(std::optional<std::thread::id>& runner, std::mutex& mutex)
      : runner_(runner), mutex_(mutex) {
    std::lock_guard lock(mutex_);
    if (!runner_) {
      runner_ = std::this_thread::get_id();
      owns_ = true;
    }
  }
  ~RunnerScope() {
    if (!owns_) return;
    std::lock_guard lock(mutex_);
    runner_.reset();
  }
  RunnerScope(const RunnerScope&) = delete;
  RunnerScope& operator=(const RunnerScope&) = delete;

 private:
  std::optional<std::thread::id>& runner_;
  std::mutex& mutex_;
  bool owns_ = false;
};

}  // namespace

RunLoop::RunLoop() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RunLoop::~RunLoop() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

// Interrupts the threads that wait. Called with the lock held.
void RunLoop::signal() {
  if (waiters_ == 0 || wakeFd_ < 0) return;
  const std::uint64_t one = 1;
  // A full counter already wakes the waiters; nothing else can fail here.
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void RunLoop::post(std::function<void()> task) {
  if (!task) return;
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  signal();
}

void RunLoop::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
  if (!task) return;
  std::lock_guard lock(mutex_);
  timers_.emplace(Clock::now() + std::max(delay, std::chrono::milliseconds(0)), std::move(task));
  signal();
}

// Called with the lock held.
void RunLoop::promoteDueTimers(Clock::time_point now) {
  while (!timers_.empty() && timers_.begin()->first <= now) {
    tasks_.push_back(std::move(timers_.begin()->second));
    timers_.erase(timers_.begin());
  }
}

void RunLoop::addSource(std::shared_ptr<RunLoopSource> source) {
  if (!source) return;
  std::lock_guard lock(mutex_);
  sources_.push_back(std::move(source));
  signal();
}

void RunLoop::removeSource(const RunLoopSource* source) {
  std::lock_guard lock(mutex_);
  std::erase_if(sources_, [source](const auto& s) { return s.get() == source; });
  signal();
}

void RunLoop::wakeUp() {
  std::lock_guard lock(mutex_);
  signal();
}

// Takes the first task and runs it with the lock released, so that the task
// may post (or drain the loop) without deadlocking.
bool RunLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (tasks_.empty()) return false;
  std::function<void()> task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  try {
    task();
  } catch (...) {
    // A task that throws must not take the loop down with it.
  }
  task = nullptr;  // destroy captures outside the lock too
  lock.lock();
  return true;
}

// The tasks queued now; those they post wait for the next batch. Only run()
// heeds a stop, which ends it after the task in progress.
std::size_t RunLoop::runBatch(std::unique_lock<std::mutex>& lock, bool heedStop) {
  if (!timers_.empty()) promoteDueTimers(Clock::now());
  std::size_t ran = 0;
  for (std::size_t queued = tasks_.size(); ran < queued; ++ran) {
    if ((heedStop && stopRequested_) || !runOne(lock)) break;
  }
  return ran;
}

// Sleeps until a post, a source's descriptor or `until`, then lets the
// sources see what happened. Called and returns with the lock held.
void RunLoop::waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
  std::vector<std::shared_ptr<RunLoopSource>> sources = sources_;
  if (!timers_.empty()) until = std::min(until, timers_.begin()->first);
  ++waiters_;
  lock.unlock();

  std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
  std::vector<std::size_t> ends;
  ends.reserve(sources.size());
  Clock::time_point deadline = until;
  for (const auto& source : sources) {
    try {
      source->prepare(fds, deadline);
    } catch (...) {
    }
    ends.push_back(fds.size());
  }
  // Without an eventfd a post cannot interrupt the wait: it is kept short.
  const auto now = Clock::now();
  if (wakeFd_ < 0) deadline = std::min(deadline, now + std::chrono::milliseconds(5));
  timespec timeout{};
  timespec* timeoutOrNone = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto left = std::max(Clock::duration::zero(), deadline - now);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timeout.tv_sec = static_cast<time_t>(seconds.count());
    timeout.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
    timeoutOrNone = &timeout;
  }
  if (::ppoll(fds.data(), fds.size(), timeoutOrNone, nullptr) > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &count, sizeof count);
  }

  lock.lock();
  --waiters_;
  lock.unlock();
  std::size_t begin = 1;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    try {
      sources[i]->dispatch(std::span<const pollfd>(fds.data() + begin, ends[i] - begin));
    } catch (...) {
    }
    begin = ends[i];
  }
  sources.clear();  // a removed source may end here, outside the lock
  lock.lock();
  sourcesServed_ = Clock::now();
}

// Between batches of tasks the sources get a look now and then, not after
// every batch: a task's chain of posts should not pay a poll per link.
bool RunLoop::sourcesOverdue(Clock::time_point now) const {
  return !sources_.empty() && now - sourcesServed_ >= kBusySourceInterval;
}

void RunLoop::run() {
  RunnerScope scope(runner_, mutex_);
  std::unique_lock lock(mutex_);
  // A stop that came before run() started still counts: a thread that
  // starts the loop and one that stops it may race.
  while (!stopRequested_) {
    runBatch(lock, true);
    if (stopRequested_) break;
    if (tasks_.empty()) {
      waitForWork(lock, Clock::time_point::max());
    } else if (const auto now = Clock::now(); sourcesOverdue(now)) {
      waitForWork(lock, now);
    }
  }
  stopRequested_ = false;
}

void RunLoop::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  signal();
}

std::size_t RunLoop::runUntilIdle() {
  RunnerScope scope(runner_, mutex_);
  std::unique_lock lock(mutex_);
  std::size_t ran = 0;
  for (;;) {
    ran += runBatch(lock, false);
    if (!sources_.empty()) waitForWork(lock, Clock::now());
    if (tasks_.empty()) return ran;
  }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  RunnerScope scope(runner_, mutex_);
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    runBatch(lock, false);
    lock.unlock();
    const bool finished = done && done();
    lock.lock();
    if (finished) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (!tasks_.empty()) {
      if (sourcesOverdue(now)) waitForWork(lock, now);
      continue;
    }
    // Bounded waits so that a condition that turns true without a post
    // (another thread's state) is still noticed.
    waitForWork(lock, std::min(deadline, now + std::chrono::milliseconds(5)));
  }
}

std::size_t RunLoop::pending() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

bool RunLoop::isRunningOnThisThread() const {
  std::lock_guard lock(mutex_);
  return runner_ == std::this_thread::get_id();
}

}  // namespace orvo
