/// @file
/// Plays the phone for tests and the device simulator: records every call the
/// library makes and answers as scripted, with the platform's threading.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orvo/Export.h"
#include "orvo/platform/MainQueue.h"
#include "orvo/platform/NotificationContent.h"
#include "orvo/platform/NotificationHost.h"

namespace orvo {

class GatewayClient;

/// Starts the application's notification service extension for one
/// notification, as the phone does for each: it hands the content back once.
using ServiceExtensionLauncher =
    std::function<void(const NotificationRequest& request, ContentHandler contentHandler)>;

/// The phone's notification platform, simulated on the desktop: scriptable
/// (permission, token or failure, application state, badge) and recording
/// every call; its events reach the application through the main queue.
class ORVO_PUSH_API SimulatedNotificationHost : public NotificationHost {
 public:
  /// Events are posted to mainQueue.
  explicit SimulatedNotificationHost(std::shared_ptr<MainQueue> mainQueue);
  ~SimulatedNotificationHost() override;
  SimulatedNotificationHost(const SimulatedNotificationHost&) = delete;
  SimulatedNotificationHost& operator=(const SimulatedNotificationHost&) = delete;

  // --- scripting ---
  /// How the user answers the next authorisation requests (granted by default).
  void scriptAuthorization(bool granted, std::optional<ErrorInfo> error = std::nullopt);
  /// What the settings report; by default it follows the last answer given
  /// (none yet: not determined).
  void scriptAuthorizationStatus(std::optional<AuthorizationStatus> status);
  /// What registerForRemoteNotifications delivers: token bytes (the default is
  /// 32 fixed bytes) or a failure.
  /// @{
  void scriptToken(Bytes token);
  void scriptRegistrationFailure(ErrorInfo error);
  /// @}
  /// Whether registerForRemoteNotifications answers at all.
  /// @{
  void scriptRegistrationAnswers(bool answers);
  void setApplication(std::weak_ptr<ApplicationEventSink> application);
  void setNotificationCenterAvailable(bool available);
  void setUserNotificationSettingsAvailable(bool available);
  void setCurrentUserNotificationSettingsAvailable(bool available);
  void setApplicationState(ApplicationState state);
  void setEnabledRemoteNotificationTypes(std::int64_t types);
  /// @}
  /// The push gateway that registerForRemoteNotifications takes the token
  /// from, unless a token or a failure was scripted.
  /// @{
  void setGateway(std::shared_ptr<GatewayClient> gateway);
  std::shared_ptr<GatewayClient> gateway() const;
  /// @}
  /// The application's service extension: every push that shows an alert
  /// passes through it before the application sees it.
  void setServiceExtension(ServiceExtensionLauncher launcher);

  // --- what happened ---
  /// One entry per call, "name" or "name(arguments)", in call order; none
  /// once told not to keep them (a long-running host would grow with each).
  /// @{
  std::vector<std::string> calls() const;
  void keepCalls(bool keep);
  std::size_t callCount(std::string_view name) const;
  void clearCalls();
  /// @}
  /// Waits until every answer handed to the platform thread has been given.
  /// @{
  bool waitForPlatformIdle(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::shared_ptr<NotificationCenterDelegate> centerDelegate() const;
  std::size_t pendingLocalNotificationsCancelled() const;
  /// @}

  // --- platform-side events, as the phone would send them ---
  /// Through the main queue to the application.
  void deliverRemoteNotification(Dictionary payload);
  /// A push from the push service, handled as the phone handles one: the
  /// badge it carries is shown, one with an alert passes the service
  /// extension, and the application then receives it as above.
  void receivePush(Dictionary payload);
  /// To the centre delegate, on the main queue.
  /// @{
  void presentNotification(PlatformNotification notification,
                           std::function<void(std::int64_t options)> completion);
  void respondToNotification(PlatformNotification notification, std::string actionIdentifier,
                             std::function<void()> completion);
  /// @}

  // --- NotificationHost ---
  bool notificationCenterAvailable() const override;
  void requestAuthorization(
      std::int64_t options,
      std::function<void(bool granted, std::optional<ErrorInfo> error)> completion) override;
  void getNotificationSettings(std::function<void(AuthorizationStatus)> completion) override;
  void setCenterDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
  bool hasCenterDelegate() const override;
  void registerForRemoteNotifications() override;
  bool userNotificationSettingsAvailable() const override;
  void registerUserNotificationSettings(std::int64_t types) override;
  void registerForRemoteNotificationTypes(std::int64_t types) override;
  bool currentUserNotificationSettingsAvailable() const override;
  bool isRegisteredForRemoteNotifications() const override;
  std::int64_t enabledRemoteNotificationTypes() const override;
  ApplicationState applicationState() const override;
  std::int64_t applicationIconBadgeNumber() const override;
  void setApplicationIconBadgeNumber(std::int64_t badge) override;
  void cancelAllLocalNotifications() override;

 private:
  /// The platform thread's queue, shared with that thread so that the host may
  /// even be released by one of its own answers.
  struct Platform;

  void record(std::string call) const;
  void onPlatformThread(std::function<void()> task);

  std::shared_ptr<MainQueue> mainQueue_;
  std::shared_ptr<Platform> platform_;
  std::thread platformThread_;  ///< started by the first answer, under the platform's lock

  mutable std::mutex mutex_;
  mutable std::vector<std::string> calls_;
  bool keepCalls_ = true;
  bool granted_ = true;
  std::optional<ErrorInfo> grantError_;
  std::optional<AuthorizationStatus> scriptedStatus_;
  std::optional<bool> lastAnswer_;
  Bytes token_;
  bool tokenScripted_ = false;
  std::shared_ptr<GatewayClient> gateway_;
  ServiceExtensionLauncher serviceExtension_;
  std::atomic<std::uint64_t> extensionRuns_{0};
  std::optional<ErrorInfo> registrationFailure_;
  bool registrationAnswers_ = true;
  std::weak_ptr<ApplicationEventSink> application_;
  std::weak_ptr<NotificationCenterDelegate> centerDelegate_;
  bool centerAvailable_ = true;
  bool userSettingsAvailable_ = true;
  bool currentSettingsAvailable_ = true;
  std::int64_t enabledTypes_ = 0;
  ApplicationState state_ = ApplicationState::Active;
  std::int64_t badge_ = 0;
  std::size_t cancelled_ = 0;
};

}  // namespace orvo
