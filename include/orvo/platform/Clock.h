// The current time and the start of today in the device's time zone.
#pragma once

#include <mutex>

#include "orvo/Value.h"

namespace orvo {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Date now() const = 0;
  // Midnight of the current day in the device's local time zone.
  virtual Date startOfToday() const = 0;
  // The local time's offset from UTC at `when`, in seconds.
  virtual long utcOffsetSeconds(Date when) const = 0;
};

class SystemClock : public Clock {
 public:
  Date now() const override;
  Date startOfToday() const override;
  long utcOffsetSeconds(Date when) const override;
};

// A clock that tests set and move; its time zone is a fixed UTC offset.
class ManualClock : public Clock {
 public:
  explicit ManualClock(Date now = Date{1'700'000'000.0}, long utcOffsetSeconds = 0)
      : now_(now), offset_(utcOffsetSeconds) {}
  Date now() const override;
  Date startOfToday() const override;
  long utcOffsetSeconds(Date when) const override;

  void set(Date now);
  void advance(double seconds);
  void setUtcOffset(long seconds);

 private:
  mutable std::mutex mutex_;
  Date now_;
  long offset_;
};

}  // namespace orvo
