#include <string>
#include <vector>

#include "protocol/ProtocolFixture.h"

namespace orvo::test {
namespace {

constexpr const char* kMessageEndpoint = "rcv_register_message.ctl";

class SendCallsTest : public ProtocolTest {
 protected:
  // The badge, client UID, own registration and reserved forms; all optional texts absent or not.
  std::vector<Call> forms(Value badge = Value(1500), bool absent = false) {
    auto v = [absent](const char* s) {
      return absent ? std::nullopt : std::optional<std::string>(s);
    };
    const auto uid = v("bob"), m = v("hello & bye"), svc = v("svc"), ext = v("{\"k\":1}"),
               at = v("2030-01-01 10:00");
    auto& p = *protocol;
    return {[=, &p](Outcome& o) { p.send(capture(o), uid, m, badge, svc, ext); },
            [=, &p](Outcome& o) { p.send(capture(o), uid, m, svc, ext); },
            [=, &p](Outcome& o) { p.send(capture(o), m, svc, ext); },
            [=, &p](Outcome& o) { p.send(captureBody(o), uid, m, svc, at, ext); }};
  }
};

const Keys kEight{"CUID", "APP_ID",      "MESSAGE", "PRIORITY",
                  "EXT",  "SERVICECODE", "AUTHKEY", "TARGET"};
const Keys kEleven = plus(kEight, {"PSID", "TYPE", "SENDERCODE"});
const Keys kReserved = plus(kEleven, {"RESERVEDATE", "DB_IN"}), kBadge = plus(kEleven, {"BADGENO"});

TEST_F(SendCallsTest, KeysAndValuesFollowTheReceiverVersion) {
  struct Case {
    const char* version;
    Keys badge, client, own, reserved;
  };
  const Case cases[] = {
      {"3.5", kEight, kEight, plus(kEight, {"PSID"}), plus(kEight, {"RESERVEDATE", "DB_IN"})},
      {"3.5.1", kEleven, kEleven, kEleven, kReserved},
      {"4.0", kBadge, kEleven, kEleven, kReserved},
  };
  Dictionary values = pairs({"CUID",       "bob",         "APP_ID",      "app.one",
                             "MESSAGE",    "hello & bye", "PRIORITY",    "3",
                             "EXT",        "{\"k\":1}",   "SERVICECODE", "svc",
                             "AUTHKEY",    "K",           "TARGET",      "CUID",
                             "PSID",       "tok123",      "TYPE",        "E",
                             "SENDERCODE", "device-ios",  "BADGENO",     "1500",
                             "DB_IN",      "Y",           "RESERVEDATE", "2030-01-01 10:00"});
  // The own registration: the sender's client UID, targeted by service ID.
  Dictionary own = values;
  own.set("CUID", "alice");
  own.set("TARGET", "PSID");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    setReceiverVersion(c.version);
    const auto f = forms();
    EXPECT_EQ(sent(f[0], kMessageEndpoint), pick(values, c.badge));
    EXPECT_EQ(sent(f[1], kMessageEndpoint), pick(values, c.client));
    EXPECT_EQ(sent(f[2], kMessageEndpoint), pick(own, c.own));
    EXPECT_EQ(sent(f[3], kMessageEndpoint), pick(values, c.reserved));
  }
  // The badge goes unclamped, in its text form.
  EXPECT_EQ(sent(forms(Value(-4))[0], kMessageEndpoint).get("BADGENO"), Value("-4"));
  EXPECT_EQ(sent(forms(Value())[0], kMessageEndpoint).get("BADGENO"), Value("0"));

  // Absent values go as empty texts.
  for (Dictionary* d : {&values, &own}) {
    for (const char* key : {"MESSAGE", "EXT", "SERVICECODE", "RESERVEDATE"}) d->set(key, "");
  }
  values.set("CUID", "");
  for (const char* version : {"3.5", "4.0"}) {
    SCOPED_TRACE(version);
    setReceiverVersion(version);
    const auto f = forms(Value(1500), true);
    for (std::size_t i = 0; i < f.size(); ++i) {
      const Dictionary form = sent(f[i], kMessageEndpoint);
      EXPECT_EQ(form, pick(i == 2 ? own : values, keysOf(form)));
    }
  }
}

TEST_F(SendCallsTest, GatesRefuseAtOnceAndAlwaysLog) {
  struct Case {
    const char* version;
    const char* clientUID;
    std::int64_t code;
    std::string text;
  };
  const std::string unavailable = "this selector isn't Available in ";
  const std::string guest(errors::kGuestSendText);
  // The guest comes before the version; the badge form hands over to the client UID form.
  const Case cases[] = {{"3.4", "GUEST", errors::kGuestSend, guest},
                        {"", "GUEST", errors::kGuestSend, guest},
                        {"4.0", "GUEST", errors::kGuestSend, guest},
                        {"3.4.9", "alice", errors::kSendUnavailable, unavailable + "3.4.9"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version + std::string(" ") + c.clientUID);
    setReceiverVersion(c.version);
    info().setClientUID(c.clientUID);
    for (const Call& call : forms()) {
      expectRefused(call, c.code, c.text, "Send Message Error : " + c.text, true);
    }
  }
  // Before start-up. Every operation meets this in the one place they all
  // start from; the badge form reads the record before it.
  context->record = nullptr;
  for (const Call& call : forms()) {
    expectError(atOnce(call), errors::kAccessInterface, errors::kAccessInterfaceText);
  }
}

TEST_F(SendCallsTest, ReservedFormPassesTheBodyEitherWay) {
  setReceiverVersion("4.0");
  http->enqueueEnvelope(Dictionary{{"MSG_ID", "m1"}});
  EXPECT_EQ(run(forms()[3]).body, (Dictionary{{"MSG_ID", "m1"}}));
  http->enqueueEnvelope(Dictionary{{"MSG_ID", "m2"}}, "9999");
  Outcome failed = run(forms()[3]);
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(failed.error->description, "invalid_result_code");
  // A failed exchange delivers an empty body, and that is what is passed on.
  EXPECT_EQ(failed.body, Dictionary{});
  EXPECT_EQ(failed.thread, std::this_thread::get_id());
}

TEST_F(SendCallsTest, AuthKeyComesFirstAndItsFailureEndsTheCall) {
  setReceiverVersion("4.0");
  info().setAuthKey(std::nullopt);
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "fresh"}});
  http->enqueueEnvelope(Dictionary{});
  EXPECT_TRUE(run(forms()[0]).success);
  ASSERT_EQ(requestCount(), 2u);
  // The key is asked for the record's temporary identity.
  EXPECT_EQ(formOf(0), pairs({"CUID", "TMP0alice", "PSID", "tok123", "APP_ID", "app.one"}));
  EXPECT_EQ(formOf(1).get("AUTHKEY"), Value("fresh"));

  for (const Call& call : forms()) expectKeyFailureEnds(call, "Send Message Error : ");
}

}  // namespace
}  // namespace orvo::test
