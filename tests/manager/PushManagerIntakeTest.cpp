#include "manager/ManagerFixture.h"
#include "orvo/PushNotification.h"

namespace orvo::test {
namespace {

Dictionary message(const std::string& key, Dictionary aps = {{"alert", "hi"}}) {
  return Dictionary{{"aps", std::move(aps)},
                    {"orv", Dictionary{{"messageuniquekey", key}, {"seqno", "1"}}}};
}

// A message the extension already acknowledged: the manager sends nothing for it.
Dictionary acknowledged(const std::string& key) {
  Dictionary payload = message(key);
  payload.set("feedback", "true");
  return payload;
}

// Marked only when the acknowledgement succeeds: held through the emulator.
TEST_F(ManagerTest, RemotePayloadsAreAcknowledgedThenKeptAndDeliveredOnce) {
  auto manager = started();
  manager->initilaizeWithDelegate(recordingDelegate());
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{});
  manager->applicationDidReceiveRemoteNotification(Value(), message("a"));
  // Nothing is kept until the acknowledgement has answered.
  EXPECT_TRUE(manager->notificationCenter()->notifications().empty());
  host.runLoop->runUntilIdle();
  ASSERT_EQ(delegateLog->payloads.size(), 1u);
  auto kept = manager->notificationCenter()->notifications();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0]->isExpired());

  // Already acknowledged: kept and delivered, nothing sent. Silent: nothing
  // at all. batch 0 is an ordinary message.
  manager->applicationDidReceiveRemoteNotification(Value(), acknowledged("c"));
  Dictionary silent = message("d", Dictionary{{"content-available", 1}});
  silent["orv"].asDictionary()->set("batch", 1);
  manager->applicationDidReceiveRemoteNotification(Value(), silent);
  EXPECT_EQ(http->requestCount(), 2u);
  EXPECT_EQ(manager->notificationCenter()->notifications().size(), 2u);
  EXPECT_TRUE(host.log->contains("PushManager - didReceiveRemoteNotification OrvoSilentPush"));
  silent["orv"].asDictionary()->set("batch", 0);
  EXPECT_FALSE(PushManager::isOrvoSilentPush(silent));
  EXPECT_FALSE(PushManager::isOrvoSilentPush(message("e", Dictionary{{"content-available", 1}})));
}

TEST_F(ManagerTest, StatusFollowsLaunchAndApplicationState) {
  auto manager = PushManager::defaultManager();
  manager->setDelegate(recordingDelegate());
  const Dictionary launching = acknowledged("launch");
  manager->applicationDidFinishLaunchingWithOptions(
      Value(), Dictionary{{std::string(kLaunchOptionsRemoteNotificationKey), launching}});
  host.runLoop->runUntilIdle();

  const Dictionary other = acknowledged("other");
  host.notifications->setApplicationState(ApplicationState::Active);
  manager->applicationDidReceiveRemoteNotification(Value(), other);
  host.notifications->setApplicationState(ApplicationState::Inactive);
  manager->applicationDidReceiveRemoteNotification(Value(), other);
  host.notifications->setApplicationState(ApplicationState::Background);
  manager->applicationDidReceiveRemoteNotification(Value(), other);
  // The launch itself loaded the record before taking the notification in.
  EXPECT_EQ(delegateLog->events, (std::vector<std::string>{"loaded", "user:START", "user:ACTIVE",
                                                           "user:BACKGROUND", "user:BACKGROUND"}));

  // The user opening the launch notification is skipped once, then taken in.
  int completions = 0;
  manager->userNotificationCenterDidReceiveNotificationResponse(
      *host.notifications, PlatformNotification{"id", launching}, [&] { ++completions; });
  EXPECT_EQ(delegateLog->payloads.size(), 4u);
  manager->userNotificationCenterDidReceiveNotificationResponse(
      *host.notifications, PlatformNotification{"id", launching}, [&] { ++completions; });
  EXPECT_EQ(delegateLog->payloads.size(), 5u);
  EXPECT_EQ(completions, 2);
  EXPECT_EQ(host.log->count("PushManager - didReceiveNotificationResponse skip launch message"),
            1u);
}

TEST_F(ManagerTest, NotificationsWaitForDelegateAndDeliveryThenArriveInOrder) {
  auto manager = started();
  for (const char* key : {"1", "2", "3"}) {
    manager->applicationDidReceiveRemoteNotification(Value(), acknowledged(key));
  }
  EXPECT_EQ(host.log->count("Notification is waiting while to add a delegate : 1"), 3u);
  manager->setEnabled(false);
  manager->initilaizeWithDelegate(recordingDelegate());
  EXPECT_TRUE(delegateLog->payloads.empty());
  EXPECT_TRUE(host.log->contains("Notification is waiting while to add a delegate : 0"));
  manager->setEnabled(true);
  manager->setEnabled(true);  // already on: nothing more
  ASSERT_EQ(delegateLog->payloads.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(delegateLog->payloads[i].get("orv").asDictionary()->get("messageuniquekey"),
              Value(std::to_string(i + 1)));
  }
  manager->fireUnexpiredNotifications();
  EXPECT_EQ(delegateLog->payloads.size(), 3u);
}

TEST_F(ManagerTest, OlderDelegateFormOnlyWhenTheNewerIsMissing) {
  auto manager = started();
  const Dictionary payload = acknowledged("x");
  const std::string deprecation =
      "(manager:didReceiveRemoteNotification:status:) is deprecated. Use "
      "(manager:didReceiveUserNotification:status:messageUID:) instead";

  manager->setDelegate(recordingDelegate(/*older=*/true, /*newer=*/false));
  manager->applicationDidReceiveRemoteNotification(Value(), payload);
  manager->setDelegate(recordingDelegate(/*older=*/true, /*newer=*/true));
  manager->applicationDidReceiveRemoteNotification(Value(), payload);
  auto none = std::make_shared<PushManagerDelegate>();
  manager->setDelegate(none);
  manager->applicationDidReceiveRemoteNotification(Value(), payload);

  EXPECT_EQ(delegateLog->events, (std::vector<std::string>{"remote:ACTIVE", "user:ACTIVE"}));
  EXPECT_EQ(host.log->count(deprecation), 2u);
  // Marked delivered even when nobody took it.
  EXPECT_TRUE(manager->notificationCenter()->unexpiredNotifications().empty());
}

TEST_F(ManagerTest, FetchIsAnsweredBeforeTheAcknowledgementAndPresentationShowsAll) {
  auto manager = started();
  manager->setDelegate(recordingDelegate());
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{});
  std::vector<std::int64_t> fetched;
  manager->applicationDidReceiveRemoteNotificationFetchCompletionHandler(
      Value(), message("f"), [&](std::int64_t result) { fetched.push_back(result); });
  EXPECT_EQ(fetched, std::vector<std::int64_t>{0});
  EXPECT_TRUE(delegateLog->payloads.empty());
  host.runLoop->runUntilIdle();
  EXPECT_EQ(delegateLog->payloads.size(), 1u);

  std::optional<std::int64_t> shown;
  manager->userNotificationCenterWillPresentNotification(
      *host.notifications, PlatformNotification{"id", message("p")},
      [&](std::int64_t options) { shown = options; });
  EXPECT_EQ(shown, 7);
  EXPECT_EQ(manager->notificationCenter()->notifications().size(), 1u);

  int actions = 0;
  manager->applicationHandleActionWithIdentifier(Value(), "open", acknowledged("act"),
                                                 [&] { ++actions; });
  EXPECT_EQ(actions, 1);
  EXPECT_EQ(manager->notificationCenter()->notifications().size(), 2u);
}

TEST_F(ManagerTest, LocalNotificationsBecomeLibraryPayloads) {
  auto manager = started();
  manager->setDelegate(recordingDelegate());
  const Dictionary local{{"alertBody", "Wake up"},
                         {"userInfo", Dictionary{{"EXT", "e1"}, {"MESSAGEUID", "m1"}}}};
  manager->applicationDidReceiveLocalNotification(Value(), local);
  manager->applicationDidReceiveLocalNotification(Value(), Dictionary{});  // nothing to read
  ASSERT_EQ(delegateLog->payloads.size(), 2u);
  const Dictionary expected{
      {"aps", Dictionary{{"badge", 1}, {"sound", "alert.aif"}, {"alert", "Wake up"}}},
      {"orv", Dictionary{{"appid", "com.example.app"},
                         {"messageuniquekey", "m1"},
                         {"sender", "LOCAL"},
                         {"ext", "e1"}}}};
  EXPECT_EQ(delegateLog->payloads[0], expected);
  EXPECT_EQ(delegateLog->payloads[1].get("orv").asDictionary()->get("sender"), Value("LOCAL"));
  EXPECT_EQ(http->requestCount(), 0u);
}

}  // namespace
}  // namespace orvo::test
