// Everything the emulator does with a request, apart from how it came: the
// doors of the admin API, the limits, the receiver, reports, logs, images,
// the gateway's tokens, faults and the journal. The serving layer hands it
// one HttpRequest at a time and carries out the HttpResponse.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Database.h"
#include "Http.h"

namespace orvo::emulator {

class Gateway;
class Journal;
class State;

struct EmulatorOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: a free port
  bool listenAny = false;
  // Required of admin requests when set; with listenAny, one is made at start.
  std::string adminToken;
  std::string statePath = ":memory:";
  std::chrono::milliseconds authTtl = std::chrono::hours(1);
  std::string receiverVersion = "3.6";
  std::string assetsDir;
  std::size_t journalCapacity = 10000;
  bool quiet = false;
  bool jsonLog = false;
  Json faults;  // rules to start with
  // The serving threads; connections are not tied to them.
  std::size_t threads = 4;
  // Open connections past which a new request is answered 503 (the health
  // check and the admin API excepted).
  std::size_t maxConnections = 16000;
  // Payloads kept for a device that is not connected; past it the oldest go.
  std::size_t queueCap = 100;
  // How long, on the emulator's clock, what was sent stays listed.
  std::chrono::milliseconds retain = std::chrono::hours(24);
  std::chrono::milliseconds heartbeat = std::chrono::seconds(15);
};

class Service {
 public:
  explicit Service(EmulatorOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Opens the state and takes the starting fault rules; false with a reason.
  bool open(std::string& error);
  // The port requests come to, which the Host of an admin request names.
  void listening(int port);

  // The largest body a request to this path may carry.
  static std::size_t bodyLimit(const std::string& method, const std::string& path);
  HttpResponse handle(const HttpRequest& request);

  // Reserved sends that fell due go out, full queues and old history are
  // trimmed, then flush().
  void tick();
  // A kept state gets what sends hold in memory.
  void flush();
  // Ends the streams.
  void stop();

  const EmulatorOptions& options() const;
  Gateway& gateway();
  Journal& journal();
  State& state();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

bool isLoopbackAddress(const std::string& address);

}  // namespace orvo::emulator
