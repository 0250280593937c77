/// @file
/// The library's own errors: one domain, a code table, exact descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"

/// The library: the push manager and everything it uses.
namespace orvo {

/// The domain of every error the library itself makes (ErrorInfo::domain).

inline constexpr std::string_view kLibraryErrorDomain = "o.client.library.push.error";

/// The library's error codes and their descriptions, used exactly. Each
/// reaches the operation's completion as an ErrorInfo in kLibraryErrorDomain.
namespace errors {
/// getRegisteredService and getRegisteredServiceFromApp on a receiver of 3.5 or lower.
inline constexpr std::int64_t kRegisteredServiceVersion = 1201;
/// The stored record could not be decrypted at the access gate.
inline constexpr std::int64_t kAccessInterfaceDecrypt = 1202;
/// The user did not grant notifications (registerRemoteNotification).
inline constexpr std::int64_t kNotificationGrant = 1203;
/// The access gate failed: no auth key could be had from the receiver.
inline constexpr std::int64_t kAccessInterface = 1204;
/// Any operation that would reach a server while the user's consent is
/// withheld (PushManager::setConsentGiven); nothing was sent or stored.
inline constexpr std::int64_t kConsentWithheld = 1205;
/// unregisterUser on a receiver below 3.6.
inline constexpr std::int64_t kUnregisterUserVersion = 2201;
/// registerGroup while the device's user is the guest.
inline constexpr std::int64_t kGuestRegisterGroup = 2301;
/// unregisterGroup while the device's user is the guest.
inline constexpr std::int64_t kGuestUnregisterGroup = 2401;
/// registerServiceAndUser on a receiver of 3.6 or lower.
inline constexpr std::int64_t kRegisterServiceAndUserVersion = 2501;
/// read by sequence number on a receiver below 4.0 (the same code as
/// kRegisterServiceAndUserVersion).
inline constexpr std::int64_t kReadSeqNoVersion = 2501;
/// feedback by message key on a receiver of 3.6 or later.
inline constexpr std::int64_t kFeedbackDeprecated = 3101;
/// feedback of a notification that was already acknowledged.
inline constexpr std::int64_t kAlreadyFeedback = 3102;
/// read by message key on a receiver of 3.6 or later.
inline constexpr std::int64_t kReadDeprecated = 3201;
/// A read with a badge option whose badge is not positive.
inline constexpr std::int64_t kBadgeNotPositive = 3203;
/// A send while the device's user is the guest.
inline constexpr std::int64_t kGuestSend = 3301;
/// A send on a receiver below 3.5.
inline constexpr std::int64_t kSendUnavailable = 3302;
/// update with a negative badge.
inline constexpr std::int64_t kBadgeNegative = 3402;

/// The description of kRegisteredServiceVersion.

inline constexpr std::string_view kRegisteredServiceVersionText =
    "To get registered service API is avaliable in 3.6 or 3.6+ version";
/// The description of kAccessInterfaceDecrypt.
inline constexpr std::string_view kAccessInterfaceDecryptText = "To decrypt a info is fail.";
/// The description of kNotificationGrant.
inline constexpr std::string_view kNotificationGrantText = "User Notification Grant is fail !!";
/// The description of kAccessInterface.
inline constexpr std::string_view kAccessInterfaceText = "AccessInterface FAIL!!";
/// The description of kConsentWithheld.
inline constexpr std::string_view kConsentWithheldText =
    "The user's consent is not given: nothing is sent to the push service";
/// The description of kUnregisterUserVersion.
inline constexpr std::string_view kUnregisterUserVersionText =
    "this method is available in 3.6 or later. please execute selector(registerUser:) of "
    "manager with Another ClientUID as GUEST";
/// The description of kGuestRegisterGroup.
inline constexpr std::string_view kGuestRegisterGroupText = "Guest can't register group";
/// The description of kGuestUnregisterGroup.
inline constexpr std::string_view kGuestUnregisterGroupText = "Guest can't unregister group";
/// The description of kRegisterServiceAndUserVersion.
inline constexpr std::string_view kRegisterServiceAndUserVersionText =
    "To register service and user API is avaliable in 3.7 or later";
/// The description of kReadSeqNoVersion.
inline constexpr std::string_view kReadSeqNoVersionText =
    "To read API is avaliable in 4.0 or later";
/// The description of kFeedbackDeprecated.
inline constexpr std::string_view kFeedbackDeprecatedText =
    "this selector is declicated. please execute selector(feedback:notification:"
    "completionHandler:) of manager";
/// The description of kAlreadyFeedback from feedback(caller, notification, completion).
inline constexpr std::string_view kAlreadyFeedbackText =
    "PushManager+API - feedback:notification: already Feedback";
/// The description of kAlreadyFeedback from the overload with clientUID and psID.
inline constexpr std::string_view kAlreadyFeedbackCustomText =
    "PushManager+API - feedback:clientUID:psID:notification: already Feedback";
/// The description of kReadDeprecated.
inline constexpr std::string_view kReadDeprecatedText =
    "this selector is declicated. please execute selector(read:notification:completionHandler:) "
    "of manager";
/// The description of kBadgeNotPositive.
inline constexpr std::string_view kBadgeNotPositiveText = "Badge must be positive!";
/// The description of kGuestSend.
inline constexpr std::string_view kGuestSendText = "Guest can't send message";
/// The description of kSendUnavailable; "%@" is the receiver version.
inline constexpr std::string_view kSendUnavailableFormat = "this selector isn't Available in %@";
/// The description of kBadgeNegative.
inline constexpr std::string_view kBadgeNegativeText = "Badge can not be nagative!";
}  // namespace errors

/// An error of the library's domain.
inline ErrorInfo libraryError(std::int64_t code, std::string_view description) {
  return ErrorInfo{std::string(kLibraryErrorDomain), code, std::string(description), {}};
}

}  // namespace orvo
