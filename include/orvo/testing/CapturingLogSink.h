// A log sink that keeps every line, for tests.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "orvo/platform/LogSink.h"

namespace orvo {

class CapturingLogSink : public LogSink {
 public:
  void write(std::string_view line) override;
  std::vector<std::string> lines() const;
  bool contains(std::string_view needle) const;
  std::size_t count(std::string_view needle) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace orvo
