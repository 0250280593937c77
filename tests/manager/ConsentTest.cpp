#include "manager/ManagerFixture.h"
#include "manager/RequestGuard.h"
#include "orvo/PushErrors.h"
#include "orvo/PushKeychain.h"

namespace orvo::test {
namespace {

ManifestOptions consentRequired() {
  ManifestOptions options;
  options.storage = true;
  options.extra = "<consent><required>true</required></consent>";
  return options;
}

class ConsentTest : public ManagerTest {
 protected:
  ConsentTest() : ManagerTest(consentRequired()) {}
};

// What one operation's completion said.
struct Outcome {
  int calls = 0;
  std::optional<std::int64_t> code;
};

ResultHandler flag(Outcome& out) {
  return [&out](bool) { ++out.calls; };
}
template <typename... Rest>
std::function<void(bool, const std::optional<ErrorInfo>&, Rest...)> withError(Outcome& out) {
  return [&out](bool, const std::optional<ErrorInfo>& error, Rest...) {
    ++out.calls;
    if (error) out.code = error->code;
  };
}
ReportHandler report(Outcome& out) {
  return [&out](bool, const std::optional<Value>& result) {
    ++out.calls;
    const Dictionary* answer = result ? result->asDictionary() : nullptr;
    if (answer) out.code = std::stoll(answer->get("code").stringOr("0"));
  };
}

const Dictionary kNotification{{"aps", Dictionary{{"alert", "hi"}}},
                               {"orv", Dictionary{{"seqno", "7"}, {"messageuniquekey", "K7"}}}};

TEST_F(ConsentTest, EveryOperationIsRefusedAtOnceWithoutARequestOrAStoredValue) {
  auto manager = started();
  const auto before = host.settings->snapshot();
  using Call = std::function<void(PushManager&, Outcome&)>;
  // One row per refusal path: the access gate's shared one, each own
  // completion shape, the opt-out, the intake's and the reports' checks.
  const std::pair<const char*, Call> rows[] = {
      {"registerService", [](PushManager& m, Outcome& o) { m.registerService({}, flag(o)); }},
      {"registerServiceAndUserWithBody",
       [](PushManager& m, Outcome& o) {
         m.registerServiceAndUserWithBody({}, "u", "n", [&o](bool, auto&) { ++o.calls; });
       }},
      {"registerServiceAndUserWithInfo",
       [](PushManager& m, Outcome& o) {
         m.registerServiceAndUserWithInfo({}, "u", "n",
                                          withError<const std::optional<Dictionary>&>(o));
       }},
      {"registerServiceAndUserWithInfo record",
       [](PushManager& m, Outcome& o) {
         m.registerServiceAndUserWithInfo({}, withError<const std::optional<Dictionary>&>(o));
       }},
      {"getRegisteredService",
       [](PushManager& m, Outcome& o) { m.getRegisteredService({}, withError<>(o)); }},
      {"feedback for",
       [](PushManager& m, Outcome& o) { m.feedback({}, kNotification, "u", "p", flag(o)); }},
      {"feedback payload", [](PushManager& m, Outcome& o) { m.feedback(kNotification, flag(o)); }},
      {"unregisterService, nothing registered",
       [](PushManager& m, Outcome& o) { m.unregisterService({}, flag(o)); }},
      {"sendWithReserveDate",
       [](PushManager& m, Outcome& o) {
         m.sendWithReserveDate({}, "to", "hi", "S", "20300101000000", "e",
                               [&o](bool, auto&) { ++o.calls; });
       }},
      {"updateSession", [](PushManager& m, Outcome& o) { m.updateSession({}, "u", report(o)); }},
      {"updatePurchase",
       [](PushManager& m, Outcome& o) { m.updatePurchase({}, "p9", "u", report(o)); }},
      {"sendxelt",
       [](PushManager& m, Outcome& o) {
         m.sendxelt(Dictionary{{"path", "x"}}, Value(Dictionary{}), report(o));
       }},
      {"registerRemoteNotification",
       [](PushManager& m, Outcome& o) {
         m.registerRemoteNotification([&o](const auto&, const std::optional<ErrorInfo>& e) {
           ++o.calls;
           if (e) o.code = e->code;
         });
       }},
      {"getServiceStatus",
       [](PushManager& m, Outcome& o) { m.getServiceStatus("ab12", withError<>(o)); }}};
  int withCode = 0;
  for (const auto& [name, call] : rows) {
    SCOPED_TRACE(name);
    Outcome outcome;
    call(*manager, outcome);
    drain();
    EXPECT_EQ(outcome.calls, 1);
    if (outcome.code) {
      EXPECT_EQ(*outcome.code, errors::kConsentWithheld);
      ++withCode;
    }
  }
  // Every completion that can carry an error carries the consent error.
  EXPECT_EQ(withCode, 8);
  EXPECT_EQ(http->requestCount(), 0u);
  EXPECT_EQ(host.notifications->callCount("registerForRemoteNotifications"), 0u);
  EXPECT_EQ(host.settings->snapshot(), before);
  EXPECT_EQ(host.log->count("PushManager - the call refused: " +
                            std::string(errors::kConsentWithheldText)),
            9u);
}

// The application's call, kept in the settings store, wins over the manifest
// either way; a relaunch reads it back.
TEST(ConsentCallTest, TheApplicationsCallWinsOverTheManifestAndIsKept) {
  struct Row {
    bool required;
    Value stored;
    bool given;
  };
  const Row rows[] = {{true, Value(), false},
                      {true, Value(true), true},
                      {false, Value(false), false},
                      {false, Value(), true},
                      {true, Value("yes"), false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(describe(row.stored) + (row.required ? " required" : " not required"));
    TestHost host;
    host.bundleDir.write("res/Manifest.xml",
                         manifestXml(row.required ? consentRequired() : ManifestOptions{}));
    if (!row.stored.isNull()) host.settings->set(PushManager::kConsentGivenKey, row.stored);
    auto manager = PushManager::getInstance();
    EXPECT_EQ(manager->consentGiven(), row.given);
    manager->setConsentGiven(!row.given);
    EXPECT_EQ(manager->consentGiven(), !row.given);
    EXPECT_EQ(host.settings->get(PushManager::kConsentGivenKey), Value(!row.given));
    host.runLoop->runUntilIdle();
  }
}

class WithdrawalTest : public ManagerTest {
 protected:
  WithdrawalTest() : ManagerTest(withOutbox()) {}
  static ManifestOptions withOutbox() {
    ManifestOptions options = consentRequired();
    options.extra += "<outbox><enabled>true</enabled></outbox>";
    return options;
  }

  // A registered device withdraws; an unreachable server leaves one badge
  // update in the outbox.
  void withdraw(bool reachable) {
    http->setResponder([reachable](const HttpRequest& request) -> HttpResult {
      if (!reachable)
        return {{}, ErrorInfo{std::string(kHttpTransportErrorDomain), 7, "refused", {}}};
      if (request.url.find("asking_authorization") != std::string::npos)
        return ScriptedHttpClient::jsonAnswer(receiverEnvelope(Dictionary{{"AUTHKEY", "k"}}));
      return ScriptedHttpClient::jsonAnswer(receiverEnvelope());
    });
    auto manager = started();
    manager->setConsentGiven(true);
    auto record = manager->info();
    record->setClientUID("wanda");
    record->setPushServiceID("ab12");
    // The other build environment's service ID goes too.
    host.settings->set("DEV.PushManagerKeyPushServiceID", Value("cd34"));
    const std::string uuidKey = std::string(TestHost::kBundleIdentifier) + ".uuid";
    ASSERT_FALSE(record->deviceUUID().empty());
    manager->update({}, 3, nullptr);
    drain();
    std::optional<ConsentWithdrawal> cleared;
    auto delegate = recordingDelegate();
    delegate->didWithdrawConsent = [&](PushManager&, const ConsentWithdrawal& c) { cleared = c; };
    manager->initilaizeWithDelegate(delegate);

    manager->setConsentGiven(false);
    drain();
    ASSERT_TRUE(cleared.has_value());
    EXPECT_EQ(cleared->unregistered, reachable);
    EXPECT_EQ(cleared->unregisterError.has_value(), !reachable);
    EXPECT_EQ(cleared->outboxEntries, reachable ? 0u : 1u);
    EXPECT_EQ(manager->outboxDepth(), 0u);
    EXPECT_FALSE(http->requests().back().headers.contains("X-Orvo-Request-Id"));
    // Unreachable, it got no further than the auth key the unregistration needs.
    EXPECT_NE(http->requests().back().url.find(reachable ? "rcv_delete_service.ctl"
                                                         : "asking_authorization.ctl"),
              std::string::npos);
    EXPECT_EQ(record->pushServiceID(), "");
    EXPECT_EQ(record->clientUID(), "GUEST");
    const auto stored = host.settings->snapshot();
    EXPECT_FALSE(stored.contains(PushManagerInfo::kClientUIDKey));
    EXPECT_FALSE(stored.contains(uuidKey));
    EXPECT_FALSE(stored.contains("DEV.PushManagerKeyPushServiceID"));
    EXPECT_EQ(cleared->keychainKeys, std::vector<std::string>{uuidKey});
    EXPECT_TRUE(PushKeychain::loadValueForKey(uuidKey).isNull());
    // Nothing goes out afterwards.
    const std::size_t sent = http->requestCount();
    manager->update({}, 4, nullptr);
    drain();
    EXPECT_EQ(http->requestCount(), sent);
  }
};

// A request refused with no main queue to post to is still answered, once.
TEST(RequestGuardTest, ARefusalWithoutAMainQueueIsAnsweredInline) {
  auto guard = std::make_shared<RequestGuard>(nullptr, nullptr,
                                              RequestGuard::Rules{[] { return false; }, {}});
  Outcome out;
  guard->send(HttpRequest{}, [&out](HttpResult result) {
    ++out.calls;
    if (result.error) out.code = result.error->code;
  });
  EXPECT_EQ(out.calls, 1);
  EXPECT_EQ(out.code, 1205);
}

TEST_F(WithdrawalTest, WithAReachableServer) { withdraw(true); }
TEST_F(WithdrawalTest, WithoutAReachableServer) { withdraw(false); }

}  // namespace
}  // namespace orvo::test
