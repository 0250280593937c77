// The transport's auth-key resend across real connections, against a receiver
// played by a real server on 127.0.0.1. What the envelope check makes of each
// answer is the transport unit tests' business; plain exchanges through the
// loopback are the manager flow's.
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
#include "orvo/testing/ReceiverEnvelope.h"
#include "support/TestHost.h"
#include "transport/PushNetworkManager.h"

namespace orvo::test {
namespace {

using Form = std::map<std::string, std::string>;

TEST(LoopbackTransport, ResendsOnceWithAFreshAuthKey) {
  // Every endpoint answers from its own script; every request is recorded.
  std::mutex mutex;
  std::map<std::string, std::deque<std::string>> replies;
  std::vector<httplib::Request> seen;
  LoopbackServer server;
  server.server().Post(R"(/([A-Za-z_]+\.ctl))",
                       [&](const httplib::Request& req, httplib::Response& res) {
                         std::lock_guard lock(mutex);
                         seen.push_back(req);
                         auto& script = replies[req.path];
                         if (script.empty()) return void(res.status = 404);
                         res.set_content(script.front(), "application/json; charset=utf-8");
                         script.pop_front();
                       });
  server.start();

  // Declared after the server so that the client goes first: the server's
  // stop waits for kept-alive connections to close.
  TestHost host;
  auto record = std::make_shared<PushManagerInfo>(false, server.url("/"));
  record->setClientUID("user-7");
  record->setPushServiceID("a1b2c3");
  TransportEnvironment environment;
  environment.http = std::make_shared<CurlHttpClient>(host.runLoop);
  environment.mainQueue = host.runLoop;
  environment.info = [&] { return record; };
  // A forced auth-key request, itself not resent after another "40100".
  environment.refreshAuthKey = [&](std::string uid, std::string psid, AuthKeyHandler done) {
    PushNetworkManager::connect(
        environment, endpoints::kAskingAuthorization,
        queryStringForOrvo(Dictionary{{"CUID", uid}, {"PSID", psid}}),
        [&record, done](auto&, auto&, const std::optional<Dictionary>& body, auto& error) {
          const std::string* key = body ? body->getString("AUTHKEY") : nullptr;
          if (key) record->setAuthKey(*key);
          done(key != nullptr, key ? *key : "", error);
        },
        false);
  };

  const std::string form = "PSID=a1b2c3&MSG=hi%20there";
  for (const std::string second : {"0000", "40100"}) {
    SCOPED_TRACE(second);
    record->setAuthKey("OLDKEY");
    {
      std::lock_guard lock(mutex);
      seen.clear();
      replies["/rcv_register_service.ctl"] = {receiverEnvelope({}, "40100"),
                                              receiverEnvelope({{"DONE", "yes"}}, second)};
      replies["/asking_authorization.ctl"] = {receiverEnvelope({{"AUTHKEY", "NEWKEY"}})};
    }
    int calls = 0;
    std::optional<Dictionary> body;
    std::optional<ErrorInfo> error;
    PushNetworkManager::connect(environment, endpoints::kRegisterService, form,
                                [&](auto&, auto&, auto& answer, auto& failure) {
                                  ++calls;
                                  body = answer;
                                  error = failure;
                                  EXPECT_TRUE(host.runLoop->isRunningOnThisThread());
                                });
    ASSERT_TRUE(host.runLoop->runUntil([&] { return calls > 0; }, kGenerousWait));
    host.runLoop->runUntilIdle();
    EXPECT_EQ(calls, 1);
    if (second == "40100") {
      EXPECT_EQ(error, (ErrorInfo{std::string(kNetworkErrorDomain), 40100, "fail_auth", {}}));
      EXPECT_EQ(body, Dictionary{});
    } else {
      EXPECT_FALSE(error);
      EXPECT_EQ(body, (Dictionary{{"DONE", "yes"}}));
    }
    EXPECT_EQ(record->authKey(), "NEWKEY");

    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].path, "/asking_authorization.ctl");
    EXPECT_EQ(Form(seen[1].params.begin(), seen[1].params.end()),
              (Form{{"CUID", record->tempClientUID()}, {"PSID", "a1b2c3"}}));
    for (std::size_t i : {0u, 2u}) {
      EXPECT_EQ(seen[i].path, "/rcv_register_service.ctl");
      EXPECT_EQ(seen[i].body, form);
      EXPECT_EQ(seen[i].get_header_value("Content-Type"), "application/x-www-form-urlencoded");
    }
  }
}

}  // namespace
}  // namespace orvo::test
