// Parameter names that the message calls (acknowledgements, badge, upstream
// send) share beyond those of the registration calls.
#pragma once

#include <string_view>

namespace orvo::message_keys {

inline constexpr std::string_view kSenderCode = "SENDERCODE";
inline constexpr std::string_view kBadgeNo = "BADGENO";
inline constexpr std::string_view kStoredFlag = "DB_IN";

}  // namespace orvo::message_keys
