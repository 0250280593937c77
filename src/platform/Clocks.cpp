#include <chrono>
#include <cmath>
#include <ctime>

#include "orvo/platform/Clock.h"

namespace orvo {

namespace {

constexpr double kSecondsPerDay = 86400.0;

}  // namespace

Date SystemClock::now() const {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return Date{std::chrono::duration<double>(since).count()};
}

// mktime with tm_isdst = -1 lets the C library decide whether daylight time
// is in force at midnight, so days of 23 or 25 hours come out right. Where
// midnight itself does not exist, the library moves it forward to the first
// instant of the day.
Date SystemClock::startOfToday() const {
  const Date current = now();
  time_t seconds = static_cast<time_t>(std::floor(current.secondsSince1970));
  std::tm local{};
  localtime_r(&seconds, &local);
  const long elapsed = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  time_t midnight = mktime(&local);
  if (midnight == static_cast<time_t>(-1) || midnight > seconds ||
      seconds - midnight >= static_cast<time_t>(kSecondsPerDay)) {
    // The library could not place midnight; count back the wall-clock time.
    midnight = seconds - elapsed;
  }
  return Date{static_cast<double>(midnight)};
}

long SystemClock::utcOffsetSeconds(Date when) const {
  time_t seconds = static_cast<time_t>(std::floor(when.secondsSince1970));
  std::tm local{};
  localtime_r(&seconds, &local);
  return local.tm_gmtoff;
}

}  // namespace orvo
