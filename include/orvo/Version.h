// The library's own version, dotted protocol versions and the three
// conditions the receiver gates use.
#pragma once

#include <string_view>

namespace orvo {

// What this library reports itself as (start-up banner, server log records).
inline constexpr std::string_view kLibraryVersion = "5.1.6";

// -1, 0 or 1 as left is lower, equal or higher. Missing components count as
// 0 ("3" equals "3.0"); runs of digits compare by value ("3.10" > "3.9").
int versionCompare(std::string_view left, std::string_view right);

// The receiver version R against a threshold T.
inline bool versionIsAbove(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) == -1;
}
inline bool versionIsAtLeast(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) != 1;
}
inline bool versionIsExactly(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) == 0;
}

}  // namespace orvo
