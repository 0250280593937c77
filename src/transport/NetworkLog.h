// The trace of one HTTP exchange, as both the receiver transport and the
// session-and-purchase reports write it.
#pragma once

#include <string>
#include <string_view>

namespace orvo::network_log {

inline constexpr std::string_view kServiceStartLine =
    "=== Push Manager Network (%@) Service Start ===";
inline constexpr std::string_view kServiceEndLine = "=== Push Manager Network (%@) Service End ===";
inline constexpr std::string_view kUrlLine = "- url     : %@";
inline constexpr std::string_view kParamLine = "- param   : %@";
inline constexpr std::string_view kTimeoutLine = "- timeout : %f";
inline constexpr std::string_view kMethodLine = "- method  : %@";
inline constexpr std::string_view kHeaderLine = "- header  : %@";
inline constexpr std::string_view kResponseLine = "response";
inline constexpr std::string_view kStatusLine = "- status  : %d";
inline constexpr std::string_view kTransportErrorLine = "- error : %@";

// The file name the lines name the exchange by.
std::string_view lastPathComponent(std::string_view url);
// Seconds as "%f" writes them.
std::string fixedSeconds(double seconds);

}  // namespace orvo::network_log
