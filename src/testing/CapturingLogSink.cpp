#include "orvo/testing/CapturingLogSink.h"

#include <algorithm>

namespace orvo {

void CapturingLogSink::write(std::string_view line) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> CapturingLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool CapturingLogSink::contains(std::string_view needle) const { return count(needle) > 0; }

std::size_t CapturingLogSink::count(std::string_view needle) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      lines_.begin(), lines_.end(),
      [needle](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

void CapturingLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace orvo
