#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "integration/LoopbackServer.h"
#include "orvo/FormEncoding.h"
#include "orvo/Json.h"
#include "orvo/platform/CurlHttpClient.h"
#include "support/TestHost.h"
#include "transport/PushNetworkManager.h"

namespace orvo::test {
namespace {

constexpr std::string_view kJsonType = "application/json; charset=utf-8";

struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = std::string(kJsonType);
};

struct Seen {
  std::string path;
  std::string body;
  std::string contentType;
  // As the server's own form decoder reads the body.
  std::map<std::string, std::string> form;
};

std::string envelope(const Value& resultCode, std::optional<Dictionary> body = Dictionary{}) {
  Dictionary document{{"HEADER", Dictionary{{"RESULT_CODE", resultCode}}}};
  if (body) document.set("BODY", *body);
  return writeJson(document).value();
}

struct Outcome {
  int calls = 0;
  bool onMainQueue = false;
  std::optional<HttpResponse> response;
  std::optional<Dictionary> header;
  std::optional<Dictionary> body;
  std::optional<ErrorInfo> error;
};

// The receiver played by a real server on 127.0.0.1: every endpoint answers
// from its own script, and every request is recorded.
class LoopbackTransportTest : public ::testing::Test {
 protected:
  LoopbackTransportTest() {
    server.server().Post(R"(/([A-Za-z_]+\.ctl))",
                         [this](const httplib::Request& req, httplib::Response& res) {
                           std::lock_guard lock(mutex);
                           seen.push_back({req.path,
                                           req.body,
                                           req.get_header_value("Content-Type"),
                                           {req.params.begin(), req.params.end()}});
                           auto& script = replies[req.path];
                           if (script.empty()) {
                             res.status = 404;
                             return;
                           }
                           Reply reply = std::move(script.front());
                           script.pop_front();
                           res.status = reply.status;
                           res.set_content(reply.body, reply.contentType.c_str());
                         });
    server.start();
    http = std::make_shared<CurlHttpClient>(host.runLoop);
    host.host->http = http;
    record = std::make_shared<PushManagerInfo>(false, server.url("/"));
    record->setClientUID("user-7");
    record->setPushServiceID("a1b2c3");
    record->setAuthKey("OLDKEY");

    environment.http = http;
    environment.mainQueue = host.runLoop;
    environment.info = [this] { return record; };
    environment.logEnabled = [] { return false; };
    environment.log = host.log;
    // A forced auth-key request, itself not resent after another "40100".
    environment.refreshAuthKey = [this](std::string clientUID, std::string pushServiceID,
                                        AuthKeyHandler done) {
      const std::string form =
          queryStringForOrvo(Dictionary{{"CUID", clientUID}, {"PSID", pushServiceID}});
      PushNetworkManager::connect(
          environment, endpoints::kAskingAuthorization, form,
          [this, done](const std::optional<HttpResponse>&, const std::optional<Dictionary>&,
                       const std::optional<Dictionary>& body,
                       const std::optional<ErrorInfo>& error) {
            const std::string* key = body ? body->getString("AUTHKEY") : nullptr;
            if (error || !key) {
              done(false, "", error);
              return;
            }
            record->setAuthKey(*key);
            done(true, *key, std::nullopt);
          },
          false);
    };
  }

  // The client goes first: the server's stop waits for kept-alive
  // connections to close.
  ~LoopbackTransportTest() override {
    environment = {};
    host.host->http.reset();
    http.reset();
  }

  void script(const std::string& file, Reply reply) {
    std::lock_guard lock(mutex);
    replies["/" + file].push_back(std::move(reply));
  }

  std::vector<Seen> requests() {
    std::lock_guard lock(mutex);
    return seen;
  }

  Outcome send(std::int64_t endpoint, const std::string& data) {
    Outcome outcome;
    PushNetworkManager::connect(environment, endpoint, data,
                                [&outcome, this](const std::optional<HttpResponse>& response,
                                                 const std::optional<Dictionary>& header,
                                                 const std::optional<Dictionary>& body,
                                                 const std::optional<ErrorInfo>& error) {
                                  ++outcome.calls;
                                  outcome.onMainQueue = host.runLoop->isRunningOnThisThread();
                                  outcome.response = response;
                                  outcome.header = header;
                                  outcome.body = body;
                                  outcome.error = error;
                                });
    EXPECT_TRUE(host.runLoop->runUntil([&] { return outcome.calls > 0; }, kGenerousWait));
    host.runLoop->runUntilIdle();
    return outcome;
  }

  // One exchange with rcv_register_service.ctl answered by `reply`.
  Outcome exchange(Reply reply) {
    script("rcv_register_service.ctl", std::move(reply));
    return send(endpoints::kRegisterService, "A=1&B=%20");
  }

  static void expectNetworkError(const Outcome& outcome, std::string_view description,
                                 std::int64_t code = 0) {
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.onMainQueue);
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain, kNetworkErrorDomain);
    EXPECT_EQ(outcome.error->description, description);
    EXPECT_EQ(outcome.error->code, code);
    EXPECT_EQ(outcome.header, Dictionary{});
    EXPECT_EQ(outcome.body, Dictionary{});
  }

  TestHost host;
  LoopbackServer server;
  std::shared_ptr<CurlHttpClient> http;
  std::shared_ptr<PushManagerInfo> record;
  TransportEnvironment environment;

  std::mutex mutex;
  std::map<std::string, std::deque<Reply>> replies;
  std::vector<Seen> seen;
};

TEST_F(LoopbackTransportTest, ChecksTheEnvelopeOfRealAnswers) {
  const Dictionary result{{"SERVICE", "on"}};

  Outcome ok = exchange({200, envelope("0000", result)});
  EXPECT_EQ(ok.calls, 1);
  EXPECT_TRUE(ok.onMainQueue);
  EXPECT_FALSE(ok.error.has_value());
  EXPECT_EQ(ok.body, result);
  ASSERT_TRUE(ok.header.has_value());
  EXPECT_EQ(ok.header->get("RESULT_CODE"), Value("0000"));
  ASSERT_TRUE(ok.response.has_value());
  EXPECT_EQ(ok.response->mimeType, "application/json");
  EXPECT_EQ(ok.response->textEncodingName, "utf-8");
  std::vector<Seen> sent = requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].path, "/rcv_register_service.ctl");
  EXPECT_EQ(sent[0].body, "A=1&B=%20");
  EXPECT_EQ(sent[0].contentType, "application/x-www-form-urlencoded");

  Outcome serverError = exchange({500, envelope("0000", result)});
  expectNetworkError(serverError, "invalid_status_code");
  ASSERT_TRUE(serverError.response.has_value());
  EXPECT_EQ(serverError.response->statusCode, 500);

  Outcome notJson = exchange({200, "<html>busy</html>", "text/html"});
  EXPECT_EQ(notJson.calls, 1);
  ASSERT_TRUE(notJson.error.has_value());
  EXPECT_EQ(notJson.error->domain, kJsonErrorDomain);
  EXPECT_EQ(notJson.body, Dictionary{});

  expectNetworkError(exchange({200, ""}), "invalid_result_data");

  Outcome wrapped = exchange({200, "[" + envelope("0000", result) + ", 5]"});
  EXPECT_FALSE(wrapped.error.has_value());
  EXPECT_EQ(wrapped.body, result);

  expectNetworkError(exchange({200, "[]"}), "invalid_result_header");
  expectNetworkError(exchange({200, R"({"BODY":{}})"}), "invalid_result_header");
  expectNetworkError(exchange({200, envelope(Value(std::int64_t{0}))}), "invalid_result_code");
  expectNetworkError(exchange({200, envelope("0000", std::nullopt)}), "invalid_result_body");
  expectNetworkError(exchange({200, R"({"HEADER":{"RESULT_CODE":"0000"},"BODY":"text"})"}),
                     "invalid_result_body");
}

TEST_F(LoopbackTransportTest, ResendsOnceWithAFreshAuthKey) {
  const Dictionary result{{"DONE", "yes"}};
  script("rcv_register_service.ctl", {200, envelope("40100")});
  script("asking_authorization.ctl", {200, envelope("0000", Dictionary{{"AUTHKEY", "NEWKEY"}})});
  script("rcv_register_service.ctl", {200, envelope("0000", result)});

  Outcome outcome = send(endpoints::kRegisterService, "PSID=a1b2c3&MSG=hi%20there");
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.body, result);
  EXPECT_EQ(record->authKey(), std::optional<std::string>("NEWKEY"));

  std::vector<Seen> sent = requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].path, "/rcv_register_service.ctl");
  EXPECT_EQ(sent[1].path, "/asking_authorization.ctl");
  EXPECT_EQ(sent[1].form, (std::map<std::string, std::string>{{"CUID", record->tempClientUID()},
                                                              {"PSID", "a1b2c3"}}));
  EXPECT_EQ(sent[2].path, "/rcv_register_service.ctl");
  EXPECT_EQ(sent[2].body, sent[0].body);
}

TEST_F(LoopbackTransportTest, ASecondRefusalReachesTheCaller) {
  script("rcv_register_service.ctl", {200, envelope("40100")});
  script("asking_authorization.ctl", {200, envelope("0000", Dictionary{{"AUTHKEY", "NEWKEY"}})});
  script("rcv_register_service.ctl", {200, envelope("40100")});

  Outcome outcome = send(endpoints::kRegisterService, "PSID=a1b2c3");
  expectNetworkError(outcome, "fail_auth", 40100);
  std::vector<Seen> sent = requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2].body, "PSID=a1b2c3");
}

}  // namespace
}  // namespace orvo::test
