#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "orvo/platform/MainQueue.h"
#include "orvo/platform/SimulatedNotificationHost.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

// Remembers every application event and the thread it arrived on.
class RecordingApplication : public ApplicationEventSink {
 public:
  explicit RecordingApplication(const RunLoop& loop) : loop_(loop) {}

  void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) override {
    note();
    tokens.push_back(token);
  }
  void didFailToRegisterForRemoteNotificationsWithError(const ErrorInfo& error) override {
    note();
    failures.push_back(error);
  }
  void didRegisterUserNotificationSettings(std::int64_t types) override {
    note();
    settings.push_back(types);
  }
  void didReceiveRemoteNotification(const Dictionary& payload) override {
    note();
    payloads.push_back(payload);
  }

  std::vector<Bytes> tokens;
  std::vector<ErrorInfo> failures;
  std::vector<std::int64_t> settings;
  std::vector<Dictionary> payloads;
  bool allOnMainQueue = true;

 private:
  void note() { allOnMainQueue = allOnMainQueue && loop_.isRunningOnThisThread(); }
  const RunLoop& loop_;
};

class RecordingDelegate : public NotificationCenterDelegate {
 public:
  void willPresentNotification(const PlatformNotification& notification,
                               std::function<void(std::int64_t)> completion) override {
    presented.push_back(notification.identifier);
    completion(kNotificationOptionsAll);
  }
  void didReceiveNotificationResponse(const PlatformNotification& notification,
                                      const std::string& actionIdentifier,
                                      std::function<void()> completion) override {
    responses.push_back(notification.identifier + "/" + actionIdentifier);
    completion();
  }
  std::vector<std::string> presented;
  std::vector<std::string> responses;
};

// One authorisation answer as the library would see it.
struct Answer {
  std::mutex mutex;
  std::condition_variable changed;
  bool arrived = false;
  bool granted = false;
  std::optional<ErrorInfo> error;
  std::thread::id thread;
  bool onMainQueue = true;

  std::function<void(bool, std::optional<ErrorInfo>)> handler(const RunLoop& loop) {
    return [this, &loop](bool g, std::optional<ErrorInfo> e) {
      std::lock_guard lock(mutex);
      arrived = true;
      granted = g;
      error = std::move(e);
      thread = std::this_thread::get_id();
      onMainQueue = loop.isRunningOnThisThread();
      changed.notify_all();
    };
  }
};

AuthorizationStatus settingsNow(SimulatedNotificationHost& host) {
  std::promise<AuthorizationStatus> status;
  auto future = status.get_future();
  host.getNotificationSettings([&status](AuthorizationStatus s) { status.set_value(s); });
  EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
  return future.get();
}

TEST(SimulatedNotificationHostTest, AuthorizationIsAnsweredOnThePlatformThread) {
  auto loop = std::make_shared<RunLoop>();
  SimulatedNotificationHost host(loop);
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::NotDetermined);

  // Granted by default, answered on neither the caller's thread nor the loop,
  // even while the loop runs on the caller's thread.
  Answer first;
  loop->post([&] { host.requestAuthorization(kNotificationOptionsAll, first.handler(*loop)); });
  loop->runUntilIdle();
  ASSERT_TRUE(host.waitForPlatformIdle());
  {
    std::lock_guard lock(first.mutex);
    ASSERT_TRUE(first.arrived);
    EXPECT_TRUE(first.granted);
    EXPECT_FALSE(first.error);
    EXPECT_NE(first.thread, std::this_thread::get_id());
    EXPECT_FALSE(first.onMainQueue);
  }
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::Authorized);

  // Denied, without and with an error.
  host.scriptAuthorization(false);
  Answer denied;
  host.requestAuthorization(3, denied.handler(*loop));
  ASSERT_TRUE(host.waitForPlatformIdle());
  {
    std::lock_guard lock(denied.mutex);
    ASSERT_TRUE(denied.arrived);
    EXPECT_FALSE(denied.granted);
    EXPECT_FALSE(denied.error);
  }
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::Denied);

  const ErrorInfo platformError{"UNErrorDomain", 1, "Notifications are not allowed", {}};
  host.scriptAuthorization(false, platformError);
  Answer failed;
  host.requestAuthorization(kNotificationOptionsAll, failed.handler(*loop));
  ASSERT_TRUE(host.waitForPlatformIdle());
  {
    std::lock_guard lock(failed.mutex);
    ASSERT_TRUE(failed.arrived);
    EXPECT_FALSE(failed.granted);
    EXPECT_EQ(failed.error, platformError);
  }

  // A scripted status wins over the last answer.
  host.scriptAuthorizationStatus(AuthorizationStatus::NotDetermined);
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::NotDetermined);
  host.scriptAuthorizationStatus(std::nullopt);
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::Denied);

  // The library asks for the settings from within the answer: the chain
  // completes before waitForPlatformIdle returns.
  std::atomic<int> chained{-1};
  host.scriptAuthorization(true);
  host.requestAuthorization(kNotificationOptionsAll, [&](bool, std::optional<ErrorInfo>) {
    host.getNotificationSettings(
        [&](AuthorizationStatus status) { chained = static_cast<int>(status); });
  });
  ASSERT_TRUE(host.waitForPlatformIdle());
  EXPECT_EQ(chained.load(), static_cast<int>(AuthorizationStatus::Authorized));

  EXPECT_EQ(host.callCount("requestAuthorization"), 4u);
  EXPECT_EQ(host.calls().front(), "getNotificationSettings");
  EXPECT_EQ(host.calls()[1], "requestAuthorization(7)");
  EXPECT_EQ(host.calls()[3], "requestAuthorization(3)");
  EXPECT_EQ(loop->pending(), 0u);  // nothing went through the main queue
}

TEST(SimulatedNotificationHostTest, TokenAndFailureArriveThroughTheMainQueue) {
  auto loop = std::make_shared<RunLoop>();
  SimulatedNotificationHost host(loop);
  auto app = std::make_shared<RecordingApplication>(*loop);
  host.setApplication(app);

  host.registerForRemoteNotifications();
  ASSERT_TRUE(host.waitForPlatformIdle());
  EXPECT_TRUE(app->tokens.empty());  // not before the loop runs
  EXPECT_FALSE(host.isRegisteredForRemoteNotifications());
  loop->runUntilIdle();
  ASSERT_EQ(app->tokens.size(), 1u);
  EXPECT_EQ(app->tokens[0].size(), 32u);
  EXPECT_TRUE(host.isRegisteredForRemoteNotifications());

  host.scriptToken(Bytes{0x00, 0xAB, 0x10});
  host.registerForRemoteNotifications();
  const ErrorInfo failure{"NSCocoaErrorDomain", 3010, "remote notifications unavailable", {}};
  host.scriptRegistrationFailure(failure);
  host.registerForRemoteNotifications();
  loop->runUntilIdle();
  ASSERT_EQ(app->tokens.size(), 2u);
  EXPECT_EQ(app->tokens[1], (Bytes{0x00, 0xAB, 0x10}));
  ASSERT_EQ(app->failures.size(), 1u);
  EXPECT_EQ(app->failures[0], failure);

  // Silent platform: nothing is posted at all.
  host.scriptRegistrationAnswers(false);
  host.registerForRemoteNotifications();
  EXPECT_EQ(loop->pending(), 0u);
  host.scriptRegistrationAnswers(true);

  // A new token script clears the failure.
  host.scriptToken(Bytes{1});
  host.registerForRemoteNotifications();
  host.registerUserNotificationSettings(kNotificationOptionsAll);
  host.deliverRemoteNotification(Dictionary{{"aps", Dictionary{{"alert", "hi"}}}});
  loop->runUntilIdle();
  EXPECT_EQ(app->tokens.size(), 3u);
  EXPECT_EQ(app->failures.size(), 1u);
  EXPECT_EQ(app->settings, (std::vector<std::int64_t>{7}));
  ASSERT_EQ(app->payloads.size(), 1u);
  EXPECT_EQ(*app->payloads[0].getDictionary("aps")->getString("alert"), "hi");
  EXPECT_TRUE(app->allOnMainQueue);
  EXPECT_EQ(host.callCount("registerForRemoteNotifications"), 5u);

  // The application is held weakly: once gone, events go nowhere.
  host.registerForRemoteNotifications();
  host.deliverRemoteNotification(Dictionary{});
  app.reset();
  EXPECT_EQ(loop->runUntilIdle(), 2u);
}

TEST(SimulatedNotificationHostTest, RecordsCallsAndKeepsBadgeAndSwitches) {
  auto loop = std::make_shared<RunLoop>();
  SimulatedNotificationHost host(loop);

  EXPECT_TRUE(host.notificationCenterAvailable());
  EXPECT_TRUE(host.userNotificationSettingsAvailable());
  EXPECT_TRUE(host.currentUserNotificationSettingsAvailable());
  host.setNotificationCenterAvailable(false);
  host.setUserNotificationSettingsAvailable(false);
  host.setCurrentUserNotificationSettingsAvailable(false);
  EXPECT_FALSE(host.notificationCenterAvailable());
  EXPECT_FALSE(host.userNotificationSettingsAvailable());
  EXPECT_FALSE(host.currentUserNotificationSettingsAvailable());

  EXPECT_EQ(host.applicationState(), ApplicationState::Active);
  host.setApplicationState(ApplicationState::Background);
  EXPECT_EQ(host.applicationState(), ApplicationState::Background);
  host.setEnabledRemoteNotificationTypes(4);
  EXPECT_EQ(host.enabledRemoteNotificationTypes(), 4);

  host.clearCalls();
  EXPECT_EQ(host.applicationIconBadgeNumber(), 0);
  host.setApplicationIconBadgeNumber(5);
  host.setApplicationIconBadgeNumber(-2);
  EXPECT_EQ(host.applicationIconBadgeNumber(), -2);
  host.cancelAllLocalNotifications();
  host.cancelAllLocalNotifications();
  host.registerForRemoteNotificationTypes(7);
  EXPECT_EQ(host.pendingLocalNotificationsCancelled(), 2u);
  EXPECT_EQ(host.calls(), (std::vector<std::string>{
                              "applicationIconBadgeNumber", "setApplicationIconBadgeNumber(5)",
                              "setApplicationIconBadgeNumber(-2)", "applicationIconBadgeNumber",
                              "cancelAllLocalNotifications", "cancelAllLocalNotifications",
                              "registerForRemoteNotificationTypes(7)"}));
  EXPECT_EQ(host.callCount("setApplicationIconBadgeNumber"), 2u);
  EXPECT_EQ(host.callCount("setApplicationIconBadge"), 0u);  // whole names only
  EXPECT_EQ(loop->pending(), 0u);                            // the legacy form answers nothing

  // Calls from many threads are all recorded.
  host.clearCalls();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&host, t] {
      for (int i = 0; i < 100; ++i) host.setApplicationIconBadgeNumber(t * 100 + i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(host.callCount("setApplicationIconBadgeNumber"), 400u);
}

TEST(SimulatedNotificationHostTest, CentreDelegateGetsEventsOnTheMainQueue) {
  auto loop = std::make_shared<RunLoop>();
  SimulatedNotificationHost host(loop);
  EXPECT_FALSE(host.hasCenterDelegate());
  auto delegate = std::make_shared<RecordingDelegate>();
  host.setCenterDelegate(delegate);
  EXPECT_TRUE(host.hasCenterDelegate());
  EXPECT_EQ(host.centerDelegate(), delegate);

  std::int64_t options = -1;
  bool responded = false;
  host.presentNotification(PlatformNotification{"n1", {}}, [&](std::int64_t o) { options = o; });
  host.respondToNotification(PlatformNotification{"n2", {}}, "open", [&] { responded = true; });
  EXPECT_TRUE(delegate->presented.empty());
  loop->runUntilIdle();
  EXPECT_EQ(delegate->presented, (std::vector<std::string>{"n1"}));
  EXPECT_EQ(delegate->responses, (std::vector<std::string>{"n2/open"}));
  EXPECT_EQ(options, kNotificationOptionsAll);
  EXPECT_TRUE(responded);

  // Held weakly, like the platform's centre does.
  delegate.reset();
  EXPECT_FALSE(host.hasCenterDelegate());
  EXPECT_EQ(host.centerDelegate(), nullptr);
  host.presentNotification(PlatformNotification{"n3", {}}, nullptr);
  EXPECT_EQ(loop->runUntilIdle(), 1u);
}

TEST(SimulatedNotificationHostTest, DestructionDropsQueuedAnswers) {
  auto loop = std::make_shared<RunLoop>();
  auto host = std::make_shared<SimulatedNotificationHost>(loop);

  // The first answer blocks the platform thread until released.
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  bool blocking = false;
  host->requestAuthorization(7, [&](bool, std::optional<ErrorInfo>) {
    std::unique_lock lock(mutex);
    blocking = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return blocking; });
  }
  constexpr int kQueued = 50;
  std::atomic<int> answered{0};
  auto witness = std::make_shared<int>(0);
  for (int i = 0; i < kQueued; ++i) {
    host->requestAuthorization(
        7, [&answered, witness](bool, std::optional<ErrorInfo>) { ++answered; });
  }
  EXPECT_EQ(witness.use_count(), kQueued + 1);

  std::thread destroyer([&] { host.reset(); });
  std::this_thread::sleep_for(100ms);  // let the destructor begin waiting
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  cv.notify_all();
  destroyer.join();
  const int afterDestruction = answered.load();
  EXPECT_LT(afterDestruction, kQueued);
  EXPECT_EQ(witness.use_count(), 1);  // dropped answers were released
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(answered.load(), afterDestruction);
  EXPECT_EQ(loop->pending(), 0u);
}

TEST(SimulatedNotificationHostTest, AnswerMayReleaseTheLastReferenceToTheHost) {
  auto loop = std::make_shared<RunLoop>();
  auto host = std::make_shared<SimulatedNotificationHost>(loop);
  std::weak_ptr<SimulatedNotificationHost> watch = host;
  std::atomic<bool> answered{false};
  host->requestAuthorization(
      7, [keep = host, &answered](bool, std::optional<ErrorInfo>) { answered = true; });
  host.reset();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!watch.expired() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(watch.expired());

  // Registration events that outlive the host are still safe to run.
  auto second = std::make_shared<SimulatedNotificationHost>(loop);
  auto app = std::make_shared<RecordingApplication>(*loop);
  second->setApplication(app);
  second->registerForRemoteNotifications();
  second.reset();
  loop->runUntilIdle();
  EXPECT_EQ(app->tokens.size(), 1u);
}

}  // namespace
}  // namespace orvo
