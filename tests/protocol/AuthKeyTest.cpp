#include <string>

#include "protocol/ProtocolFixture.h"

namespace orvo::test {
namespace {

class AuthKeyTest : public ProtocolTest {
 protected:
  AuthKeyTest() { info().setAuthKey(std::nullopt); }
  Call ask() {
    return [this](Outcome& o) { protocol->asking(captureKey(o)); };
  }
  Call forced(std::string uid = "u", std::string psid = "p") {
    return [=, this](Outcome& o) { protocol->asking(captureKey(o), uid, psid, true); };
  }
};

TEST_F(AuthKeyTest, RequestByReceiverVersion) {
  // Empty keys: no request, and the empty key at once even with one cached.
  const std::pair<const char*, Keys> cases[] = {{"", {}},
                                                {"3.0", {}},
                                                {"3.0.1", {"CUID", "PSID"}},
                                                {"3.5", {"CUID", "PSID"}},
                                                {"3.5.1", {"APP_ID", "CUID", "PSID"}}};
  for (const auto& [version, keys] : cases) {
    SCOPED_TRACE(version);
    setReceiverVersion(version);
    if (keys.empty()) {
      info().setAuthKey(std::string("stale"));
      Outcome o = atOnce(ask());
      EXPECT_TRUE(o.success && o.key.empty() && !o.error);
      continue;
    }
    info().setAuthKey(std::nullopt);
    const Dictionary form = sent(ask(), kAuthEndpoint, {{"AUTHKEY", "K-" + std::string(version)}});
    EXPECT_EQ(form,
              pick(pairs({"CUID", "TMP0alice", "PSID", "tok123", "APP_ID", "app.one"}), keys));
    EXPECT_EQ(info().authKey(), "K-" + std::string(version));
  }
}

TEST_F(AuthKeyTest, CachedKeyAnswersAtOnceForceAlwaysAsks) {
  setReceiverVersion("3.6");
  sent(ask(), kAuthEndpoint, {{"AUTHKEY", "first"}});
  EXPECT_EQ(atOnce(ask()).key, "first");

  // Forced: the server is asked with the presented identity; the answer replaces the cache.
  EXPECT_EQ(sent(forced("bob", "psid-b"), kAuthEndpoint, {{"AUTHKEY", "second"}}),
            pairs({"CUID", "bob", "PSID", "psid-b", "APP_ID", "app.one"}));
  EXPECT_EQ(info().authKey(), "second");
  // Unforced forms take the cache, whatever identity they present.
  EXPECT_EQ(atOnce([&](Outcome& o) { protocol->asking(captureKey(o), "carol", "x"); }).key,
            "second");
  // An empty key obtained earlier is a key; a cleared one is asked again.
  info().setAuthKey(std::string());
  EXPECT_TRUE(atOnce(ask()).success);
  info().setAuthKey(std::nullopt);
  sent(ask(), kAuthEndpoint, {{"AUTHKEY", "third"}});
  EXPECT_EQ(info().authKey(), "third");
}

TEST_F(AuthKeyTest, AnswersWithoutATextKey) {
  setReceiverVersion("4.0");
  struct Case {
    Dictionary body;
    const char* resultCode;
    std::optional<std::string> before, after;
  };
  const Case cases[] = {
      {{{"AUTHKEY", 12345}}, "0000", std::nullopt, ""},  // success with the empty key, cached
      {{{"OTHER", "x"}}, "0000", std::nullopt, std::nullopt},
      {{}, "0000", "kept", "kept"},
      {{}, "9999", "kept", "kept"},  // failures leave the cache alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.body) + c.resultCode);
    info().setAuthKey(c.before);
    http->enqueueEnvelope(c.body, c.resultCode);
    Outcome o = run(forced());
    EXPECT_EQ(o.success, std::string(c.resultCode) == "0000");
    EXPECT_EQ(o.key, "");
    EXPECT_EQ(o.error.has_value(), !o.success);
    EXPECT_EQ(info().authKey(), c.after);
  }
}

TEST_F(AuthKeyTest, RefusedKeyRequestEndsAfterOneForcedRetryAndNoRecordFails) {
  setReceiverVersion("3.6");
  answerByEndpoint({{kAuthEndpoint, envelopeAnswer({}, "40100")}});
  Outcome o = run(ask());
  // The ordinary request, then the transport's forced one; no more.
  EXPECT_EQ(requestCount(), 2u);
  EXPECT_FALSE(o.success);
  EXPECT_EQ(o.error, (ErrorInfo{"PushNetworkManagerError", 40100, "fail_auth", {}}));
  EXPECT_FALSE(info().authKey());

  // Before start-up: no record.
  context->record = nullptr;
  for (const Call& call : {ask(), forced()}) {
    expectError(atOnce(call), errors::kAccessInterface, errors::kAccessInterfaceText);
  }
}

}  // namespace
}  // namespace orvo::test
