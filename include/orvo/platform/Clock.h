// The current time and the start of today in the device's time zone.
#pragma once

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

}  // namespace orvo
