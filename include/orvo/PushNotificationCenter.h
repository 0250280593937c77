/// @file
/// The notifications received while the process lives, oldest first, and the
/// application's icon badge.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "orvo/Export.h"
#include "orvo/PushNotification.h"
#include "orvo/platform/NotificationHost.h"

namespace orvo {

/// The notifications, oldest first.
using PushNotificationList = std::vector<std::shared_ptr<PushNotification>>;

/// Any thread may call any operation: the list is guarded, and every read
/// returns a snapshot, never a view into it. Null records are never stored.
class ORVO_PUSH_API PushNotificationCenter {
 public:
  /// Without a notification host the badge reads 0 and cannot be set.
  /// @{
  explicit PushNotificationCenter(std::shared_ptr<NotificationHost> host);
  PushNotificationCenter(const PushNotificationCenter&) = delete;
  PushNotificationCenter& operator=(const PushNotificationCenter&) = delete;
  /// @}

  /// The list as a snapshot, and its replacement.
  /// @{
  PushNotificationList notifications() const;
  void setNotifications(PushNotificationList notifications);
  /// @}
  /// Adds the newest record (what intake does with each notification).
  void append(std::shared_ptr<PushNotification> notification);

  /// The newest record, or null.
  std::shared_ptr<PushNotification> lastNotification() const;
  /// The newest record with this status, or null.
  std::shared_ptr<PushNotification> lastNotificationWithStatus(std::int64_t status) const;
  /// The records not yet handed to the delegate, oldest first.
  PushNotificationList unexpiredNotifications() const;

  /// The application's icon badge; not kept here.
  /// @{
  std::int64_t badgeNumber() const;
  void setBadgeNumber(std::int64_t badgeNumber);
  /// @}

  /// Empties the list and cancels the pending local notifications. The badge
  /// the user sees is the same afterwards.
  void clear();

 private:
  const std::shared_ptr<NotificationHost> host_;
  mutable std::mutex mutex_;
  PushNotificationList notifications_;
  /// Keeps the steps of one clear() from interleaving with another's.
  std::mutex badgeMutex_;
};

}  // namespace orvo
