#include "orvo/testing/ManualClock.h"

#include <cmath>

namespace orvo {
namespace {

constexpr double kSecondsPerDay = 86400.0;

}  // namespace

Date ManualClock::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Date ManualClock::startOfToday() const {
  std::lock_guard lock(mutex_);
  const double local = now_.secondsSince1970 + static_cast<double>(offset_);
  const double localMidnight = std::floor(local / kSecondsPerDay) * kSecondsPerDay;
  return Date{localMidnight - static_cast<double>(offset_)};
}

long ManualClock::utcOffsetSeconds(Date /*when*/) const {
  std::lock_guard lock(mutex_);
  return offset_;
}

void ManualClock::set(Date now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

void ManualClock::advance(double seconds) {
  std::lock_guard lock(mutex_);
  now_.secondsSince1970 += seconds;
}

void ManualClock::setUtcOffset(long seconds) {
  std::lock_guard lock(mutex_);
  offset_ = seconds;
}

}  // namespace orvo
