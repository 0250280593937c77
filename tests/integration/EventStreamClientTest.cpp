// The event-stream client against a real server on loopback whose every
// connection answers as scripted: each loss is logged and followed by a new
// connection that names the last event seen, and events reach the handler on
// the main queue, once each, in order.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "integration/LoopbackServer.h"
#include "orvo/platform/EventStream.h"
#include "orvo/testing/CapturingLogSink.h"

namespace orvo::test {
namespace {

struct Answer {
  int status;
  std::string body;
};

TEST(EventStreamClient, ReconnectsAfterEachLossAndResumesAfterTheLastEvent) {
  const std::vector<Answer> script = {
      {200, "retry: 40\nid: 1\nevent: notification\ndata: one\n\n"},
      {404, "no such token"},
      {200, ": " + std::string(80, 'x') + "\n"},
      {200, "data: two\ndata: lines\n\nid: 2\n\n"},
      {200, "id: 3\ndata: three\n\n"},
  };
  std::mutex mutex;
  std::vector<std::string> lastIds;  // the Last-Event-ID of each connection
  LoopbackServer server;
  server.server().Get("/stream", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    const std::size_t n = lastIds.size();
    lastIds.push_back(request.get_header_value("Last-Event-ID"));
    const Answer answer = n < script.size() ? script[n] : Answer{503, "closed"};
    response.status = answer.status;
    response.set_content(answer.body, answer.status == 200 ? "text/event-stream" : "text/plain");
  });
  server.start();

  auto loop = std::make_shared<RunLoop>();
  auto http = std::make_shared<CurlHttpClient>(loop);
  auto log = std::make_shared<CapturingLogSink>();
  std::vector<std::string> seen;
  bool onMainQueue = true;
  EventStreamOptions options;
  options.url = server.url("/stream");
  options.limits = EventStreamLimits{64, 64};
  auto client =
      EventStreamClient::make(options, http, loop, log, [&](const EventStreamEvent& event) {
        onMainQueue = onMainQueue && loop->isRunningOnThisThread();
        seen.push_back(event.type + ":" + event.data + "@" + event.lastEventId);
      });
  client->start();
  ASSERT_TRUE(loop->runUntil([&] { return seen.size() == 3; }, kGenerousWait));
  client->stop();
  const auto connections = client->connections();
  loop->runUntil([] { return false; }, std::chrono::milliseconds(300));

  EXPECT_EQ(seen, (std::vector<std::string>{"notification:one@1", "message:two\nlines@1",
                                            "message:three@3"}));
  EXPECT_TRUE(onMainQueue);
  EXPECT_EQ(client->lastEventId(), "3");
  {
    std::lock_guard lock(mutex);
    // A sixth may have begun as the fifth ended, before the stop.
    lastIds.resize(std::min<std::size_t>(lastIds.size(), 5));
    EXPECT_EQ(lastIds, (std::vector<std::string>{"", "1", "1", "1", "2"}));
  }
  EXPECT_GE(connections, 5u);
  EXPECT_EQ(client->connections(), connections) << "no connection after stop()";
  const std::string prefix = "Event stream " + options.url + " ended: ";
  EXPECT_TRUE(log->contains(prefix + "the server closed it; opening it again in "));
  EXPECT_TRUE(log->contains(prefix + "HTTP status 404: no such token; opening it again in "));
  EXPECT_TRUE(log->contains(prefix + "a line longer than 64 bytes; opening it again in "));
}

}  // namespace
}  // namespace orvo::test
