#include <string>

#include "protocol/ProtocolFixture.h"

namespace orvo::test {
namespace {

using S = std::optional<std::string>;
constexpr const char* kAckEndpoint = "rcv_register_sent_ack.ctl";
constexpr const char* kReadEndpoint = "rcv_register_send_result.ctl";
constexpr const char* kBadgeEndpoint = "rcv_init_badgeNo.ctl";

const Dictionary kPayload{{"aps", Dictionary{{"alert", "hi"}}},
                          {"orv", Dictionary{{"seqno", 42},
                                             {"messageuniquekey", "mk 1/&x"},
                                             {"senddate", "20240101"},
                                             {"db_in", "Y"},
                                             {"sender", "shop"},
                                             {"psid", "payload-psid"}}}};

class FeedbackCallsTest : public ProtocolTest {
 protected:
  // Each form of the operation, by its arguments after the completion.
  template <class... A>
  Call feedback(A... a) {
    return [=, this](Outcome& o) { protocol->feedback(capture(o), a...); };
  }
  template <class... A>
  Call read(A... a) {
    return [=, this](Outcome& o) { protocol->read(capture(o), a...); };
  }
  Call feedbackAs(const Dictionary& p = kPayload) { return feedback("bob", "bob-psid", p); }
  Call readBadge(std::int64_t option, Value badge) { return read(kPayload, option, badge); }
  Call readSeqNo() { return read("1", "s", "Y"); }
  Call readSeqNoBadge(std::int64_t option, Value badge) {
    return read("1", "s", "Y", option, badge);
  }
  Call update(Value badge) {
    return [=, this](Outcome& o) { protocol->update(capture(o), badge); };
  }
};

// The four key sets of the payload acknowledgements, with the values of the
// payload and the record.
const Dictionary kSetA = pairs({"CUID", "alice", "APP_ID", "app.one", "PSID", "tok123",
                                "MESSAGEUNIQUEKEY", "mk 1/&x", "SEQNO", "42", "AUTHKEY", "K"});
const Dictionary kSetB = with(kSetA, {"SENDDATE", "20240101"});
const Dictionary kSetC = pairs({"CUID", "alice", "APP_ID", "app.one", "PSID", "tok123", "SEQNO",
                                "42", "SENDDATE", "20240101", "DB_IN", "Y", "AUTHKEY", "K"});
const Dictionary kSetD = with(
    kSetC, {"PSID", "payload-psid", "DEVICE_ID", "dev-1", "PNSID", "APNS", "SENDERCODE", "shop"});

TEST_F(FeedbackCallsTest, PayloadAcknowledgementsChooseTheirKeySetByVersion) {
  const std::pair<const char*, Dictionary> cases[] = {
      {"3.5", kSetA}, {"3.5.1", kSetC}, {"3.6", kSetB}, {"3.6.0", kSetB}, {"3.6.1", kSetC},
      {"3.9", kSetC}, {"3.9.1", kSetD}, {"4.0", kSetD}, {"4.1", kSetD}};
  for (const auto& [version, expected] : cases) {
    SCOPED_TRACE(version);
    setReceiverVersion(version);
    EXPECT_EQ(sent(feedback(kPayload), kAckEndpoint), expected);
    EXPECT_EQ(sent(read(kPayload), kReadEndpoint), expected);
    // With a badge: the same up to 3.9; above, the record's service ID and the badge.
    EXPECT_EQ(sent(readBadge(1, Value(7)), kReadEndpoint),
              expected == kSetD ? with(expected, {"PSID", "tok123", "BADGENO", "7"}) : expected);
  }
}

TEST_F(FeedbackCallsTest, ExplicitClientFeedbackSendsTenKeysAndAsksWithItsOwnIdentity) {
  const Dictionary expected = with(kSetD, {"CUID", "bob", "PSID", "bob-psid"});
  for (const char* version : {"3.5", "4.0"}) {
    setReceiverVersion(version);
    EXPECT_EQ(sent(feedbackAs(), kAckEndpoint), expected) << version;
  }
  // Without a cached key the auth key is asked for the given identity.
  info().setAuthKey(std::nullopt);
  http->enqueueEnvelope(Dictionary{{"AUTHKEY", "fresh"}});
  http->enqueueEnvelope({});
  EXPECT_TRUE(run(feedbackAs()).success);
  ASSERT_EQ(requestCount(), 4u);
  EXPECT_EQ(endpointOf(2), kAuthEndpoint);
  EXPECT_EQ(formOf(2), pairs({"CUID", "bob", "PSID", "bob-psid", "APP_ID", "app.one"}));
  EXPECT_EQ(formOf(3), with(expected, {"AUTHKEY", "fresh"}));
}

TEST_F(FeedbackCallsTest, PayloadEdgeCasesFallBackToDefaults) {
  setReceiverVersion("4.0");
  const Dictionary defaults =
      with(kSetD, {"PSID", "tok123", "SEQNO", "", "SENDDATE", "", "DB_IN", "N", "SENDERCODE", ""});
  for (const Dictionary& p : {Dictionary{{"aps", Dictionary{}}}, Dictionary{{"orv", "text"}},
                              Dictionary{{"orv", Dictionary{{"seqno", nullptr}}}}}) {
    EXPECT_EQ(sent(feedback(p), kAckEndpoint), defaults) << describe(p);
  }
  // Numbers go as their digits; the message key as it stands; the stored flag unnormalised.
  const Dictionary numeric{{"orv", Dictionary{{"seqno", 9007199254740993LL},
                                              {"senddate", 20240101},
                                              {"messageuniquekey", "A+B=C"},
                                              {"db_in", "y"}}}};
  setReceiverVersion("3.6");
  Dictionary form = sent(read(numeric), kReadEndpoint);
  EXPECT_EQ(form.get("SEQNO"), Value("9007199254740993"));
  EXPECT_EQ(form.get("SENDDATE"), Value("20240101"));
  EXPECT_EQ(form.get("MESSAGEUNIQUEKEY"), Value("A+B=C"));
  setReceiverVersion("3.7");
  EXPECT_EQ(sent(read(numeric), kReadEndpoint).get("DB_IN"), Value("y"));
}

TEST_F(FeedbackCallsTest, OnlyTheTextTrueMarksAnAcknowledgedPayload) {
  setReceiverVersion("4.0");
  const Dictionary marked = with(kPayload, {"feedback", "true"});
  expectRefused(feedback(marked), errors::kAlreadyFeedback, errors::kAlreadyFeedbackText,
                std::string(errors::kAlreadyFeedbackText) + " : true", false);
  expectRefused(feedbackAs(marked), errors::kAlreadyFeedback, errors::kAlreadyFeedbackCustomText,
                std::string(errors::kAlreadyFeedbackCustomText) + " : true", false);
  // A marked payload is still acknowledged as read.
  sent(read(marked), kReadEndpoint);
  for (const Value& mark : {Value("false"), Value("TRUE"), Value(true), Value(1), Value("")}) {
    SCOPED_TRACE(describe(mark));
    Dictionary p = kPayload;
    p.set("feedback", mark);
    sent(feedback(p), kAckEndpoint);
    sent(feedbackAs(p), kAckEndpoint);
  }
}

TEST_F(FeedbackCallsTest, MessageKeyFormsServeOnlyReceiversBelowThreeSix) {
  const Dictionary empty = with(kSetA, {"MESSAGEUNIQUEKEY", "", "SEQNO", ""});
  setReceiverVersion("3.5.9");
  EXPECT_EQ(sent(feedback(std::nullopt, std::nullopt), kAckEndpoint), empty);
  EXPECT_EQ(sent(read("mk", "12"), kReadEndpoint),
            with(empty, {"MESSAGEUNIQUEKEY", "mk", "SEQNO", "12"}));
  // Refused from 3.6 on, with the line written whatever the switch.
  const std::string feedbackText(errors::kFeedbackDeprecatedText);
  const std::string readText(errors::kReadDeprecatedText);
  for (const char* version : {"3.6", "3.6.0", "4.0"}) {
    SCOPED_TRACE(version);
    setReceiverVersion(version);
    expectRefused(feedback("mk", "12"), errors::kFeedbackDeprecated, feedbackText,
                  "Feedback Error : " + feedbackText, true);
    expectRefused(read("mk", "12"), errors::kReadDeprecated, readText,
                  "Read Message Error : " + readText, true);
  }
}

TEST_F(FeedbackCallsTest, SequenceNumberReadsNeedFourZeroAndNormaliseTheStoredFlag) {
  const std::string gateText(errors::kReadSeqNoVersionText);
  for (const char* version : {"3.9", "3.9.9", ""}) {
    SCOPED_TRACE(version);
    setReceiverVersion(version);
    expectRefused(readSeqNo(), errors::kReadSeqNoVersion, gateText, "read Error: " + gateText,
                  true);
    // The version refusal comes before the badge rule.
    expectRefused(readSeqNoBadge(5, Value(0)), errors::kReadSeqNoVersion, gateText,
                  "read Error: " + gateText, true);
  }

  struct FlagCase {
    std::optional<std::string> dbIn, sender;
    const char* storedFlag;
  };
  const FlagCase cases[] = {{"y", "shop", "Y"},       {"Y", std::nullopt, "Y"}, {"yes", "", "N"},
                            {std::nullopt, "s", "N"}, {"", std::nullopt, "N"},  {"N", "x", "N"}};
  setReceiverVersion("4.0");
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.dbIn.value_or("<absent>"));
    const Dictionary expected =
        with(kSetD, {"PSID", "tok123", "SEQNO", "77", "SENDDATE", "", "DB_IN", c.storedFlag,
                     "SENDERCODE", c.sender.value_or("")});
    EXPECT_EQ(sent(read(S("77"), c.sender, c.dbIn), kReadEndpoint), expected);
    EXPECT_EQ(sent(read(S("77"), c.sender, c.dbIn, 1, Value(3)), kReadEndpoint),
              with(expected, {"BADGENO", "3"}));
  }
  EXPECT_EQ(sent(read(S(), S(), S()), kReadEndpoint).get("SEQNO"), Value(""));
}

TEST_F(FeedbackCallsTest, BadgeOptionRuleOnBothBadgeReads) {
  struct BadgeCase {
    std::int64_t option;
    Value badge;
    std::optional<std::string> sentAs;  // absent: refused
  };
  const BadgeCase cases[] = {
      {-1, Value(500), "-1"},   {-1, Value(), "-1"},      {0, Value(0), "0"},
      {0, Value(50), "0"},      {1, Value(1), "1"},       {1, Value(999), "999"},
      {1, Value(1000), "1000"}, {2, Value(1500), "1000"}, {1, Value("12"), "12"},
      {5, Value(0), {}},        {1, Value(-3), {}},       {3, Value(), {}},
      {-2, Value(0.5), {}},     {1, Value("none"), {}},
  };
  const std::string text(errors::kBadgeNotPositiveText);
  setReceiverVersion("4.0");
  for (const BadgeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.option) + " / " + describe(c.badge));
    for (const Call& call : {readBadge(c.option, c.badge), readSeqNoBadge(c.option, c.badge)}) {
      if (c.sentAs) {
        EXPECT_EQ(sent(call, kReadEndpoint).get("BADGENO"), Value(*c.sentAs));
      } else {
        expectRefused(call, errors::kBadgeNotPositive, text,
                      "Read Message And Update Badge Error : " + text, false);
      }
    }
  }
  // Below 4.0 the payload read refuses the same badges, and never sends one.
  setReceiverVersion("3.9");
  expectError(atOnce(readBadge(5, Value(0))), errors::kBadgeNotPositive, text);
  EXPECT_FALSE(sent(readBadge(0, Value(0)), kReadEndpoint).contains("BADGENO"));
}

TEST_F(FeedbackCallsTest, BadgeUpdateSendsFiveKeysAndRefusesNegatives) {
  setReceiverVersion("4.0");
  const std::pair<Value, const char*> cases[] = {{Value(0), "0"},       {Value(5), "5"},
                                                 {Value(999), "999"},   {Value(1000), "1000"},
                                                 {Value(5000), "1000"}, {Value(), "0"}};
  for (const auto& [badge, sentAs] : cases) {
    EXPECT_EQ(sent(update(badge), kBadgeEndpoint),
              pairs({"AUTHKEY", "K", "DEVICE_ID", "dev-1", "PNSID", "APNS", "APP_ID", "app.one",
                     "BADGENO", sentAs}))
        << describe(badge);
  }
  const std::string text(errors::kBadgeNegativeText);
  for (const Value& badge : {Value(-1), Value(-1000), Value("-2")}) {
    expectRefused(update(badge), errors::kBadgeNegative, text, "Update Badge Error : " + text,
                  false);
  }
}

TEST_F(FeedbackCallsTest, AuthKeyFailureEndsEachCallWithItsLine) {
  setReceiverVersion("4.0");
  expectKeyFailureEnds(feedback(kPayload), "Feedback Error : ");
  expectKeyFailureEnds(readBadge(1, Value(2)), "Read Message And Update Badge Error : ");
  expectKeyFailureEnds(readSeqNoBadge(1, Value(2)), "Read Message Error : ");
  expectKeyFailureEnds(update(Value(2)), "Update Badge Error : ");
}

}  // namespace
}  // namespace orvo::test
