#include <optional>

#include "manager/ManagerFixture.h"
#include "orvo/PushErrors.h"
#include "orvo/testing/ScriptedHttpClient.h"

namespace orvo::test {
namespace {

std::vector<std::string> endpointsOf(const ScriptedHttpClient& http) {
  std::vector<std::string> names;
  for (const auto& request : http.requests()) {
    names.push_back(request.url.substr(request.url.rfind('/') + 1));
  }
  return names;
}

TEST_F(ManagerTest, TypicalRegistrationFromLaunchToAppAlive) {
  auto manager = PushManager::defaultManager();
  manager->applicationDidFinishLaunchingWithOptions(Value(), std::nullopt);
  manager->initilaizeWithDelegate(recordingDelegate());
  host.runLoop->runUntilIdle();
  host.notifications->scriptToken(Bytes{0x0A, 0xBC});
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "key-1"}});
  http->enqueueEnvelope(Dictionary{{"RESULT", "registered"}});
  http->enqueueEnvelope(Dictionary{});

  std::vector<bool> results;
  manager->registerServiceAndUser(Value(), std::string("alice"), std::string("Alice"),
                                  [&](bool success) { results.push_back(success); });
  drain();
  EXPECT_EQ(results, std::vector<bool>{true});
  EXPECT_EQ(delegateLog->tokens, std::vector<std::string>{"0abc"});
  EXPECT_EQ(manager->info()->pushServiceID(), "0abc");
  EXPECT_EQ(endpointsOf(*http), (std::vector<std::string>{"asking_authorization.ctl",
                                                          "new_rcv_register_service_and_user.ctl",
                                                          "rcv_appAlive.ctl"}));
  const Dictionary form = ScriptedHttpClient::decodeForm(http->requests()[1].body);
  EXPECT_EQ(form.get("CUID"), Value("alice"));
  EXPECT_EQ(form.get("CNAME"), Value("Alice"));
  EXPECT_EQ(form.get("PSID"), Value("0abc"));
  EXPECT_EQ(form.get("AUTHKEY"), Value("key-1"));
  EXPECT_EQ(host.log->count("PushManager - registerServiceAndUser (clientUID:alice, "
                            "clientName:Alice)"),
            1u);

  // Again the same day: registered again, but the day's app-alive is done.
  http->enqueueEnvelope(Dictionary{});
  manager->registerServiceAndUser(Value(), [&](bool success) { results.push_back(success); });
  drain();
  EXPECT_EQ(results, (std::vector<bool>{true, true}));
  EXPECT_EQ(http->requestCount(), 4u);
  EXPECT_EQ(endpointsOf(*http).back(), "new_rcv_register_service_and_user.ctl");
}

TEST_F(ManagerTest, ClosedGateOpensAndTheOperationRunsOnceMore) {
  // A record but a closed gate: what a manager made by getInstance has once
  // something installed its record.
  auto manager = PushManager::getInstance();
  manager->exchangeInfo(std::make_shared<PushManagerInfo>(false));
  EXPECT_FALSE(manager->shouldExecuteInterface());

  int calls = 0;
  manager->registerGroup(Value(), std::string(""), [&](bool success) {
    ++calls;
    EXPECT_FALSE(success);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(manager->shouldExecuteInterface());  // the empty number never asked the gate
  EXPECT_TRUE(host.log->contains("Group Sequence Number is null !"));

  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{});
  manager->update(Value(), Value(5), [&](bool success) {
    ++calls;
    EXPECT_TRUE(success);
  });
  host.runLoop->runUntilIdle();
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(manager->shouldExecuteInterface());
  EXPECT_EQ(host.log->count("PushManager - update (badge:5)"), 2u);
  EXPECT_EQ(endpointsOf(*http).back(), "rcv_init_badgeNo.ctl");
}

TEST_F(ManagerTest, ServiceAndUserVersionGateAndShapes) {
  auto manager = started();
  manager->info()->changeReceiverVersion("3.6");
  std::optional<ErrorInfo> error;
  std::optional<Dictionary> body = Dictionary{};
  int calls = 0;
  manager->registerServiceAndUserWithInfo(
      Value(),
      [&](bool success, const std::optional<ErrorInfo>& e, const std::optional<Dictionary>& b) {
        ++calls;
        EXPECT_FALSE(success);
        error = e;
        body = b;
      });
  EXPECT_EQ(calls, 1);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 2501);
  EXPECT_EQ(error->description, "To register service and user API is avaliable in 3.7 or later");
  EXPECT_FALSE(body);
  manager->registerServiceAndUserWithBody(Value(),
                                          [&](bool success, const std::optional<Dictionary>& b) {
                                            ++calls;
                                            EXPECT_FALSE(success || b);
                                          });
  manager->registerServiceAndUser(Value(), nullptr);  // absent completion: nothing to call
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(http->requestCount(), 0u);

  manager->info()->changeReceiverVersion("3.7");
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{{"ANSWER", "yes"}});
  http->enqueueEnvelope(Dictionary{});
  manager->registerServiceAndUserWithBody(Value(),
                                          [&](bool success, const std::optional<Dictionary>& b) {
                                            ++calls;
                                            EXPECT_TRUE(success);
                                            EXPECT_EQ(b, (Dictionary{{"ANSWER", "yes"}}));
                                          });
  drain();
  EXPECT_EQ(calls, 3);

  // A refused token ends it with the platform's error and a log-server line.
  host.notifications->scriptAuthorization(false);
  manager->registerServiceAndUserWithInfo(
      Value(),
      [&](bool success, const std::optional<ErrorInfo>& e, const std::optional<Dictionary>&) {
        ++calls;
        EXPECT_FALSE(success);
        EXPECT_EQ(e ? e->code : 0, errors::kNotificationGrant);
      });
  drain();
  EXPECT_EQ(calls, 4);
  EXPECT_TRUE(host.log->contains("Register Service Error: "));
}

TEST_F(ManagerTest, RegisterServiceWithAKnownTokenAndItsRecordWrites) {
  auto manager = started();
  manager->info()->setPushServiceID(std::string("0abc"));
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{{"ISREGISTERED", "Y"}});
  http->enqueueEnvelope(Dictionary{});
  std::vector<bool> results;
  manager->registerService(Value(), std::string("0abc"), [&](bool s) { results.push_back(s); });
  host.runLoop->runUntilIdle();
  EXPECT_EQ(results, std::vector<bool>{true});
  EXPECT_EQ(endpointsOf(*http),
            (std::vector<std::string>{"asking_authorization.ctl", "rcv_get_service.ctl",
                                      "rcv_appAlive.ctl"}));

  // A new token registers, and the day of the registration is kept.
  manager->info()->setClientUID(std::string("GUEST"));
  http->enqueueEnvelope(Dictionary{});
  manager->registerService(Value(), std::string("0def"), [&](bool s) { results.push_back(s); });
  host.runLoop->runUntilIdle();
  EXPECT_EQ(results, (std::vector<bool>{true, true}));
  EXPECT_EQ(manager->info()->pushServiceID(), "0def");
  EXPECT_EQ(manager->info()->pushServiceLastDate(), host.clock->startOfToday());

  manager->registerUser(Value(), std::string("bob"), std::nullopt, nullptr);
  EXPECT_EQ(manager->info()->clientUID(), "bob");
  EXPECT_EQ(manager->info()->clientName(), "");

  // Unregistering forgets the day even when the receiver refuses, and turns
  // the permission request off.
  http->enqueueEnvelope(Dictionary{}, "9999");
  manager->unregisterService(Value(), [&](bool s) { results.push_back(s); });
  EXPECT_EQ(manager->info()->pushServiceLastDate(), Date{});
  host.runLoop->runUntilIdle();
  EXPECT_FALSE(results.back());
  EXPECT_EQ(host.notifications->calls().back().rfind("requestAuthorization(0", 0), 0u);
}

TEST_F(ManagerTest, GroupsKeepTheirNumberUntilLeft) {
  auto manager = started();
  manager->info()->setClientUID(std::string("alice"));
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{});
  http->enqueueEnvelope(Dictionary{}, "9999");
  http->enqueueEnvelope(Dictionary{});
  std::vector<bool> results;
  auto keep = [&](bool s) { results.push_back(s); };
  manager->registerGroup(Value(), std::string("g7"), keep);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(manager->info()->groupSequenceNumber(), "g7");
  manager->unregisterGroup(Value(), std::string("g7"), keep);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(manager->info()->groupSequenceNumber(), "g7");  // refused: kept
  manager->unregisterGroup(Value(), std::string("g7"), keep);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(manager->info()->groupSequenceNumber(), "");
  EXPECT_EQ(results, (std::vector<bool>{true, false, true}));
}

TEST_F(ManagerTest, MessageKeyFormsRefuseThemselvesAboveThreeFive) {
  auto manager = started();
  int failures = 0;
  auto count = [&](bool s) { failures += s ? 0 : 1; };
  for (const char* version : {"3.5.1", "3.6"}) {
    manager->info()->changeReceiverVersion(version);
    manager->feedback(Value(), std::string("m"), std::string("1"), count);
    manager->read(Value(), std::string("m"), std::string("1"), count);
  }
  EXPECT_EQ(failures, 4);
  EXPECT_EQ(http->requestCount(), 0u);
  EXPECT_EQ(host.log->count("this selector is declicated. please execute "
                            "selector(feedback:clientUID:notification:completionHandler:) of "
                            "manager"),
            2u);

  manager->info()->changeReceiverVersion("3.5");
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{});
  bool sent = false;
  manager->feedback(Value(), std::string("m"), std::string("1"), [&](bool s) { sent = s; });
  host.runLoop->runUntilIdle();
  EXPECT_TRUE(sent);
  EXPECT_EQ(endpointsOf(*http).back(), "rcv_register_sent_ack.ctl");
}

TEST_F(ManagerTest, ReadBadgeOptionsOnANewReceiver) {
  auto manager = started();
  manager->info()->changeReceiverVersion("4.0");
  const Dictionary notification{{"orv", Dictionary{{"seqno", "9"}}}};
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  struct Case {
    std::int64_t option;
    std::optional<std::string> badge;
  };
  for (const Case& c :
       {Case{3, "3"}, Case{0, "0"}, Case{-1, "-1"}, Case{2000, "1000"}, Case{-2, std::nullopt}}) {
    const std::size_t before = http->requestCount();
    if (c.badge) http->enqueueEnvelope(Dictionary{});
    std::optional<bool> result;
    manager->read(Value(), notification, c.option, [&](bool s) { result = s; });
    host.runLoop->runUntilIdle();
    ASSERT_TRUE(result) << c.option;
    EXPECT_EQ(*result, c.badge.has_value()) << c.option;
    if (!c.badge) {
      EXPECT_EQ(http->requestCount(), before) << c.option;
      continue;
    }
    const Dictionary form = ScriptedHttpClient::decodeForm(http->requests().back().body);
    EXPECT_EQ(form.get("BADGENO"), Value(*c.badge)) << c.option;
  }
}

TEST_F(ManagerTest, SendsHandOnTheirOutcomeAndTheReservedBody) {
  auto manager = started();
  manager->info()->setClientUID(std::string("alice"));
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "k"}});
  http->enqueueEnvelope(Dictionary{{"MSGID", "1"}});
  http->enqueueEnvelope(Dictionary{{"WHY", "full"}}, "5000");
  std::vector<std::optional<Dictionary>> bodies;
  std::vector<bool> results;
  auto keep = [&](bool s, const std::optional<Dictionary>& b) {
    results.push_back(s);
    bodies.push_back(b);
  };
  for (int i = 0; i < 2; ++i) {
    manager->sendWithReserveDate(Value(), std::string("bob"), std::string("hi"), std::nullopt,
                                 std::string("20261207"), std::nullopt, keep);
    host.runLoop->runUntilIdle();
  }
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_EQ(bodies[0], (Dictionary{{"MSGID", "1"}}));
  // A refusal carries the transport's empty body, not the server's.
  EXPECT_EQ(bodies[1], Dictionary{});
  EXPECT_TRUE(
      host.log->contains("PushManager - send (clientUID:bob, message:hi, "
                         "serviceCode:(null), reserveDate:20261207, ext:(null))"));

  // A guest is refused before any request; the flag is all the caller sees.
  manager->info()->setClientUID(std::string("GUEST"));
  bool refused = true;
  manager->send(Value(), std::string("hi"), std::nullopt, std::nullopt,
                [&](bool s) { refused = !s; });
  EXPECT_TRUE(refused);
  EXPECT_EQ(http->requestCount(), 3u);
}

class QuietManagerTest : public ManagerTest {
 protected:
  QuietManagerTest() : ManagerTest(ManifestOptions{.log = false}) {}
};

TEST_F(QuietManagerTest, NothingIsTracedWithTheLogOff) {
  auto manager = started();
  manager->update(Value(), Value(-1), nullptr);
  manager->registerUser(Value(), std::string("a"), std::string("b"), nullptr);
  host.runLoop->runUntilIdle();
  for (const auto& line : host.log->lines()) {
    EXPECT_EQ(line.find("PushManager - "), std::string::npos) << line;
  }
  EXPECT_TRUE(host.log->lines().empty());
}

// A version gate that gives its caller no error says why, with the log off;
// one that hands over an error adds nothing.
TEST_F(QuietManagerTest, VersionRefusalsWithoutAnErrorSayWhy) {
  auto manager = started();
  const std::string serviceAndUser =
      "registerServiceAndUser is refused: it needs a receiver version above 3.6, and the "
      "receiver version is ";
  struct Row {
    std::string version;
    std::function<void(PushManager&)> call;
    std::string line;  // "": none
  };
  const Row rows[] = {
      {"3.6", [](PushManager& m) { m.registerServiceAndUser(Value(), nullptr); },
       serviceAndUser + "3.6"},
      {"", [](PushManager& m) { m.registerServiceAndUserWithBody(Value(), nullptr); },
       serviceAndUser + "(none)"},
      {"3.6", [](PushManager& m) { m.registerServiceAndUserWithInfo(Value(), nullptr); }, ""},
      {"4.0",
       [](PushManager& m) { m.feedback(Value(), std::string("m"), std::string("1"), nullptr); },
       "feedback by message key is refused: it needs a receiver version at most 3.5, and the "
       "receiver version is 4.0"},
      {"3.5.1",
       [](PushManager& m) { m.read(Value(), std::string("m"), std::string("1"), nullptr); },
       "read by message key is refused: it needs a receiver version at most 3.5, and the "
       "receiver version is 3.5.1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version);
    manager->info()->changeReceiverVersion(row.version);
    host.log->clear();
    row.call(*manager);
    EXPECT_EQ(host.log->lines(),
              row.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.line});
  }
  EXPECT_EQ(http->requestCount(), 0u);
}

}  // namespace
}  // namespace orvo::test
