// The library's own version, dotted protocol versions and the three
// conditions the receiver gates use.
#pragma once

#include <string_view>

#include "orvo/Export.h"
#include "orvo/VersionMacros.h"

/// @file
/// The library's version and the comparison of dotted protocol versions.

namespace orvo {

/// What this library reports itself as (start-up banner, server log records):
/// the version of the headers the application was compiled with.
inline constexpr std::string_view kLibraryVersion = ORVO_PUSH_VERSION_STRING;

/// The version of the library loaded at run time, which may be newer than
/// kLibraryVersion when the shared library was upgraded under the application.
ORVO_PUSH_API std::string_view runtimeVersion();

/// -1, 0 or 1 as left is lower, equal or higher. Missing components count as
/// 0 ("3" equals "3.0"); runs of digits compare by value ("3.10" > "3.9").
ORVO_PUSH_API int versionCompare(std::string_view left, std::string_view right);

/// The receiver version against a threshold: above, at least, exactly. The
/// receiver operations' version gates are these three conditions.
/// @{
inline bool versionIsAbove(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) == -1;
}
inline bool versionIsAtLeast(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) != 1;
}
inline bool versionIsExactly(std::string_view receiver, std::string_view threshold) {
  return versionCompare(threshold, receiver) == 0;
}
/// @}

}  // namespace orvo
