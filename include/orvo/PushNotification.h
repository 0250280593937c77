/// @file
/// One received notification: its payload, the application state it arrived
/// in, the library's own message UID, and whether the delegate has had it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/Value.h"
#include "orvo/platform/Device.h"

namespace orvo {

// The library's vocabulary for notification payloads.
namespace payload_keys {
/// Top level.
/// @{
inline constexpr std::string_view kAps = "aps";
inline constexpr std::string_view kOrv = "orv";
/// @}
/// Marks a payload whose delivery was already acknowledged; its value is
/// kFeedbackDone.
/// @{
inline constexpr std::string_view kFeedback = "feedback";
inline constexpr std::string_view kFeedbackDone = "true";
/// @}
/// In "aps".
/// @{
inline constexpr std::string_view kAlert = "alert";
inline constexpr std::string_view kBadge = "badge";
inline constexpr std::string_view kSound = "sound";
inline constexpr std::string_view kContentAvailable = "content-available";
/// @}
/// In "orv".
/// @{
inline constexpr std::string_view kExt = "ext";
inline constexpr std::string_view kBatch = "batch";
inline constexpr std::string_view kPushServiceID = "psid";
inline constexpr std::string_view kAppID = "appid";
inline constexpr std::string_view kMessageUniqueKey = "messageuniquekey";
inline constexpr std::string_view kSeqNo = "seqno";
inline constexpr std::string_view kSendDate = "senddate";
inline constexpr std::string_view kDbIn = "db_in";
inline constexpr std::string_view kSender = "sender";
/// @}
}  // namespace payload_keys

/// One received notification: its payload, how it arrived (status), its
/// message UID, and whether it was handed to the delegate. Safe from any thread.
class ORVO_PUSH_API PushNotification {
  /// Keeps construction to create() while make_shared can still reach it.
  struct Token {
    explicit Token() = default;
  };

 public:
  /// The application state a notification arrived in. Any other value (3
  /// among them) reads as "UNKNOWN".
  /// @{
  static constexpr std::int64_t kStatusUnknown = 0;
  static constexpr std::int64_t kStatusStart = 1;  ///< it launched the application
  static constexpr std::int64_t kStatusActive = 2;
  static constexpr std::int64_t kStatusBackground = 4;  ///< inactive or in the background
  /// @}

  /// A new unexpired record whose message UID is made from a fresh UUID of the
  /// device. Without a device the machine's own UUIDs are used.
  static std::shared_ptr<PushNotification> create(Dictionary payload, std::int64_t status,
                                                  const std::shared_ptr<Device>& device);

  /// Made only by the library (Token is its key).
  PushNotification(Token, Dictionary payload, std::int64_t status, std::string messageUID);
  PushNotification(const PushNotification&) = delete;
  PushNotification& operator=(const PushNotification&) = delete;

  /// Fixed at creation.
  /// @{
  const Dictionary& payload() const { return payload_; }
  std::int64_t status() const { return status_; }
  /// @}
  /// "M_" and 32 upper-case hexadecimal digits.
  const std::string& messageUID() const { return messageUID_; }

  /// Set once the delegate has been handed the notification.
  /// @{
  bool isExpired() const { return expired_.load(std::memory_order_acquire); }
  void setExpired(bool expired) { expired_.store(expired, std::memory_order_release); }
  /// @}
  /// Marks it expired; true only for the one caller that did so, so a
  /// notification reaches the delegate once however many threads deliver.
  bool claimDelivery() { return !expired_.exchange(true, std::memory_order_acq_rel); }

  /// Carried for the application; the library neither fills nor reads them.
  /// @{
  std::optional<Array> extComponent() const;
  void setExtComponent(std::optional<Array> extComponent);
  std::optional<std::string> richData() const;
  void setRichData(std::optional<std::string> richData);
  /// @}

  /// Entries as stored, whatever their type; null when a step of the path is
  /// absent or not a dictionary.
  /// @{
  Value aps() const;
  Value orv() const;
  Value title() const;  ///< "alert" of aps
  Value ext() const;    ///< "ext" of orv
  std::string_view statusString() const;
  /// @}

 private:
  const Dictionary payload_;
  const std::int64_t status_;
  const std::string messageUID_;
  std::atomic<bool> expired_{false};

  mutable std::mutex mutex_;
  std::optional<Array> extComponent_;
  std::optional<std::string> richData_;
};

}  // namespace orvo
