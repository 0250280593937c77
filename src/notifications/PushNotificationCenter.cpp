#include "orvo/PushNotificationCenter.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace orvo {
namespace {

// clear() passes the badge through 1 to 0 so that the platform sees a change
// to zero whatever the badge was; the value read first is put back after.
constexpr std::int64_t kBadgeNudge = 1;
constexpr std::int64_t kBadgeNone = 0;

}  // namespace

PushNotificationCenter::PushNotificationCenter(std::shared_ptr<NotificationHost> host)
    : host_(std::move(host)) {}

PushNotificationList PushNotificationCenter::notifications() const {
  std::lock_guard lock(mutex_);
  return notifications_;
}

void PushNotificationCenter::setNotifications(PushNotificationList notifications) {
  std::erase(notifications, nullptr);
  PushNotificationList old;
  {
    std::lock_guard lock(mutex_);
    old = std::exchange(notifications_, std::move(notifications));
  }
  // `old` releases its records here, outside the lock.
}

void PushNotificationCenter::append(std::shared_ptr<PushNotification> notification) {
  if (!notification) return;
  std::lock_guard lock(mutex_);
  notifications_.push_back(std::move(notification));
}

std::shared_ptr<PushNotification> PushNotificationCenter::lastNotification() const {
  std::lock_guard lock(mutex_);
  return notifications_.empty() ? nullptr : notifications_.back();
}

std::shared_ptr<PushNotification> PushNotificationCenter::lastNotificationWithStatus(
    std::int64_t status) const {
  std::lock_guard lock(mutex_);
  auto found = std::find_if(notifications_.rbegin(), notifications_.rend(),
                            [status](const auto& record) { return record->status() == status; });
  return found == notifications_.rend() ? nullptr : *found;
}

PushNotificationList PushNotificationCenter::unexpiredNotifications() const {
  PushNotificationList unexpired;
  std::lock_guard lock(mutex_);
  std::copy_if(notifications_.begin(), notifications_.end(), std::back_inserter(unexpired),
               [](const auto& record) { return !record->isExpired(); });
  return unexpired;
}

std::int64_t PushNotificationCenter::badgeNumber() const {
  return host_ ? host_->applicationIconBadgeNumber() : kBadgeNone;
}

void PushNotificationCenter::setBadgeNumber(std::int64_t badgeNumber) {
  if (host_) host_->setApplicationIconBadgeNumber(badgeNumber);
}

void PushNotificationCenter::clear() {
  setNotifications({});
  if (!host_) return;
  std::lock_guard lock(badgeMutex_);
  const std::int64_t badge = host_->applicationIconBadgeNumber();
  host_->setApplicationIconBadgeNumber(kBadgeNudge);
  host_->setApplicationIconBadgeNumber(kBadgeNone);
  host_->cancelAllLocalNotifications();
  if (badge != kBadgeNone) host_->setApplicationIconBadgeNumber(badge);
}

}  // namespace orvo
