// The device token: permission, the platform's token or failure, the one
// waiting request, and whether the receiver already knows the token.
#include <cstdio>

#include "foundation/Log.h"
#include "manager/ServerLog.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"

namespace orvo {
namespace {

constexpr std::string_view kRegisterLine =
    "PushManager - registerRemoteNotification (hasRegisterNotification: %@)";
constexpr std::string_view kRequestAuthorizationLine =
    "UNUserNotificationCenter - CALL requestAuthorizationWithOptions";
constexpr std::string_view kRegisterForRemoteLine =
    "UIApplication - CALL registerForRemoteNotifications";
constexpr std::string_view kRegisterForRemoteAnywayLine =
    "UIApplication - CALL registerForRemoteNotifications Granted Pass";
constexpr std::string_view kRegisterSettingsLine =
    "UIApplication - CALL registerUserNotificationSettings : %@";
constexpr std::string_view kNotDeterminedLine = "UNAuthorizationStatusNotDetermined";
constexpr std::string_view kDeniedLine = "UNAuthorizationStatusDenied";
constexpr std::string_view kAuthorizedLine = "UNAuthorizationStatusAuthorized";
constexpr std::string_view kNotDeterminedReport =
    "settings.authorizationStatus == UNAuthorizationStatusNotDetermined";
constexpr std::string_view kDeniedReport =
    "settings.authorizationStatus == UNAuthorizationStatusDenied";
constexpr std::string_view kTokenLine =
    "PushManager - didRegisterForRemoteNotificationsWithDeviceToken : %@";
constexpr std::string_view kEmptyTokenLine =
    "PushManager - didRegisterForRemoteNotificationsWithDeviceToken : empty token ignored";
constexpr std::string_view kTokenFailureLine =
    "PushManager - didFailToRegisterForRemoteNotificationsWithError : %@";
constexpr std::string_view kSettingsLine = "PushManager - didRegisterUserNotificationSettings: %@";
constexpr std::string_view kServiceStatusLine = "PushManager - getServiceStatus";
constexpr std::string_view kNoCenterLine = "No UNUserNotificationCenter";
constexpr std::string_view kSetCenterDelegateLine =
    "PushManager UNUserNotificationCenter - CALL setUserNotificationDelegate";
constexpr std::string_view kTokenKey = "token";
constexpr std::string_view kSettingsTypesKey = "types";

// Receivers up to this version have no registration to check.
constexpr std::string_view kStatusCheckVersion = "3.5";
// A receiver of exactly this version cannot say whether it is registered.
constexpr std::string_view kNoRegistrationQueryVersion = "3.6";
constexpr std::string_view kTokenName = "registerRemoteNotification";
constexpr std::string_view kServiceStatusName = "getServiceStatus";

}  // namespace

std::optional<std::string> stringFromTokenData(const Bytes& token) {
  if (token.empty()) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(token.size() * 2);
  for (std::uint8_t byte : token) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

void PushManager::registerRemoteNotification(TokenHandler completion) {
  askForToken(std::move(completion), /*waitForGrant=*/true);
}

void PushManager::registerRemoteNotificationWithOutGranted(TokenHandler completion) {
  askForToken(std::move(completion), /*waitForGrant=*/false);
}

void PushManager::askForToken(TokenHandler completion, bool waitForGrant) {
  if (refusedWithoutConsent(kTokenName)) {
    if (completion) completion(std::nullopt, gateError());
    return;
  }
  auto record = info();
  const std::string storedToken = record ? record->pushServiceID() : std::string();
  const bool hasRegistration = !storedToken.empty();
  logging::trace(logging::format(kRegisterLine, {hasRegistration ? "1" : "0"}));
  if (record && record->useCachedPushToken() && hasRegistration) {
    if (completion) completion(storedToken, std::nullopt);
    return;
  }
  std::uint64_t request;
  {
    std::lock_guard lock(mutex_);
    pendingRegistration_ = completion;
    request = ++pendingRequest_;
  }
  if (!host_ || !host_->notifications) return;
  auto notifications = host_->notifications;
  auto mainQueue = host_->mainQueue;
  auto registerOnMain = [notifications, mainQueue] {
    if (mainQueue)
      mainQueue->post([notifications] { notifications->registerForRemoteNotifications(); });
  };

  if (notifications->notificationCenterAvailable()) {
    logging::trace(kRequestAuthorizationLine);
    std::weak_ptr<PushManager> weak = weak_from_this();
    notifications->requestAuthorization(
        kNotificationOptionsAll, [weak, completion, waitForGrant, request, registerOnMain,
                                  mainQueue](bool granted, std::optional<ErrorInfo>) {
          auto self = weak.lock();
          if (!self) return;
          self->checkNotificationSettings();
          if (granted || !waitForGrant) {
            logging::trace(waitForGrant ? kRegisterForRemoteLine : kRegisterForRemoteAnywayLine);
            registerOnMain();
            return;
          }
          if (!mainQueue) return;
          mainQueue->post([weak, completion, request] {
            if (completion) {
              completion(std::nullopt,
                         libraryError(errors::kNotificationGrant, errors::kNotificationGrantText));
            }
            if (auto self = weak.lock()) {
              std::lock_guard lock(self->mutex_);
              // A later request keeps its place in the slot.
              if (self->pendingRequest_ == request) self->pendingRegistration_ = nullptr;
            }
          });
        });
    return;
  }
  if (notifications->userNotificationSettingsAvailable()) {
    logging::trace(logging::format(
        kRegisterSettingsLine,
        {describe(Dictionary{{std::string(kSettingsTypesKey), kNotificationOptionsAll}})}));
    notifications->registerUserNotificationSettings(kNotificationOptionsAll);
    logging::trace(kRegisterForRemoteLine);
    registerOnMain();
    return;
  }
  // The oldest form has no way to wait for the user's answer.
  if (waitForGrant) notifications->registerForRemoteNotificationTypes(kNotificationOptionsAll);
}

void PushManager::checkNotificationSettings() {
  std::weak_ptr<PushManager> weak = weak_from_this();
  host_->notifications->getNotificationSettings([weak](AuthorizationStatus status) {
    auto self = weak.lock();
    if (!self) return;
    switch (status) {
      case AuthorizationStatus::NotDetermined:
        logging::trace(kNotDeterminedLine);
        self->sendServerLog(std::string(kNotDeterminedReport), 0);
        break;
      case AuthorizationStatus::Denied:
        logging::trace(kDeniedLine);
        self->sendServerLog(std::string(kDeniedReport), 0);
        break;
      case AuthorizationStatus::Authorized:
        logging::trace(kAuthorizedLine);
        break;
    }
  });
}

void PushManager::finishTokenRequest(const std::optional<std::string>& token,
                                     const std::optional<ErrorInfo>& error) {
  TokenHandler pending;
  {
    std::lock_guard lock(mutex_);
    pending = std::move(pendingRegistration_);
    pendingRegistration_ = nullptr;
  }
  if (pending) pending(token, error);
}

void PushManager::applicationDidRegisterForRemoteNotificationsWithDeviceToken(const Value&,
                                                                              const Bytes& token) {
  if (logging::isOn()) logging::trace(logging::format(kTokenLine, {describe(Value(token))}));
  auto text = stringFromTokenData(token);
  if (!text) {
    // Nothing to store or report; whoever waits keeps waiting for a real one.
    logging::trace(kEmptyTokenLine);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    platformToken_ = *text;
  }
  finishTokenRequest(text, std::nullopt);
  auto target = delegate();
  if (target && target->managerDidRegisterForRemoteNotifications) {
    target->managerDidRegisterForRemoteNotifications(*this,
                                                     Dictionary{{std::string(kTokenKey), *text}});
  }
}

void PushManager::applicationDidFailToRegisterForRemoteNotificationsWithError(
    const Value&, const ErrorInfo& error) {
  const std::string line = logging::format(kTokenFailureLine, {describe(error)});
  logging::trace(line);
  sendServerLog(line, 0);
  finishTokenRequest(std::nullopt, error);
  auto target = delegate();
  if (target && target->didFailToRegisterForRemoteNotificationsWithError) {
    target->didFailToRegisterForRemoteNotificationsWithError(*this, error);
  }
}

void PushManager::applicationDidRegisterUserNotificationSettings(const Value&,
                                                                 std::int64_t settings) {
  logging::trace(logging::format(kSettingsLine, {std::to_string(settings)}));
}

void PushManager::getServiceStatus(const std::string& token, ServiceStatusHandler handler) {
  logging::trace(kServiceStatusLine);
  auto answer = [&handler](std::int64_t status, const std::optional<ErrorInfo>& error) {
    if (handler) handler(status, error);
  };
  if (refusedWithoutConsent(kServiceStatusName)) return answer(kServiceStatusFailed, gateError());
  if (auto record = info();
      record && !versionIsAbove(record->receiverVersion(), kStatusCheckVersion)) {
    return answer(kServiceStatusNothingToCheck, std::nullopt);
  }
  if (!shouldExecuteInterface()) {
    requestAccessInterface([self = shared_from_this(), token, handler](bool granted) {
      if (granted) {
        self->getServiceStatus(token, handler);
      } else if (handler) {
        handler(kServiceStatusFailed,
                libraryError(errors::kAccessInterfaceDecrypt, errors::kAccessInterfaceDecryptText));
      }
    });
    return;
  }
  auto record = info();
  const std::string stored = record ? record->pushServiceID() : std::string();
  if (stored.empty()) return answer(kServiceStatusNothingToCheck, std::nullopt);
  if (stored == token) {
    if (versionIsExactly(record->receiverVersion(), kNoRegistrationQueryVersion)) {
      return answer(kServiceStatusNotRegistered, std::nullopt);
    }
    receiver_->getRegisteredService([handler](bool registered,
                                              const std::optional<ErrorInfo>& error) {
      if (!handler) return;
      if (error) return handler(kServiceStatusFailed, error);
      handler(registered ? kServiceStatusRegistered : kServiceStatusNotRegistered, std::nullopt);
    });
    return;
  }
  // Another token: the user registration of the old one goes, whatever the
  // receiver answers.
  receiver_->unregisterUser([handler](bool, const std::optional<ErrorInfo>&) {
    if (handler) handler(kServiceStatusTokenChanged, std::nullopt);
  });
}

void PushManager::setUserNotificationDelegate() {
  if (!host_ || !host_->notifications) return;
  if (!host_->notifications->notificationCenterAvailable()) {
    logging::trace(kNoCenterLine);
    return;
  }
  logging::trace(kSetCenterDelegateLine);
  host_->notifications->setCenterDelegate(centerDelegate_);
}

}  // namespace orvo
