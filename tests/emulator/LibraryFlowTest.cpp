// The library as an application uses it (desktop host, libcurl, the simulated
// phone) against the emulated service: what the library says must be what
// the service stores and delivers.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "State.h"
#include "emulator/EmulatorHarness.h"
#include "emulator/LibraryDevice.h"
#include "foundation/Log.h"
#include "integration/LoopbackServer.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/FixedDevice.h"
#include "orvo/testing/ProcessReset.h"
#include "support/Manifest.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.emulated";

emulator::EmulatorOptions receiverOfManifest() {
  auto options = quietEmulator();
  options.receiverVersion = ManifestOptions{}.version;
  return options;
}

// Declared before the device, so it stops last: its stop waits for the
// kept-alive connections of the library's HTTP client, which close when the
// host goes.
struct WithEmulator {
  RunningEmulator emu{receiverOfManifest()};
};

class LibraryAgainstEmulatorTest : public ::testing::Test,
                                   protected WithEmulator,
                                   protected LibraryDevice {
 protected:
  LibraryAgainstEmulatorTest() : LibraryDevice(emu, "alice", kApp) {
    // Facts of a known phone, so that what the service stores can be written down.
    auto device = std::make_shared<FixedDevice>("Pixel 8", "14.1");
    device->queueUUID("5A1D7C4E-0000-4000-8000-0000000000A1");
    host->device = device;
  }

  ~LibraryAgainstEmulatorTest() override {
    EXPECT_TRUE(runUntil([&] { return http->pending() == 0; }));
    // Whatever the flow asked of the service, it found through an index.
    EXPECT_EQ(unindexedLookups(emu.emulator().service().state()), std::vector<std::string>{});
    logging::setSwitch(nullptr);
    resetProcessState();
    Host::setCurrent(nullptr);
  }

  bool runUntil(const std::function<bool()>& done) { return loop->runUntil(done, kGenerousWait); }
  // Runs the loop until the operation started by `start` has called back.
  bool succeeds(const std::function<void(ResultHandler)>& start) {
    std::optional<bool> outcome;
    start([&](bool success) { outcome = success; });
    return runUntil([&] { return outcome.has_value(); }) && *outcome;
  }

  // Launch, then alice registers with the phone's token from the gateway.
  void registerAlice() {
    manager = PushManager::defaultManager();
    manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
    manager->initilaizeWithDelegate(delegate);
    ASSERT_TRUE(runUntil([&] { return manager->info() != nullptr; }));
    ASSERT_TRUE(succeeds([&](ResultHandler done) {
      manager->registerServiceAndUser(Value(), "alice", "Alice", done);
    }));
    // The day's app-alive follows the registration.
    ASSERT_TRUE(runUntil([&] {
      return emu.count({{"endpoint", "rcv_appAlive.ctl"}, {"result_code", "0000"}}) == 1;
    }));
  }

  std::shared_ptr<PushManagerDelegate> delegate = std::make_shared<PushManagerDelegate>();
  std::shared_ptr<PushManager> manager;
};

TEST_F(LibraryAgainstEmulatorTest, RegistrationUserGroupBadgeReportsAndLogReachTheService) {
  ASSERT_NO_FATAL_FAILURE(registerAlice());
  const auto info = manager->info();
  EXPECT_EQ(info->pushServiceID(), token);

  // The device with the facts the library sent, under the gateway's name.
  const Json devices = emu.list("devices");
  ASSERT_EQ(devices.size(), 1u) << devices.dump();
  const Json& device = devices[0];
  EXPECT_EQ(device["app_id"], kApp);
  EXPECT_EQ(device["device_id"], "5A1D7C4E-0000-4000-8000-0000000000A1");
  EXPECT_EQ(device["psid"], token);
  EXPECT_EQ(device["device_name"], "alice-phone");
  EXPECT_EQ(device["cuid"], "alice");
  EXPECT_EQ(device["cname"], "Alice");
  EXPECT_EQ(device["registered"], 1);
  EXPECT_EQ(device["device_type"], "I");
  EXPECT_EQ(device["pnsid"], "APNS");
  EXPECT_EQ(device["model"], "Pixel 8");
  EXPECT_EQ(device["os_version"], "14.1");
  EXPECT_EQ(device["app_version"], "1");
  EXPECT_EQ(device["mode"], "REAL");
  EXPECT_EQ(device["alive_days"].size(), 1u);

  // A new name and phone for the user; a group.
  ASSERT_TRUE(succeeds([&](ResultHandler done) {
    manager->registerUser(Value(), "alice", "Alice Lee", "01012345678", done);
  }));
  ASSERT_TRUE(succeeds([&](ResultHandler done) { manager->registerGroup(Value(), "G7", done); }));
  const Json users = emu.list("users");
  ASSERT_EQ(users.size(), 1u) << users.dump();
  EXPECT_EQ(users[0]["cuid"], "alice");
  EXPECT_EQ(users[0]["name"], "Alice Lee");
  EXPECT_EQ(users[0]["phone"], "01012345678");
  EXPECT_EQ(emu.list("devices")[0]["cname"], "Alice Lee");
  EXPECT_EQ(emu.list("groups"), Json::parse(R"([{"app_id":"com.example.emulated","group_seq":"G7",)"
                                            R"("members":["alice"]}])"));

  ASSERT_TRUE(succeeds([&](ResultHandler done) { manager->update(Value(), Value(5), done); }));
  EXPECT_EQ(emu.list("devices")[0]["badge"], 5);

  // Session and purchase reports, on the same server.
  info->changexeltHost(emu.url() + "/");
  std::vector<bool> reported;
  auto collect = [&](bool success, const std::optional<Value>&) { reported.push_back(success); };
  manager->updateSession(Value(), "alice", collect);
  manager->updatePurchase(Value(), "P-100", "alice", collect);
  ASSERT_TRUE(runUntil([&] { return reported.size() == 2; }));
  EXPECT_EQ(reported, (std::vector<bool>{true, true}));
  // The two went out together: either may be stored first.
  std::map<std::string, Json> reports;
  for (const auto& row : emu.list("reports")) reports[row["kind"]] = row;
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports["session"]["app_id"], kApp);
  EXPECT_EQ(reports["session"]["cuid"], "alice");
  EXPECT_EQ(reports["purchase"]["purchase_id"], "P-100");
  EXPECT_EQ(reports["purchase"]["cuid"], "alice");

  // A failure the phone reports goes to the log server as one record.
  manager->applicationDidFailToRegisterForRemoteNotificationsWithError(
      Value(), ErrorInfo{"PlatformError", 3010, "no aps", {}});
  ASSERT_TRUE(runUntil([&] { return !emu.list("logs").empty(); }))
      << emu.journal("putAppLog.ctl").dump(1);
  const Json record = emu.list("logs")[0]["record"];
  EXPECT_EQ(record["cuid"], "alice");
  EXPECT_EQ(record["psid"], token);
  EXPECT_EQ(record["deviceid"], "5A1D7C4E-0000-4000-8000-0000000000A1");
  EXPECT_EQ(record["retry count"], "0");
  const std::string error = record.value("error", "");
  EXPECT_EQ(error.rfind("PushManager - didFailToRegisterForRemoteNotificationsWithError : ", 0), 0u)
      << error;
  EXPECT_NE(error.find("no aps"), std::string::npos) << error;

  // Every request in the library's key sets and values: nothing the receiver
  // had to remark on, nothing refused.
  EXPECT_EQ(emu.count({{"has_notes", true}}), 0) << emu.journal().dump(1);
  EXPECT_EQ(emu.count(Json::object()), emu.count({{"result_code", "0000"}}) + 2)
      << "all but the two reports answer with the envelope";
}

}  // namespace
}  // namespace orvo::test
