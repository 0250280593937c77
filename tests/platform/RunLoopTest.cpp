#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "Helpers.h"
#include "orvo/platform/RunLoop.h"
#include "platform/RunLoopSource.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopTest, RunsTasksInOrderIncludingThoseTheyPost) {
  RunLoop loop;
  std::vector<int> order;
  loop.post([&] {
    order.push_back(1);
    loop.post([&] {
      order.push_back(4);
      loop.post([&] { order.push_back(5); });
    });
  });
  loop.post([&] { order.push_back(2); });
  loop.post([] { throw std::runtime_error("boom"); });  // does not stop the loop
  loop.post([&] { order.push_back(3); });
  loop.post(nullptr);  // ignored
  EXPECT_EQ(loop.pending(), 4u);
  EXPECT_EQ(loop.runUntilIdle(), 6u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(loop.runUntilIdle(), 0u);

  bool inside = false;
  bool otherThreadSees = true;
  loop.post([&] {
    std::thread([&] { otherThreadSees = loop.isRunningOnThisThread(); }).join();
    // A task that drains the loop itself keeps it marked as running here.
    loop.post([] {});
    loop.runUntilIdle();
    inside = loop.isRunningOnThisThread();
  });
  loop.runUntilIdle();
  EXPECT_TRUE(inside && !otherThreadSees && !loop.isRunningOnThisThread());
}

// Posts from other threads are every test's; here how runUntil ends.
TEST(RunLoopTest, RunUntilEndsAtItsTimeoutOrOnceTheConditionHolds) {
  RunLoop loop;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  // Already true: returns after draining what is queued.
  int ran = 0;
  loop.post([&] { ++ran; });
  EXPECT_TRUE(loop.runUntil([] { return true; }, 0ms));
  EXPECT_EQ(ran, 1);
}

TEST(RunLoopTest, RunServesItsThreadUntilStoppedFromAnyThread) {
  RunLoop loop;
  std::vector<int> order;  // only touched on the runner
  std::set<std::thread::id> ranOn;
  std::promise<void> running;
  std::thread runner([&] { loop.run(); });
  loop.post([&] { running.set_value(); });
  running.get_future().wait();
  for (int i = 0; i < 100; ++i) {
    loop.post([&, i] {
      order.push_back(i);
      ranOn.insert(std::this_thread::get_id());
    });
  }
  // A task may stop the loop; tasks behind it stay queued.
  loop.post([&] { loop.stop(); });
  loop.post([] {});
  const std::thread::id runnerId = runner.get_id();
  runner.join();
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(ranOn, std::set{runnerId});
  EXPECT_EQ(loop.pending(), 1u);

  // stop() from another thread ends a loop that waits for work, and the loop
  // can be run again afterwards.
  std::promise<void> servedAgain;
  std::thread again([&] { loop.run(); });
  loop.post([&] { servedAgain.set_value(); });
  servedAgain.get_future().wait();
  loop.stop();
  again.join();
  EXPECT_EQ(loop.pending(), 0u);

  // A stop that races ahead of run() is not lost.
  loop.stop();
  std::thread([&] { loop.run(); }).join();
}

// A pipe the loop watches: each byte that arrives is handed to `onByte` on
// the loop's thread; an optional deadline calls `onDeadline` once.
struct PipeSource : RunLoopSource {
  int fds[2] = {-1, -1};
  std::atomic<int> prepared{0};
  std::function<void(char)> onByte;
  std::optional<std::chrono::steady_clock::time_point> due;
  std::function<void()> onDeadline;

  PipeSource() { EXPECT_EQ(::pipe(fds), 0); }
  ~PipeSource() override {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  void write(char c) { EXPECT_EQ(::write(fds[1], &c, 1), 1); }
  void prepare(std::vector<pollfd>& out, std::chrono::steady_clock::time_point& deadline) override {
    ++prepared;
    out.push_back({fds[0], POLLIN, 0});
    if (due) deadline = std::min(deadline, *due);
  }
  void dispatch(std::span<const pollfd> ready) override {
    ASSERT_EQ(ready.size(), 1u);
    if (ready[0].revents & POLLIN) {
      char c = 0;
      if (::read(fds[0], &c, 1) == 1 && onByte) onByte(c);
    }
    if (due && std::chrono::steady_clock::now() >= *due) {
      due.reset();
      if (onDeadline) onDeadline();
    }
  }
};

// Runs the loop on a thread of its own; false when it was still running
// after `limit` (it is stopped then, so that the test ends).
bool runsToItsStop(RunLoop& loop, std::chrono::milliseconds limit) {
  auto finished = std::async(std::launch::async, [&] { loop.run(); });
  if (finished.wait_for(limit) == std::future_status::ready) return true;
  loop.stop();
  return false;
}

TEST(RunLoopTest, SourcesAreServedWhileTheLoopWaitsAndWhileItIsBusy) {
  RunLoop loop;
  auto source = std::make_shared<PipeSource>();
  std::string bytes;  // only touched on the loop
  source->onByte = [&](char c) {
    bytes += c;
    if (c == '!') loop.post([&] { loop.stop(); });
  };
  loop.addSource(source);

  // Ready before the loop looks: runUntilIdle takes it without waiting.
  source->write('a');
  loop.runUntilIdle();
  EXPECT_EQ(bytes, "a");

  // A descriptor that turns ready wakes a loop that has nothing else to do.
  std::thread writer([&] {
    std::this_thread::sleep_for(20ms);
    source->write('!');
  });
  EXPECT_TRUE(runsToItsStop(loop, 5s));
  writer.join();
  EXPECT_EQ(bytes, "a!");

  // A source's deadline ends the wait on time.
  const auto start = std::chrono::steady_clock::now();
  source->due = start + 30ms;
  source->onDeadline = [&] { loop.stop(); };
  EXPECT_TRUE(runsToItsStop(loop, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  // Tasks that never run out do not starve the source.
  std::function<void()> busy = [&] { loop.post(busy); };
  loop.post(busy);
  source->write('!');
  EXPECT_TRUE(runsToItsStop(loop, 5s));
  EXPECT_EQ(bytes, "a!!");

  // Removed: not asked again.
  loop.removeSource(source.get());
  const int asked = source->prepared;
  loop.runUntil([] { return false; }, 20ms);
  EXPECT_EQ(source->prepared, asked);
}

TEST(RunLoopTest, DelayedTasksWaitTheirTurnAndRunInDueOrder) {
  RunLoop loop;
  std::vector<int> ran;
  const auto started = std::chrono::steady_clock::now();
  loop.postAfter(std::chrono::milliseconds(60), [&] { ran.push_back(2); });
  loop.postAfter(std::chrono::milliseconds(20), [&] { ran.push_back(1); });
  loop.post([&] { ran.push_back(0); });
  loop.runUntilIdle();
  EXPECT_EQ(ran, std::vector<int>{0});  // not due yet
  // run() sleeps until each is due.
  loop.postAfter(std::chrono::milliseconds(80), [&] { loop.stop(); });
  loop.run();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(80));
}

}  // namespace
}  // namespace orvo
