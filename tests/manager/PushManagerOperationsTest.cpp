#include <functional>
#include <optional>

#include "manager/ManagerFixture.h"
#include "orvo/PushErrors.h"
#include "orvo/testing/ScriptedHttpClient.h"

namespace orvo::test {
namespace {

TEST_F(ManagerTest, AClosedGateRunsTheCallOnceMoreThenCallsRunAtOnce) {
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

  // With the gate open each call runs at once, not only through the gate's
  // retry, and reaches its own endpoint. Message keys need 3.5 at most; a
  // badge is sent from 4.0.
  struct Forward {
    const char* version;
    std::function<void(ResultHandler)> call;
    const char* endpoint;
    Value badge = {};  // the BADGENO sent, if any
  };
  const Forward forwards[] = {
      {"3.5",
       [&](ResultHandler done) {
         manager->read(Value(), std::string("mk"), std::string("1"), done);
       },
       "rcv_register_send_result.ctl"},
      {"3.5",
       [&](ResultHandler done) {
         manager->feedback(Value(), std::string("mk"), std::string("1"), done);
       },
       "rcv_register_sent_ack.ctl"},
      {"4.0", [&](ResultHandler done) { manager->read(Value(), kMessage, 0, done); },
       "rcv_register_send_result.ctl", Value("0")},
      {"4.0", [&](ResultHandler done) { manager->read(Value(), kMessage, 1, Value(3), done); },
       "rcv_register_send_result.ctl", Value("3")},
  };
  for (const Forward& forward : forwards) {
    SCOPED_TRACE(&forward - forwards);
    manager->info()->changeReceiverVersion(forward.version);
    http->enqueueEnvelope(Dictionary{});
    std::optional<bool> result;
    forward.call([&](bool success) { result = success; });
    host.runLoop->runUntilIdle();
    EXPECT_EQ(result, true);
    EXPECT_EQ(endpointsOf(*http).back(), forward.endpoint);
    EXPECT_EQ(ScriptedHttpClient::decodeForm(http->requests().back().body).get("BADGENO"),
              forward.badge);
  }
  // The user and phone number are kept before the version gate refuses.
  manager->info()->changeReceiverVersion("3.5");
  manager->registerServiceAndUser(Value(), std::string("bob"), std::string("Bob"),
                                  std::string("010"), nullptr);
  EXPECT_EQ(manager->info()->clientUID(), "bob");
  EXPECT_EQ(manager->info()->phoneNumber(), "010");
}

// Each public operation names itself and its arguments in the trace first,
// whatever then becomes of the call.
TEST_F(ManagerTest, EachOperationTracesItsCall) {
  auto manager = started();
  struct Row {
    std::function<void(PushManager&)> call;
    std::string line;
  };
  const Row rows[] = {
      {[](PushManager& m) { m.registerService(Value(), std::string("0abc"), nullptr); },
       "PushManager - registerService token:0abc"},
      {[](PushManager& m) { m.unregisterService(Value(), nullptr); },
       "PushManager - unregisterService"},
      {[](PushManager& m) { m.unregisterUser(Value(), nullptr); }, "PushManager - unregisterUser"},
      {[](PushManager& m) { m.getRegisteredService(Value(), nullptr); },
       "PushManager - getRegisteredService)"},
      {[](PushManager& m) { m.registerGroup(Value(), std::string("G7"), nullptr); },
       "PushManager - registerGroup : G7"},
      {[](PushManager& m) { m.unregisterGroup(Value(), std::string("G8"), nullptr); },
       "PushManager - unregisterGroup : G8"},
      {[](PushManager& m) {
         m.read(Value(), std::string("9"), std::string("S"), std::string("Y"), nullptr);
       },
       "PushManager - read (seqNo:9, sender:S, dbIn:Y)"},
      {[](PushManager& m) { m.update(Value(), Value(4), nullptr); },
       "PushManager - update (badge:4)"},
      {[](PushManager& m) {
         m.send(Value(), std::string("hi"), std::string("S1"), std::nullopt, nullptr);
       },
       "PushManager - send (message:hi, serviceCode:S1, ext:(null))"},
      {[](PushManager& m) {
         m.sendWithReserveDate(Value(), std::string("bob"), std::string("hi"), std::nullopt,
                               std::string("20261207"), std::nullopt, nullptr);
       },
       "PushManager - send (clientUID:bob, message:hi, serviceCode:(null), reserveDate:20261207, "
       "ext:(null))"},
  };
  for (const Row& row : rows) {
    host.log->clear();
    row.call(*manager);
    host.runLoop->runUntilIdle();
    EXPECT_EQ(host.log->count(row.line), 1u) << row.line << "\n"
                                             << testing::PrintToString(host.log->lines());
  }
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

// A refused permission ends the registration with its error; nothing more
// goes to the receiver, the denial and the failure go to the log server.
TEST_F(ManagerTest, TheRegistrationsErrorIsHandedOn) {
  auto manager = started();
  host.notifications->scriptAuthorization(false);
  std::optional<ErrorInfo> error;
  manager->registerServiceAndUserWithInfo(
      Value(), [&](bool success, const std::optional<ErrorInfo>& e,
                   const std::optional<Dictionary>&) { error = success ? std::nullopt : e; });
  drain();
  EXPECT_EQ(error ? error->code : 0, errors::kNotificationGrant);
  EXPECT_TRUE(host.log->contains("Register Service Error: "));
  EXPECT_EQ(endpointsOf(*http), (std::vector<std::string>{"putAppLog.ctl", "putAppLog.ctl"}));
}

class QuietManagerTest : public ManagerTest {
 protected:
  QuietManagerTest() : ManagerTest(ManifestOptions{.log = false}) {}
};

// A version gate that gives its caller no error says why, with the log off;
// one that hands over an error adds nothing. Nor does any trace: the log
// switch follows the record.
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
