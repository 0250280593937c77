/// @file
/// A log sink that keeps every line, for tests.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "orvo/platform/LogSink.h"

namespace orvo {

/// Keeps every log line, for tests to read.
class CapturingLogSink : public LogSink {
 public:
  /// Keeps the line; from any thread.
  void write(std::string_view line) override;
  /// The lines so far, in order.
  std::vector<std::string> lines() const;
  /// Whether some line holds needle, and how many do.
  /// @{
  bool contains(std::string_view needle) const;
  std::size_t count(std::string_view needle) const;
  /// @}
  /// Forgets the lines so far.
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace orvo
