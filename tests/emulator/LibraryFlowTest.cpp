// The library as an application uses it (desktop host, libcurl, the simulated
// phone) against the emulated service: what the library says must be what
// the service stores and delivers.
#include <gtest/gtest.h>

#include <atomic>
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
#include "orvo/PushEncryptor.h"
#include "orvo/PushManager.h"
#include "orvo/platform/SimulatedNotificationHost.h"
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
  LibraryAgainstEmulatorTest() : LibraryDevice(emu, "alice", kApp) {}

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

  Json message(long long seqno) {
    for (const auto& row : emu.list("messages"))
      if (row["seqno"] == seqno) return row;
    return nullptr;
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
  EXPECT_EQ(device["device_id"], info->deviceUUID());
  EXPECT_EQ(device["psid"], token);
  EXPECT_EQ(device["device_name"], "alice-phone");
  EXPECT_EQ(device["cuid"], "alice");
  EXPECT_EQ(device["cname"], "Alice");
  EXPECT_EQ(device["registered"], 1);
  EXPECT_EQ(device["device_type"], info->deviceType());
  EXPECT_EQ(device["pnsid"], info->pushServiceType());
  EXPECT_EQ(device["model"], info->deviceModel());
  EXPECT_EQ(device["os_version"], info->osVersion());
  EXPECT_EQ(device["app_version"], info->applicationVersion().value_or(""));
  EXPECT_EQ(device["mode"], info->mode());
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
  EXPECT_EQ(record["deviceid"], info->deviceUUID());
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

TEST_F(LibraryAgainstEmulatorTest, MessagesTravelBothWaysAndChangeState) {
  ASSERT_NO_FATAL_FAILURE(registerAlice());
  const std::string bob = emu.registerDevice(kApp, "bob");
  GatewayStream bobStream(emu.emulator().port(), bob);

  // Upstream from alice's library to bob's device.
  ASSERT_TRUE(succeeds([&](ResultHandler done) {
    manager->send(Value(), "bob", "hello bob", Value(), "SVC1", "ext-1", done);
  }));
  auto events = bobStream.waitFor(1);
  ASSERT_EQ(events.size(), 1u);
  const Json upstream = events[0].payload;
  EXPECT_EQ(upstream["aps"]["alert"], "hello bob");
  EXPECT_EQ(upstream["orv"]["psid"], bob);
  EXPECT_EQ(upstream["orv"]["ext"], "ext-1");
  EXPECT_EQ(upstream["orv"]["sender"], "device-ios");

  // Downstream to alice: her phone hands the payload to the library, which
  // acknowledges it, then reads it.
  const Reply sent = emu.post("/__admin/send", {{"user", "alice"}, {"message", "hi alice"}});
  ASSERT_EQ(sent.status, 200) << sent.body;
  const long long seqno = sent.json["seqno"];
  GatewayStream aliceStream(emu.emulator().port(), token);
  events = aliceStream.waitFor(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(message(seqno)["deliveries"][0]["state"], "sent");
  std::vector<Dictionary> received;
  delegate->didReceiveUserNotification = [&](PushManager&, const Dictionary& payload,
                                             const std::string&,
                                             const std::string&) { received.push_back(payload); };
  const Dictionary payload = payloadOf(events[0].payload);
  phone->deliverRemoteNotification(payload);
  ASSERT_TRUE(runUntil([&] { return !received.empty(); }));
  ASSERT_TRUE(runUntil([&] { return message(seqno)["deliveries"][0]["state"] == "delivered"; }))
      << message(seqno).dump();
  ASSERT_TRUE(succeeds([&](ResultHandler done) { manager->read(Value(), payload, done); }));
  const Json read = message(seqno)["deliveries"][0];
  EXPECT_EQ(read["state"], "read");
  EXPECT_EQ(read["cuid"], "alice");
  EXPECT_FALSE(read["delivered_at"].is_null());

  // A reserved message waits for its time on the emulator's clock.
  // An hour from now, in UTC.
  const std::string later = emulator::compactDate(realTimeMs() + 3'600'000);
  std::optional<bool> reserved;
  manager->sendWithReserveDate(
      Value(), "bob", "in an hour", "SVC1", later, "",
      [&](bool success, const std::optional<Dictionary>&) { reserved = success; });
  ASSERT_TRUE(runUntil([&] { return reserved.has_value(); }));
  ASSERT_TRUE(*reserved);
  const Json waiting = emu.list("messages").back();
  EXPECT_EQ(waiting["state"], "reserved");
  EXPECT_TRUE(waiting["deliveries"].empty());
  EXPECT_EQ(bobStream.waitFor(2, 200ms).size(), 1u) << "delivered before its time";
  const Reply moved = emu.post("/__admin/clock", {{"advance_ms", 2 * 3'600'000}});
  EXPECT_EQ(moved.json["released"], 1) << moved.body;
  events = bobStream.waitFor(2);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].payload["aps"]["alert"], "in an hour");
  EXPECT_GT(events[1].id, events[0].id);

  EXPECT_EQ(emu.count({{"has_notes", true}}), 0) << emu.journal().dump(1);
}

TEST_F(LibraryAgainstEmulatorTest, ExpiredAuthKeyIsAskedAgainAndTheCallResentOnce) {
  // Keys issued during the registration live a moment only.
  ASSERT_EQ(emu.post("/__admin/settings", {{"auth_ttl_ms", 300}}).status, 200);
  ASSERT_NO_FATAL_FAILURE(registerAlice());
  ASSERT_EQ(emu.post("/__admin/settings", {{"auth_ttl_ms", 3'600'000}}).status, 200);
  const auto expiry = [&] {
    long long latest = 0;
    for (const auto& key : emu.table("auth_keys"))
      latest = std::max(latest, key["expires_at"].get<long long>());
    return latest;
  }();
  ASSERT_TRUE(eventually([&] { return realTimeMs() > expiry; }));
  emu.del("/__admin/requests");

  ASSERT_TRUE(succeeds([&](ResultHandler done) { manager->update(Value(), Value(2), done); }))
      << emu.journal().dump(1);

  const Json journal = emu.journal();
  std::vector<std::pair<std::string, std::string>> calls;
  for (const auto& entry : journal) calls.emplace_back(entry["endpoint"], entry["result_code"]);
  EXPECT_EQ(calls,
            (std::vector<std::pair<std::string, std::string>>{{"rcv_init_badgeNo.ctl", "40100"},
                                                              {"asking_authorization.ctl", "0000"},
                                                              {"rcv_init_badgeNo.ctl", "0000"}}))
      << journal.dump(1);
  ASSERT_EQ(journal.size(), 3u);
  // The resend is the very same form, old key included: asking again renewed
  // that key, so the resend passes and later calls keep using it.
  EXPECT_EQ(journal[0]["form"], journal[2]["form"]);
  const std::string oldKey = journal[0]["form"]["AUTHKEY"];
  EXPECT_EQ(journal[0]["notes"].size(), 1u);
  EXPECT_EQ(journal[0]["notes"][0].get<std::string>().rfind(
                "rcv_init_badgeNo.ctl: expired AUTHKEY \"" + oldKey + "\" (expired ", 0),
            0u)
      << journal[0]["notes"];
  EXPECT_EQ(journal[2]["notes"], Json::array());
  EXPECT_EQ(emu.list("devices")[0]["badge"], 2);
  const std::string renewed =
      Json::parse(journal[1]["answer"].get<std::string>())["BODY"]["AUTHKEY"];
  EXPECT_EQ(renewed, oldKey);
  EXPECT_EQ(manager->info()->authKey(), renewed);
  ASSERT_TRUE(succeeds([&](ResultHandler done) { manager->update(Value(), Value(3), done); }));
  const Json next = emu.get("/__admin/requests?limit=1").json["requests"][0];
  EXPECT_EQ(next["form"]["AUTHKEY"], oldKey);
  EXPECT_EQ(next["notes"], Json::array());
}

}  // namespace
}  // namespace orvo::test
