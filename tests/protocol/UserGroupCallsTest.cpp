#include <string>

#include "protocol/ProtocolFixture.h"

namespace orvo::test {
namespace {

constexpr const char* kServiceAndUserEndpoint = "new_rcv_register_service_and_user.ctl";
constexpr const char* kRegisterUserEndpoint = "rcv_register_user.ctl";
const Keys kServiceAndUser{"PNSID", "APP_ID", "DEVICE_ID", "DEVICE_TYPE", "PSID",
                           "CUID",  "CNAME",  "PHONENUM",  "AUTHKEY"};
const Keys kUserShort{"CUID", "PSID", "CNAME", "AUTHKEY"};
const Keys kUserFull = plus(kUserShort, {"PNSID", "APP_ID", "DEVICE_ID", "PHONENUM"});

class UserGroupCallsTest : public ProtocolTest {
 protected:
  const Call serviceAndUser = [this](Outcome& o) {
    protocol->registerServiceAndUser(captureBody(o));
  };
  const Call registerUser = op(&ReceiverProtocol::registerUser);
  const Call unregisterUser = op(&ReceiverProtocol::unregisterUser);
};

TEST_F(UserGroupCallsTest, KeySetsAndGateByReceiverVersion) {
  struct Row {
    const char* version;
    const char* authKey;  // up to 3.0 the empty text
    Keys serviceAndUser;  // empty: refused with 2501
    Keys user;
  };
  const Keys extended = plus(kServiceAndUser, {"DEVICE_MD", "OS_VER", "APP_VER", "APNS_MODE"});
  const Row rows[] = {
      {"", "", {}, kUserShort},
      {"3.0", "", {}, {"CUID", "CUST_CD", "USER_NM", "USER_HP"}},
      {"3.0.1", "K", {}, kUserShort},
      {"3.5", "K", {}, kUserShort},
      {"3.5.1", "K", {}, kUserFull},
      {"3.6", "K", {}, kUserFull},
      {"3.6.1", "K", kServiceAndUser, kUserFull},
      {"4.0", "K", extended, kUserFull},
  };
  const std::string gateText(errors::kRegisterServiceAndUserVersionText);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version);
    setReceiverVersion(row.version);
    const Dictionary values = recordValues(row.authKey);
    if (row.serviceAndUser.empty()) {
      expectRefused(serviceAndUser, errors::kRegisterServiceAndUserVersion, gateText,
                    "Register Service and User Error: " + gateText, true);
    } else {
      EXPECT_EQ(sent(serviceAndUser, kServiceAndUserEndpoint), pick(values, row.serviceAndUser));
    }
    EXPECT_EQ(sent(registerUser, kRegisterUserEndpoint), pick(values, row.user));
  }
}

TEST_F(UserGroupCallsTest, ServiceAndUserStopsAfterTheBoundOfRefusals) {
  setReceiverVersion("4.0");
  info().setPushServiceLastDate(Date{1000.0});
  answerByEndpoint({{kAuthEndpoint, envelopeAnswer({{"AUTHKEY", "fresh"}})},
                    {kServiceAndUserEndpoint, envelopeAnswer({}, "40100")}});
  Outcome o = run(serviceAndUser);
  // Each attempt: the call, the transport's forced key, the resend, then a fresh key.
  const auto attempts =
      static_cast<std::size_t>(ReceiverProtocol::kMaxRegisterServiceAndUserAttempts);
  EXPECT_EQ(countOf(kServiceAndUserEndpoint), 2 * attempts);
  EXPECT_EQ(countOf(kAuthEndpoint), 2 * attempts - 1);
  EXPECT_FALSE(o.success || o.body);
  EXPECT_EQ(o.error, (ErrorInfo{"PushNetworkManagerError", 40100, "fail_auth", {}}));
  EXPECT_FALSE(info().authKey());
  EXPECT_EQ(info().pushServiceLastDate(), Date{});
}

TEST_F(UserGroupCallsTest, RegisterFailures) {
  setReceiverVersion("4.0");
  const std::pair<Call, const char*> calls[] = {
      {serviceAndUser, "Register Service and User Error: "},
      {registerUser, "Register User Error: "}};
  for (const auto& [call, line] : calls) {
    SCOPED_TRACE(line);
    // A failed auth key is logged while logging, and leaves the date alone.
    info().setPushServiceLastDate(Date{1000.0});
    expectKeyFailureEnds(call, line);
    EXPECT_EQ(info().pushServiceLastDate(), Date{1000.0});
    // The call's own failure resets the date, keeps the key and is not logged.
    host.log->clear();
    http->enqueueEnvelope({}, "5000");
    EXPECT_EQ(run(call).error->description, "invalid_result_code");
    EXPECT_EQ(info().pushServiceLastDate(), Date{});
    EXPECT_EQ(info().authKey(), "K");
    EXPECT_FALSE(hasLine(line + std::string("invalid_result_code")));
  }
}

TEST_F(UserGroupCallsTest, RegisterUserRefusedTwiceHandsOverToTheServiceQuery) {
  setReceiverVersion("3.6");
  info().config()->setPolicy("user");
  answerByEndpoint({{kAuthEndpoint, envelopeAnswer({{"AUTHKEY", "fresh"}})},
                    {kRegisterUserEndpoint, envelopeAnswer({}, "40100")},
                    {"rcv_get_service.ctl", envelopeAnswer({{"ISREGISTERED", "Y"}})}});
  Outcome o = run(registerUser);
  // The key was cleared, so the query asks a new one.
  ASSERT_EQ(requestCount(), 5u);
  const char* order[] = {kRegisterUserEndpoint, kAuthEndpoint, kRegisterUserEndpoint, kAuthEndpoint,
                         "rcv_get_service.ctl"};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(endpointOf(i), order[i]);
  EXPECT_TRUE(o.success && !o.error);
  EXPECT_EQ(info().pushServiceLastDate(), host.clock->startOfToday());

  // The query's gate answers too: at 3.5 the caller hears 1201.
  setReceiverVersion("3.5");
  EXPECT_EQ(run(registerUser).error->code, errors::kRegisteredServiceVersion);
}

TEST_F(UserGroupCallsTest, UnregisterUserGateAndGuest) {
  const std::string gateText(errors::kUnregisterUserVersionText);
  for (const char* version : {"3.5", "3.5.9", ""}) {
    for (const char* uid : {"GUEST", "alice"}) {
      SCOPED_TRACE(std::string(version) + " " + uid);
      setReceiverVersion(version);
      info().setClientUID(uid);
      expectRefused(unregisterUser, errors::kUnregisterUserVersion, gateText,
                    "Unregister User Error: " + gateText, true);
    }
  }
  // From 3.6 the guest is already done: at once, logged only while logging.
  info().setClientUID("GUEST");
  for (const char* version : {"3.6", "3.6.0", "4.0"}) {
    setReceiverVersion(version);
    for (bool logging : {false, true}) {
      SCOPED_TRACE(std::string(version) + (logging ? " logging" : ""));
      context->logging = logging;
      host.log->clear();
      Outcome o = atOnce(unregisterUser);
      EXPECT_TRUE(o.success && !o.error);
      EXPECT_EQ(hasLine("This is already unregisterd user"), logging);
    }
  }
}

TEST_F(UserGroupCallsTest, UnregisterUserResetsBeforeSending) {
  setReceiverVersion("3.6");
  http->enqueueEnvelope({}, "5000");
  Outcome o;
  // With the key cached the reset happens inside the call.
  unregisterUser(o);
  EXPECT_EQ(info().clientUID(), "GUEST");
  EXPECT_EQ(info().clientName(), "GUEST");
  EXPECT_EQ(info().phoneNumber(), "00000000000");
  EXPECT_EQ(info().groupSequenceNumber(), "");
  drain();
  ASSERT_EQ(requestCount(), 1u);
  EXPECT_EQ(endpointOf(0), "rcv_delete_user.ctl");
  Dictionary values = recordValues();
  for (const char* key : {"CUID", "CNAME"}) values.set(key, "GUEST");
  values.set("PHONENUM", "00000000000");
  EXPECT_EQ(formOf(0), pick(values, kUserFull));
  // The failed request leaves the guest, and groups are refused from now on.
  EXPECT_FALSE(o.success);
  EXPECT_EQ(info().clientUID(), "GUEST");
  expectError(atOnce(op(&ReceiverProtocol::registerGroup)), errors::kGuestRegisterGroup,
              errors::kGuestRegisterGroupText);

  // Phone numbers off: sent empty.
  info().setClientUID("bob");
  info().config()->setUsePhoneNumber(false);
  EXPECT_EQ(sent(unregisterUser, "rcv_delete_user.ctl").get("PHONENUM"), Value(""));

  // A failed auth key: logged while logging, and the user stays.
  info().setClientUID("carol");
  expectKeyFailureEnds(unregisterUser, "Unregister User Error: ");
  EXPECT_EQ(info().clientUID(), "carol");
}

TEST_F(UserGroupCallsTest, GroupCalls) {
  struct Op {
    void (ReceiverProtocol::*call)(ReceiverHandler);
    const char* endpoint;
    std::int64_t guestCode;
    std::string_view guestText;
    std::string errorLine;
  };
  const Op ops[] = {
      {&ReceiverProtocol::registerGroup, "rcv_register_usergroup_user.ctl",
       errors::kGuestRegisterGroup, errors::kGuestRegisterGroupText, "Register Group Error: "},
      {&ReceiverProtocol::unregisterGroup, "rcv_delete_usergroup_user.ctl",
       errors::kGuestUnregisterGroup, errors::kGuestUnregisterGroupText,
       "Unregister Group Error: "}};
  setReceiverVersion("3.6");
  for (const Op& g : ops) {
    SCOPED_TRACE(g.endpoint);
    info().setClientUID("GUEST");
    expectRefused(op(g.call), g.guestCode, g.guestText, g.errorLine + std::string(g.guestText),
                  false);

    // A user: the stored group, or the empty text when none is stored.
    info().setClientUID("alice");
    for (const char* group : {"77", ""}) {
      info().setGroupSequenceNumber(*group ? std::optional<std::string>(group) : std::nullopt);
      EXPECT_EQ(sent(op(g.call), g.endpoint),
                pairs({"PSID", "tok123", "CUID", "alice", "GROUPSEQ", group, "AUTHKEY", "K"}));
    }
    // Failures: the auth key's logged; the call's own passed on as it is, unlogged.
    expectKeyFailureEnds(op(g.call), g.errorLine);
    host.log->clear();
    http->enqueueEnvelope({}, "5000");
    EXPECT_EQ(run(op(g.call)).error->description, "invalid_result_code");
    EXPECT_FALSE(hasLine(g.errorLine + "invalid_result_code"));
    EXPECT_EQ(info().groupSequenceNumber(), "");
    EXPECT_EQ(info().clientUID(), "alice");
  }
}

}  // namespace
}  // namespace orvo::test
