// The manager's whole flow as an application sees it: the desktop host with
// its libcurl client and the simulated phone, against a receiver played by a
// real server on 127.0.0.1.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "integration/LoopbackServer.h"
#include "orvo/Json.h"
#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/SimulatedNotificationHost.h"
#include "orvo/testing/ProcessReset.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "support/Manifest.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

struct Seen {
  std::string endpoint;  // the path's last component
  std::map<std::string, std::string> form;
};

class ManagerFlowTest : public ::testing::Test {
 protected:
  ManagerFlowTest() {
    // Every receiver endpoint, and the log server's, answers success; the
    // auth-key request also carries the key.
    server.server().Post(R"(/([A-Za-z_]+\.ctl))", [this](const httplib::Request& request,
                                                         httplib::Response& response) {
      Seen entry{request.path.substr(request.path.rfind('/') + 1),
                 {request.params.begin(), request.params.end()}};
      Dictionary body;
      if (entry.endpoint == "asking_authorization.ctl") body.set("AUTHKEY", "key-1");
      {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(entry));
      }
      response.set_content(receiverEnvelope(body), "application/json; charset=utf-8");
    });
    server.start();
    bundleDir.write("res/Manifest.xml",
                    manifestXml(ManifestOptions{.storage = true,
                                                .server = server.url("/"),
                                                .applicationID = "com.example.flow",
                                                .logServer = server.url("/")}));

    DesktopHostOptions options;
    options.bundleDirectory = bundleDir.path();
    options.dataDirectory = dataDir.path();
    options.keychainDirectory = keychainDir.path();
    options.log = log;
    options.mainQueue = loop;
    host = makeDesktopHost(options);
    phone = std::dynamic_pointer_cast<SimulatedNotificationHost>(host->notifications);
    phone->setApplication(application);
    // The desktop host keeps no call log unless asked; this test reads it.
    phone->keepCalls(true);
    phone->scriptToken(Bytes{0xDE, 0xAD, 0xBE, 0xEF});
    Host::setCurrent(host);
    logging::setSwitch(nullptr);
    resetProcessState();
  }

  ~ManagerFlowTest() override {
    logging::setSwitch(nullptr);
    resetProcessState();
    Host::setCurrent(nullptr);
  }

  std::vector<Seen> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }
  std::vector<std::string> endpoints() {
    std::vector<std::string> names;
    for (const Seen& entry : requests()) names.push_back(entry.endpoint);
    return names;
  }
  std::optional<Seen> last(const std::string& endpoint) {
    std::optional<Seen> found;
    for (const Seen& entry : requests()) {
      if (entry.endpoint == endpoint) found = entry;
    }
    return found;
  }
  bool runUntil(const std::function<bool()>& done) { return loop->runUntil(done, kGenerousWait); }

  // Declared first so it stops last: its stop waits for the libcurl client's
  // kept-alive connections, which close when the host goes.
  LoopbackServer server;
  std::mutex mutex;
  std::vector<Seen> seen;
  TempDir bundleDir, dataDir, keychainDir;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<CapturingLogSink> log = std::make_shared<CapturingLogSink>();
  std::shared_ptr<PushApplicationDelegate> application =
      std::make_shared<PushApplicationDelegate>();
  std::shared_ptr<Host> host;
  std::shared_ptr<SimulatedNotificationHost> phone;
};

TEST_F(ManagerFlowTest, RegistrationNotificationReadAndSendThroughTheLoopback) {
  std::vector<std::shared_ptr<PushManagerInfo>> loaded;
  std::vector<std::string> tokens;
  std::vector<std::pair<Dictionary, std::string>> delivered;
  auto delegate = std::make_shared<PushManagerDelegate>();
  delegate->didLoadPushInfo = [&](PushManager&, const std::shared_ptr<PushManagerInfo>& info) {
    loaded.push_back(info);
  };
  delegate->managerDidRegisterForRemoteNotifications = [&](PushManager&, const Dictionary& info) {
    tokens.push_back(info.get("token").stringOr("?"));
  };
  delegate->didReceiveUserNotification = [&](PushManager&, const Dictionary& payload,
                                             const std::string& status, const std::string&) {
    delivered.emplace_back(payload, status);
  };

  // Launch and start-up: the manifest's settings reach the record.
  auto manager = PushManager::defaultManager();
  EXPECT_TRUE(manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt));
  manager->initilaizeWithDelegate(delegate);
  ASSERT_TRUE(runUntil([&] { return !loaded.empty(); }));
  loop->runUntilIdle();
  ASSERT_TRUE(manager->info());
  EXPECT_EQ(loaded.back(), manager->info());
  EXPECT_EQ(manager->info()->host(), server.url("/"));
  EXPECT_EQ(manager->info()->receiverVersion(), "4.0");
  EXPECT_TRUE(manager->info()->useLog());
  EXPECT_TRUE(manager->info()->useStorage());
  EXPECT_TRUE(requests().empty());

  // Registration: permission, the token from the phone, the auth key, the
  // registration itself, then the day's app-alive.
  std::vector<bool> registered;
  manager->registerServiceAndUser(Value(), "alice", "Alice",
                                  [&](bool success) { registered.push_back(success); });
  ASSERT_TRUE(runUntil([&] { return !registered.empty() && last("rcv_appAlive.ctl"); }));
  EXPECT_EQ(registered, std::vector<bool>{true});
  EXPECT_EQ(phone->callCount("requestAuthorization"), 1u) << testing::PrintToString(phone->calls());
  EXPECT_EQ(tokens, std::vector<std::string>{"deadbeef"});
  EXPECT_EQ(manager->info()->pushServiceID(), "deadbeef");
  auto registration = last("new_rcv_register_service_and_user.ctl");
  ASSERT_TRUE(registration);
  EXPECT_EQ(registration->form["CUID"], "alice");
  EXPECT_EQ(registration->form["CNAME"], "Alice");
  EXPECT_EQ(registration->form["PSID"], "deadbeef");
  EXPECT_EQ(registration->form["AUTHKEY"], "key-1");
  EXPECT_TRUE(
      log->contains("PushManager - registerServiceAndUser (clientUID:alice, "
                    "clientName:Alice)"));

  // A remote notification: acknowledged, then delivered once, marked.
  const Dictionary payload{{"aps", Dictionary{{"alert", "hi"}, {"badge", 3}}},
                           {"orv", Dictionary{{"messageuniquekey", "M-1"},
                                              {"seqno", "42"},
                                              {"senddate", "20260101120000"},
                                              {"sender", "SND7"},
                                              {"db_in", "Y"}}}};
  manager->applicationDidReceiveRemoteNotification(Value(), payload);
  ASSERT_TRUE(runUntil([&] { return !delivered.empty(); }));
  auto ack = last("rcv_register_sent_ack.ctl");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->form["CUID"], "alice");
  EXPECT_EQ(ack->form["PSID"], "deadbeef");
  EXPECT_EQ(ack->form["SEQNO"], "42");
  EXPECT_EQ(ack->form["SENDDATE"], "20260101120000");
  EXPECT_EQ(ack->form["DB_IN"], "Y");
  EXPECT_EQ(ack->form["SENDERCODE"], "SND7");
  EXPECT_EQ(ack->form["AUTHKEY"], "key-1");
  EXPECT_EQ(delivered[0].first.get("feedback").stringOr(""), "true");
  EXPECT_EQ(delivered[0].first.get("orv"), payload.get("orv"));
  EXPECT_EQ(delivered[0].second, "ACTIVE");
  EXPECT_EQ(manager->notificationCenter()->notifications().size(), 1u);

  // Read with a badge.
  std::vector<bool> read;
  manager->read(Value(), payload, 3, [&](bool success) { read.push_back(success); });
  ASSERT_TRUE(runUntil([&] { return !read.empty(); }));
  EXPECT_EQ(read, std::vector<bool>{true});
  auto result = last("rcv_register_send_result.ctl");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->form["BADGENO"], "3");
  EXPECT_EQ(result->form["SEQNO"], "42");
  EXPECT_EQ(result->form["PSID"], "deadbeef");

  // An upstream message to another user.
  std::vector<bool> sent;
  manager->send(Value(), "bob", "hello", std::nullopt, std::nullopt,
                [&](bool success) { sent.push_back(success); });
  ASSERT_TRUE(runUntil([&] { return !sent.empty(); }));
  loop->runUntilIdle();
  EXPECT_EQ(sent, std::vector<bool>{true});
  auto message = last("rcv_register_message.ctl");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->form["CUID"], "bob");
  EXPECT_EQ(message->form["MESSAGE"], "hello");
  EXPECT_EQ(message->form["PSID"], "deadbeef");
  EXPECT_EQ(message->form["AUTHKEY"], "key-1");

  // The whole conversation: one auth key, one app-alive, no failure sent to
  // the log server; the notification reached the delegate only once.
  EXPECT_EQ(endpoints(), (std::vector<std::string>{
                             "asking_authorization.ctl", "new_rcv_register_service_and_user.ctl",
                             "rcv_appAlive.ctl", "rcv_register_sent_ack.ctl",
                             "rcv_register_send_result.ctl", "rcv_register_message.ctl"}));
  EXPECT_EQ(delivered.size(), 1u);
}

}  // namespace
}  // namespace orvo::test
