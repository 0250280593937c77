/// @file
/// The base of an application's notification service extension: it
/// acknowledges a notification before the phone shows it, marks the payload
/// as acknowledged, and offers what a derived extension needs to attach the
/// image of a rich notification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"
#include "orvo/platform/NotificationContent.h"

namespace orvo {

/// The downloaded image as an attachment, or the error that prevented it;
/// exactly one of the two is present. Runs once: on the main queue after the
/// download, or inline when no request could be made; never when the host's
/// HTTP client is destroyed first.
using AttachmentHandler =
    std::function<void(const std::optional<ErrorInfo>& error,
                       const std::optional<NotificationAttachment>& attachment)>;

/// Errors of the image download that the extension itself detects.
/// @{
inline constexpr std::string_view kServiceExtensionErrorDomain =
    "PushNotificationServiceExtensionError";
namespace extension_errors {
/// The host has no HTTP client.
inline constexpr std::int64_t kNoHttpClient = 1;
/// The payload's image address is empty.
inline constexpr std::int64_t kEmptyImageAddress = 2;
/// The image download answered with an HTTP status other than success.
inline constexpr std::int64_t kHttpStatus = 3;
/// The image is larger than maxImageBytes().
inline constexpr std::int64_t kImageTooLarge = 4;
/// The description of kNoHttpClient.
inline constexpr std::string_view kNoHttpClientText = "No HTTP client to download the image with";
/// The description of kEmptyImageAddress.
inline constexpr std::string_view kEmptyImageAddressText = "The image address is empty";
/// @}
/// "%@" is the status code.
inline constexpr std::string_view kHttpStatusFormat = "The image server answered with status %@";
/// "%@" is the limit in bytes.
inline constexpr std::string_view kImageTooLargeFormat = "The image is larger than %@ bytes";
}  // namespace extension_errors

/// The notification service extension: acknowledges a notification before it
/// is shown and attaches its rich image, then hands the content back through
/// the content handler, once, before the time limit.
class ORVO_PUSH_API PushNotificationServiceExtension {
 public:
  /// The image address inside a JSON "ext".
  static constexpr std::string_view kImageUrlKey = "imageUrl";
  /// Extensions run under a small memory limit; an image above this many
  /// bytes is refused.
  static constexpr std::size_t kDefaultMaxImageBytes = 5 * 1024 * 1024;

  PushNotificationServiceExtension();
  virtual ~PushNotificationServiceExtension();
  PushNotificationServiceExtension(const PushNotificationServiceExtension&) = delete;
  PushNotificationServiceExtension& operator=(const PushNotificationServiceExtension&) = delete;

  // --- platform entry points ---
  /// Acknowledges the notification through the shared manager and hands the
  /// content back, marked when the acknowledgement succeeded. A content
  /// handler or best attempt set before is kept.
  virtual void didReceiveNotificationRequest(const NotificationRequest& request,
                                             ContentHandler contentHandler);
  /// The phone's last call: hands the best attempt back as it stands.
  virtual void serviceExtensionTimeWillExpire();

  // --- for a derived extension ---
  /// The image address of a rich notification, or "" when there is none.
  std::string getImageURLFromOrvo(const Dictionary& payload) const;
  /// Downloads the image over the host's HTTP client into the temporary
  /// directory, names it by its type and makes it an attachment. No file is
  /// left behind on failure. While the user's consent is withheld
  /// (PushManager::consentGiven) nothing is downloaded: the handler gets
  /// errors::kConsentWithheld at once, on the caller's thread.
  void requestAttachmentImage(const std::string& address, AttachmentHandler handler) const;
  /// The file-name extension of a MIME type: ".jpg", ".gif", ".png" or ".tmp".
  /// @{
  static std::string determineType(std::string_view mimeType);
  static bool isOrvo(const Dictionary& payload);
  /// @}

  // --- fields ---
  /// The handler and the content of the notification in progress.
  /// @{
  ContentHandler contentHandler() const;
  void setContentHandler(ContentHandler contentHandler);
  std::optional<NotificationContent> bestAttemptContent() const;
  void setBestAttemptContent(std::optional<NotificationContent> content);
  /// @}
  /// Whether the content has been handed back.
  bool contentHandedBack() const;

  // --- settings ---
  /// The largest image downloaded; a larger one is not attached.
  /// @{
  std::size_t maxImageBytes() const;
  void setMaxImageBytes(std::size_t bytes);
  /// @}
  /// Where downloaded images go; the system's temporary directory by default.
  /// @{
  std::string temporaryDirectory() const;
  void setTemporaryDirectory(std::string directory);
  /// @}

 protected:
  /// Hands the best attempt to the content handler unless that has happened.
  void handBackContent();

 private:
  struct State;
  /// Shared with the acknowledgement's answer, which may come after the
  /// extension object is gone.
  std::shared_ptr<State> state_;
};

}  // namespace orvo
