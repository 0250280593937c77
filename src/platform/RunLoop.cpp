#include <algorithm>
#include <utility>

#include "orvo/platform/MainQueue.h"

namespace orvo {

namespace {

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

void RunLoop::post(std::function<void()> task) {
  if (!task) return;
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
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

void RunLoop::run() {
  RunnerScope scope(runner_, mutex_);
  std::unique_lock lock(mutex_);
  // A stop that came before run() started still counts: a thread that
  // starts the loop and one that stops it may race.
  while (!stopRequested_) {
    if (!runOne(lock)) wake_.wait(lock, [this] { return stopRequested_ || !tasks_.empty(); });
  }
  stopRequested_ = false;
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
}

std::size_t RunLoop::runUntilIdle() {
  RunnerScope scope(runner_, mutex_);
  std::unique_lock lock(mutex_);
  std::size_t ran = 0;
  while (runOne(lock)) ++ran;
  return ran;
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  RunnerScope scope(runner_, mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (runOne(lock)) {
    }
    lock.unlock();
    const bool finished = done && done();
    lock.lock();
    if (finished) return true;
    if (!tasks_.empty()) continue;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Bounded waits so that a condition that turns true without a post
    // (another thread's state) is still noticed.
    auto wakeAt =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
    wake_.wait_until(lock, wakeAt, [this] { return !tasks_.empty(); });
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
