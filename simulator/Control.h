// How the simulator's commands reach a running device: one JSON request and
// one JSON answer per connection on a Unix socket in the device's folder.
#pragma once

#include <atomic>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

namespace orvo::sim {

using Json = nlohmann::json;

class ControlServer {
 public:
  using Handler = std::function<Json(const Json& request)>;
  ~ControlServer();
  bool start(const std::string& path, Handler handler, std::string& error);
  void stop();

 private:
  void serve();
  std::string path_;
  Handler handler_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

// The device's answer; nullopt with `error` set when no device listens there.
std::optional<Json> controlCall(const std::string& path, const Json& request, int timeoutMs,
                                std::string& error);

}  // namespace orvo::sim
