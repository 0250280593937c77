/// @file
/// A clock that tests set and move.
#pragma once

#include <mutex>

#include "orvo/platform/Clock.h"

namespace orvo {

/// A clock that tests set and move; its time zone is a fixed UTC offset.
class ManualClock : public Clock {
 public:
  /// Starts at now, in the time zone utcOffsetSeconds east of UTC.
  explicit ManualClock(Date now = Date{1'700'000'000.0}, long utcOffsetSeconds = 0)
      : now_(now), offset_(utcOffsetSeconds) {}
  /// The time as set.
  Date now() const override;
  Date startOfToday() const override;
  long utcOffsetSeconds(Date when) const override;

  /// Sets the time, moves it on, or changes the time zone.
  /// @{
  void set(Date now);
  void advance(double seconds);
  void setUtcOffset(long seconds);
  /// @}

 private:
  mutable std::mutex mutex_;
  Date now_;
  long offset_;
};

}  // namespace orvo
