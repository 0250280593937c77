#include "transport/PushNetworkManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "orvo/Json.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

constexpr std::string_view kHost = "https://receiver.example/push";
const std::string kNet = "PushNetworkManagerError";

// Forwards to the run loop and counts what the transport posts itself.
struct CountingQueue : MainQueue {
  explicit CountingQueue(std::shared_ptr<MainQueue> target) : target(std::move(target)) {}
  void post(std::function<void()> task) override {
    ++posts;
    target->post(std::move(task));
  }
  std::shared_ptr<MainQueue> target;
  std::atomic<int> posts{0};
};

// What one transport completion received, and whether on the main queue.
struct Received {
  int calls = 0;
  std::optional<HttpResponse> response;
  std::optional<Dictionary> header, body;
  std::optional<ErrorInfo> error;
  bool onMainQueue = false;
};

HttpResult jsonAnswer(std::string body, long status = 200, std::string charset = "utf-8") {
  return {HttpResponse{status, {}, "application/json", std::move(charset), std::move(body)}, {}};
}

class PushNetworkManagerTest : public ::testing::Test {
 protected:
  PushNetworkManagerTest() {
    record->changeHost(std::string(kHost));
    record->setClientUID("user-7");
    record->setPushServiceID("a1b2c3");
    record->setAuthKey("OLDKEY");
    environment.http = http;
    environment.mainQueue = queue;
    environment.info = [this] { return record; };
    environment.logEnabled = [this] { return logging.load(); };
    environment.log = host.log;
    environment.refreshAuthKey = [this](std::string uid, std::string psid, AuthKeyHandler done) {
      // The key at the time of the call: it must be cleared by then.
      refreshCalls.push_back(uid + " " + psid + " " + record->authKey().value_or("<none>"));
      if (refreshError) return done(false, "", refreshError);
      record->setAuthKey("NEWKEY");
      done(true, "NEWKEY", std::nullopt);
    };
  }

  TransportCompletion capture(Received& r) {
    return [&r, this](auto& response, auto& header, auto& body, auto& error) {
      r = Received{r.calls + 1, response, header,
                   body,        error,    host.runLoop->isRunningOnThisThread()};
    };
  }
  Received send(std::int64_t endpoint, const std::string& data, bool resend = true) {
    Received received;
    PushNetworkManager::connect(environment, endpoint, data, capture(received), resend);
    host.runLoop->runUntilIdle();
    return received;
  }

  test::TestHost host;
  std::shared_ptr<ScriptedHttpClient> http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  std::shared_ptr<CountingQueue> queue = std::make_shared<CountingQueue>(host.runLoop);
  std::shared_ptr<PushManagerInfo> record = std::make_shared<PushManagerInfo>(false);
  std::atomic<bool> logging{false};
  std::optional<ErrorInfo> refreshError;
  std::vector<std::string> refreshCalls;  // client UID, service ID, key then
  TransportEnvironment environment;
};

// Each operation's file name is held where the protocol sends it; here only
// what no operation reaches.
TEST_F(PushNetworkManagerTest, UnknownEndpointIsRefusedAtOnce) {
  logging = true;
  for (std::int64_t id : {0, 3, 20, 35, -1}) {
    Received r;
    PushNetworkManager::connect(environment, id, "A=1", capture(r));
    // Completed before connect returned, with nothing but the error.
    EXPECT_EQ(r.calls, 1) << id;
    EXPECT_FALSE(r.response || r.header || r.body);
    EXPECT_EQ(r.error, (ErrorInfo{kNet, 0, "invalid_api", {}}));
    host.runLoop->runUntilIdle();
    EXPECT_EQ(r.calls, 1);
  }
  EXPECT_EQ(http->requestCount(), 0u);
  EXPECT_TRUE(refreshCalls.empty());
  EXPECT_EQ(host.log->lines(), std::vector<std::string>(5, "error: invalid_api"));
}

TEST_F(PushNetworkManagerTest, EnvelopeChecks) {
  const std::string success = receiverEnvelope({{"AUTHKEY", "K1"}});
  const ErrorInfo transportError{std::string(kHttpTransportErrorDomain), 28, "timed out", {}};
  HttpResult errorWithResponse = jsonAnswer(success);
  errorWithResponse.error = transportError;
  const std::string json(kJsonErrorDomain), code = R"({"HEADER":{"RESULT_CODE":)";
  struct Case {
    HttpResult result;
    std::string expected;  // empty: success; our own description, or another error's domain
    std::int64_t code = 0;
  };
  const Case cases[] = {{jsonAnswer(success), ""},
                        {jsonAnswer(receiverEnvelope()), ""},  // an empty body object
                        {jsonAnswer(success, 299), ""},
                        {jsonAnswer("[" + success + ",{}]"), ""},
                        {jsonAnswer(R"({"HEADER":[{"RESULT_CODE":"0000"}],"BODY":{}})"), ""},
                        {jsonAnswer(success, 199), "invalid_status_code"},
                        {jsonAnswer(success, 300), "invalid_status_code"},
                        {jsonAnswer("<html>oops</html>"), json, kJsonErrorInvalidText},
                        {jsonAnswer("oops", 500), json, kJsonErrorInvalidText},
                        {jsonAnswer("\"0000\""), json, kJsonErrorNotContainer},
                        {jsonAnswer(""), "invalid_result_data"},
                        {HttpResult{}, "invalid_result_data"},
                        {jsonAnswer("[]"), "invalid_result_header"},
                        {jsonAnswer("[\"x\"]"), "invalid_result_header"},
                        {jsonAnswer(R"({"BODY":{}})"), "invalid_result_header"},
                        {jsonAnswer(R"({"HEADER":"0000","BODY":{}})"), "invalid_result_header"},
                        {jsonAnswer(code + R"(0},"BODY":{}})"), "invalid_result_code"},
                        {jsonAnswer(R"({"HEADER":{},"BODY":{}})"), "invalid_result_code"},
                        {jsonAnswer(receiverEnvelope({}, "50000")), "invalid_result_code"},
                        {jsonAnswer(code + R"("0000"}})"), "invalid_result_body"},
                        {jsonAnswer(code + R"("0000"},"BODY":"x"})"), "invalid_result_body"},
                        {jsonAnswer(receiverEnvelope({}, "40100")), "fail_auth", 40100},
                        {jsonAnswer(code + R"("40100"}})"), "fail_auth", 40100},
                        {HttpResult{std::nullopt, transportError}, transportError.domain, 28},
                        {errorWithResponse, transportError.domain, 28}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    TransportOutcome outcome = PushNetworkManager::interpretResponse(c.result);
    EXPECT_EQ(outcome.response.has_value(), c.result.response.has_value());
    if (c.expected.empty()) {
      EXPECT_FALSE(outcome.error);
      EXPECT_EQ(outcome.header.get("RESULT_CODE"), Value("0000"));
      continue;
    }
    ASSERT_TRUE(outcome.error);
    const bool own = outcome.error->domain == kNet;
    EXPECT_EQ(own ? outcome.error->description : outcome.error->domain, c.expected);
    EXPECT_EQ(outcome.error->code, c.code);
    EXPECT_TRUE(outcome.header.empty() && outcome.body.empty());
  }

  // Header members and the body pass through untouched.
  auto rich = PushNetworkManager::interpretResponse(
      jsonAnswer(code + R"("0000","MSG":"ok"},"BODY":{"A":[1,{"B":null}]},"X":1})"));
  EXPECT_EQ(rich.header, (Dictionary{{"RESULT_CODE", "0000"}, {"MSG", "ok"}}));
  EXPECT_EQ(rich.body, (Dictionary{{"A", Array{1, Dictionary{{"B", nullptr}}}}}));
}

TEST_F(PushNetworkManagerTest, CompletionRunsOnTheMainQueueAsItsOwnStep) {
  // Success and failure alike: posted once by the transport after the client's answer.
  http->enqueueJson(receiverEnvelope({{"K", "v"}}));
  http->enqueueJson(receiverEnvelope(), 503);
  Received ok = send(endpoints::kRegisterService, "A=1");
  Received bad = send(endpoints::kRegisterService, "A=1");
  EXPECT_EQ(queue->posts, 2);
  for (const Received* r : {&ok, &bad}) {
    EXPECT_EQ(r->calls, 1);
    EXPECT_TRUE(r->onMainQueue);
    ASSERT_TRUE(r->response && r->header && r->body);
  }
  EXPECT_EQ(ok.body, (Dictionary{{"K", "v"}}));
  EXPECT_EQ(bad.response->statusCode, 503);
  EXPECT_EQ(bad.error->description, "invalid_status_code");
  // Only code 40100 starts the resend.
  EXPECT_EQ(http->requestCount(), 2u);
  EXPECT_TRUE(refreshCalls.empty());

  // Started from another thread: still completed on the main queue.
  http->enqueueJson(receiverEnvelope());
  Received fromWorker;
  std::thread([&] {
    PushNetworkManager::connect(environment, endpoints::kAppAlive, "", capture(fromWorker));
  }).join();
  EXPECT_EQ(fromWorker.calls, 0);
  host.runLoop->runUntilIdle();
  EXPECT_EQ(fromWorker.calls, 1);
  EXPECT_TRUE(fromWorker.onMainQueue);
}

// The request as it is sent, and as the log shows it.
TEST_F(PushNetworkManagerTest, RequestAndLogLines) {
  record->changeHost(std::string(kHost) + "/");
  http->enqueueJson(receiverEnvelope());
  send(endpoints::kGetService, "A=1");
  EXPECT_TRUE(host.log->lines().empty());

  logging = true;
  http->enqueueJson(receiverEnvelope());
  send(endpoints::kGetService, "A=1&B=%20");
  const std::string end = "=== Push Manager Network (rcv_get_service.ctl) Service End ===";
  EXPECT_EQ(host.log->lines(),
            (std::vector<std::string>{
                "=== Push Manager Network (rcv_get_service.ctl) Service Start ===", "reqeust",
                "- url     : https://receiver.example/push/rcv_get_service.ctl",
                "- param   : A=1&B=%20", "- timeout : 30.000000", "- method  : POST",
                "- header  : {\n    Content-Length = 9;\n    Content-Type = "
                "application/x-www-form-urlencoded;\n}",
                "response", "- status  : 200",
                "- header  : {\n    Content-Type = \"application/json; charset=utf-8\";\n}",
                "- body    : " + receiverEnvelope(), end}));
  EXPECT_EQ(http->requests().back().body, "A=1&B=%20");
  EXPECT_FALSE(http->requests().back().handleCookies);

  host.log->clear();
  send(endpoints::kGetService, "");  // nothing scripted: a transport error
  auto lines = host.log->lines();
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[8], "- status  : 0");
  EXPECT_EQ(lines[10], "- body    : ");
  EXPECT_EQ(lines[11],
            "- error : Error Domain=OrvoHTTPTransportError Code=-1 \"no scripted answer\"");
  EXPECT_EQ(lines[12], end);
  EXPECT_EQ(lines[13], "error: no scripted answer");

  // The body is logged in the charset the response declares.
  host.log->clear();
  http->enqueue(jsonAnswer("{\"A\":\"caf\xE9\"}", 200, "ISO-8859-1"));
  send(endpoints::kGetService, "");
  EXPECT_TRUE(host.log->contains("- body    : {\"A\":\"caf\xC3\xA9\"}"));

  logging = false;
  host.log->clear();
  http->enqueueJson(receiverEnvelope({}, "40100"));
  http->enqueueJson(receiverEnvelope({}, "40100"));
  send(endpoints::kRegisterService, "A=1");
  EXPECT_TRUE(host.log->lines().empty());
}

TEST_F(PushNetworkManagerTest, ResendAfterRefusedAuthKey) {
  struct Case {
    std::int64_t endpoint;
    bool resend, refreshFails;
    std::string second;  // the second answer's result code; empty: no second request
    std::string presentedUID;
    std::string error;  // the description the caller gets; empty: success
  };
  using namespace endpoints;
  const Case cases[] = {
      {kRegisterService, true, false, "0000", "TMP0user-7", ""},
      {kRegisterService, true, false, "40100", "TMP0user-7", "fail_auth"},
      {kRegisterUser, true, false, "9999", "TMP0user-7", "invalid_result_code"},
      {kDeleteService, true, false, "0000", "user-7", ""},
      {kRegisterService, true, true, "", "TMP0user-7", "no key"},
      {kDeleteService, true, true, "", "user-7", "fail_auth"},
      {kAskingAuthorization, false, false, "", "", "fail_auth"},
  };
  const std::string form = "AUTHKEY=OLDKEY&CUID=user-7&CNAME=a%20b";
  logging = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    environment.http = http = std::make_shared<ScriptedHttpClient>(host.runLoop);
    refreshCalls.clear();
    record->setAuthKey("OLDKEY");
    refreshError = c.refreshFails ? std::optional(ErrorInfo{"lib", 9, "no key", {}}) : std::nullopt;
    host.log->clear();
    http->enqueueJson(receiverEnvelope({}, "40100"));
    if (!c.second.empty()) http->enqueueJson(receiverEnvelope({{"R", "2"}}, c.second));
    Received received = send(c.endpoint, form, c.resend);

    EXPECT_EQ(received.calls, 1);
    EXPECT_TRUE(received.onMainQueue);
    auto requests = http->requests();
    ASSERT_EQ(requests.size(), c.second.empty() ? 1u : 2u);
    for (const auto& request : requests) {
      EXPECT_EQ(request.body, form);
      EXPECT_EQ(request.url, requests[0].url);
    }
    EXPECT_EQ(refreshCalls, c.resend ? std::vector{c.presentedUID + " a1b2c3 <none>"}
                                     : std::vector<std::string>{});
    const char* keyAfter = !c.resend ? "OLDKEY" : c.refreshFails ? nullptr : "NEWKEY";
    EXPECT_EQ(record->authKey(), keyAfter ? std::optional<std::string>(keyAfter) : std::nullopt);
    EXPECT_EQ(host.log->count("Retry asking auth-key !!"), c.resend ? 1u : 0u);
    EXPECT_EQ(host.log->count("error: fail_auth"), 1u + (c.second == "40100"));

    ASSERT_TRUE(received.response && received.header);
    EXPECT_EQ(received.error ? received.error->description : "", c.error);
    EXPECT_EQ(received.body, (c.error.empty() ? Dictionary{{"R", "2"}} : Dictionary{}));
    EXPECT_EQ(received.header->empty(), !c.error.empty());
  }

  // A transport error whose code is 40100 counts too, whatever its domain.
  http->enqueue(HttpResult{std::nullopt, ErrorInfo{"Elsewhere", 40100, "odd", {}}});
  http->enqueueJson(receiverEnvelope());
  EXPECT_FALSE(send(kRegisterService, "A=1").error);
  EXPECT_EQ(http->requestCount(), 3u);
}

}  // namespace
}  // namespace orvo
