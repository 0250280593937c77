/// @file
/// A device with fixed facts, for tests.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "orvo/platform/Device.h"

namespace orvo {

/// Fixed facts; UUIDs from a script, then counted ones, so tests can predict
/// them.
class FixedDevice : public Device {
 public:
  /// The model and system version it reports.
  FixedDevice(std::string model = "TestPhone", std::string systemVersion = "17.0")
      : model_(std::move(model)), systemVersion_(std::move(systemVersion)) {}
  /// The facts given at construction.
  /// @{
  std::string model() const override { return model_; }
  std::string systemVersion() const override { return systemVersion_; }
  /// @}
  std::string newUUID() override;

  /// The next newUUID answer, after those already queued.
  void queueUUID(std::string uuid);
  /// How many UUIDs were handed out.
  int uuidsMade() const;

 private:
  std::string model_;
  std::string systemVersion_;
  mutable std::mutex mutex_;
  std::deque<std::string> queued_;
  int made_ = 0;
};

}  // namespace orvo
