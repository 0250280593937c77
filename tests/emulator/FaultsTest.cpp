// Switchable faults as the library's transport meets them: the desktop HTTP
// client and the receiver's answer checks, against every effect.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"
#include "integration/LoopbackServer.h"
#include "orvo/Json.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "transport/PushNetworkManager.h"

namespace orvo::test {
namespace {

constexpr const char* kEndpoint = "asking_authorization.ctl";

class FaultsTest : public ::testing::Test {
 protected:
  struct Seen {
    HttpResult result;
    TransportOutcome outcome;
    std::chrono::milliseconds took{};
  };

  // One auth-key request through the library's transport.
  Seen ask(double timeoutSeconds = 5, std::size_t maxBodyBytes = 0) {
    HttpRequest request = PushNetworkManager::createRequest(emu.url() + "/" + kEndpoint,
                                                            "APP_ID=app&CUID=c1&PSID=p1");
    request.timeoutSeconds = timeoutSeconds;
    request.maxBodyBytes = maxBodyBytes;
    std::optional<HttpResult> result;
    const auto started = std::chrono::steady_clock::now();
    http->send(request, [&](HttpResult answer) { result = std::move(answer); });
    EXPECT_TRUE(loop->runUntil([&] { return result.has_value(); }, kGenerousWait));
    Seen seen;
    seen.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    if (result) {
      seen.result = *result;
      seen.outcome = PushNetworkManager::interpretResponse(*result);
    }
    return seen;
  }

  std::vector<bool> hits(RunningEmulator& server, int requests) {
    std::vector<bool> seen;
    for (int i = 0; i < requests; ++i)
      seen.push_back(RunningEmulator::resultCode(server.form(
                         kEndpoint, {{"APP_ID", "app"}, {"CUID", "c1"}, {"PSID", "p1"}})) ==
                     "40400");
    return seen;
  }

  RunningEmulator emu;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  // A connection of its own per request: libcurl silently retries a request
  // whose reused connection dies, which would hide a reset.
  std::shared_ptr<CurlHttpClient> http = std::make_shared<CurlHttpClient>(loop, [] {
    CurlHttpClientOptions options;
    options.reuseConnections = false;
    return options;
  }());
};

TEST_F(FaultsTest, EachEffectAsTheTransportSeesIt) {
  const std::string envelope = receiverEnvelope();
  const std::string transport(kHttpTransportErrorDomain), network(kNetworkErrorDomain),
      json(kJsonErrorDomain);
  struct Case {
    Json rule;
    std::string domain;       // empty: the exchange succeeds
    long long code;           // -1: whichever
    std::string description;  // a part of it
    double timeoutSeconds = 5;
    std::size_t maxBodyBytes = 0;
    long status = 200;  // of the answer, when one came
  };
  // The effects every library operation meets are the fault matrix's; these
  // are what it leaves out: the client's own time-out on a connection of its
  // own, the answer's status and Retry-After, a smaller body cap than the
  // default, and how long a latency holds.
  const std::vector<Case> cases = {
      {{{"effect", "latency"}, {"ms", 150}}, "", 0, ""},
      {{{"effect", "timeout"}, {"ms", 5000}}, transport, CURLE_OPERATION_TIMEDOUT, "", 0.3},
      {{{"effect", "reset"}}, transport, -1, ""},
      {{{"effect", "status"}, {"status", 503}, {"body", envelope}},
       network,
       0,
       "invalid_status_code",
       5,
       0,
       503},
      {{{"effect", "retry_after"}, {"seconds", 7}}, json, -1, "", 5, 0, 429},
      {{{"effect", "result_code"}, {"result_code", "40400"}}, network, 0, "invalid_result_code"},
      {{{"effect", "huge_body"}, {"bytes", 2 << 20}},
       transport,
       CURLE_FILESIZE_EXCEEDED,
       std::to_string(1 << 20),
       5,
       1 << 20},
  };
  long long injected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule.dump());
    Json rule = c.rule;
    rule["endpoint"] = kEndpoint;
    rule["times"] = 1;
    ASSERT_EQ(emu.post("/__admin/faults", rule).status, 200);
    const Seen seen = ask(c.timeoutSeconds, c.maxBodyBytes);
    const auto& error = seen.outcome.error;
    if (c.domain.empty()) {
      EXPECT_FALSE(error) << error->description;
      EXPECT_NE(seen.outcome.body.getString("AUTHKEY"), nullptr);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->domain, c.domain) << error->description;
      EXPECT_TRUE(c.code < 0 || error->code == c.code) << error->code << " " << error->description;
      EXPECT_NE(error->description.find(c.description), std::string::npos) << error->description;
    }
    if (seen.result.response && !seen.result.error) {
      EXPECT_EQ(seen.result.response->statusCode, c.status);
    }
    if (c.rule["effect"] == "retry_after") {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->userInfo.get("Retry-After"), Value("7"));
    }
    if (c.rule.contains("ms") && c.rule["effect"] == "latency") {
      EXPECT_GE(seen.took, std::chrono::milliseconds(c.rule["ms"].get<int>()));
    }
    ++injected;
    EXPECT_TRUE(eventually([&] { return emu.count({{"fault", true}}) == injected; }));
    // Used up: the next request is served as usual.
    const Seen after = ask();
    EXPECT_FALSE(after.outcome.error) << after.outcome.error->description;
  }
}

TEST_F(FaultsTest, TimesAndSelectorsBoundARule) {
  ASSERT_EQ(emu.post("/__admin/faults",
                     {{"effect", "status"}, {"status", 500}, {"times", 2}, {"psid", "p1"}})
                .status,
            200);
  auto status = [&](const std::string& psid) {
    return emu.form(kEndpoint, {{"APP_ID", "app"}, {"CUID", "c1"}, {"PSID", psid}}).status;
  };
  EXPECT_EQ(status("p2"), 200) << "another device is not selected";
  EXPECT_EQ(status("p1"), 500);
  EXPECT_EQ(status("p1"), 500);
  EXPECT_EQ(status("p1"), 200);
  EXPECT_EQ(emu.get("/__admin/faults").json["faults"], Json::array());
  EXPECT_EQ(emu.count({{"fault", true}, {"psid", "p1"}}), 2);
}

TEST_F(FaultsTest, SeededProbabilityReplaysTheSameHits) {
  const Json rule = {{"effect", "result_code"},
                     {"result_code", "40400"},
                     {"probability", 0.5},
                     {"seed", 42},
                     {"endpoint", kEndpoint}};
  RunningEmulator other;
  ASSERT_EQ(emu.post("/__admin/faults", rule).status, 200);
  ASSERT_EQ(other.post("/__admin/faults", rule).status, 200);
  const auto first = hits(emu, 24);
  EXPECT_EQ(hits(other, 24), first);
  const auto count = std::count(first.begin(), first.end(), true);
  EXPECT_GT(count, 0);
  EXPECT_LT(count, 24);

  Json reseeded = rule;
  reseeded["seed"] = 43;
  ASSERT_EQ(other.post("/__admin/reset", Json::object()).status, 200);
  ASSERT_EQ(other.post("/__admin/faults", reseeded).status, 200);
  EXPECT_NE(hits(other, 24), first);
}

}  // namespace
}  // namespace orvo::test
