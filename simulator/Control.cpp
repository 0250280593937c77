#include "Control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace orvo::sim {
namespace {

bool socketAddress(const std::string& path, sockaddr_un& address, std::string& error) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    error = "the device folder's path is too long for a control socket: " + path;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Reads until the peer closes its side or a newline ends the message.
bool readMessage(int fd, std::string& into, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !into.empty();
    into.append(buffer, static_cast<std::size_t>(n));
    if (into.back() == '\n') return true;
    if (into.size() > 64 * 1024 * 1024) return false;
  }
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(const std::string& path, Handler handler, std::string& error) {
  sockaddr_un address;
  if (!socketAddress(path, address, error)) return false;
  path_ = path;
  handler_ = std::move(handler);
  // A socket left by a device that died is in the way; a live one answers.
  std::string ignored;
  if (controlCall(path, {{"command", "ping"}}, 500, ignored)) {
    error = "the device is already running (" + path + ")";
    return false;
  }
  ::unlink(path.c_str());
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(listener_, 16) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

void ControlServer::serve() {
  while (!stopping_) {
    pollfd watch[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(watch, 2, -1) < 0 && errno != EINTR) break;
    if (stopping_ || (watch[1].revents & POLLIN)) break;
    if (!(watch[0].revents & POLLIN)) continue;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    // One request at a time: commands of one device run in order.
    std::string text;
    Json answer;
    if (!readMessage(client, text, 5000)) {
      answer = {{"ok", false}, {"error", "no request"}};
    } else {
      const Json request = Json::parse(text, nullptr, false);
      answer = request.is_object() ? handler_(request)
                                   : Json{{"ok", false}, {"error", "the request is not JSON"}};
    }
    writeAll(client, answer.dump() + "\n");
    ::close(client);
  }
}

void ControlServer::stop() {
  if (stopping_.exchange(true)) return;
  if (wake_[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, wake_[0], wake_[1]})
    if (fd >= 0) ::close(fd);
  if (!path_.empty()) ::unlink(path_.c_str());
}

std::optional<Json> controlCall(const std::string& path, const Json& request, int timeoutMs,
                                std::string& error) {
  sockaddr_un address;
  if (!socketAddress(path, address, error)) return std::nullopt;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = "not running";
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  const bool ok = writeAll(fd, request.dump() + "\n") && readMessage(fd, text, timeoutMs);
  ::close(fd);
  if (!ok) {
    error = "the device did not answer in time";
    return std::nullopt;
  }
  Json answer = Json::parse(text, nullptr, false);
  if (!answer.is_object()) {
    error = "the device answered something that is not JSON";
    return std::nullopt;
  }
  return answer;
}

}  // namespace orvo::sim
