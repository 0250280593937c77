// The library's own errors: one domain, a code table, exact descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"

namespace orvo {

inline constexpr std::string_view kLibraryErrorDomain = "o.client.library.push.error";

namespace errors {
inline constexpr std::int64_t kRegisteredServiceVersion = 1201;
inline constexpr std::int64_t kAccessInterfaceDecrypt = 1202;
inline constexpr std::int64_t kNotificationGrant = 1203;
inline constexpr std::int64_t kAccessInterface = 1204;
inline constexpr std::int64_t kUnregisterUserVersion = 2201;
inline constexpr std::int64_t kGuestRegisterGroup = 2301;
inline constexpr std::int64_t kGuestUnregisterGroup = 2401;
inline constexpr std::int64_t kRegisterServiceAndUserVersion = 2501;
inline constexpr std::int64_t kReadSeqNoVersion = 2501;
inline constexpr std::int64_t kFeedbackDeprecated = 3101;
inline constexpr std::int64_t kAlreadyFeedback = 3102;
inline constexpr std::int64_t kReadDeprecated = 3201;
inline constexpr std::int64_t kBadgeNotPositive = 3203;
inline constexpr std::int64_t kGuestSend = 3301;
inline constexpr std::int64_t kSendUnavailable = 3302;
inline constexpr std::int64_t kBadgeNegative = 3402;

inline constexpr std::string_view kRegisteredServiceVersionText =
    "To get registered service API is avaliable in 3.6 or 3.6+ version";
inline constexpr std::string_view kAccessInterfaceDecryptText = "To decrypt a info is fail.";
inline constexpr std::string_view kNotificationGrantText = "User Notification Grant is fail !!";
inline constexpr std::string_view kAccessInterfaceText = "AccessInterface FAIL!!";
inline constexpr std::string_view kUnregisterUserVersionText =
    "this method is available in 3.6 or later. please execute selector(registerUser:) of "
    "manager with Another ClientUID as GUEST";
inline constexpr std::string_view kGuestRegisterGroupText = "Guest can't register group";
inline constexpr std::string_view kGuestUnregisterGroupText = "Guest can't unregister group";
inline constexpr std::string_view kRegisterServiceAndUserVersionText =
    "To register service and user API is avaliable in 3.7 or later";
inline constexpr std::string_view kReadSeqNoVersionText =
    "To read API is avaliable in 4.0 or later";
inline constexpr std::string_view kFeedbackDeprecatedText =
    "this selector is declicated. please execute selector(feedback:notification:"
    "completionHandler:) of manager";
inline constexpr std::string_view kAlreadyFeedbackText =
    "PushManager+API - feedback:notification: already Feedback";
inline constexpr std::string_view kAlreadyFeedbackCustomText =
    "PushManager+API - feedback:clientUID:psID:notification: already Feedback";
inline constexpr std::string_view kReadDeprecatedText =
    "this selector is declicated. please execute selector(read:notification:completionHandler:) "
    "of manager";
inline constexpr std::string_view kBadgeNotPositiveText = "Badge must be positive!";
inline constexpr std::string_view kGuestSendText = "Guest can't send message";
// "%@" is the receiver version.
inline constexpr std::string_view kSendUnavailableFormat = "this selector isn't Available in %@";
inline constexpr std::string_view kBadgeNegativeText = "Badge can not be nagative!";
}  // namespace errors

inline ErrorInfo libraryError(std::int64_t code, std::string_view description) {
  return ErrorInfo{std::string(kLibraryErrorDomain), code, std::string(description), {}};
}

}  // namespace orvo
