// Registering the device's push service, asking whether it is registered,
// reporting once a day that the application is alive, and removing the
// registration.
#include <string>

#include "orvo/PushErrors.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"
#include "protocol/Completions.h"
#include "protocol/ReceiverParameters.h"
#include "transport/PushNetworkManager.h"

namespace orvo {
namespace {

namespace keys = receiver_keys;
using protocol::accessError;
using protocol::failWith;
using protocol::plainResult;

constexpr std::string_view kLegacyVersion = "3.0";
constexpr std::string_view kExtendedVersion = "4.0";
constexpr std::string_view kRegisteredServiceVersion = "3.5";

constexpr std::string_view kPolicyUser = "user";
constexpr std::string_view kPolicyDevice = "device";

constexpr std::string_view kIsRegisteredKey = "ISREGISTERED";
constexpr std::string_view kNotRegistered = "N";
constexpr std::string_view kRegistered = "Y";
constexpr std::string_view kClientChanged = "C";

constexpr std::string_view kRegisterServiceError = "Register Service Error: %@";
constexpr std::string_view kGetRegisteredServiceError = "Get Registered Service Error: %@";
constexpr std::string_view kGetRegisteredServiceFromAppError =
    "Get Registered Service FromApp Error: %@";
constexpr std::string_view kCallAppAliveError = "Call AppAlive Error: %@";
constexpr std::string_view kUnregisterServiceError = "Unregister Service Error: %@";
constexpr std::string_view kNotRegisteredLine = "Register Service";
constexpr std::string_view kClientChangedLine =
    "ClientID is changed in the XELT Server, so you need to register a user with %@";

Dictionary currentKeySet(const PushManagerInfo& info, std::string_view authKey) {
  return keys::parametersFor(
      info,
      {keys::kAppID, keys::kClientUID, keys::kDeviceID, keys::kDeviceType, keys::kPushServiceType,
       keys::kPushServiceID, keys::kPhoneNumber, keys::kCallbackServiceID, keys::kAuthKey},
      authKey);
}

Dictionary extendedKeySet(const PushManagerInfo& info, std::string_view authKey) {
  return keys::parametersFor(
      info,
      {keys::kAppID, keys::kClientUID, keys::kDeviceID, keys::kDeviceType, keys::kPushServiceType,
       keys::kPushServiceID, keys::kPhoneNumber, keys::kCallbackServiceID, keys::kAuthKey,
       keys::kDeviceModel, keys::kOsVersion, keys::kAppVersion, keys::kPushMode},
      authKey);
}

Dictionary legacyKeySet(const PushManagerInfo& info) {
  return keys::parametersFor(
      info,
      {keys::kAppID, keys::kCustomerCode, keys::kClientUID, keys::kLegacyDeviceID,
       keys::kLegacyDeviceType, keys::kLegacyPushServiceType, keys::kPushServiceID,
       keys::kLegacyCallbackServiceID},
      {});
}

// The legacy set of unregistration has no callback service ID.
Dictionary legacyUnregisterKeySet(const PushManagerInfo& info) {
  return keys::parametersFor(
      info,
      {keys::kAppID, keys::kCustomerCode, keys::kClientUID, keys::kLegacyDeviceID,
       keys::kLegacyDeviceType, keys::kLegacyPushServiceType, keys::kPushServiceID},
      {});
}

Date startOfToday(const std::shared_ptr<const Host>& host) {
  if (host && host->clock) return host->clock->startOfToday();
  return SystemClock().startOfToday();
}

}  // namespace

void ReceiverProtocol::registerService(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  authorized(
      info, kRegisterServiceError, failWith(completion),
      [completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& record, const std::string& authKey) {
        const std::string receiver = record->receiverVersion();
        Dictionary parameters;
        if (versionIsExactly(receiver, kLegacyVersion)) {
          parameters = legacyKeySet(*record);
        } else if (versionIsAtLeast(receiver, kExtendedVersion)) {
          parameters = extendedKeySet(*record, authKey);
        } else {
          parameters = currentKeySet(*record, authKey);
        }
        self->sendForm(endpoints::kRegisterService, parameters, plainResult(completion));
      });
}

void ReceiverProtocol::getRegisteredService(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  if (!versionIsAbove(info->receiverVersion(), kRegisteredServiceVersion)) {
    ErrorInfo error =
        libraryError(errors::kRegisteredServiceVersion, errors::kRegisteredServiceVersionText);
    logLine(kGetRegisteredServiceError, {error.description});
    if (completion) completion(false, error);
    return;
  }
  const Date today = startOfToday(host_);
  if (info->policy() == kPolicyUser && !(info->pushServiceLastDate() < today)) {
    if (completion) completion(true, std::nullopt);
    return;
  }
  authorized(info, kGetRegisteredServiceError, failWith(completion),
             [today, completion](const std::shared_ptr<ReceiverProtocol>& self,
                                 const std::shared_ptr<PushManagerInfo>& asked,
                                 const std::string& authKey) {
               self->sendForm(
                   endpoints::kGetService, currentKeySet(*asked, authKey),
                   [self, asked, today, completion](const std::optional<Dictionary>& body,
                                                    const std::optional<ErrorInfo>& error) {
                     if (error) {
                       self->logLine(kGetRegisteredServiceError, {error->description});
                       if (completion) completion(false, error);
                       return;
                     }
                     auto record = self->currentInfo();
                     if (!record) record = asked;
                     const Value state = body ? body->get(kIsRegisteredKey) : Value();
                     const std::string* answer = state.asString();
                     if (answer && *answer == kNotRegistered) {
                       if (record->policy() == kPolicyDevice) {
                         record->setClientUID(std::string(keys::kGuest));
                         record->setClientName(std::string(keys::kGuest));
                       }
                       self->logLine(kNotRegisteredLine);
                       if (completion) completion(false, std::nullopt);
                       return;
                     }
                     if (answer && *answer == kClientChanged) {
                       self->logLine(kClientChangedLine, {record->clientUID()});
                     }
                     record->setPushServiceLastDate(today);
                     if (completion) completion(true, std::nullopt);
                   });
             });
}

void ReceiverProtocol::getRegisteredServiceFromApp(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  if (!versionIsAbove(info->receiverVersion(), kRegisteredServiceVersion)) {
    ErrorInfo error =
        libraryError(errors::kRegisteredServiceVersion, errors::kRegisteredServiceVersionText);
    logLine(kGetRegisteredServiceFromAppError, {error.description});
    if (completion) completion(false, error);
    return;
  }
  authorized(
      info, kGetRegisteredServiceFromAppError, failWith(completion),
      [completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& record, const std::string& authKey) {
        self->sendForm(endpoints::kGetService, currentKeySet(*record, authKey),
                       [self, completion](const std::optional<Dictionary>& body,
                                          const std::optional<ErrorInfo>& error) {
                         if (error) {
                           self->logLine(kGetRegisteredServiceFromAppError, {error->description});
                           if (completion) completion(false, error);
                           return;
                         }
                         const Value state = body ? body->get(kIsRegisteredKey) : Value();
                         const std::string* answer = state.asString();
                         if (completion) {
                           completion(answer && *answer == kRegistered, std::nullopt);
                         }
                       });
      });
}

void ReceiverProtocol::callAppAlive(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  const Date today = startOfToday(host_);
  if (auto last = info->appAliveLastDate(); last && !(*last < today)) {
    if (completion) completion(true, std::nullopt);
    return;
  }
  authorized(info, kCallAppAliveError, failWith(completion),
             [today, completion](const std::shared_ptr<ReceiverProtocol>& self,
                                 const std::shared_ptr<PushManagerInfo>& asked,
                                 const std::string& authKey) {
               self->sendForm(
                   endpoints::kAppAlive, currentKeySet(*asked, authKey),
                   [self, asked, today, completion](const std::optional<Dictionary>&,
                                                    const std::optional<ErrorInfo>& error) {
                     if (error) {
                       if (completion) completion(false, error);
                       return;
                     }
                     auto record = self->currentInfo();
                     (record ? record : asked)->setAppAliveLastDate(today);
                     if (completion) completion(true, std::nullopt);
                   });
             });
}

void ReceiverProtocol::unregisterService(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  authorized(
      info->clientUID(), info->pushServiceID(), info, kUnregisterServiceError, failWith(completion),
      [completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& record, const std::string& authKey) {
        Dictionary parameters;
        if (versionIsExactly(record->receiverVersion(), kLegacyVersion)) {
          parameters = legacyUnregisterKeySet(*record);
        } else {
          parameters = currentKeySet(*record, authKey);
          if (record->clientUID().empty()) {
            parameters.set(std::string(keys::kClientUID), std::string(keys::kGuest));
          }
        }
        self->sendForm(endpoints::kDeleteService, parameters, plainResult(completion));
      });
}

}  // namespace orvo
