// The whole service on one loopback port: receiver, push gateway,
// session-and-purchase server, log server, image host and the admin API.
// This part serves HTTP; what a request does is the Service's.
#pragma once

#include <memory>
#include <string>

#include "Service.h"

namespace orvo::emulator {

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
  // What admin requests must carry; empty when nothing is asked of them.
  std::string adminToken() const;
  // What serves the requests, for a look at its state.
  Service& service();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvo::emulator
