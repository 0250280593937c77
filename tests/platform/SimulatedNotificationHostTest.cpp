#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "Helpers.h"
#include "orvo/platform/RunLoop.h"
#include "orvo/platform/SimulatedNotificationHost.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using MaybeError = std::optional<ErrorInfo>;

// Remembers every application and centre event, and whether each ran on the
// main queue.
class RecordingApplication : public ApplicationEventSink, public NotificationCenterDelegate {
 public:
  explicit RecordingApplication(const RunLoop& loop) : loop_(loop) {}
  void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) override {
    note("token " + describe(Value(token)));
  }
  void didFailToRegisterForRemoteNotificationsWithError(const ErrorInfo&) override {}
  void didRegisterUserNotificationSettings(std::int64_t types) override {
    note("settings " + std::to_string(types));
  }
  void didReceiveRemoteNotification(const Dictionary& payload) override {
    note("payload " + payload.get("alert").stringOr("?"));
  }
  void willPresentNotification(const PlatformNotification& notification,
                               std::function<void(std::int64_t)> completion) override {
    note("present " + notification.identifier);
    completion(kNotificationOptionsAll);
  }
  void didReceiveNotificationResponse(const PlatformNotification& notification,
                                      const std::string& action,
                                      std::function<void()> completion) override {
    note("respond " + notification.identifier + "/" + action);
    completion();
  }
  std::vector<std::string> events;
  bool allOnMainQueue = true;

 private:
  void note(std::string event) {
    allOnMainQueue = allOnMainQueue && loop_.isRunningOnThisThread();
    events.push_back(std::move(event));
  }
  const RunLoop& loop_;
};

// The value a platform answer delivers, or T{} after five seconds without one.
template <class T>
T awaited(std::future<T> future) {
  const bool ready = future.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(ready);
  return ready ? future.get() : T{};
}

struct Answer {
  bool granted = false;
  MaybeError error;
  std::thread::id thread;
};

Answer ask(SimulatedNotificationHost& host, std::int64_t options = kNotificationOptionsAll) {
  std::promise<Answer> answer;
  host.requestAuthorization(options, [&answer](bool granted, MaybeError error) {
    answer.set_value({granted, std::move(error), std::this_thread::get_id()});
  });
  return awaited(answer.get_future());
}

AuthorizationStatus settingsNow(SimulatedNotificationHost& host) {
  std::promise<AuthorizationStatus> status;
  host.getNotificationSettings([&status](AuthorizationStatus s) { status.set_value(s); });
  return awaited(status.get_future());
}

// The default grant and scripted statuses are the manager's token tests'
// (manager/PushManagerTokenTest); here the platform's own thread, its error,
// and the record of calls.
TEST(SimulatedNotificationHostTest, AuthorizationIsAnsweredOnThePlatformThreadAndCallsRecorded) {
  auto loop = std::make_shared<RunLoop>();
  SimulatedNotificationHost host(loop);
  // Answered on a thread of the platform's own: the main queue never runs here.
  Answer answer = ask(host);
  EXPECT_TRUE(answer.granted && !answer.error);
  EXPECT_NE(answer.thread, std::this_thread::get_id());
  const ErrorInfo platformError{"UNErrorDomain", 1, "Notifications are not allowed", {}};
  host.scriptAuthorization(false, platformError);
  answer = ask(host, 3);
  EXPECT_FALSE(answer.granted);
  EXPECT_EQ(answer.error, platformError);
  EXPECT_EQ(settingsNow(host), AuthorizationStatus::Denied);

  // Settings asked for from within the answer: the chain completes before
  // waitForPlatformIdle returns.
  std::atomic<int> chained{-1};
  host.scriptAuthorization(true);
  host.requestAuthorization(kNotificationOptionsAll, [&](bool, MaybeError) {
    host.getNotificationSettings([&](AuthorizationStatus s) { chained = static_cast<int>(s); });
  });
  ASSERT_TRUE(host.waitForPlatformIdle());
  EXPECT_EQ(chained.load(), static_cast<int>(AuthorizationStatus::Authorized));
  EXPECT_EQ(host.callCount("requestAuthorization"), 3u);
  EXPECT_EQ(host.calls()[1], "requestAuthorization(3)");

  // Every call is recorded.
  host.clearCalls();
  host.setApplicationIconBadgeNumber(-2);
  EXPECT_EQ(host.applicationIconBadgeNumber(), -2);
  host.cancelAllLocalNotifications();
  host.registerForRemoteNotificationTypes(7);
  EXPECT_EQ(host.pendingLocalNotificationsCancelled(), 1u);
  EXPECT_EQ(host.calls(),
            (std::vector<std::string>{"setApplicationIconBadgeNumber(-2)",
                                      "applicationIconBadgeNumber", "cancelAllLocalNotifications",
                                      "registerForRemoteNotificationTypes(7)"}));
  EXPECT_EQ(host.callCount("setApplicationIconBadge"), 0u);  // whole names only
  EXPECT_EQ(loop->pending(), 0u);  // neither authorisation nor the legacy form used it
}

// Registration failures and a silent platform are exercised through the
// manager's token tests.
TEST(SimulatedNotificationHostTest, EventsArriveThroughTheMainQueueWhenItRuns) {
  auto loop = std::make_shared<RunLoop>();
  auto host = std::make_unique<SimulatedNotificationHost>(loop);
  auto app = std::make_shared<RecordingApplication>(*loop);
  host->setApplication(app);
  host->setCenterDelegate(app);
  host->scriptToken(Bytes{0x00, 0xAB, 0x10});
  host->registerForRemoteNotifications();
  std::int64_t presentOptions = -1;
  bool responded = false;
  host->presentNotification({"n1", {}}, [&](std::int64_t options) { presentOptions = options; });
  host->respondToNotification({"n2", {}}, "open", [&] { responded = true; });
  host->registerUserNotificationSettings(kNotificationOptionsAll);
  host->deliverRemoteNotification(Dictionary{{"alert", "hi"}});
  ASSERT_TRUE(host->waitForPlatformIdle());
  EXPECT_TRUE(app->events.empty());
  EXPECT_FALSE(host->isRegisteredForRemoteNotifications());
  loop->runUntilIdle();
  EXPECT_TRUE(host->isRegisteredForRemoteNotifications());
  EXPECT_TRUE(presentOptions == kNotificationOptionsAll && responded);
  EXPECT_EQ(app->events, (std::vector<std::string>{"token <00ab10>", "present n1",
                                                   "respond n2/open", "settings 7", "payload hi"}));
  EXPECT_TRUE(app->allOnMainQueue);

  // Events still queued when the host goes still run, safely; the application
  // and the centre delegate are held weakly, and once gone get nothing.
  host->registerForRemoteNotifications();
  host.reset();
  loop->runUntilIdle();
  EXPECT_EQ(app->events.back(), "token <00ab10>");
  SimulatedNotificationHost other(loop);
  other.setApplication(app);
  other.setCenterDelegate(app);
  other.deliverRemoteNotification(Dictionary{});
  other.presentNotification({"n3", {}}, nullptr);
  std::weak_ptr<RecordingApplication> watch = app;
  app.reset();
  EXPECT_TRUE(watch.expired() && !other.hasCenterDelegate());
  EXPECT_EQ(loop->runUntilIdle(), 2u);
}

TEST(SimulatedNotificationHostTest, DestructionDropsPendingAnswers) {
  auto loop = std::make_shared<RunLoop>();
  std::atomic<int> answered{0};
  auto released = std::make_shared<std::promise<void>>();
  auto whenReleased = released->get_future();
  auto witness = std::shared_ptr<int>(new int(0), [released](int* p) {
    delete p;
    released->set_value();
  });
  std::function<void(bool, MaybeError)> count = [&answered, witness](bool, MaybeError) {
    ++answered;
  };

  // Off the platform thread: the destructor joins it, and every answer has
  // either run or been released by then.
  auto host = std::make_shared<SimulatedNotificationHost>(loop);
  for (int i = 0; i < 50; ++i) host->requestAuthorization(7, count);
  host.reset();
  EXPECT_EQ(witness.use_count(), 2);  // ours and the one in `count`

  // On the platform thread: the first answer holds the last reference, so
  // the host goes right after it and the 50 queued behind it never run.
  answered = 0;
  host = std::make_shared<SimulatedNotificationHost>(loop);
  std::promise<void> gate;
  host->requestAuthorization(
      7, [keep = host, open = gate.get_future().share()](bool, MaybeError) { open.wait(); });
  for (int i = 0; i < 50; ++i) host->requestAuthorization(7, count);
  std::weak_ptr<SimulatedNotificationHost> watch = host;
  host.reset();
  count = nullptr;
  witness.reset();
  gate.set_value();
  EXPECT_EQ(whenReleased.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(answered.load(), 0);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(loop->pending(), 0u);
}

}  // namespace
}  // namespace orvo
