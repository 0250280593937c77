#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "orvo/platform/MainQueue.h"

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
  loop.post([&] { order.push_back(3); });
  loop.post(nullptr);  // an empty task is ignored

  EXPECT_EQ(loop.pending(), 3u);
  EXPECT_EQ(loop.runUntilIdle(), 5u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(loop.pending(), 0u);
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

TEST(RunLoopTest, KnowsWhichThreadRunsIt) {
  RunLoop loop;
  EXPECT_FALSE(loop.isRunningOnThisThread());
  bool insideOnRunner = false;
  bool otherThreadSees = true;
  loop.post([&] {
    insideOnRunner = loop.isRunningOnThisThread();
    std::thread other([&] { otherThreadSees = loop.isRunningOnThisThread(); });
    other.join();
    // A task that drains the loop itself keeps it marked as running here.
    loop.post([] {});
    loop.runUntilIdle();
    insideOnRunner = insideOnRunner && loop.isRunningOnThisThread();
  });
  loop.runUntilIdle();
  EXPECT_TRUE(insideOnRunner);
  EXPECT_FALSE(otherThreadSees);
  EXPECT_FALSE(loop.isRunningOnThisThread());
}

TEST(RunLoopTest, PostsFromManyThreadsAllRunInEachThreadsOrder) {
  RunLoop loop;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);  // only touched on the loop
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) loop.post([&seen, t, i] { seen[t].push_back(i); });
    });
  }
  auto all = [&] {
    std::size_t total = 0;
    for (const auto& s : seen) total += s.size();
    return total == kThreads * kPerThread;
  };
  EXPECT_TRUE(loop.runUntil(all, 10s));
  for (auto& thread : threads) thread.join();
  loop.runUntilIdle();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i);
  }
}

TEST(RunLoopTest, RunUntilWaitsForLatePostsAndTimesOut) {
  RunLoop loop;
  std::atomic<bool> done{false};
  std::thread late([&] {
    std::this_thread::sleep_for(30ms);
    loop.post([&] { done = true; });
  });
  EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, 5s));
  late.join();

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  // Already true: returns after draining what is queued.
  int ran = 0;
  loop.post([&] { ++ran; });
  EXPECT_TRUE(loop.runUntil([] { return true; }, 0ms));
  EXPECT_EQ(ran, 1);
}

TEST(RunLoopTest, RunServesAnotherThreadUntilStopped) {
  auto loop = std::make_shared<RunLoop>();
  std::atomic<bool> running{false};
  std::thread runner([&] {
    loop->post([&] { running = true; });
    loop->run();
  });
  while (!running) std::this_thread::sleep_for(1ms);

  std::mutex mutex;
  std::vector<int> order;
  std::thread::id ranOn;
  for (int i = 0; i < 100; ++i) {
    loop->post([&, i] {
      std::lock_guard lock(mutex);
      order.push_back(i);
      ranOn = std::this_thread::get_id();
    });
  }
  // A task may stop the loop; tasks behind it stay queued.
  std::atomic<bool> stopped{false};
  loop->post([&] {
    loop->stop();
    stopped = true;
  });
  loop->post([] {});
  const std::thread::id runnerId = runner.get_id();
  runner.join();
  EXPECT_TRUE(stopped);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(ranOn, runnerId);
  }
  EXPECT_EQ(loop->pending(), 1u);

  // stop() from another thread ends a loop that waits for work, and the loop
  // can be run again afterwards.
  std::atomic<bool> runningAgain{false};
  loop->post([&] { runningAgain = true; });
  std::thread again([&] { loop->run(); });
  while (!runningAgain) std::this_thread::sleep_for(1ms);
  loop->stop();
  again.join();
  EXPECT_EQ(loop->pending(), 0u);

  // A stop that races ahead of run() is not lost.
  loop->stop();
  std::thread late([&] { loop->run(); });
  late.join();
}

TEST(RunLoopTest, ThrowingTaskDoesNotStopTheLoop) {
  RunLoop loop;
  bool after = false;
  loop.post([] { throw std::runtime_error("boom"); });
  loop.post([&] { after = true; });
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  EXPECT_TRUE(after);
}

}  // namespace
}  // namespace orvo
