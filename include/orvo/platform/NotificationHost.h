/// @file
/// The phone's notification platform as the library calls it: permission,
/// device token, application state, badge, and the events it sends back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// Whether the user allowed notifications.
enum class AuthorizationStatus : std::int64_t { NotDetermined = 0, Denied = 1, Authorized = 2 };
/// The application's state when a notification arrives.
enum class ApplicationState : std::int64_t { Active = 0, Inactive = 1, Background = 2 };

/// Badge 1, sound 2, alert 4.
/// @{
inline constexpr std::int64_t kNotificationOptionBadge = 1;
inline constexpr std::int64_t kNotificationOptionSound = 2;
inline constexpr std::int64_t kNotificationOptionAlert = 4;
inline constexpr std::int64_t kNotificationOptionsAll = 7;
/// @}

/// Where launch options carry the notification that launched the application.
/// @{
inline constexpr std::string_view kLaunchOptionsRemoteNotificationKey = "remoteNotification";
inline constexpr std::string_view kLaunchOptionsLocalNotificationKey = "localNotification";
/// @}
/// A local notification as the platform hands it over: its alert text and the
/// user information the application gave it.
/// @{
inline constexpr std::string_view kLocalNotificationAlertBodyKey = "alertBody";
inline constexpr std::string_view kLocalNotificationUserInfoKey = "userInfo";
/// @}

/// A notification as the platform shows it.
struct ORVO_PUSH_API PlatformNotification {
  /// The platform's identifier of the notification.
  std::string identifier;
  Dictionary userInfo;  ///< the payload
};

/// The notification centre's delegate: presentation in the foreground and the
/// user's response to a notification. Called on the main queue; the delegate
/// calls each completion exactly once, on any thread, now or later.
class ORVO_PUSH_API NotificationCenterDelegate {
 public:
  virtual ~NotificationCenterDelegate() = default;
  /// A notification arrives while the application is in the foreground;
  /// the completion takes the kNotificationOption values to show it with.
  virtual void willPresentNotification(const PlatformNotification& notification,
                                       std::function<void(std::int64_t options)> completion) = 0;
  /// The user acted on a notification.
  virtual void didReceiveNotificationResponse(const PlatformNotification& notification,
                                              const std::string& actionIdentifier,
                                              std::function<void()> completion) = 0;
};

/// What the platform tells the application; the application forwards it to the
/// library. Every event has a default that ignores it.
class ORVO_PUSH_API ApplicationEventSink {
 public:
  virtual ~ApplicationEventSink() = default;
  /// The device token, the failure to get one, the notification settings, and
  /// a remote or local notification.
  /// @{
  virtual void didRegisterForRemoteNotificationsWithDeviceToken(const Bytes& /*token*/) {}
  virtual void didFailToRegisterForRemoteNotificationsWithError(const ErrorInfo& /*error*/) {}
  virtual void didRegisterUserNotificationSettings(std::int64_t /*types*/) {}
  virtual void didReceiveRemoteNotification(const Dictionary& /*payload*/) {}
  virtual void didReceiveLocalNotification(const Dictionary& /*notification*/) {}
  /// @}
};

/// The notification platform and the application object, as the library
/// calls them.
class ORVO_PUSH_API NotificationHost {
 public:
  virtual ~NotificationHost() = default;

  /// Notification centre. The answers of the two requests below run once, on
  /// a platform thread (never the main queue nor inside the call); a host
  /// destroyed first drops them unrun.
  /// @{
  virtual bool notificationCenterAvailable() const = 0;
  virtual void requestAuthorization(
      std::int64_t options,
      std::function<void(bool granted, std::optional<ErrorInfo> error)> completion) = 0;
  virtual void getNotificationSettings(std::function<void(AuthorizationStatus)> completion) = 0;
  virtual void setCenterDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) = 0;
  virtual bool hasCenterDelegate() const = 0;
  /// @}

  /// Application object.
  /// The token or the failure arrives later as an application event.
  /// @{
  virtual void registerForRemoteNotifications() = 0;
  virtual bool userNotificationSettingsAvailable() const = 0;
  virtual void registerUserNotificationSettings(std::int64_t types) = 0;
  virtual void registerForRemoteNotificationTypes(std::int64_t types) = 0;
  virtual bool currentUserNotificationSettingsAvailable() const = 0;
  virtual bool isRegisteredForRemoteNotifications() const = 0;
  virtual std::int64_t enabledRemoteNotificationTypes() const = 0;
  virtual ApplicationState applicationState() const = 0;
  virtual std::int64_t applicationIconBadgeNumber() const = 0;
  virtual void setApplicationIconBadgeNumber(std::int64_t badge) = 0;
  virtual void cancelAllLocalNotifications() = 0;
  /// @}
};

}  // namespace orvo
