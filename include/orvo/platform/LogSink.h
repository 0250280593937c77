/// @file
/// Where the library's log lines go, one line at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "orvo/Export.h"

namespace orvo {

/// Where the library's log lines go.
class ORVO_PUSH_API LogSink {
 public:
  virtual ~LogSink() = default;
  /// Takes one line, without its line break; called from any thread.
  virtual void write(std::string_view line) = 0;
};

/// stderr, each line preceded by a local timestamp and the process id.
class ORVO_PUSH_API StderrLogSink : public LogSink {
 public:
  /// Writes the line to stderr with a timestamp.
  void write(std::string_view line) override;

 private:
  std::mutex mutex_;
};

/// Hands each line to a function the application gives.
class ORVO_PUSH_API CallbackLogSink : public LogSink {
 public:
  /// Every line goes to the callback, from the thread that logs it.
  explicit CallbackLogSink(std::function<void(std::string_view)> callback)
      : callback_(std::move(callback)) {}
  void write(std::string_view line) override { callback_(line); }

 private:
  std::function<void(std::string_view)> callback_;
};

}  // namespace orvo
