#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "integration/LoopbackServer.h"
#include "orvo/platform/CurlHttpClient.h"

// The loopback servers run on Debian's compiled cpp-httplib, which is not
// built for ThreadSanitizer: its internals cannot be judged here.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }

namespace orvo::test {
namespace {

HttpRequest post(const std::string& url, std::string body, double timeoutSeconds = 10.0) {
  HttpRequest request;
  request.url = url;
  request.body = std::move(body);
  request.timeoutSeconds = timeoutSeconds;
  return request;
}

void expectTransportError(const HttpResult& result, CURLcode code) {
  ASSERT_TRUE(result.error.has_value());
  EXPECT_EQ(result.error->domain, kHttpTransportErrorDomain);
  EXPECT_EQ(result.error->code, static_cast<std::int64_t>(code));
  EXPECT_EQ(result.error->description.rfind(curl_easy_strerror(code), 0), 0u)
      << result.error->description;
}

TEST(CurlHttpClient, SendsTheRequestAsGivenAndReadsTheFinalResponse) {
  // An interim answer first; then repeated names in two spellings, a folded
  // line and a charset whose quoted value holds a ";".
  static constexpr std::string_view kPostReply =
      "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
      "HTTP/1.1 201 Created\r\n"
      "X-Twice: first\r\n"
      "x-twice: second\r\n"
      "X-Folded: one\r\n"
      "\ttwo\r\n"
      "Content-Type: Text/Plain; format=flowed; charset=\"ISO;8859-1\"\r\n"
      "Content-Length: 6\r\n"
      "Connection: close\r\n"
      "\r\n"
      "h\xC3\xA9llo";
  static constexpr std::string_view kGetReply =
      "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n";
  std::mutex mutex;
  std::vector<std::string> requests;
  RawServer server([&](int socket) {
    std::string request = RawServer::readRequest(socket);
    const bool isGet = request.rfind("GET", 0) == 0;
    {
      // Kept before answering: the client may look as soon as it has the answer.
      std::lock_guard lock(mutex);
      requests.push_back(std::move(request));
    }
    RawServer::sendAll(socket, isGet ? kGetReply : kPostReply);
  });

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  Answers answers;
  HttpRequest request = post(server.url("/echo"), std::string("a=1&b=%20\0x", 11));
  request.headers.set("Content-Type", "application/x-www-form-urlencoded");
  request.headers.set("Content-Length", "11");
  request.headers.set("X-Empty", "");
  client.send(request, answers.collector());
  ASSERT_TRUE(answers.waitFor(*loop, 1));
  HttpRequest get;
  get.method = "GET";
  get.url = server.url("/empty");
  client.send(get, answers.collector());
  ASSERT_TRUE(answers.waitFor(*loop, 2));

  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(requests.size(), 2u);
    const std::string& sent = requests[0];
    const std::string head = sent.substr(0, sent.find("\r\n\r\n") + 2);
    EXPECT_EQ(head.rfind("POST /echo HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_EQ(sent.substr(head.size() + 2), std::string("a=1&b=%20\0x", 11));
    EXPECT_NE(head.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos);
    EXPECT_NE(head.find("\r\nContent-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Content-Length", head.find("Content-Length") + 1), std::string::npos);
    EXPECT_NE(head.find("\r\nX-Empty:"), std::string::npos);
    EXPECT_EQ(head.find("Expect"), std::string::npos);
    EXPECT_EQ(head.find("Cookie"), std::string::npos);
    EXPECT_EQ(requests[1].rfind("GET /empty HTTP/1.1\r\n", 0), 0u);
  }

  ASSERT_TRUE(answers.results[0].response.has_value());
  EXPECT_FALSE(answers.results[0].error.has_value());
  const HttpResponse& echo = *answers.results[0].response;
  EXPECT_EQ(echo.statusCode, 201);
  EXPECT_EQ(echo.body, "h\xC3\xA9llo");
  EXPECT_EQ(echo.mimeType, "text/plain");
  EXPECT_EQ(echo.textEncodingName, "ISO;8859-1");
  EXPECT_FALSE(echo.headers.contains("X-Interim"));
  ASSERT_NE(echo.headers.getString("X-Twice"), nullptr);
  EXPECT_EQ(*echo.headers.getString("X-Twice"), "first, second");
  ASSERT_NE(echo.headers.getString("X-Folded"), nullptr);
  EXPECT_EQ(*echo.headers.getString("X-Folded"), "one two");
  ASSERT_NE(echo.headers.getString("Content-Length"), nullptr);
  EXPECT_EQ(*echo.headers.getString("Content-Length"), "6");

  ASSERT_TRUE(answers.results[1].response.has_value());
  const HttpResponse& empty = *answers.results[1].response;
  EXPECT_EQ(empty.statusCode, 204);
  EXPECT_EQ(empty.body, "");
  EXPECT_EQ(empty.mimeType, "");
  EXPECT_EQ(empty.textEncodingName, "");

  // A header that would split the request is refused before anything is sent.
  HttpRequest injected = post(server.url("/echo"), "x");
  injected.headers.set("X-Evil", "a\r\nX-Injected: 1");
  client.send(injected, answers.collector());
  ASSERT_TRUE(answers.waitFor(*loop, 3));
  expectTransportError(answers.results[2], CURLE_BAD_FUNCTION_ARGUMENT);
}

TEST(CurlHttpClient, ReportsTransportFailuresAsErrors) {
  Latch release;
  LoopbackServer slow;
  slow.server().Post("/slow", [&](const httplib::Request&, httplib::Response& res) {
    release.wait();
    res.set_content("{}", "application/json");
  });
  slow.start();
  RawServer hangsUp([](int socket) { RawServer::readRequestHead(socket); });
  RawServer garbage([](int socket) {
    RawServer::readRequestHead(socket);
    const std::string reply = "this is not HTTP\r\n\r\n";
    ::send(socket, reply.data(), reply.size(), MSG_NOSIGNAL);
  });

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  Answers timedOut, refused, nothing, unsupported;
  const auto started = std::chrono::steady_clock::now();
  client.send(post(slow.url("/slow"), "x", 0.3), timedOut.collector());
  client.send(post("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/", "x"),
              refused.collector());
  client.send(post(hangsUp.url("/"), "x"), nothing.collector());
  client.send(post("file:///etc/passwd", ""), unsupported.collector());
  ASSERT_TRUE(timedOut.waitFor(*loop, 1));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(refused.waitFor(*loop, 1));
  ASSERT_TRUE(nothing.waitFor(*loop, 1));
  ASSERT_TRUE(unsupported.waitFor(*loop, 1));
  release.open();

  expectTransportError(timedOut.results[0], CURLE_OPERATION_TIMEDOUT);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  expectTransportError(refused.results[0], CURLE_COULDNT_CONNECT);
  EXPECT_FALSE(refused.results[0].response.has_value());
  expectTransportError(nothing.results[0], CURLE_GOT_NOTHING);
  EXPECT_FALSE(nothing.results[0].response.has_value());
  expectTransportError(unsupported.results[0], CURLE_UNSUPPORTED_PROTOCOL);

  Answers bad;
  client.send(post(garbage.url("/"), "x"), bad.collector());
  ASSERT_TRUE(bad.waitFor(*loop, 1));
  ASSERT_TRUE(bad.results[0].error.has_value());
  EXPECT_EQ(bad.results[0].error->domain, kHttpTransportErrorDomain);
}

TEST(CurlHttpClient, NeverBuffersPastTheBodyCap) {
  constexpr std::size_t kCap = 1000;
  LoopbackServer server;
  server.server().Post("/sized", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(std::string(std::stoul(req.body), 'x'), "text/plain");
  });
  server.server().Post("/chunked", [](const httplib::Request& req, httplib::Response& res) {
    const std::size_t total = std::stoul(req.body);
    res.set_chunked_content_provider("text/plain", [total](size_t offset, httplib::DataSink& sink) {
      if (offset >= total) {
        sink.done();
        return true;
      }
      const std::string piece(std::min<std::size_t>(300, total - offset), 'y');
      return sink.write(piece.data(), piece.size());
    });
  });
  server.start();

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClientOptions options;
  options.maxBodyBytes = kCap;
  CurlHttpClient client(loop, options);
  Answers atCap, overCap, chunkedAtCap, chunkedOverCap, huge, overRequestCap, requestCapLoose;
  client.send(post(server.url("/sized"), std::to_string(kCap)), atCap.collector());
  // A request may tighten the client's cap, never loosen it.
  HttpRequest tight = post(server.url("/chunked"), std::to_string(kCap / 2 + 1));
  tight.maxBodyBytes = kCap / 2;
  client.send(tight, overRequestCap.collector());
  HttpRequest loose = post(server.url("/sized"), std::to_string(kCap + 1));
  loose.maxBodyBytes = kCap * 10;
  client.send(loose, requestCapLoose.collector());
  client.send(post(server.url("/sized"), std::to_string(kCap + 1)), overCap.collector());
  client.send(post(server.url("/chunked"), std::to_string(kCap)), chunkedAtCap.collector());
  client.send(post(server.url("/chunked"), std::to_string(kCap + 1)), chunkedOverCap.collector());
  client.send(post(server.url("/chunked"), std::to_string(50 * 1024 * 1024)), huge.collector());
  for (Answers* answers : {&atCap, &overCap, &chunkedAtCap, &chunkedOverCap, &huge, &overRequestCap,
                           &requestCapLoose}) {
    ASSERT_TRUE(answers->waitFor(*loop, 1));
  }
  expectTransportError(overRequestCap.results[0], CURLE_WRITE_ERROR);
  EXPECT_NE(overRequestCap.results[0].error->description.find(std::to_string(kCap / 2)),
            std::string::npos);
  expectTransportError(requestCapLoose.results[0], CURLE_FILESIZE_EXCEEDED);

  ASSERT_TRUE(atCap.results[0].response.has_value());
  EXPECT_EQ(atCap.results[0].response->body.size(), kCap);
  ASSERT_TRUE(chunkedAtCap.results[0].response.has_value());
  EXPECT_EQ(chunkedAtCap.results[0].response->body.size(), kCap);
  EXPECT_FALSE(chunkedAtCap.results[0].error.has_value());

  // A declared length above the cap is refused before the body is read.
  expectTransportError(overCap.results[0], CURLE_FILESIZE_EXCEEDED);
  expectTransportError(chunkedOverCap.results[0], CURLE_WRITE_ERROR);
  expectTransportError(huge.results[0], CURLE_WRITE_ERROR);
  for (Answers* answers : {&overCap, &huge}) {
    EXPECT_NE(answers->results[0].error->description.find(std::to_string(kCap)), std::string::npos)
        << answers->results[0].error->description;
  }
  for (Answers* answers : {&overCap, &chunkedOverCap, &huge}) {
    const HttpResult& result = answers->results[0];
    if (result.response) {
      EXPECT_TRUE(result.response->body.empty());
    }
  }
}

TEST(CurlHttpClient, KeepsOneConnectionUnlessToldOtherwise) {
  std::mutex mutex;
  std::set<int> remotePorts;
  LoopbackServer server;
  server.server().Post("/", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      remotePorts.insert(req.remote_port);
    }
    res.set_content(req.body, "text/plain");
  });
  server.start();
  auto distinctConnections = [&] {
    std::lock_guard lock(mutex);
    return remotePorts.size();
  };

  auto loop = std::make_shared<RunLoop>();
  {
    CurlHttpClient client(loop);
    Answers answers;
    for (int i = 0; i < 100; ++i) {
      client.send(post(server.url("/"), std::to_string(i)), answers.collector());
      ASSERT_TRUE(answers.waitFor(*loop, static_cast<std::size_t>(i + 1)));
      ASSERT_TRUE(answers.results.back().response.has_value());
      EXPECT_EQ(answers.results.back().response->body, std::to_string(i));
    }
    EXPECT_EQ(distinctConnections(), 1u);
  }

  {
    std::lock_guard lock(mutex);
    remotePorts.clear();
  }
  CurlHttpClientOptions fresh;
  fresh.reuseConnections = false;
  CurlHttpClient client(loop, fresh);
  Answers answers;
  for (int i = 0; i < 10; ++i) {
    client.send(post(server.url("/"), "x"), answers.collector());
    ASSERT_TRUE(answers.waitFor(*loop, static_cast<std::size_t>(i + 1)));
  }
  EXPECT_EQ(distinctConnections(), 10u);
}

TEST(CurlHttpClient, NeitherFollowsRedirectsNorKeepsCookies) {
  std::atomic<int> targetHits{0};
  std::mutex mutex;
  std::vector<std::string> cookieHeaders;
  LoopbackServer server;
  server.server().Post("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/target", 302);
  });
  server.server().Post("/target", [&](const httplib::Request&, httplib::Response& res) {
    ++targetHits;
    res.set_content("target", "text/plain");
  });
  server.server().Post("/cookie", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      cookieHeaders.push_back(req.get_header_value("Cookie"));
    }
    res.set_header("Set-Cookie", "session=abc; Path=/");
    res.set_content("ok", "text/plain");
  });
  server.start();

  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  Answers answers;
  client.send(post(server.url("/moved"), "x"), answers.collector());
  ASSERT_TRUE(answers.waitFor(*loop, 1));
  for (int i = 0; i < 2; ++i) {
    client.send(post(server.url("/cookie"), "x"), answers.collector());
    ASSERT_TRUE(answers.waitFor(*loop, static_cast<std::size_t>(i + 2)));
  }

  ASSERT_TRUE(answers.results[0].response.has_value());
  EXPECT_EQ(answers.results[0].response->statusCode, 302);
  ASSERT_NE(answers.results[0].response->headers.getString("Location"), nullptr);
  EXPECT_EQ(*answers.results[0].response->headers.getString("Location"), "/target");
  EXPECT_EQ(targetHits.load(), 0);

  ASSERT_TRUE(answers.results[2].response.has_value());
  EXPECT_EQ(*answers.results[2].response->headers.getString("Set-Cookie"), "session=abc; Path=/");
  std::lock_guard lock(mutex);
  EXPECT_EQ(cookieHeaders, (std::vector<std::string>{"", ""}));
}

TEST(CurlHttpClient, DestructionCancelsEveryCompletion) {
  Latch release;
  std::mutex mutex;
  std::condition_variable changed;
  int slowEntered = 0;
  int fastServed = 0;
  LoopbackServer server;
  server.server().Post("/slow", [&](const httplib::Request&, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      ++slowEntered;
    }
    changed.notify_all();
    release.wait();
    res.set_content("late", "text/plain");
  });
  server.server().Post("/fast", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("soon", "text/plain");
    {
      std::lock_guard lock(mutex);
      ++fastServed;
    }
    changed.notify_all();
  });
  server.start();
  auto waitUntil = [&](auto condition) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGenerousWait, condition);
  };

  auto loop = std::make_shared<RunLoop>();
  int completions = 0;
  auto count = [&completions](HttpResult) { ++completions; };

  // Requests still waiting for their server.
  auto client = std::make_unique<CurlHttpClient>(loop);
  for (int i = 0; i < 3; ++i) client->send(post(server.url("/slow"), "x"), count);
  ASSERT_TRUE(waitUntil([&] { return slowEntered == 3; }));
  // Requests that are answered while the loop is not running: their
  // completions may already be queued when the client goes.
  for (int i = 0; i < 4; ++i) client->send(post(server.url("/fast"), "x"), count);
  ASSERT_TRUE(waitUntil([&] { return fastServed == 4; }));
  client.reset();
  release.open();
  loop->runUntilIdle();
  EXPECT_EQ(completions, 0);

  // A completion that drops the client: the ones queued behind it never run.
  client = std::make_unique<CurlHttpClient>(loop);
  completions = 0;
  int afterDrop = 0;
  for (int i = 0; i < 4; ++i) {
    client->send(post(server.url("/fast"), "x"), [&](HttpResult) {
      ++completions;
      if (completions == 1) {
        client.reset();
        afterDrop = 0;
      } else {
        ++afterDrop;
      }
    });
  }
  ASSERT_TRUE(loop->runUntil([&] { return completions >= 1; }, kGenerousWait));
  loop->runUntilIdle();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(afterDrop, 0);
  EXPECT_EQ(client, nullptr);
}

}  // namespace
}  // namespace orvo::test
