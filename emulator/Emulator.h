// The whole service on one loopback port: receiver, push gateway,
// session-and-purchase server, log server, image host and the admin API.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "Database.h"

namespace orvo::emulator {

struct EmulatorOptions {
  std::string address = "127.0.0.1";
  int port = 0;  // 0: a free port
  bool listenAny = false;
  std::string statePath = ":memory:";
  std::chrono::milliseconds authTtl = std::chrono::hours(1);
  std::string receiverVersion = "3.6";
  std::string assetsDir;
  std::size_t journalCapacity = 10000;
  bool quiet = false;
  bool jsonLog = false;
  Json faults;  // rules to start with
  std::size_t threads = 64;
  std::chrono::milliseconds heartbeat = std::chrono::seconds(15);
};

class Emulator {
 public:
  explicit Emulator(EmulatorOptions options);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Opens the state, binds and serves on a thread of its own.
  bool start(std::string& error);
  void stop();
  // Blocks until stop() (or a handled signal) ends the serving.
  void wait();

  int port() const;
  std::string url() const;  // "http://127.0.0.1:PORT"

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

bool isLoopbackAddress(const std::string& address);

}  // namespace orvo::emulator
