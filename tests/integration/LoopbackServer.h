// Real servers on 127.0.0.1 for the integration tests: an httplib server on
// an ephemeral port served from its own thread, a raw socket server for
// misbehaving peers, and a collector of answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <httplib.h>

#include "orvo/platform/HttpClient.h"
#include "orvo/platform/RunLoop.h"

namespace orvo::test {

inline constexpr std::chrono::seconds kGenerousWait{20};

class LoopbackServer {
 public:
  explicit LoopbackServer(
      std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : server_(std::move(server)) {
    // Keep-alive for as long as a test or a benchmark runs; every idle
    // kept-alive connection holds a worker, so have plenty. stop() waits for
    // idle connections up to the keep-alive timeout: drop clients first.
    server_->set_keep_alive_max_count(100000);
    server_->set_keep_alive_timeout(5);
    server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
    // Without it a response written in two pieces waits for the client's
    // delayed acknowledgement on every kept-alive exchange.
    server_->set_tcp_nodelay(true);
  }
  ~LoopbackServer() { stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  httplib::Server& server() { return *server_; }

  // Binds (listening at once, so requests may be sent right away) and serves
  // from a thread. Register handlers before.
  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }

  void stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::string url(const std::string& path = "/", const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A TCP socket bound to an ephemeral port on 127.0.0.1, and that port.
inline std::pair<int, int> loopbackSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  return {fd, ntohs(address.sin_port)};
}

// A loopback port that nothing listens on: bound, then closed.
inline int closedLoopbackPort() {
  auto [fd, port] = loopbackSocket();
  ::close(fd);
  return port;
}

// A listening socket on 127.0.0.1 that a test drives by hand.
class RawServer {
 public:
  // Each accepted connection goes to `serve` on the server's thread.
  explicit RawServer(std::function<void(int socket)> serve) : serve_(std::move(serve)) {
    std::tie(listener_, port_) = loopbackSocket();
    if (::listen(listener_, 16) != 0) throw std::runtime_error("cannot listen on loopback");
    thread_ = std::thread([this] {
      for (;;) {
        const int client = ::accept(listener_, nullptr, nullptr);
        if (client >= 0 && !stopping_) serve_(client);
        if (client >= 0) ::close(client);
        if (client < 0 || stopping_) return;
      }
    });
  }
  ~RawServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // Reads the header block and a body of the declared Content-Length (or
  // what comes until the peer stops).
  static std::string readRequest(int socket) {
    std::string data;
    while (data.find("\r\n\r\n") == std::string::npos && readSome(socket, data)) {
    }
    const std::size_t headEnd = data.find("\r\n\r\n");
    const std::size_t field = data.find("Content-Length: ");
    if (headEnd == std::string::npos || field > headEnd) return data;
    const std::size_t length = std::stoul(data.substr(field + 16));
    while (data.size() < headEnd + 4 + length && readSome(socket, data)) {
    }
    return data;
  }

  static void sendAll(int socket, std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(socket, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }

 private:
  static bool readSome(int socket, std::string& data) {
    char buffer[4096];
    ssize_t n = ::recv(socket, buffer, sizeof(buffer), 0);
    if (n > 0) data.append(buffer, static_cast<std::size_t>(n));
    return n > 0;
  }

  std::function<void(int)> serve_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Collects the answers of requests sent with it, in arrival order, on the
// loop's thread.
struct Answers {
  std::vector<HttpResult> results;

  std::function<void(HttpResult)> collector() {
    return [this](HttpResult result) { results.push_back(std::move(result)); };
  }
  bool waitFor(RunLoop& loop, std::size_t count) {
    return loop.runUntil([&] { return results.size() >= count; }, kGenerousWait);
  }
};

}  // namespace orvo::test
