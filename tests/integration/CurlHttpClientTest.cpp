#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

// A main queue that is not a run loop: the client drives its transfers on a
// thread of its own, and still answers through the queue.
struct ForwardingQueue : MainQueue {
  std::shared_ptr<RunLoop> target;
  void post(std::function<void()> task) override { target->post(std::move(task)); }
};

TEST(CurlHttpClient, SendsTheRequestAsGivenAndReadsTheFinalResponseOnly) {
  // An interim answer first; then repeated names in two spellings, a folded
  // line, a charset whose quoted value holds a ";" and a cookie.
  static constexpr std::string_view kPostReply =
      "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
      "HTTP/1.1 201 Created\r\nX-Twice: first\r\nx-twice: second\r\nX-Folded: one\r\n\ttwo\r\n"
      "Content-Type: Text/Plain; format=flowed; charset=\"ISO;8859-1\"\r\n"
      "Set-Cookie: session=abc; Path=/\r\nContent-Length: 6\r\nConnection: close\r\n\r\n"
      "h\xC3\xA9llo";
  static constexpr std::string_view kGetReply =
      "HTTP/1.1 302 Found\r\nLocation: /target\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
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
  get.url = server.url("/moved");
  client.send(get, answers.collector());
  ASSERT_TRUE(answers.waitFor(*loop, 2));

  {
    // The redirect is not followed, and the cookie is not sent back.
    std::lock_guard lock(mutex);
    ASSERT_EQ(requests.size(), 2u);
    const std::string& sent = requests[0];
    const std::string head = sent.substr(0, sent.find("\r\n\r\n") + 2);
    EXPECT_EQ(head.rfind("POST /echo HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_EQ(sent.substr(head.size() + 2), std::string("a=1&b=%20\0x", 11));
    for (const char* line : {"\r\nContent-Type: application/x-www-form-urlencoded\r\n",
                             "\r\nContent-Length: 11\r\n", "\r\nX-Empty:"}) {
      EXPECT_NE(head.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(head.find("Content-Length", head.find("Content-Length") + 1), std::string::npos);
    EXPECT_EQ(head.find("Expect"), std::string::npos);
    EXPECT_EQ(requests[1].rfind("GET /moved HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(requests[1].find("Cookie"), std::string::npos) << requests[1];
  }

  ASSERT_TRUE(answers.results[0].response && answers.results[1].response);
  EXPECT_FALSE(answers.results[0].error);
  const HttpResponse& echo = *answers.results[0].response;
  EXPECT_EQ(echo.statusCode, 201);
  EXPECT_EQ(echo.body, "h\xC3\xA9llo");
  EXPECT_EQ(echo.mimeType, "text/plain");
  EXPECT_EQ(echo.textEncodingName, "ISO;8859-1");
  EXPECT_FALSE(echo.headers.contains("X-Interim"));
  EXPECT_EQ(echo.headers.get("X-Twice"), Value("first, second"));
  EXPECT_EQ(echo.headers.get("X-Folded"), Value("one two"));
  EXPECT_EQ(echo.headers.get("Set-Cookie"), Value("session=abc; Path=/"));
  EXPECT_EQ(echo.headers.get("Content-Length"), Value("6"));
  const HttpResponse& moved = *answers.results[1].response;
  EXPECT_EQ(moved.statusCode, 302);
  EXPECT_EQ(moved.headers.get("Location"), Value("/target"));
  EXPECT_EQ(moved.body + moved.mimeType + moved.textEncodingName, "");
}

// Timeouts and resets are the emulator's fault table's (emulator/FaultsTest);
// these are the failures no server can cause, and a peer that is no server.
TEST(CurlHttpClient, ReportsTransportFailuresAsErrors) {
  RawServer garbage([](int socket) {
    RawServer::readRequest(socket);
    RawServer::sendAll(socket, "this is not HTTP\r\n\r\n");
  });
  // A header that would split the request is refused before anything is sent.
  HttpRequest split = post(garbage.url("/"), "x");
  split.headers.set("X-Evil", "a\r\nX-Injected: 1");
  const std::pair<HttpRequest, CURLcode> cases[] = {
      {post("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/", "x"),
       CURLE_COULDNT_CONNECT},
      {post("file:///etc/passwd", "x"), CURLE_UNSUPPORTED_PROTOCOL},
      {split, CURLE_BAD_FUNCTION_ARGUMENT},
      {post(garbage.url("/"), "x"), CURLE_OK},  // some error, whichever libcurl names
  };
  auto loop = std::make_shared<RunLoop>();
  CurlHttpClient client(loop);
  for (const auto& [request, code] : cases) {
    SCOPED_TRACE(request.url);
    Answers answers;
    client.send(request, answers.collector());
    ASSERT_TRUE(answers.waitFor(*loop, 1));
    const HttpResult& result = answers.results[0];
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain, kHttpTransportErrorDomain);
    if (code != CURLE_OK) expectTransportError(result, code);
    EXPECT_TRUE(code == CURLE_OK || !result.response);
  }
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

  struct Case {
    std::string path;
    std::size_t size, requestCap;  // requestCap 0: the client's
    CURLcode expected;             // CURLE_OK: the whole body arrives
    Answers answers;
  } cases[] = {
      {"/sized", kCap, 0, CURLE_OK, {}},
      {"/chunked", kCap, 0, CURLE_OK, {}},
      // A declared length above the cap is refused before the body is read.
      {"/sized", kCap + 1, 0, CURLE_FILESIZE_EXCEEDED, {}},
      {"/chunked", kCap + 1, 0, CURLE_WRITE_ERROR, {}},
      {"/chunked", 50 * 1024 * 1024, 0, CURLE_WRITE_ERROR, {}},
      // A request may tighten the client's cap, never loosen it.
      {"/chunked", kCap / 2 + 1, kCap / 2, CURLE_WRITE_ERROR, {}},
      {"/sized", kCap + 1, kCap * 10, CURLE_FILESIZE_EXCEEDED, {}},
  };
  auto loop = std::make_shared<RunLoop>();
  CurlHttpClientOptions options;
  options.maxBodyBytes = kCap;
  CurlHttpClient client(loop, options);
  for (Case& c : cases) {
    HttpRequest request = post(server.url(c.path), std::to_string(c.size));
    request.maxBodyBytes = c.requestCap;
    client.send(request, c.answers.collector());
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.path + " " + std::to_string(c.size) + " " + std::to_string(c.requestCap));
    ASSERT_TRUE(c.answers.waitFor(*loop, 1));
    const HttpResult& result = c.answers.results[0];
    if (c.expected == CURLE_OK) {
      ASSERT_TRUE(result.response && !result.error);
      EXPECT_EQ(result.response->body.size(), c.size);
      continue;
    }
    expectTransportError(result, c.expected);
    // The text names the cap that applied; nothing of the body is handed on.
    const std::size_t applied = c.requestCap ? std::min(c.requestCap, kCap) : kCap;
    EXPECT_NE(result.error->description.find(std::to_string(applied)), std::string::npos)
        << result.error->description;
    EXPECT_TRUE(!result.response || result.response->body.empty());
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

  auto loop = std::make_shared<RunLoop>();
  auto forwarding = std::make_shared<ForwardingQueue>();
  forwarding->target = loop;
  // The number of connections that served the requests, one after the other.
  auto connections = [&](CurlHttpClientOptions options, int requests,
                         std::shared_ptr<MainQueue> queue) {
    {
      std::lock_guard lock(mutex);
      remotePorts.clear();
    }
    CurlHttpClient client(queue, options);
    Answers answers;
    for (std::size_t i = 0; i < static_cast<std::size_t>(requests); ++i) {
      client.send(post(server.url("/"), std::to_string(i)), answers.collector());
      if (!answers.waitFor(*loop, i + 1)) return std::size_t{0};
      EXPECT_EQ(answers.results[i].response.value_or(HttpResponse{}).body, std::to_string(i));
    }
    std::lock_guard lock(mutex);
    return remotePorts.size();
  };
  EXPECT_EQ(connections({}, 100, loop), 1u);
  EXPECT_EQ(connections({}, 20, forwarding), 1u);
  CurlHttpClientOptions fresh;
  fresh.reuseConnections = false;
  EXPECT_EQ(connections(fresh, 10, loop), 10u);
}

// The client starts with its first request; first requests from several
// threads at once start it once, on either kind of main queue.
TEST(CurlHttpClient, ConcurrentFirstRequestsStartTheClientOnce) {
  LoopbackServer server;
  server.server().Post("/", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.body, "text/plain");
  });
  server.start();
  auto loop = std::make_shared<RunLoop>();
  auto forwarding = std::make_shared<ForwardingQueue>();
  forwarding->target = loop;
  for (const std::shared_ptr<MainQueue>& queue :
       {std::shared_ptr<MainQueue>(loop), std::shared_ptr<MainQueue>(forwarding)}) {
    CurlHttpClient client(queue);
    Answers answers;  // answered on the loop's thread either way
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back(
          [&, t] { client.send(post(server.url("/"), std::to_string(t)), answers.collector()); });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(answers.waitFor(*loop, 4));
    std::multiset<std::string> bodies;
    for (const HttpResult& result : answers.results) {
      bodies.insert(result.response.value_or(HttpResponse{}).body);
    }
    EXPECT_EQ(bodies, (std::multiset<std::string>{"0", "1", "2", "3"}));
  }
}

TEST(CurlHttpClient, DestructionCancelsEveryCompletion) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> slowEntered{0};
  LoopbackServer server;
  server.server().Post("/slow", [&](const httplib::Request&, httplib::Response& res) {
    ++slowEntered;
    released.wait_for(kGenerousWait);
    res.set_content("late", "text/plain");
  });
  server.server().Post("/fast", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("soon", "text/plain");
  });
  server.start();

  auto loop = std::make_shared<RunLoop>();
  int completions = 0;
  auto count = [&completions](HttpResult) { ++completions; };

  // Requests still waiting for their server when the client goes, and
  // requests that never left.
  auto client = std::make_unique<CurlHttpClient>(loop);
  for (int i = 0; i < 3; ++i) client->send(post(server.url("/slow"), "x"), count);
  ASSERT_TRUE(loop->runUntil([&] { return slowEntered == 3; }, kGenerousWait));
  for (int i = 0; i < 4; ++i) client->send(post(server.url("/fast"), "x"), count);
  client.reset();
  release.set_value();
  loop->runUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(completions, 0);

  // A completion that drops the client: the ones queued behind it never run.
  client = std::make_unique<CurlHttpClient>(loop);
  for (int i = 0; i < 4; ++i) {
    client->send(post(server.url("/fast"), "x"), [&](HttpResult) {
      ++completions;
      client.reset();
    });
  }
  ASSERT_TRUE(loop->runUntil([&] { return completions >= 1; }, kGenerousWait));
  loop->runUntilIdle();
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(client, nullptr);

  // A main queue that runs tasks at once: the completion runs on the
  // client's own thread and drops the client there.
  struct InlineQueue : MainQueue {
    void post(std::function<void()> task) override { task(); }
  };
  std::atomic<int> inlineCompletions{0};
  std::promise<void> dropped;
  auto* inlineClient = new CurlHttpClient(std::make_shared<InlineQueue>());
  for (int i = 0; i < 4; ++i) {
    inlineClient->send(post(server.url("/fast"), "x"), [&](HttpResult) {
      if (++inlineCompletions > 1) return;
      delete inlineClient;
      dropped.set_value();
    });
  }
  ASSERT_EQ(dropped.get_future().wait_for(kGenerousWait), std::future_status::ready);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(inlineCompletions, 1);
}

}  // namespace
}  // namespace orvo::test
