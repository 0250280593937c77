/// @file
/// The desktop run loop that serves the library's main queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "orvo/Export.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

/// Work the loop waits for besides its tasks: the platform's own sockets and
/// timers (the desktop HTTP client's).
class RunLoopSource;

/// A FIFO run loop. The application's main thread calls run(); tests drain it
/// with runUntilIdle(). Tasks posted while a task runs run after it, in order.
/// Attached sources are served whenever the loop waits, and at least every
/// millisecond between batches of tasks, so that a steady stream of tasks
/// does not starve them.
class ORVO_PUSH_API RunLoop : public MainQueue {
 public:
  RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop() override;

  /// Queues the task; wakes run() when it waits. From any thread.
  void post(std::function<void()> task) override;

  /// Watches a source's file descriptors between tasks.
  void addSource(std::shared_ptr<RunLoopSource> source);
  /// The source is not asked again once this returns, except by a wait that
  /// is already under way on another thread, whose results it must ignore.
  void removeSource(const RunLoopSource* source);
  /// Cuts a wait short, so that the sources are asked again at once.
  void wakeUp();

  /// Runs tasks until stop() is called, waiting for new ones when idle.
  void run();
  /// Makes run() return after the task in progress; later tasks stay queued.
  void stop();
  /// Runs queued tasks, including those they post, and what the sources have
  /// ready without waiting, until none is left. Returns how many tasks ran.
  std::size_t runUntilIdle();
  /// As runUntilIdle, but waits up to `timeout` for work that other threads
  /// are still to post; returns once `done` holds or the time is up.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  /// The number of tasks queued and not yet run.
  std::size_t pending() const;
  /// Whether the calling thread is the one running tasks right now.
  bool isRunningOnThisThread() const;

 private:
  using Clock = std::chrono::steady_clock;

  bool runOne(std::unique_lock<std::mutex>& lock);
  std::size_t runBatch(std::unique_lock<std::mutex>& lock, bool heedStop);
  void waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point until);
  void signal();
  bool sourcesOverdue(Clock::time_point now) const;

  mutable std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::shared_ptr<RunLoopSource>> sources_;
  bool stopRequested_ = false;
  Clock::time_point sourcesServed_{};
  int waiters_ = 0;
  int wakeFd_ = -1;  ///< an eventfd; -1 when none could be made
  std::optional<std::thread::id> runner_;
};

}  // namespace orvo
