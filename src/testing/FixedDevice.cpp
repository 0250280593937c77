#include "orvo/testing/FixedDevice.h"

#include <cstdio>

namespace orvo {

// Counted UUIDs are valid version-4 UUIDs whose last group is the counter, so
// tests can predict them: 00000000-0000-4000-8000-000000000001, ...
std::string FixedDevice::newUUID() {
  std::lock_guard lock(mutex_);
  ++made_;
  if (!queued_.empty()) {
    std::string uuid = std::move(queued_.front());
    queued_.pop_front();
    return uuid;
  }
  char text[37];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012X", static_cast<unsigned>(made_));
  return text;
}

void FixedDevice::queueUUID(std::string uuid) {
  std::lock_guard lock(mutex_);
  queued_.push_back(std::move(uuid));
}

int FixedDevice::uuidsMade() const {
  std::lock_guard lock(mutex_);
  return made_;
}

}  // namespace orvo
