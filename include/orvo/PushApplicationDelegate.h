// A base for the application's delegate: the five platform events the
// library needs reach the shared manager unless the application overrides
// them (and then forwards them itself).
#pragma once

#include <cstdint>

#include "orvo/platform/NotificationHost.h"

namespace orvo {

class PushApplicationDelegate : public ApplicationEventSink {
 public:
  void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) override;
  void didFailToRegisterForRemoteNotificationsWithError(const ErrorInfo& error) override;
  void didRegisterUserNotificationSettings(std::int64_t types) override;
  void didReceiveRemoteNotification(const Dictionary& payload) override;
  void didReceiveLocalNotification(const Dictionary& notification) override;
};

}  // namespace orvo
