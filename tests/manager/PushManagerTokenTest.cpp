#include <optional>

#include "manager/ManagerFixture.h"
#include "orvo/PushErrors.h"
#include "orvo/testing/ScriptedHttpClient.h"

namespace orvo::test {
namespace {

struct TokenOutcome {
  int calls = 0;
  std::optional<std::string> token;
  std::optional<ErrorInfo> error;
};

TokenHandler into(TokenOutcome& outcome) {
  return
      [&outcome](const std::optional<std::string>& token, const std::optional<ErrorInfo>& error) {
        ++outcome.calls;
        outcome.token = token;
        outcome.error = error;
      };
}

TEST(TokenText, HexDigitsInOrderAndNothingForNoBytes) {
  EXPECT_EQ(stringFromTokenData(Bytes{0x00, 0xAB, 0x10}), "00ab10");
  EXPECT_EQ(stringFromTokenData(Bytes{0xFF}), "ff");
  EXPECT_EQ(stringFromTokenData(Bytes{}), std::nullopt);
}

TEST_F(ManagerTest, TokenReachesOnlyTheLatestRequestAndTheDelegate) {
  auto manager = started();
  manager->setDelegate(recordingDelegate());
  host.notifications->scriptToken(Bytes{0xDE, 0xAD, 0x01});
  TokenOutcome first, second;
  manager->registerRemoteNotification(into(first));
  manager->registerRemoteNotification(into(second));
  drain();
  EXPECT_EQ(first.calls, 0);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(second.token, "dead01");
  EXPECT_FALSE(second.error);
  EXPECT_EQ(delegateLog->tokens, (std::vector<std::string>{"dead01", "dead01"}));
  EXPECT_TRUE(host.log->contains("UNAuthorizationStatusAuthorized"));

  // A token event with nobody waiting still reaches the delegate; the record
  // is not written by the event itself.
  manager->applicationDidRegisterForRemoteNotificationsWithDeviceToken(Value(), Bytes{0x01});
  EXPECT_EQ(delegateLog->tokens.back(), "01");
  EXPECT_EQ(manager->info()->pushServiceID(), "");
  // An empty token is ignored: no delegate call, and a waiting request keeps
  // waiting.
  host.notifications->scriptRegistrationAnswers(false);
  TokenOutcome waiting;
  manager->registerRemoteNotification(into(waiting));
  drain();
  manager->applicationDidRegisterForRemoteNotificationsWithDeviceToken(Value(), Bytes{});
  EXPECT_EQ(waiting.calls, 0);
  EXPECT_EQ(delegateLog->tokens.size(), 3u);
}

TEST_F(ManagerTest, CachedTokenAnswersAtOnceWithoutThePlatform) {
  auto manager = started();
  manager->info()->setUseCachedPushToken(true);
  manager->info()->setPushServiceID(std::string("cafe"));
  host.notifications->clearCalls();
  TokenOutcome outcome;
  manager->registerRemoteNotification(into(outcome));
  EXPECT_EQ(outcome.calls, 1);  // on the caller's thread, before any queue runs
  EXPECT_EQ(outcome.token, "cafe");
  EXPECT_EQ(host.notifications->callCount("requestAuthorization"), 0u);
  EXPECT_TRUE(
      host.log->contains("PushManager - registerRemoteNotification (hasRegisterNotification: 1)"));

  // An empty stored ID asks the platform.
  manager->info()->setPushServiceID(std::string());
  TokenOutcome asked;
  manager->registerRemoteNotification(into(asked));
  drain();
  EXPECT_EQ(asked.calls, 1);
  EXPECT_EQ(host.notifications->callCount("requestAuthorization"), 1u);
}

TEST_F(ManagerTest, RefusalGives1203AndNoTokenRequestUnlessGrantIsIgnored) {
  auto manager = started();
  host.notifications->scriptAuthorization(false);
  host.notifications->clearCalls();
  TokenOutcome refused;
  manager->registerRemoteNotification(into(refused));
  drain();
  ASSERT_EQ(refused.calls, 1);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code, errors::kNotificationGrant);
  EXPECT_EQ(refused.error->description, "User Notification Grant is fail !!");
  EXPECT_EQ(host.notifications->callCount("registerForRemoteNotifications"), 0u);
  // The denied settings go to the log server.
  ASSERT_EQ(http->requestCount(), 1u);
  EXPECT_NE(http->requests()[0].url.find("putAppLog.ctl"), std::string::npos);

  TokenOutcome anyway;
  manager->registerRemoteNotificationWithOutGranted(into(anyway));
  drain();
  EXPECT_EQ(anyway.calls, 1);
  EXPECT_TRUE(anyway.token);
  EXPECT_TRUE(
      host.log->contains("UIApplication - CALL registerForRemoteNotifications Granted Pass"));
}

TEST_F(ManagerTest, OlderPlatformFormsAreUsedWhenTheCentreIsMissing) {
  auto manager = started();
  host.notifications->setNotificationCenterAvailable(false);
  host.notifications->clearCalls();
  TokenOutcome viaSettings;
  manager->registerRemoteNotification(into(viaSettings));
  drain();
  EXPECT_EQ(host.notifications->callCount("registerUserNotificationSettings"), 1u);
  EXPECT_EQ(viaSettings.calls, 1);

  host.notifications->setUserNotificationSettingsAvailable(false);
  host.notifications->clearCalls();
  TokenOutcome legacy, nothing;
  manager->registerRemoteNotification(into(legacy));
  EXPECT_EQ(host.notifications->callCount("registerForRemoteNotificationTypes"), 1u);
  host.notifications->clearCalls();
  manager->registerRemoteNotificationWithOutGranted(into(nothing));
  drain();
  EXPECT_EQ(host.notifications->callCount("registerForRemoteNotificationTypes"), 0u);
  EXPECT_EQ(nothing.calls, 0);
}

TEST_F(ManagerTest, PlatformFailureReachesCallerDelegateAndLogServerOnce) {
  auto manager = started();
  manager->setDelegate(recordingDelegate());
  host.notifications->scriptAuthorizationStatus(AuthorizationStatus::Authorized);
  host.notifications->scriptRegistrationFailure(ErrorInfo{"PlatformError", 3010, "no aps", {}});
  TokenOutcome outcome;
  manager->registerRemoteNotification(into(outcome));
  drain();
  ASSERT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.token);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, 3010);
  EXPECT_EQ(delegateLog->events.back(), "failed:3010");
  ASSERT_EQ(http->requestCount(), 1u);  // the log server answers nothing useful: one try here
  const Dictionary form = ScriptedHttpClient::decodeForm(http->requests()[0].body);
  EXPECT_NE(form.get("log").stringOr("").find(
                "PushManager - didFailToRegisterForRemoteNotificationsWithError"),
            std::string::npos);
}

TEST_F(ManagerTest, ServiceStatusCoversItsFiveAnswers) {
  auto manager = started();
  auto status = [&](const std::string& token) {
    std::optional<std::int64_t> answer;
    manager->getServiceStatus(token,
                              [&](std::int64_t s, const std::optional<ErrorInfo>&) { answer = s; });
    host.runLoop->runUntilIdle();
    return answer.value_or(-1);
  };
  manager->info()->changeReceiverVersion("3.5");
  EXPECT_EQ(status("t"), 1);
  manager->info()->changeReceiverVersion("3.6");
  EXPECT_EQ(status("t"), 1);  // no stored ID
  manager->info()->setPushServiceID(std::string("t"));
  EXPECT_EQ(status("t"), 3);  // 3.6 cannot be asked
  EXPECT_EQ(http->requestCount(), 0u);

  manager->info()->changeReceiverVersion("4.0");
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{{"ISREGISTERED", "Y"}});
  EXPECT_EQ(status("t"), 2);
  manager->info()->setPushServiceLastDate(std::nullopt);
  http->enqueueEnvelope(Dictionary{{"ISREGISTERED", "N"}});
  EXPECT_EQ(status("t"), 3);
  http->enqueueEnvelope(Dictionary{}, "9999");
  EXPECT_EQ(status("t"), 5);
  // Another token cancels the user, and 4 follows even when that fails.
  manager->info()->setClientUID(std::string("alice"));
  http->enqueueEnvelope(Dictionary{}, "9999");
  EXPECT_EQ(status("other"), 4);
  EXPECT_NE(http->requests().back().url.find("rcv_delete_user.ctl"), std::string::npos);
}

}  // namespace
}  // namespace orvo::test
