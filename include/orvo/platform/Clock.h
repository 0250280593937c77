/// @file
/// The current time and the start of today in the device's time zone.
#pragma once

#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// The time, as the library reads it.
class ORVO_PUSH_API Clock {
 public:
  virtual ~Clock() = default;
  /// The current time.
  virtual Date now() const = 0;
  /// Midnight of the current day in the device's local time zone.
  virtual Date startOfToday() const = 0;
  /// The local time's offset from UTC at `when`, in seconds.
  virtual long utcOffsetSeconds(Date when) const = 0;
};

/// The system clock, with the device's time zone.
class ORVO_PUSH_API SystemClock : public Clock {
 public:
  /// The system's time.
  Date now() const override;
  Date startOfToday() const override;
  long utcOffsetSeconds(Date when) const override;
};

}  // namespace orvo
