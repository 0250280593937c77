/// @file
/// What the phone hands a notification service extension and takes back from
/// it: the request, the content to show, and the files attached to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// A file shown with a notification.
struct ORVO_PUSH_API NotificationAttachment {
  /// The attachment's name.
  std::string identifier;
  /// Where the file lies: a local path, as the desktop has no file URLs.
  /// @{
  std::string url;
  Dictionary options;
  /// @}

  /// Equal when every field is.
  friend bool operator==(const NotificationAttachment&, const NotificationAttachment&) = default;
};

/// The content of a notification. Copies are independent, so a copy is what
/// the platform calls a mutable copy.
struct ORVO_PUSH_API NotificationContent {
  /// The texts shown, the badge, and the sound.
  /// @{
  std::string title;
  std::string subtitle;
  std::string body;
  std::optional<std::int64_t> badge;
  std::string sound;
  /// @}
  Dictionary userInfo;  ///< the payload
  /// The files shown with it.
  std::vector<NotificationAttachment> attachments;

  /// Equal when every field is.
  friend bool operator==(const NotificationContent&, const NotificationContent&) = default;
};

/// One notification on its way to the screen.
struct ORVO_PUSH_API NotificationRequest {
  /// The request's identifier.
  std::string identifier;
  /// What is shown.
  NotificationContent content;
};

/// Ends an extension's work with the content to show. The extension calls it
/// once, however many paths (the acknowledgement, time running out) reach it,
/// on the thread of the first of them.
using ContentHandler = std::function<void(const NotificationContent& content)>;

/// The domain of attachment creation's errors (attachmentWithIdentifier).
inline constexpr std::string_view kNotificationAttachmentErrorDomain =
    "OrvoNotificationAttachmentError";
/// Attachment creation's error codes and descriptions; the error's userInfo
/// has the file's "path".
namespace attachment_errors {
/// No regular file at the path.
inline constexpr std::int64_t kFileMissing = 1;
/// The file's name does not say it is an image the phone shows.
inline constexpr std::int64_t kUnsupportedType = 2;
/// The description of kFileMissing.
inline constexpr std::string_view kFileMissingText = "The attachment file does not exist";
/// The description of kUnsupportedType.
inline constexpr std::string_view kUnsupportedTypeText =
    "The attachment's file type is not supported";
}  // namespace attachment_errors

/// The image files the phone can show, by name extension.
inline constexpr std::string_view kAttachmentImageExtensions[] = {".jpg", ".jpeg", ".gif", ".png"};

/// Makes an attachment of an existing regular file whose name says it is an
/// image the phone can show; the phone recognises a file by its name alone.
inline Result<NotificationAttachment> attachmentWithIdentifier(std::string identifier,
                                                               const std::string& url,
                                                               Dictionary options = {}) {
  std::error_code error;
  const std::filesystem::path file(url);
  if (url.empty() || !std::filesystem::is_regular_file(file, error)) {
    return ErrorInfo{std::string(kNotificationAttachmentErrorDomain),
                     attachment_errors::kFileMissing,
                     std::string(attachment_errors::kFileMissingText),
                     {{"path", url}}};
  }
  const std::string extension = file.extension().string();
  for (std::string_view known : kAttachmentImageExtensions) {
    if (extension == known) {
      return NotificationAttachment{std::move(identifier), url, std::move(options)};
    }
  }
  return ErrorInfo{std::string(kNotificationAttachmentErrorDomain),
                   attachment_errors::kUnsupportedType,
                   std::string(attachment_errors::kUnsupportedTypeText),
                   {{"path", url}}};
}

}  // namespace orvo
