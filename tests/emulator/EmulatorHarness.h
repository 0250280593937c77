// The receiver emulator in this process on a free loopback port, driven over
// real sockets: its admin API, raw receiver forms, and a device's gateway
// stream read on a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "Emulator.h"
#include "State.h"

namespace orvo::test {

using emulator::Json;
using namespace std::chrono_literals;

inline constexpr auto kEmulatorWait = 10s;

// Polls until `done` holds or the time is up; no blind sleeps.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = kEmulatorWait) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The emulator's clock until a test moves it.
inline long long realTimeMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline emulator::EmulatorOptions quietEmulator() {
  emulator::EmulatorOptions options;
  options.quiet = true;
  options.threads = 16;
  // Streams notice a closed reader at the next ping.
  options.heartbeat = 100ms;
  return options;
}

// The statements the emulator prepared that read a whole table to find rows
// by a condition, with SQLite's plan. A listing (no condition outside its
// subqueries) reads its own table whole; its subqueries must not.
inline std::vector<std::string> unindexedLookups(emulator::State& state) {
  std::lock_guard lock(state.mutex);
  std::vector<std::string> found;
  for (const auto& sql : state.db.prepared()) {
    if (sql.rfind("SELECT", 0) != 0 && sql.rfind("UPDATE", 0) != 0 && sql.rfind("DELETE", 0) != 0)
      continue;
    int depth = 0;
    bool condition = false;
    for (std::size_t i = 0; i < sql.size(); ++i) {
      depth += sql[i] == '(' ? 1 : sql[i] == ')' ? -1 : 0;
      condition = condition || (depth == 0 && sql.compare(i, 6, " WHERE") == 0);
    }
    bool listed = !condition;
    for (const auto& step : state.db.query("EXPLAIN QUERY PLAN " + sql)) {
      const std::string detail = step.value("detail", "");
      // An index on the state alone finds a whole class of rows, every
      // device's queue for one device's.
      if (detail.rfind("SEARCH ", 0) == 0 && detail.find("(state=?)") != std::string::npos) {
        found.push_back(sql + "  ->  " + detail);
        continue;
      }
      if (detail.rfind("SCAN ", 0) != 0 || detail.find("USING") != std::string::npos ||
          detail == "SCAN CONSTANT ROW" || detail == "SCAN sqlite_master")
        continue;
      if (listed) {
        listed = false;
        continue;
      }
      found.push_back(sql + "  ->  " + detail);
    }
  }
  return found;
}

struct Reply {
  int status = 0;  // 0: no answer at all
  Json json;       // null when the body is not JSON
  std::string body;
};

class RunningEmulator {
 public:
  explicit RunningEmulator(emulator::EmulatorOptions options = quietEmulator())
      : emulator_(std::move(options)) {
    std::string error;
    started_ = emulator_.start(error);
    EXPECT_TRUE(started_) << error;
  }

  emulator::Emulator& emulator() { return emulator_; }
  std::string url() const { return emulator_.url(); }

  Reply get(const std::string& path) { return reply(client().Get(path)); }
  Reply post(const std::string& path, const Json& body) {
    return reply(client().Post(path, body.dump(), "application/json"));
  }
  Reply del(const std::string& path) { return reply(client().Delete(path)); }
  // A receiver call as a device would make it, form-encoded.
  Reply form(const std::string& endpoint, const httplib::Params& fields) {
    return reply(client().Post(("/" + endpoint), fields));
  }

  // What the admin API lists under `name`: /__admin/devices gives "devices".
  Json list(const std::string& name) { return get("/__admin/" + name).json[name]; }
  // The rows of one table of the state, as a snapshot holds them.
  Json table(const std::string& name) { return get("/__admin/snapshot").json["tables"][name]; }
  Json journal(const std::string& endpoint = {}) {
    return get("/__admin/requests" + (endpoint.empty() ? "" : "?endpoint=" + endpoint))
        .json["requests"];
  }
  long long count(const Json& filter) {
    return post("/__admin/requests/count", filter).json.value("count", -1LL);
  }
  // One value of /metrics, as its text gives it; "" when it is not listed.
  std::string metric(const std::string& name) {
    const std::string text = get("/metrics").body;
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return "";
    const auto from = at + name.size() + 2;
    return text.substr(from, text.find('\n', from) - from);
  }
  std::string token(const std::string& name) {
    return post("/__gateway/devices", {{"name", name}}).json.value("token", "");
  }
  // An auth key for this application, user and device.
  std::string authKey(const std::string& app, const std::string& cuid, const std::string& psid) {
    const Reply answer =
        form("asking_authorization.ctl", {{"APP_ID", app}, {"CUID", cuid}, {"PSID", psid}});
    return answer.json.is_object() ? answer.json["BODY"].value("AUTHKEY", "") : "";
  }
  // A device registered with its user through raw forms, as the receiver of
  // version 4.0 expects them; returns the device's gateway token.
  std::string registerDevice(const std::string& app, const std::string& cuid) {
    const std::string psid = token(cuid + "-phone");
    const Reply answer =
        form("new_rcv_register_service_and_user.ctl", {{"PNSID", "APNS"},
                                                       {"APP_ID", app},
                                                       {"DEVICE_ID", cuid + "-device"},
                                                       {"DEVICE_TYPE", "I"},
                                                       {"PSID", psid},
                                                       {"CUID", cuid},
                                                       {"CNAME", cuid + " name"},
                                                       {"PHONENUM", ""},
                                                       {"AUTHKEY", authKey(app, cuid, psid)},
                                                       {"DEVICE_MD", "rig"},
                                                       {"OS_VER", "1.0"},
                                                       {"APP_VER", "1"},
                                                       {"APNS_MODE", "DEV"}});
    EXPECT_EQ(resultCode(answer), "0000") << answer.body;
    return psid;
  }

  static std::string resultCode(const Reply& reply) {
    if (!reply.json.is_object() || !reply.json.contains("HEADER")) return {};
    return reply.json["HEADER"].value("RESULT_CODE", "");
  }

 private:
  httplib::Client client() {
    httplib::Client client("127.0.0.1", emulator_.port());
    client.set_read_timeout(5, 0);
    return client;
  }
  static Reply reply(const httplib::Result& result) {
    Reply answer;
    if (!result) return answer;
    answer.status = result->status;
    answer.body = result->body;
    answer.json = Json::parse(result->body, nullptr, false);
    if (answer.json.is_discarded()) answer.json = nullptr;
    return answer;
  }

  emulator::Emulator emulator_;
  bool started_ = false;
};

// A device's connection to the gateway: the server-sent events it received,
// in order. Closes the connection when it goes.
class GatewayStream {
 public:
  struct Event {
    long long id = 0;
    Json payload;
  };

  GatewayStream(int port, const std::string& token, const std::string& lastEventId = {})
      : client_("127.0.0.1", port) {
    httplib::Headers headers;
    if (!lastEventId.empty()) headers.emplace("Last-Event-ID", lastEventId);
    thread_ = std::thread([this, token, headers] {
      client_.Get(("/__gateway/stream?token=" + token), headers,
                  [this](const char* data, std::size_t length) {
                    take(std::string(data, length));
                    return !closing_.load();
                  });
    });
  }
  ~GatewayStream() {
    closing_ = true;
    client_.stop();
    thread_.join();
  }
  GatewayStream(const GatewayStream&) = delete;
  GatewayStream& operator=(const GatewayStream&) = delete;

  // The events once at least `count` have come, or what came before the deadline.
  std::vector<Event> waitFor(std::size_t count, std::chrono::milliseconds timeout = kEmulatorWait) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    return events_;
  }
  bool waitConnected() {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, kEmulatorWait, [&] { return connected_; });
  }

 private:
  void take(const std::string& data) {
    std::lock_guard lock(mutex_);
    buffer_ += data;
    for (auto end = buffer_.find("\n\n"); end != std::string::npos; end = buffer_.find("\n\n")) {
      const std::string block = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      if (block.rfind(": connected", 0) == 0) connected_ = true;
      Event event;
      std::size_t start = 0;
      bool isEvent = false;
      while (start < block.size()) {
        const auto stop = std::min(block.find('\n', start), block.size());
        const std::string line = block.substr(start, stop - start);
        if (line.rfind("id: ", 0) == 0) event.id = std::stoll(line.substr(4));
        if (line.rfind("data: ", 0) == 0) {
          event.payload = Json::parse(line.substr(6), nullptr, false);
          isEvent = true;
        }
        start = stop + 1;
      }
      if (isEvent) events_.push_back(std::move(event));
    }
    arrived_.notify_all();
  }

  httplib::Client client_;
  std::thread thread_;
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string buffer_;
  bool connected_ = false;
  std::vector<Event> events_;
};

}  // namespace orvo::test
