// Session and purchase reports through the libcurl client against a
// session-and-purchase server played by a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <thread>

#include "integration/LoopbackServer.h"
#include "manager/ManagerFixture.h"
#include "orvo/Json.h"
#include "orvo/platform/CurlHttpClient.h"

namespace orvo::test {
namespace {

using Failure = std::pair<std::string, std::string>;  // "code", "message"

Failure parseError(std::string_view text) {
  const ErrorInfo error = parseJson(text).error();
  return {std::to_string(error.code), error.description};
}

// The first path segment picks the answer: "/ok/mobile/last-session" answers
// JSON, "/fail/..." a 500 with JSON, and so on.
class ReportsLoopbackTest : public ManagerTest {
 protected:
  ReportsLoopbackTest() {
    server.server().Post(R"(/(\w+)/mobile/[\w-]+)",
                         [this](const httplib::Request& request, httplib::Response& response) {
                           {
                             std::lock_guard lock(mutex);
                             seen.push_back(request);
                           }
                           const std::string kind = request.matches[1];
                           if (kind == "slow")
                             std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                           if (kind == "ok" || kind == "slow")
                             response.set_content(R"({"n":2})", "application/json");
                           if (kind == "fail") response.status = 500;
                           if (kind == "fail")
                             response.set_content(R"({"n":2})", "application/json");
                           if (kind == "html")
                             response.set_content("<html>busy</html>", "text/html");
                           if (kind == "nobody") response.status = 204;  // "empty": 200, no content
                         });
    server.start();
    host.host->http = std::make_shared<CurlHttpClient>(host.runLoop);
    manager = started();
  }
  // The client goes first: the server's stop waits for its connections.
  ~ReportsLoopbackTest() override {
    manager.reset();
    host.host->http.reset();
  }

  // A session report to `base`; the failure's code and message.
  Failure session(const std::string& base, std::int64_t timeout = 30) {
    std::optional<std::pair<bool, std::optional<Value>>> outcome;
    manager->updateSessionWithOption(
        Value(), Dictionary{{"cuid", "u1"}, {"host", base}, {"timeout", timeout}},
        [&](bool success, const std::optional<Value>& result) {
          outcome.emplace(success, result);
        });
    EXPECT_TRUE(host.runLoop->runUntil([&] { return outcome.has_value(); }, kGenerousWait));
    if (!outcome || !outcome->second) return {};
    if (outcome->first) return {"success", writeJson(*outcome->second).value()};
    const Dictionary* result = outcome->second->asDictionary();
    return {result->get("code").stringOr("?"), result->get("message").stringOr("?")};
  }

  std::vector<httplib::Request> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }

  LoopbackServer server;
  std::mutex mutex;
  std::vector<httplib::Request> seen;
  std::shared_ptr<PushManager> manager;
};

TEST_F(ReportsLoopbackTest, EveryKindOfAnswer) {
  EXPECT_EQ(session(server.url("/ok/")), Failure("success", R"({"n":2})"));
  const auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/ok/mobile/last-session");
  EXPECT_EQ(seen[0].get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].get_header_value("Content-Length"), std::to_string(seen[0].body.size()));
  EXPECT_EQ(parseJson(seen[0].body).value(),
            Value(Dictionary{{"appId", "com.example.app"}, {"cuid", "u1"}}));

  const std::string refused = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/";
  EXPECT_EQ(session(refused).first, std::to_string(CURLE_COULDNT_CONNECT));
  EXPECT_EQ(session(server.url("/fail/")), Failure("500", "invalid_status_code"));
  // Not JSON, an empty body and no body fail with the parser's own error,
  // whatever the status.
  EXPECT_EQ(session(server.url("/html/")), parseError("<html>busy</html>"));
  EXPECT_EQ(session(server.url("/empty/")), parseError(""));
  EXPECT_EQ(session(server.url("/nobody/")), parseError(""));
}

TEST_F(ReportsLoopbackTest, OptionHostAndTimeoutReachTheRequest) {
  manager->info()->changexeltHost(server.url("/ok/"));  // not used: the option's host is
  EXPECT_EQ(session(server.url("/slow/"), 1).first, std::to_string(CURLE_OPERATION_TIMEDOUT));
  std::optional<bool> bought;
  manager->updatePurchase(Value(), std::string("p1"), std::string("u1"),
                          [&](bool success, const std::optional<Value>&) { bought = success; });
  EXPECT_TRUE(host.runLoop->runUntil([&] { return bought.has_value(); }, kGenerousWait));
  EXPECT_EQ(bought, true);
  const auto seen = requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/slow/mobile/last-session");
  EXPECT_EQ(seen[1].path, "/ok/mobile/purchase");  // without a host option: the record's
}

}  // namespace
}  // namespace orvo::test
