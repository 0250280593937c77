#include "manager/ServerLog.h"

#include <gtest/gtest.h>

#include "orvo/Json.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/TestHost.h"

namespace orvo {
namespace {

HttpResult answer(std::string body) {
  return {HttpResponse{200, {}, "application/json", "utf-8", std::move(body)}, std::nullopt};
}
HttpResult resultCode(std::string_view code) { return answer(receiverEnvelope({}, code)); }

// Percent-decoding alone: "+" and "&" are data here, not form syntax.
std::string percentDecoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

class ServerLogTest : public ::testing::Test {
 protected:
  ServerLogTest() {
    host.host->http = http;
    info->config()->setLogServerHost("https://log.example/srv/");
    info->setClientUID("alice");
    info->setPushServiceID("tok123");
    info->changeDeviceUUID("dev-1");
  }

  std::size_t postsFor(std::int32_t retryCount) {
    const std::size_t before = http->requestCount();
    log.send("boom", retryCount);
    host.runLoop->runUntilIdle();
    return http->requestCount() - before;
  }
  // The record request i carries, read back from its body.
  Dictionary sentRecord(std::size_t i) {
    const std::string body = http->requests().at(i).body;
    auto record = parseJson(percentDecoded(std::string_view(body).substr(4)));
    const Dictionary* fields = record.ok() ? record.value().asDictionary() : nullptr;
    return fields ? *fields : Dictionary{};
  }

  test::TestHost host;
  std::shared_ptr<ScriptedHttpClient> http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  std::shared_ptr<PushManagerInfo> info = std::make_shared<PushManagerInfo>(false);
  ServerLog log{host.host, [this] { return info; }};
};

TEST_F(ServerLogTest, RetriesUntilTheServerSaysSuccessAtMostThreeTimes) {
  http->setResponder([](const HttpRequest&) { return resultCode("9999"); });
  EXPECT_EQ(postsFor(0), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sentRecord(i).get("retry count"), Value(std::to_string(i)));
  }
  EXPECT_EQ(postsFor(2), 1u);

  http->enqueue(resultCode("0000"));
  EXPECT_EQ(postsFor(0), 1u);

  // Every other answer counts as a failure (the transport's failures, garbage
  // and a missing header are held by the fault matrix).
  http->enqueue(answer(R"({"HEADER":{"RESULT_CODE":0}})"));
  http->enqueue(answer(""));
  http->enqueue(resultCode("0000"));
  EXPECT_EQ(postsFor(0), 3u);
  http->enqueue(resultCode("0001"));
  http->enqueue(resultCode("0000"));
  EXPECT_EQ(postsFor(0), 2u);
}

TEST_F(ServerLogTest, SendsNothingWhenDisabled) {
  EXPECT_EQ(postsFor(3), 0u);
  info->config()->setLogServerHost("");
  EXPECT_EQ(postsFor(0), 0u);
  info = nullptr;
  EXPECT_EQ(postsFor(0), 0u);
  ServerLog(nullptr, [] { return nullptr; }).send("x", 0);
  ServerLog(host.host, nullptr).send("x", 0);
  EXPECT_EQ(postsFor(3), 0u);
}

TEST_F(ServerLogTest, PostsTheRecordAsPrettyJsonWithOnlyUrlEscaping) {
  host.clock->set(Date{1'700'000'000.0});  // 2023-11-14 22:13:20 UTC
  host.clock->setUtcOffset(9 * 3600);
  http->enqueue(resultCode("0000"));
  const std::string error = "HTTP 500: a&b+c=d, 100%\nnext line";
  log.send(error, 0);
  host.runLoop->runUntilIdle();
  ASSERT_EQ(http->requestCount(), 1u);
  const HttpRequest request = http->requests()[0];

  EXPECT_EQ(request.url, "https://log.example/srv/putAppLog.ctl");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.headers.get("Content-Length"), Value(std::to_string(request.body.size())));
  EXPECT_EQ(request.headers.get("Content-Type"), Value("application/x-www-form-urlencoded"));

  ASSERT_EQ(request.body.rfind("log=", 0), 0u);
  const std::string escaped = request.body.substr(4);
  EXPECT_EQ(escaped.find_first_of(" \n\""), std::string::npos);
  EXPECT_NE(escaped.find("%0A"), std::string::npos);
  EXPECT_NE(escaped.find("500:%20a&b+c=d,%20"), std::string::npos);
  EXPECT_NE(escaped.find("100%25"), std::string::npos);

  EXPECT_NE(percentDecoded(escaped).find("\n  "), std::string::npos);  // pretty-printed
  EXPECT_EQ(sentRecord(0), (Dictionary{{"lib-version", "5.1.6"},
                                       {"deviceid", "dev-1"},
                                       {"cuid", "alice"},
                                       {"psid", "tok123"},
                                       {"pushtype", "user"},
                                       {"model", "TestPhone"},
                                       {"OS-version", "17.0"},
                                       {"time", "2023-11-15, 07:13:20"},
                                       {"retry count", "0"},
                                       {"error", error}}));
}

}  // namespace
}  // namespace orvo

namespace orvo {
namespace {

// Keeps every completion, as a client with requests in flight does.
class PendingHttpClient : public HttpClient {
 public:
  void send(HttpRequest, std::function<void(HttpResult)> completion) override {
    pending.push_back(std::move(completion));
  }
  std::vector<std::function<void(HttpResult)>> pending;
};

TEST(ServerLogLifetimeTest, AnUploadInFlightDoesNotKeepTheHostAlive) {
  auto host = std::make_shared<Host>();
  auto http = std::make_shared<PendingHttpClient>();
  host->http = http;
  auto info = std::make_shared<PushManagerInfo>(false);
  info->config()->setLogServerHost("https://log.example/");
  ServerLog(host, [info] { return info; }).send("boom", 0);
  ASSERT_EQ(http->pending.size(), 1u);

  std::weak_ptr<Host> watched = host;
  host.reset();
  EXPECT_TRUE(watched.expired()) << "the pending completion holds the host";
  // Answered after the host went: no retry, nothing to reach.
  http->pending[0](HttpResult{std::nullopt, ErrorInfo{"t", 1, "down", {}}});
  EXPECT_EQ(http->pending.size(), 1u);
}

}  // namespace
}  // namespace orvo
