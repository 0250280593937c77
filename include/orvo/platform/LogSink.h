// Where the library's log lines go, one line at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace orvo {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(std::string_view line) = 0;
};

// stderr, each line preceded by a local timestamp and the process id.
class StderrLogSink : public LogSink {
 public:
  void write(std::string_view line) override;

 private:
  std::mutex mutex_;
};

// Hands each line to a function the application gives.
class CallbackLogSink : public LogSink {
 public:
  explicit CallbackLogSink(std::function<void(std::string_view)> callback)
      : callback_(std::move(callback)) {}
  void write(std::string_view line) override { callback_(line); }

 private:
  std::function<void(std::string_view)> callback_;
};

}  // namespace orvo
