// The emulator with many connections open and state that would grow without
// end: held streams cost no thread, and the queue cap, the retention and the
// connection limit hold.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "emulator/EmulatorHarness.h"

namespace orvo::test {
namespace {

constexpr const char* kApp = "com.example.scale";

// A connection kept open by hand: an idle one, or a device's stream read
// without a thread of its own.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() {
    if (fd_ >= 0) close(fd_);
  }
  RawConnection(RawConnection&& other) noexcept : fd_(other.fd_), connected_(other.connected_) {
    other.fd_ = -1;
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool stream(int port, const std::string& token) {
    const std::string request = "GET /__gateway/stream?token=" + token +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    return connected_ &&
           write(fd_, request.data(), request.size()) == static_cast<ssize_t>(request.size());
  }
  // Reads until `text` has come, or the time is up.
  bool readUntil(const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + kEmulatorWait;
    while (read_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd watch{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t size = ::read(fd_, buffer, sizeof buffer);
      if (size <= 0) return false;
      read_.append(buffer, static_cast<std::size_t>(size));
    }
    return true;
  }
  bool connected() const { return connected_; }

 private:
  int fd_;
  bool connected_ = false;
  std::string read_;
};

TEST(ScaleTest, HeldStreamsLeaveTheServiceAnswering) {
  RunningEmulator emu;
  const int port = emu.emulator().port();
  std::vector<RawConnection> streams;
  for (int i = 0; i < 200; ++i) {
    const std::string token = emu.token("held-" + std::to_string(i));
    streams.emplace_back(port);
    ASSERT_TRUE(streams.back().stream(port, token)) << "stream " << i;
  }
  for (auto& stream : streams) ASSERT_TRUE(stream.readUntil(": connected"));
  EXPECT_TRUE(eventually([&] { return emu.metric("orvo_emulator_open_streams") == "200"; }));

  EXPECT_EQ(emu.get("/healthz").status, 200);
  EXPECT_EQ(emu.get("/__admin/devices").status, 200);
  const std::string token = emu.registerDevice(kApp, "ann");
  GatewayStream ann(port, token);
  ASSERT_TRUE(ann.waitConnected());
  ASSERT_EQ(emu.post("/__admin/send", {{"user", "ann"}, {"message", "while 200 wait"}}).status,
            200);
  const auto events = ann.waitFor(1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload["aps"]["alert"], "while 200 wait");
  EXPECT_EQ(unindexedLookups(emu.emulator().service().state()), std::vector<std::string>{});
}

// Each limit in its own emulator: what it is set to, what pushes past it, and
// what the emulator then says.
TEST(ScaleTest, LimitsHold) {
  struct Case {
    const char* what;
    std::function<void(emulator::EmulatorOptions&)> set;
    std::function<Json(RunningEmulator&)> push;
    Json seen;
  };
  const std::vector<Case> cases = {
      {"a queue past its cap drops the oldest, and says so",
       [](auto& options) { options.queueCap = 3; },
       [](RunningEmulator& emu) {
         emu.registerDevice(kApp, "ann");
         for (int i = 1; i <= 5; ++i)
           emu.post("/__admin/send", {{"user", "ann"}, {"message", "m" + std::to_string(i)}});
         Json kept = Json::array();
         for (const auto& row : emu.table("deliveries"))
           kept.push_back(Json::parse(row["payload"].get<std::string>())["aps"]["alert"]);
         eventually([&] { return emu.journal("__gateway/queue").size() == 2; });
         Json notes = Json::array();
         for (const auto& entry : emu.journal("__gateway/queue")) notes.push_back(entry["notes"]);
         const auto device = emu.list("devices")[0];
         return Json{{"kept", kept},
                     {"device", {{"queued", device["queued"]}, {"dropped", device["dropped"]}}},
                     {"journal", notes},
                     {"metric", emu.metric("orvo_emulator_queue_dropped_total")}};
       },
       {{"kept", {"m3", "m4", "m5"}},
        {"device", {{"queued", 3}, {"dropped", 2}}},
        // The fourth send is written out at the fifth, the fifth at the listing.
        {"journal",
         {{"the queue of device ann-device (com.example.scale) is full (3 payloads): dropped "
           "1, the oldest"},
          {"the queue of device ann-device (com.example.scale) is full (3 payloads): dropped "
           "1, the oldest"}}},
        {"metric", "2"}}},
      {"what was delivered goes after the retention; what waits stays",
       [](auto& options) { options.retain = std::chrono::hours(1); },
       [](RunningEmulator& emu) {
         GatewayStream ann(emu.emulator().port(), emu.registerDevice(kApp, "ann"));
         emu.registerDevice(kApp, "bob");
         ann.waitConnected();
         emu.post("/__admin/send", {{"user", "ann"}, {"message", "read"}});
         emu.post("/__admin/send", {{"user", "bob"}, {"message", "waiting"}});
         ann.waitFor(1);
         emu.post("/__admin/clock", {{"advance_ms", 2 * 3600 * 1000}});
         eventually([&] { return emu.list("messages").size() == 1; });
         Json left = Json::array();
         for (const auto& row : emu.list("messages")) left.push_back(row["message"]);
         return Json{{"messages", left}, {"pruned", emu.metric("orvo_emulator_pruned_total")}};
       },
       {{"messages", {"waiting"}}, {"pruned", "2"}}},
      {"past the connection limit a request is told 503; health and admin still answer",
       [](auto& options) { options.maxConnections = 4; },
       [](RunningEmulator& emu) {
         std::vector<RawConnection> idle;
         for (int i = 0; i < 4; ++i) idle.emplace_back(emu.emulator().port());
         eventually([&] { return emu.get("/metrics").status == 503; });
         const Reply refused = emu.get("/metrics");
         Json seen = {{"refused", refused.status},
                      {"error", refused.json},
                      {"health", emu.get("/healthz").status},
                      {"admin", emu.get("/__admin/devices").status}};
         idle.clear();
         seen["after"] = eventually([&] { return emu.get("/metrics").status == 200; });
         return seen;
       },
       {{"refused", 503},
        {"error",
         {{"error",
           "the emulator holds its limit of 4 connections (--max-connections); try again "
           "later"}}},
        {"health", 200},
        {"admin", 200},
        {"after", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto options = quietEmulator();
    c.set(options);
    RunningEmulator emu(options);
    EXPECT_EQ(c.push(emu), c.seen);
  }
}

}  // namespace
}  // namespace orvo::test
