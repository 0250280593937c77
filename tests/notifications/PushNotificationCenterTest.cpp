#include "orvo/PushNotificationCenter.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace orvo
