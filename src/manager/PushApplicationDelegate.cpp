#include "orvo/PushApplicationDelegate.h"

#include "orvo/PushManager.h"

namespace orvo {

void PushApplicationDelegate::didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) {
  PushManager::defaultManager()->applicationDidRegisterForRemoteNotificationsWithDeviceToken(
      Value(), token);
}

void PushApplicationDelegate::didFailToRegisterForRemoteNotificationsWithError(
    const ErrorInfo& error) {
  PushManager::defaultManager()->applicationDidFailToRegisterForRemoteNotificationsWithError(
      Value(), error);
}

void PushApplicationDelegate::didRegisterUserNotificationSettings(std::int64_t types) {
  PushManager::defaultManager()->applicationDidRegisterUserNotificationSettings(Value(), types);
}

void PushApplicationDelegate::didReceiveRemoteNotification(const Dictionary& payload) {
  PushManager::defaultManager()->applicationDidReceiveRemoteNotification(Value(), payload);
}

void PushApplicationDelegate::didReceiveLocalNotification(const Dictionary& notification) {
  PushManager::defaultManager()->applicationDidReceiveLocalNotification(Value(), notification);
}

}  // namespace orvo
