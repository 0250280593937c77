// What the application calls to register the device's service, attach and
// detach a user, join and leave groups: the access gate, the values kept in
// the record, the device token where the call needs one, the receiver call.
#include "manager/OperationSupport.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"

namespace orvo {
namespace {

using operations::failed;
using operations::successOnly;
using operations::textOf;

constexpr std::string_view kRegisterServiceLine = "PushManager - registerService";
constexpr std::string_view kRegisterServiceTokenLine = "PushManager - registerService token:%@";
constexpr std::string_view kUnregisterServiceLine = "PushManager - unregisterService";
constexpr std::string_view kRegisterUserLine =
    "PushManager - registerUser (clientUID:%@, clientName:%@)";
constexpr std::string_view kRegisterUserPhoneLine =
    "PushManager - registerUser (clientUID:%@, clientName:%@, phoneNumber:%@)";
constexpr std::string_view kUnregisterUserLine = "PushManager - unregisterUser";
constexpr std::string_view kServiceAndUserLine = "PushManager - registerServiceAndUser";
constexpr std::string_view kServiceAndUserInfoLine = "PushManager - registerServiceAndUser Info";
constexpr std::string_view kServiceAndUserValuesLine =
    "PushManager - registerServiceAndUser (clientUID:%@, clientName:%@)";
constexpr std::string_view kServiceAndUserPhoneLine =
    "PushManager - registerServiceAndUser (clientUID:%@, clientName:%@, phoneNumber:%@)";
constexpr std::string_view kGetRegisteredServiceLine = "PushManager - getRegisteredService)";
constexpr std::string_view kRegisterGroupLine = "PushManager - registerGroup : %@";
constexpr std::string_view kUnregisterGroupLine = "PushManager - unregisterGroup : %@";
constexpr std::string_view kNoGroupLine = "Group Sequence Number is null !";
constexpr std::string_view kTokenErrorLine = "Register Service Error: %@";
constexpr std::string_view kServiceAndUserReport = "RegisterServiceAndUser Error: %@";
constexpr std::string_view kRegisterServiceReport = "Register Service Error: %@";
constexpr std::string_view kPermissionOffCentreLine =
    "UNUserNotificationCenter - CALL requestAuthorizationWithOptions - UNAuthorizationOptionNone";
constexpr std::string_view kPermissionOffSettingsLine =
    "UIApplication - CALL registerUserNotificationSettings - UIUserNotificationTypeNone";
constexpr std::string_view kPermissionOffTypesLine =
    "UIApplication - CALL registerForRemoteNotificationTypes - UIRemoteNotificationTypeNone";

// Receivers up to this version know no combined registration.
constexpr protocol::VersionRange kServiceAndUserVersions = protocol::above("3.6");
constexpr std::string_view kServiceAndUserName = "registerServiceAndUser";
// Above this version a known token is checked before registering again.
constexpr std::string_view kServiceStatusVersion = "3.5";
constexpr std::int64_t kNoNotificationOptions = 0;
constexpr std::string_view kConsentGateName = "the call";
constexpr std::string_view kOptOutName = "unregisterService";

// The platform stops asking for notifications, by whichever form it offers.
void turnPermissionRequestOff(NotificationHost& notifications) {
  if (notifications.notificationCenterAvailable()) {
    logging::trace(kPermissionOffCentreLine);
    notifications.requestAuthorization(kNoNotificationOptions,
                                       [](bool, const std::optional<ErrorInfo>&) {});
  } else if (notifications.userNotificationSettingsAvailable()) {
    logging::trace(kPermissionOffSettingsLine);
    notifications.registerUserNotificationSettings(kNoNotificationOptions);
  } else {
    logging::trace(kPermissionOffTypesLine);
    notifications.registerForRemoteNotificationTypes(kNoNotificationOptions);
  }
}

// The caller's user values as the record keeps them: an absent one as "".
void keepUser(PushManagerInfo& record, const std::optional<std::string>& clientUID,
              const std::optional<std::string>& clientName,
              const std::optional<std::string>* phoneNumber = nullptr) {
  record.setClientUID(clientUID.value_or(std::string()));
  record.setClientName(clientName.value_or(std::string()));
  if (phoneNumber) record.setPhoneNumber(phoneNumber->value_or(std::string()));
}

}  // namespace

bool PushManager::passGate(std::function<void()> again, std::function<void()> refused) {
  if (refusedWithoutConsent(kConsentGateName)) {
    refused();
    return false;
  }
  if (shouldExecuteInterface()) return true;
  requestAccessInterface([again = std::move(again), refused = std::move(refused)](bool granted) {
    granted ? again() : refused();
  });
  return false;
}

void PushManager::registerService(const Value& caller, ResultHandler completion) {
  logging::trace(kRegisterServiceLine);
  if (!passGate([self = shared_from_this(), caller,
                 completion] { self->registerService(caller, completion); },
                failed(completion))) {
    return;
  }
  std::weak_ptr<PushManager> weak = weak_from_this();
  registerRemoteNotification([weak, caller, completion](const std::optional<std::string>& token,
                                                        const std::optional<ErrorInfo>& error) {
    auto self = weak.lock();
    if (!self || error || !token) {
      const std::string reason = error ? describe(*error) : std::string("(null)");
      operations::trace(kTokenErrorLine, reason);
      if (self) self->sendServerLog(logging::format(kRegisterServiceReport, {reason}), 0);
      if (completion) completion(false);
      return;
    }
    self->registerService(caller, *token, completion);
  });
}

void PushManager::registerService(const Value& caller, const std::string& token,
                                  ResultHandler completion) {
  operations::trace(kRegisterServiceTokenLine, token);
  if (!passGate([self = shared_from_this(), caller, token,
                 completion] { self->registerService(caller, token, completion); },
                failed(completion))) {
    return;
  }
  auto record = info();
  if (!record || !versionIsAbove(record->receiverVersion(), kServiceStatusVersion)) {
    registerServiceWithHandler(caller, token, std::move(completion));
    return;
  }
  std::weak_ptr<PushManager> weak = weak_from_this();
  getServiceStatus(token, [weak, caller, token, completion](std::int64_t status,
                                                            const std::optional<ErrorInfo>& error) {
    auto self = weak.lock();
    if (!self || error || status == kServiceStatusFailed) {
      if (completion) completion(false);
      return;
    }
    if (status == kServiceStatusRegistered) {
      if (completion) completion(true);
      self->receiver_->callAppAlive(nullptr);
      return;
    }
    self->registerServiceWithHandler(caller, token, completion);
  });
}

void PushManager::registerServiceWithHandler(const Value& caller, const std::string& token,
                                             ResultHandler completion) {
  if (!passGate([self = shared_from_this(), caller, token,
                 completion] { self->registerServiceWithHandler(caller, token, completion); },
                failed(completion))) {
    return;
  }
  auto record = info();
  record->setPushServiceID(token);
  const Date today = host_->clock ? host_->clock->startOfToday() : SystemClock().startOfToday();
  std::weak_ptr<PushManager> weak = weak_from_this();
  receiver_->registerService(
      [weak, today, completion](bool success, const std::optional<ErrorInfo>& error) {
        if (!error) {
          if (auto self = weak.lock()) {
            if (auto current = self->info()) current->setPushServiceLastDate(today);
          }
        }
        if (completion) completion(success);
      });
}

void PushManager::unregisterService(const Value& caller, ResultHandler completion) {
  logging::trace(kUnregisterServiceLine);
  // Opting out is never refused for want of consent: a registration made
  // before consent was asked for is removed all the same.
  const bool optOut = !consentGiven();
  if (optOut) {
    requestAccessInterface(nullptr);
    auto record = info();
    if (!record || record->pushServiceID().empty()) {
      refusedWithoutConsent(kOptOutName);
      if (completion) completion(false);
      return;
    }
  } else if (!passGate([self = shared_from_this(), caller,
                        completion] { self->unregisterService(caller, completion); },
                       failed(completion))) {
    return;
  }
  info()->setPushServiceLastDate(std::nullopt);
  if (host_->notifications) turnPermissionRequestOff(*host_->notifications);
  if (!optOut) return receiver_->unregisterService(successOnly(std::move(completion)));
  ++withdrawing_;
  receiver_->unregisterService([self = shared_from_this(), completion = std::move(completion)](
                                   bool success, const std::optional<ErrorInfo>&) {
    --self->withdrawing_;
    if (completion) completion(success);
  });
}

void PushManager::registerUser(const Value& caller, std::optional<std::string> clientUID,
                               std::optional<std::string> clientName, ResultHandler completion) {
  operations::trace(kRegisterUserLine, textOf(clientUID), textOf(clientName));
  if (!passGate([self = shared_from_this(), caller, clientUID, clientName,
                 completion] { self->registerUser(caller, clientUID, clientName, completion); },
                failed(completion))) {
    return;
  }
  keepUser(*info(), clientUID, clientName);
  receiver_->registerUser(successOnly(std::move(completion)));
}

void PushManager::registerUser(const Value& caller, std::optional<std::string> clientUID,
                               std::optional<std::string> clientName,
                               std::optional<std::string> phoneNumber, ResultHandler completion) {
  operations::trace(kRegisterUserPhoneLine, textOf(clientUID), textOf(clientName),
                    textOf(phoneNumber));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, clientName, phoneNumber, completion] {
            self->registerUser(caller, clientUID, clientName, phoneNumber, completion);
          },
          failed(completion))) {
    return;
  }
  keepUser(*info(), clientUID, clientName, &phoneNumber);
  receiver_->registerUser(successOnly(std::move(completion)));
}

void PushManager::unregisterUser(const Value& caller, ResultHandler completion) {
  logging::trace(kUnregisterUserLine);
  if (!passGate([self = shared_from_this(), caller,
                 completion] { self->unregisterUser(caller, completion); },
                failed(completion))) {
    return;
  }
  receiver_->unregisterUser(successOnly(std::move(completion)));
}

void PushManager::serviceAndUser(const Value& caller, Shape shape, ResultInfoHandler completion) {
  logging::trace(shape == Shape::Info ? kServiceAndUserInfoLine : kServiceAndUserLine);
  const bool withErrors = shape == Shape::Info;
  if (!passGate([self = shared_from_this(), caller, shape,
                 completion] { self->serviceAndUser(caller, shape, completion); },
                [self = shared_from_this(), completion, withErrors] {
                  completion(
                      false,
                      withErrors ? std::optional<ErrorInfo>(self->gateError()) : std::nullopt,
                      std::nullopt);
                })) {
    return;
  }
  auto record = info();
  if (!kServiceAndUserVersions.contains(record->receiverVersion())) {
    // The info shape hands its caller the error; the others only a failure.
    if (!withErrors) {
      operations::logVersionRefusal(kServiceAndUserName, kServiceAndUserVersions,
                                    record->receiverVersion());
    }
    completion(false,
               withErrors ? std::optional<ErrorInfo>(
                                libraryError(errors::kRegisterServiceAndUserVersion,
                                             errors::kRegisterServiceAndUserVersionText))
                          : std::nullopt,
               std::nullopt);
    return;
  }
  std::weak_ptr<PushManager> weak = weak_from_this();
  auto afterToken = [weak, completion](const std::optional<std::string>& token,
                                       const std::optional<ErrorInfo>& error) {
    auto self = weak.lock();
    if (!self || error || !token) {
      const std::string reason = error ? describe(*error) : std::string("(null)");
      operations::trace(kTokenErrorLine, reason);
      if (self) self->sendServerLog(logging::format(kServiceAndUserReport, {reason}), 0);
      completion(false, error, std::nullopt);
      return;
    }
    if (auto current = self->info()) current->setPushServiceID(*token);
    self->receiver_->registerServiceAndUser(
        [weak, completion](bool success, const std::optional<ErrorInfo>& error,
                           const std::optional<Dictionary>& body) {
          completion(success, error, body);
          // Reported whatever the outcome; at most once a day reaches the server.
          if (auto self = weak.lock()) self->receiver_->callAppAlive(nullptr);
        });
  };
  if (record->useGranted()) {
    registerRemoteNotification(std::move(afterToken));
  } else {
    registerRemoteNotificationWithOutGranted(std::move(afterToken));
  }
}

void PushManager::registerServiceAndUser(const Value& caller, ResultHandler completion) {
  serviceAndUser(caller, Shape::Result,
                 [completion](bool success, const std::optional<ErrorInfo>&,
                              const std::optional<Dictionary>&) {
                   if (completion) completion(success);
                 });
}

void PushManager::registerServiceAndUserWithBody(const Value& caller,
                                                 ResultBodyHandler completion) {
  serviceAndUser(caller, Shape::Body,
                 [completion](bool success, const std::optional<ErrorInfo>&,
                              const std::optional<Dictionary>& body) {
                   if (completion) completion(success, body);
                 });
}

void PushManager::registerServiceAndUserWithInfo(const Value& caller,
                                                 ResultInfoHandler completion) {
  serviceAndUser(caller, Shape::Info,
                 [completion](bool success, const std::optional<ErrorInfo>& error,
                              const std::optional<Dictionary>& body) {
                   if (completion) completion(success, error, body);
                 });
}

void PushManager::registerServiceAndUser(const Value& caller, std::optional<std::string> clientUID,
                                         std::optional<std::string> clientName,
                                         ResultHandler completion) {
  operations::trace(kServiceAndUserValuesLine, textOf(clientUID), textOf(clientName));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, clientName, completion] {
            self->registerServiceAndUser(caller, clientUID, clientName, completion);
          },
          failed(completion))) {
    return;
  }
  keepUser(*info(), clientUID, clientName);
  registerServiceAndUser(caller, std::move(completion));
}

void PushManager::registerServiceAndUserWithBody(const Value& caller,
                                                 std::optional<std::string> clientUID,
                                                 std::optional<std::string> clientName,
                                                 ResultBodyHandler completion) {
  operations::trace(kServiceAndUserValuesLine, textOf(clientUID), textOf(clientName));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, clientName, completion] {
            self->registerServiceAndUserWithBody(caller, clientUID, clientName, completion);
          },
          [completion] {
            if (completion) completion(false, std::nullopt);
          })) {
    return;
  }
  keepUser(*info(), clientUID, clientName);
  registerServiceAndUserWithBody(caller, std::move(completion));
}

void PushManager::registerServiceAndUserWithInfo(const Value& caller,
                                                 std::optional<std::string> clientUID,
                                                 std::optional<std::string> clientName,
                                                 ResultInfoHandler completion) {
  operations::trace(kServiceAndUserValuesLine, textOf(clientUID), textOf(clientName));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, clientName, completion] {
            self->registerServiceAndUserWithInfo(caller, clientUID, clientName, completion);
          },
          [self = shared_from_this(), completion] {
            if (completion) completion(false, self->gateError(), std::nullopt);
          })) {
    return;
  }
  keepUser(*info(), clientUID, clientName);
  registerServiceAndUserWithInfo(caller, std::move(completion));
}

void PushManager::registerServiceAndUser(const Value& caller, std::optional<std::string> clientUID,
                                         std::optional<std::string> clientName,
                                         std::optional<std::string> phoneNumber,
                                         ResultHandler completion) {
  operations::trace(kServiceAndUserPhoneLine, textOf(clientUID), textOf(clientName),
                    textOf(phoneNumber));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, clientName, phoneNumber, completion] {
            self->registerServiceAndUser(caller, clientUID, clientName, phoneNumber, completion);
          },
          failed(completion))) {
    return;
  }
  keepUser(*info(), clientUID, clientName, &phoneNumber);
  registerServiceAndUser(caller, std::move(completion));
}

void PushManager::getRegisteredService(const Value& caller, RegisteredHandler completion) {
  logging::trace(kGetRegisteredServiceLine);
  if (!passGate([self = shared_from_this(), caller,
                 completion] { self->getRegisteredService(caller, completion); },
                [self = shared_from_this(), completion] {
                  if (!completion) return;
                  if (self->consentGiven()) return completion(false, std::nullopt);
                  completion(false, self->gateError());
                })) {
    return;
  }
  receiver_->getRegisteredServiceFromApp(
      [completion](bool registered, const std::optional<ErrorInfo>& error) {
        if (completion) completion(registered, error);
      });
}

void PushManager::registerGroup(const Value& caller, std::optional<std::string> groupSequenceNumber,
                                ResultHandler completion) {
  if (!groupSequenceNumber || groupSequenceNumber->empty()) {
    logging::trace(kNoGroupLine);
    if (completion) completion(false);
    return;
  }
  operations::trace(kRegisterGroupLine, *groupSequenceNumber);
  if (!passGate([self = shared_from_this(), caller, groupSequenceNumber,
                 completion] { self->registerGroup(caller, groupSequenceNumber, completion); },
                failed(completion))) {
    return;
  }
  info()->setGroupSequenceNumber(groupSequenceNumber);
  receiver_->registerGroup(successOnly(std::move(completion)));
}

void PushManager::unregisterGroup(const Value& caller,
                                  std::optional<std::string> groupSequenceNumber,
                                  ResultHandler completion) {
  if (!groupSequenceNumber || groupSequenceNumber->empty()) {
    logging::trace(kNoGroupLine);
    if (completion) completion(false);
    return;
  }
  operations::trace(kUnregisterGroupLine, *groupSequenceNumber);
  if (!passGate([self = shared_from_this(), caller, groupSequenceNumber,
                 completion] { self->unregisterGroup(caller, groupSequenceNumber, completion); },
                failed(completion))) {
    return;
  }
  info()->setGroupSequenceNumber(groupSequenceNumber);
  std::weak_ptr<PushManager> weak = weak_from_this();
  receiver_->unregisterGroup([weak, completion](bool success, const std::optional<ErrorInfo>&) {
    if (success) {
      if (auto self = weak.lock()) {
        if (auto current = self->info()) current->setGroupSequenceNumber(std::nullopt);
      }
    }
    if (completion) completion(success);
  });
}

}  // namespace orvo
