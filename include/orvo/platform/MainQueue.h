// The library's main queue and the desktop run loop that serves it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace orvo {

// Where state changes and "main queue" callbacks run. Any thread may post.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(std::function<void()> task) = 0;
};

// A FIFO run loop. The application's main thread calls run(); tests drain it
// with runUntilIdle(). Tasks posted while a task runs run after it, in order.
class RunLoop : public MainQueue {
 public:
  RunLoop() = default;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop() override = default;

  void post(std::function<void()> task) override;

  // Runs tasks until stop() is called, waiting for new ones when idle.
  void run();
  // Makes run() return after the task in progress; later tasks stay queued.
  void stop();
  // Runs queued tasks, including those they post, until none is left.
  // Returns how many ran.
  std::size_t runUntilIdle();
  // As runUntilIdle, but waits up to `timeout` for work that other threads
  // are still to post; returns once `done` holds or the time is up.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  std::size_t pending() const;
  // Whether the calling thread is the one running tasks right now.
  bool isRunningOnThisThread() const;

 private:
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopRequested_ = false;
  std::optional<std::thread::id> runner_;
};

}  // namespace orvo
