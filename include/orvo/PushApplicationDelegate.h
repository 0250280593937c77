/// @file
/// A base for the application's delegate: the five platform events the
/// library needs reach the shared manager unless the application overrides
/// them (and then forwards them itself).
#pragma once

#include <cstdint>

#include "orvo/Export.h"
#include "orvo/platform/NotificationHost.h"

namespace orvo {

/// Forwards the platform's application events to the shared PushManager:
/// the application installs one as its event sink.
class ORVO_PUSH_API PushApplicationDelegate : public ApplicationEventSink {
 public:
  /// Forwards the event to the PushManager method of the same name.
  /// @{
  void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& token) override;
  void didFailToRegisterForRemoteNotificationsWithError(const ErrorInfo& error) override;
  void didRegisterUserNotificationSettings(std::int64_t types) override;
  void didReceiveRemoteNotification(const Dictionary& payload) override;
  void didReceiveLocalNotification(const Dictionary& notification) override;
  /// @}
};

}  // namespace orvo
