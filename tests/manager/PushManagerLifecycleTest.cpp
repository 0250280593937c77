#include <algorithm>
#include <atomic>
#include <thread>

#include "orvo/testing/ProcessReset.h"

#include "manager/ManagerFixture.h"

namespace orvo::test {
namespace {

TEST_F(ManagerTest, StartUpIsPostedLoadsTheRecordAndLogsTheBanner) {
  auto manager = PushManager::defaultManager();
  EXPECT_EQ(manager, PushManager::getInstance());
  EXPECT_EQ(manager->info(), nullptr);  // posted, not run inside creation
  manager->initilaizeWithDelegate(recordingDelegate());
  EXPECT_TRUE(delegateLog->events.empty());  // nothing to report yet

  host.runLoop->runUntilIdle();
  auto record = manager->info();
  ASSERT_NE(record, nullptr);
  EXPECT_FALSE(record->useStorage());
  EXPECT_EQ(record->mode(), "REAL");
  EXPECT_TRUE(manager->shouldExecuteInterface());
  ASSERT_EQ(delegateLog->loaded.size(), 1u);
  EXPECT_EQ(delegateLog->loaded[0], record);

  const auto lines = host.log->lines();
  const std::vector<std::string> banner{
      "------------ Push Library Version 5.1.6 ------------",
      "Host:              https://receiver.example.com/push/", "ReceiverVersion:   4.0",
      "ApplicationID:     com.example.app", "--------------------------------------------"};
  auto first = std::find(lines.begin(), lines.end(), banner[0]);
  ASSERT_NE(first, lines.end());
  ASSERT_GE(static_cast<std::size_t>(lines.end() - first), banner.size());
  EXPECT_EQ(std::vector<std::string>(first, first + 5), banner);

  // A second start-up changes nothing.
  manager->initialize();
  EXPECT_EQ(manager->info(), record);
  // Registering the delegate again reports the record again.
  manager->initilaizeWithDelegate(recordingDelegate());
  EXPECT_EQ(delegateLog->loaded.size(), 2u);
}

TEST_F(ManagerTest, GetInstanceFirstNeverStartsByItself) {
  auto manager = PushManager::getInstance();
  host.runLoop->runUntilIdle();
  EXPECT_EQ(manager->info(), nullptr);
  EXPECT_EQ(PushManager::defaultManager(), manager);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(manager->info(), nullptr);
  // Without a record the trace is silent, whatever the manifest says.
  EXPECT_EQ(host.log->lines(), std::vector<std::string>{});
  // The first gate creates the record.
  bool granted = false;
  manager->requestAccessInterface([&](bool g) { granted = g; });
  EXPECT_TRUE(granted);
  EXPECT_NE(manager->info(), nullptr);
}

TEST_F(ManagerTest, CustomReceiverURLReachesTheRecordOnlyBeforeStartUp) {
  const Dictionary options{{"KEY_CUSTOM_RECEIVER_SERVER_URL", "https://custom.example.com/"}};
  {
    auto manager = PushManager::defaultManager();
    EXPECT_TRUE(manager->applicationDidFinishLaunchingWithOptions(Value(), options));
    host.runLoop->runUntilIdle();
    EXPECT_EQ(manager->info()->host(), "https://custom.example.com/");
    EXPECT_EQ(manager->customHost(), "https://custom.example.com/");
    EXPECT_EQ(manager->info()->launchOptions(), options);
    // The manager became the centre's delegate.
    EXPECT_NE(host.notifications->centerDelegate(), nullptr);
    // A second launch event changes nothing.
    manager->applicationDidFinishLaunchingWithOptions(
        Value(), Dictionary{{"KEY_CUSTOM_RECEIVER_SERVER_URL", "https://other.example.com/"}});
    EXPECT_EQ(manager->customHost(), "https://custom.example.com/");
  }
  resetProcessState();
  auto manager = PushManager::defaultManager();
  host.runLoop->runUntilIdle();
  manager->applicationDidFinishLaunchingWithOptions(Value(), options);
  EXPECT_EQ(manager->customHost(), "https://custom.example.com/");
  EXPECT_EQ(manager->info()->host(), "https://receiver.example.com/push/");
}

class StorageManagerTest : public ManagerTest {
 protected:
  StorageManagerTest() : ManagerTest(ManifestOptions{.storage = true}) {}
};

TEST_F(StorageManagerTest, StartUpMakesAStoredRecord) {
  auto manager = PushManager::defaultManager();
  manager->setDelegate(recordingDelegate());
  host.runLoop->runUntilIdle();
  auto record = manager->info();
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->useStorage());
  EXPECT_EQ(record->mode(), "REAL");
  ASSERT_EQ(delegateLog->loaded.size(), 1u);
  EXPECT_EQ(delegateLog->loaded[0], record);
}

// Only a record the library makes gets the build's mode at start-up; a first
// record handed in stays as given; a later one inherits either way.
TEST_F(StorageManagerTest, ModeAndCachedTokenByWhoMakesTheRecord) {
  struct State {
    std::string mode;
    bool cachedToken;
  };
  struct Row {
    std::optional<State> existing;  // the record current before
    std::optional<State> handedIn;  // none: the library makes the record
    State expected;
  };
  const Row rows[] = {
      {std::nullopt, std::nullopt, {"REAL", false}},
      {std::nullopt, State{"DEV", true}, {"DEV", true}},
      {State{"DEV", true}, std::nullopt, {"DEV", true}},
      {State{"DEV", true}, State{"REAL", false}, {"DEV", true}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.existing ? "existing, " : "none, ") +
                 (row.handedIn ? "handed in" : "by the library"));
    resetProcessState();
    auto manager = PushManager::getInstance();
    if (row.existing) {
      // In memory: the gate, which wants storage, makes the next one.
      manager->exchangeInfo(std::make_shared<PushManagerInfo>(false));
      manager->info()->setMode(row.existing->mode);
      manager->info()->setUseCachedPushToken(row.existing->cachedToken);
    }
    if (row.handedIn) {
      auto given = std::make_shared<PushManagerInfo>(false);
      given->setMode(row.handedIn->mode);
      given->setUseCachedPushToken(row.handedIn->cachedToken);
      manager->exchangeInfo(given);
    } else {
      manager->loadEncryptedInfo(nullptr);
    }
    ASSERT_TRUE(manager->info()->useStorage() != static_cast<bool>(row.handedIn));
    EXPECT_EQ(manager->info()->mode(), row.expected.mode);
    EXPECT_EQ(manager->info()->useCachedPushToken(), row.expected.cachedToken);
  }
}

// A stored list is loaded by the report tests.
TEST_F(ManagerTest, PurchasesAndManifestFileLiveInTheSettingsStore) {
  host.settings->set("push_xelt_purchase_array", "not a list");
  auto manager = started();
  EXPECT_TRUE(manager->purchaseArray().empty());

  manager->setManifestFile("Other.xml");
  EXPECT_EQ(host.settings->get("KEY_MANIFEST_FILE"), Value("Other.xml"));
  manager->removeManifestFile();
  EXPECT_TRUE(host.settings->get("KEY_MANIFEST_FILE").isNull());
  PushManager::setBundlePath("/opt/bundle");  // handed on to the configuration
  EXPECT_EQ(PushManager::getBundlePath(), "/opt/bundle");
}

TEST_F(ManagerTest, RegisteredServiceFollowsWhicheverQueryThePlatformOffers) {
  auto manager = started();
  host.notifications->setCurrentUserNotificationSettingsAvailable(false);
  host.notifications->setEnabledRemoteNotificationTypes(3);
  EXPECT_FALSE(manager->isRegisteredService());
  host.notifications->setEnabledRemoteNotificationTypes(4);
  EXPECT_TRUE(manager->isRegisteredService());
}

TEST_F(ManagerTest, ManyThreadsMakeOneManagerAndOneRecord) {
  std::vector<std::shared_ptr<PushManager>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = i % 2 ? PushManager::defaultManager() : PushManager::getInstance();
      seen[i]->requestAccessInterface(nullptr);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& manager : seen) EXPECT_EQ(manager, seen[0]);
  auto record = seen[0]->info();
  host.runLoop->runUntilIdle();
  EXPECT_EQ(seen[0]->info(), record);
}

TEST_F(ManagerTest, ApplicationThreadsAndTheMainQueueDeliverEachNotificationOnce) {
  auto manager = started();
  std::atomic<int> delivered{0};
  auto delegate = std::make_shared<PushManagerDelegate>();
  delegate->didReceiveUserNotification = [&delivered](PushManager&, const Dictionary&,
                                                      const std::string&,
                                                      const std::string&) { ++delivered; };
  manager->setDelegate(delegate);
  constexpr int kNotifications = 200;
  // Bounded work on every side: a slow main queue (a sanitizer, a loaded
  // machine) must not let the application threads pile up requests.
  std::vector<std::thread> application;
  for (int t = 0; t < 3; ++t) {
    application.emplace_back([&, t] {
      for (int i = 0; i < kNotifications; ++i) {
        manager->setEnabled((i + t) % 2 == 0);
        manager->registerUser(Value(), "user" + std::to_string(i), std::nullopt, nullptr);
        EXPECT_NE(manager->info(), nullptr);
        manager->notificationCenter()->unexpiredNotifications();
      }
    });
  }
  for (int i = 0; i < kNotifications; ++i) {
    manager->applicationDidReceiveRemoteNotification(
        Value(),
        Dictionary{{"aps", Dictionary{{"alert", std::to_string(i)}}}, {"feedback", "true"}});
    host.runLoop->runUntilIdle();
  }
  for (auto& thread : application) thread.join();
  host.runLoop->runUntilIdle();
  manager->setEnabled(false);
  manager->setEnabled(true);
  EXPECT_EQ(delivered.load(), kNotifications);
  EXPECT_EQ(manager->notificationCenter()->notifications().size(),
            static_cast<std::size_t>(kNotifications));
  EXPECT_TRUE(manager->notificationCenter()->unexpiredNotifications().empty());
}

}  // namespace
}  // namespace orvo::test
