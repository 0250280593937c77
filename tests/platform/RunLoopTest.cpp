#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>

#include "Helpers.h"
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

TEST(RunLoopTest, PostsFromManyThreadsAllRunInEachThreadsOrder) {
  RunLoop loop;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 500;
  std::vector<std::vector<int>> seen(kThreads);  // only touched on the loop
  std::thread posters([&] {
    test::onThreads(kThreads, [&](int t) {
      for (int i = 0; i < kPerThread; ++i) loop.post([&seen, t, i] { seen[t].push_back(i); });
    });
  });
  auto all = [&] {
    std::size_t total = 0;
    for (const auto& list : seen) total += list.size();
    return total == kThreads * kPerThread;
  };
  EXPECT_TRUE(loop.runUntil(all, 10s));
  posters.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i);
  }

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

}  // namespace
}  // namespace orvo
