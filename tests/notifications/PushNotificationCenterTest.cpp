#include "orvo/PushNotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/TestHost.h"

namespace orvo {
namespace {

class PushNotificationCenterTest : public ::testing::Test {
 protected:
  std::shared_ptr<PushNotification> record(std::int64_t status) {
    return PushNotification::create({}, status, host.device);
  }

  test::TestHost host;
  PushNotificationCenter center{host.notifications};
};

TEST_F(PushNotificationCenterTest, NewestAndUnexpiredRecords) {
  EXPECT_EQ(center.lastNotification(), nullptr);
  EXPECT_EQ(center.lastNotificationWithStatus(2), nullptr);

  auto first = record(2), second = record(4), third = record(2);
  center.append(first);
  center.append(nullptr);
  center.append(second);
  center.append(third);
  EXPECT_EQ(center.notifications(), (PushNotificationList{first, second, third}));
  EXPECT_EQ(center.lastNotification(), third);
  EXPECT_EQ(center.lastNotificationWithStatus(2), third);
  EXPECT_EQ(center.lastNotificationWithStatus(4), second);
  EXPECT_EQ(center.lastNotificationWithStatus(1), nullptr);

  first->setExpired(true);
  third->setExpired(true);
  EXPECT_EQ(center.unexpiredNotifications(), PushNotificationList{second});
  EXPECT_EQ(center.notifications().size(), 3u);

  // Replacing drops null records; a snapshot is not the list.
  center.setNotifications({nullptr, third, nullptr, first});
  auto snapshot = center.notifications();
  snapshot.clear();
  EXPECT_EQ(center.notifications(), (PushNotificationList{third, first}));
  EXPECT_EQ(center.lastNotificationWithStatus(2), first);
}

TEST_F(PushNotificationCenterTest, ClearKeepsTheBadgeTheUserSees) {
  for (std::int64_t badge : {5, 0}) {
    SCOPED_TRACE(badge);
    center.append(record(2));
    center.setBadgeNumber(badge);
    EXPECT_EQ(center.badgeNumber(), badge);
    host.notifications->clearCalls();

    center.clear();
    std::vector<std::string> expected{
        "applicationIconBadgeNumber", "setApplicationIconBadgeNumber(1)",
        "setApplicationIconBadgeNumber(0)", "cancelAllLocalNotifications"};
    if (badge != 0) expected.push_back("setApplicationIconBadgeNumber(5)");
    EXPECT_EQ(host.notifications->calls(), expected);
    EXPECT_EQ(center.badgeNumber(), badge);
    EXPECT_TRUE(center.notifications().empty());
    EXPECT_EQ(center.lastNotification(), nullptr);
  }

  PushNotificationCenter hostless(nullptr);
  hostless.append(record(1));
  hostless.setBadgeNumber(3);
  hostless.clear();
  EXPECT_EQ(hostless.badgeNumber(), 0);
  EXPECT_TRUE(hostless.notifications().empty());
}

TEST_F(PushNotificationCenterTest, ReadersSeeWholeSnapshotsWhileOneThreadAppends) {
  constexpr int kRecords = 2000;
  std::atomic<bool> started{false}, done{false};
  std::thread appender([&] {
    while (!started) std::this_thread::yield();
    for (int i = 0; i < kRecords; ++i) center.append(record(i % 2 == 0 ? 2 : 4));
    done = true;
  });

  std::size_t lastSize = 0;
  bool ordered = true;
  started = true;
  do {
    auto snapshot = center.notifications();
    ordered = ordered && snapshot.size() >= lastSize;
    // Arrival order: the message UIDs count up.
    for (std::size_t i = 1; i < snapshot.size(); ++i) {
      ordered = ordered && snapshot[i - 1]->messageUID() < snapshot[i]->messageUID();
    }
    lastSize = snapshot.size();
    if (auto newest = center.lastNotificationWithStatus(4)) newest->setExpired(true);
    center.unexpiredNotifications();
  } while (!done);
  appender.join();

  EXPECT_TRUE(ordered);
  EXPECT_EQ(center.notifications().size(), static_cast<std::size_t>(kRecords));
  std::size_t expired = 0;
  for (const auto& r : center.notifications()) expired += r->isExpired();
  EXPECT_EQ(center.unexpiredNotifications().size() + expired, static_cast<std::size_t>(kRecords));
}

}  // namespace
}  // namespace orvo
