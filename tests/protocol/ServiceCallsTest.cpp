#include <string>

#include "protocol/ProtocolFixture.h"

namespace orvo::test {
namespace {

const Keys kCurrent{"APP_ID", "CUID",     "DEVICE_ID", "DEVICE_TYPE", "PNSID",
                    "PSID",   "PHONENUM", "CBSID",     "AUTHKEY"};
const Keys kExtended = plus(kCurrent, {"DEVICE_MD", "OS_VER", "APP_VER", "APNS_MODE"});
const Keys kLegacyDelete{"APP_ID", "CUST_CD", "CUID", "DVC_ID", "DVC_TYP", "PNS_ID", "PSID"};
const Keys kLegacy = plus(kLegacyDelete, {"CBS_ID"});
const Keys kRefused{};
constexpr const char* kGetService = "rcv_get_service.ctl";

struct Operation {
  const char* endpoint;
  const char* errorLine;
  void (ReceiverProtocol::*call)(ReceiverHandler);
};
const Operation kOperations[] = {
    {"rcv_register_service.ctl", "Register Service Error: ", &ReceiverProtocol::registerService},
    {kGetService, "Get Registered Service Error: ", &ReceiverProtocol::getRegisteredService},
    {kGetService,
     "Get Registered Service FromApp Error: ", &ReceiverProtocol::getRegisteredServiceFromApp},
    {"rcv_appAlive.ctl", "Call AppAlive Error: ", &ReceiverProtocol::callAppAlive},
    {"rcv_delete_service.ctl", "Unregister Service Error: ", &ReceiverProtocol::unregisterService},
};

class ServiceCallsTest : public ProtocolTest {
 protected:
  Date today() const { return host.clock->startOfToday(); }
  const Call getRegistered = op(&ReceiverProtocol::getRegisteredService);
  const Call appAlive = op(&ReceiverProtocol::callAppAlive);
};

TEST_F(ServiceCallsTest, KeySetsAndGateByReceiverVersion) {
  struct Row {
    const char* version;
    const char* authKey;  // up to 3.0 the empty text
    Keys keys[5];         // as kOperations; empty: refused with 1201
  };
  const Keys &C = kCurrent, &R = kRefused;
  const Row rows[] = {
      {"", "", {C, R, R, C, C}},       {"3.0", "", {kLegacy, R, R, C, kLegacyDelete}},
      {"3.0.1", "K", {C, R, R, C, C}}, {"3.5", "K", {C, R, R, C, C}},
      {"3.5.1", "K", {C, C, C, C, C}}, {"4.0", "K", {kExtended, C, C, C, C}},
  };
  const std::string gateText(errors::kRegisteredServiceVersionText);
  for (const Row& row : rows) {
    setReceiverVersion(row.version);
    const Dictionary values = recordValues(row.authKey);
    for (std::size_t i = 0; i < std::size(kOperations); ++i) {
      SCOPED_TRACE(std::string(kOperations[i].endpoint) + " at \"" + row.version + "\"");
      info().setPushServiceLastDate(std::nullopt);  // so that no call is skipped for the day
      info().setAppAliveLastDate(std::nullopt);
      const Call call = op(kOperations[i].call);
      if (row.keys[i].empty()) {
        expectRefused(call, errors::kRegisteredServiceVersion, gateText,
                      kOperations[i].errorLine + gateText, false);
        continue;
      }
      EXPECT_EQ(sent(call, kOperations[i].endpoint, {{"ISREGISTERED", "Y"}}),
                pick(values, row.keys[i]));
    }
  }
}

TEST_F(ServiceCallsTest, FailuresReachTheCompletionWithTheirLines) {
  setReceiverVersion("3.6");
  for (const Operation& operation : kOperations) {
    SCOPED_TRACE(operation.endpoint);
    expectKeyFailureEnds(op(operation.call), operation.errorLine);
    // The call's own failure: only the queries log it.
    context->logging = true;
    host.log->clear();
    http->enqueueEnvelope({}, "9999");
    EXPECT_EQ(run(op(operation.call)).error->description, "invalid_result_code");
    EXPECT_EQ(hasLine(operation.errorLine + std::string("invalid_result_code")),
              std::string(operation.errorLine).find("Get") == 0);
  }
}

TEST_F(ServiceCallsTest, RegisteredServiceOnceADayUnderPolicyUser) {
  setReceiverVersion("3.6");
  info().config()->setPolicy("user");
  info().setPushServiceLastDate(today());
  Outcome skipped = atOnce(getRegistered);
  EXPECT_TRUE(skipped.success && !skipped.error);
  // Yesterday's confirmation does not count today.
  info().setPushServiceLastDate(Date{today().secondsSince1970 - 1});
  sent(getRegistered, kGetService, {{"ISREGISTERED", "Y"}});
  EXPECT_EQ(info().pushServiceLastDate(), today());
  EXPECT_TRUE(atOnce(getRegistered).success);
  host.clock->advance(86400.0);
  sent(getRegistered, kGetService);
  EXPECT_EQ(info().pushServiceLastDate(), today());
}

TEST_F(ServiceCallsTest, RegisteredServiceAnswers) {
  setReceiverVersion("4.0");
  info().config()->setPolicy("device");
  context->logging = true;
  http->enqueueEnvelope({{"ISREGISTERED", "C"}});
  EXPECT_TRUE(run(getRegistered).success);
  EXPECT_EQ(info().pushServiceLastDate(), today());
  EXPECT_TRUE(
      hasLine("ClientID is changed in the XELT Server, so you need to register a user with alice"));

  // Policy device asks every time; "N" turns the user into the guest.
  http->enqueueEnvelope({{"ISREGISTERED", "N"}});
  Outcome notRegistered = run(getRegistered);
  EXPECT_FALSE(notRegistered.success || notRegistered.error);
  EXPECT_EQ(info().clientUID(), "GUEST");
  EXPECT_EQ(info().clientName(), "GUEST");
  EXPECT_TRUE(hasLine("Register Service"));

  // Under policy user "N" leaves the user alone, and the date too.
  info().config()->setPolicy("user");
  info().setClientUID("bob");
  info().setPushServiceLastDate(std::nullopt);
  http->enqueueEnvelope({{"ISREGISTERED", "N"}});
  EXPECT_FALSE(run(getRegistered).success);
  EXPECT_EQ(info().clientUID(), "bob");
  EXPECT_EQ(info().pushServiceLastDate(), Date{});

  // A non-text answer counts as registered.
  http->enqueueEnvelope({{"ISREGISTERED", 1}});
  EXPECT_TRUE(run(getRegistered).success);
  EXPECT_EQ(info().pushServiceLastDate(), today());
  EXPECT_EQ(requestCount(), 4u);
}

TEST_F(ServiceCallsTest, RegisteredServiceFromAppChangesNothing) {
  setReceiverVersion("3.5.1");
  info().config()->setPolicy("user");
  info().setPushServiceLastDate(today());
  const std::pair<Dictionary, bool> cases[] = {{{{"ISREGISTERED", "Y"}}, true},
                                               {{{"ISREGISTERED", "N"}}, false},
                                               {{{"ISREGISTERED", "C"}}, false},
                                               {{}, false},
                                               {{{"ISREGISTERED", true}}, false}};
  for (const auto& [answer, registered] : cases) {
    http->enqueueEnvelope(answer);
    Outcome o = run(op(&ReceiverProtocol::getRegisteredServiceFromApp));
    EXPECT_EQ(o.success, registered) << describe(answer);
    EXPECT_FALSE(o.error);
  }
  // No daily limit, no record change.
  EXPECT_EQ(requestCount(), std::size(cases));
  EXPECT_EQ(info().clientUID(), "alice");
  EXPECT_EQ(info().pushServiceLastDate(), today());
}

TEST_F(ServiceCallsTest, AppAliveOnceADayAfterASuccess) {
  setReceiverVersion("3.6");
  // A failure leaves the date alone, so the next call sends again.
  http->enqueueEnvelope({}, "9999");
  EXPECT_FALSE(run(appAlive).success);
  EXPECT_FALSE(info().appAliveLastDate());
  sent(appAlive, "rcv_appAlive.ctl");
  EXPECT_EQ(info().appAliveLastDate(), today());
  EXPECT_TRUE(atOnce(appAlive).success);
  host.clock->advance(86400.0);
  sent(appAlive, "rcv_appAlive.ctl");
  EXPECT_EQ(info().appAliveLastDate(), today());
}

TEST_F(ServiceCallsTest, UnregisterServicePresentsTheRealUser) {
  setReceiverVersion("3.6");
  const Call unregister = op(&ReceiverProtocol::unregisterService);
  // An empty client UID: presented as it is to the auth key, sent as the guest.
  for (const char* uid : {"alice", ""}) {
    info().setClientUID(uid);
    info().setAuthKey(std::nullopt);
    http->enqueueEnvelope({{"AUTHKEY", std::string("K-") + uid}});
    http->enqueueEnvelope({});
    EXPECT_TRUE(run(unregister).success);
    const std::size_t n = requestCount();
    EXPECT_EQ(endpointOf(n - 2), kAuthEndpoint);
    EXPECT_EQ(formOf(n - 2).get("CUID"), Value(uid));
    EXPECT_EQ(formOf(n - 1).get("CUID"), Value(*uid ? uid : "GUEST"));
    EXPECT_EQ(formOf(n - 1).get("AUTHKEY"), Value(std::string("K-") + uid));
  }

  // Refused key: the transport re-asks with the real user (its resend is held
  // by the transport's tests); the caller sees the second refusal.
  info().setClientUID("alice");
  info().setAuthKey(std::string("old"));
  answerByEndpoint({{kAuthEndpoint, envelopeAnswer({{"AUTHKEY", "new"}})},
                    {"rcv_delete_service.ctl", envelopeAnswer({}, "40100")}});
  Outcome refused = run(unregister);
  ASSERT_EQ(requestCount(), 7u);
  EXPECT_EQ(endpointOf(5), kAuthEndpoint);
  EXPECT_EQ(formOf(5).get("CUID"), Value("alice"));
  EXPECT_EQ(refused.error->code, 40100);
  EXPECT_EQ(info().authKey(), "new");
}

TEST_F(ServiceCallsTest, MissingApplicationVersionIsSentEmpty) {
  setReceiverVersion("4.0");
  host.host->bundle = std::make_shared<DirectoryBundle>(host.bundleDir.path(), "x", Dictionary{});
  EXPECT_EQ(sent(op(&ReceiverProtocol::registerService), "rcv_register_service.ctl").get("APP_VER"),
            Value(""));
}

}  // namespace
}  // namespace orvo::test
