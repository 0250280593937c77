// Attaching a user to the device's registration and detaching it, the user's
// groups, and service and user registered in one exchange.
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

constexpr std::int64_t kAuthKeyRefused = 40100;

constexpr std::string_view kRegisterServiceAndUserVersion = "3.6";
constexpr std::string_view kExtendedVersion = "4.0";
constexpr std::string_view kUserLegacyVersion = "3.0";
constexpr std::string_view kUserCurrentVersion = "3.5";
constexpr std::string_view kUnregisterUserVersion = "3.6";

// What a user reset leaves in the record.
constexpr std::string_view kNoPhoneNumber = "00000000000";

constexpr std::string_view kRegisterServiceAndUserError = "Register Service and User Error: %@";
constexpr std::string_view kRegisterUserError = "Register User Error: %@";
constexpr std::string_view kUnregisterUserError = "Unregister User Error: %@";
constexpr std::string_view kRegisterGroupError = "Register Group Error: %@";
constexpr std::string_view kUnregisterGroupError = "Unregister Group Error: %@";
constexpr std::string_view kAlreadyUnregistered = "This is already unregisterd user";

bool isGuest(const PushManagerInfo& info) { return info.clientUID() == keys::kGuest; }

Dictionary groupKeySet(const PushManagerInfo& info, std::string_view authKey) {
  return keys::parametersFor(
      info, {keys::kPushServiceID, keys::kClientUID, keys::kGroupSequence, keys::kAuthKey},
      authKey);
}

}  // namespace

void ReceiverProtocol::registerServiceAndUser(ReceiverBodyHandler completion) {
  registerServiceAndUserAttempt(std::move(completion), 1);
}

void ReceiverProtocol::registerServiceAndUserAttempt(ReceiverBodyHandler completion, int attempt) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError(), std::nullopt);
    return;
  }
  if (!versionIsAbove(info->receiverVersion(), kRegisterServiceAndUserVersion)) {
    ErrorInfo error = libraryError(errors::kRegisterServiceAndUserVersion,
                                   errors::kRegisterServiceAndUserVersionText);
    logAlways(kRegisterServiceAndUserError, {error.description});
    if (completion) completion(false, error, std::nullopt);
    return;
  }
  authorized(info, kRegisterServiceAndUserError, failWith(completion),
             [attempt, completion](const std::shared_ptr<ReceiverProtocol>& self,
                                   const std::shared_ptr<PushManagerInfo>& asked,
                                   const std::string& authKey) {
               Dictionary parameters;
               if (versionIsAtLeast(asked->receiverVersion(), kExtendedVersion)) {
                 parameters = keys::parametersFor(
                     *asked,
                     {keys::kPushServiceType, keys::kAppID, keys::kDeviceID, keys::kDeviceType,
                      keys::kPushServiceID, keys::kClientUID, keys::kClientName, keys::kPhoneNumber,
                      keys::kDeviceModel, keys::kOsVersion, keys::kAppVersion, keys::kPushMode,
                      keys::kAuthKey},
                     authKey);
               } else {
                 parameters =
                     keys::parametersFor(*asked,
                                         {keys::kPushServiceType, keys::kAppID, keys::kDeviceID,
                                          keys::kDeviceType, keys::kPushServiceID, keys::kClientUID,
                                          keys::kClientName, keys::kPhoneNumber, keys::kAuthKey},
                                         authKey);
               }
               self->sendForm(
                   endpoints::kRegisterServiceAndUser, parameters,
                   [self, asked, attempt, completion](const std::optional<Dictionary>& body,
                                                      const std::optional<ErrorInfo>& error) {
                     if (!error) {
                       if (completion) completion(true, std::nullopt, body.value_or(Dictionary{}));
                       return;
                     }
                     auto record = self->currentInfo();
                     if (!record) record = asked;
                     if (error->code == kAuthKeyRefused) {
                       record->setAuthKey(std::nullopt);
                       // Each attempt asks a fresh key; a server that keeps refusing
                       // it ends the repetition with its last answer.
                       if (attempt < kMaxRegisterServiceAndUserAttempts) {
                         self->registerServiceAndUserAttempt(completion, attempt + 1);
                         return;
                       }
                     }
                     record->setPushServiceLastDate(std::nullopt);
                     if (completion) completion(false, error, std::nullopt);
                   });
             });
}

void ReceiverProtocol::registerUser(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  authorized(
      info, kRegisterUserError, failWith(completion),
      [completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& asked, const std::string& authKey) {
        const std::string receiver = asked->receiverVersion();
        Dictionary parameters;
        if (versionIsExactly(receiver, kUserLegacyVersion)) {
          parameters = keys::parametersFor(
              *asked, {keys::kClientUID, keys::kCustomerCode, keys::kUserName, keys::kUserPhone},
              authKey);
        } else if (versionIsAbove(receiver, kUserCurrentVersion)) {
          parameters = keys::parametersFor(
              *asked,
              {keys::kPushServiceType, keys::kAppID, keys::kDeviceID, keys::kPushServiceID,
               keys::kClientUID, keys::kClientName, keys::kPhoneNumber, keys::kAuthKey},
              authKey);
        } else {
          parameters = keys::parametersFor(
              *asked, {keys::kClientUID, keys::kPushServiceID, keys::kClientName, keys::kAuthKey},
              authKey);
        }
        self->sendForm(endpoints::kRegisterUser, parameters,
                       [self, asked, completion](const std::optional<Dictionary>&,
                                                 const std::optional<ErrorInfo>& error) {
                         if (!error) {
                           if (completion) completion(true, std::nullopt);
                           return;
                         }
                         auto record = self->currentInfo();
                         if (!record) record = asked;
                         if (error->code == kAuthKeyRefused) {
                           // The registered-service query decides what the
                           // caller hears; the user is not sent again.
                           record->setAuthKey(std::nullopt);
                           self->getRegisteredService(completion);
                           return;
                         }
                         record->setPushServiceLastDate(std::nullopt);
                         if (completion) completion(false, error);
                       });
      });
}

void ReceiverProtocol::unregisterUser(ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  if (!versionIsAtLeast(info->receiverVersion(), kUnregisterUserVersion)) {
    ErrorInfo error =
        libraryError(errors::kUnregisterUserVersion, errors::kUnregisterUserVersionText);
    logAlways(kUnregisterUserError, {error.description});
    if (completion) completion(false, error);
    return;
  }
  if (isGuest(*info)) {
    logLine(kAlreadyUnregistered);
    if (completion) completion(true, std::nullopt);
    return;
  }
  authorized(
      info, kUnregisterUserError, failWith(completion),
      [completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& record, const std::string& authKey) {
        // The reset stands whatever the server answers.
        record->setClientUID(std::string(keys::kGuest));
        record->setClientName(std::string(keys::kGuest));
        record->setPhoneNumber(std::string(kNoPhoneNumber));
        record->setGroupSequenceNumber(std::nullopt);
        Dictionary parameters = keys::parametersFor(
            *record,
            {keys::kPushServiceType, keys::kAppID, keys::kDeviceID, keys::kPushServiceID,
             keys::kClientUID, keys::kClientName, keys::kPhoneNumber, keys::kAuthKey},
            authKey);
        self->sendForm(endpoints::kDeleteUser, parameters, plainResult(completion));
      });
}

void ReceiverProtocol::registerGroup(ReceiverHandler completion) {
  changeGroup(endpoints::kRegisterUserGroup,
              libraryError(errors::kGuestRegisterGroup, errors::kGuestRegisterGroupText),
              kRegisterGroupError, std::move(completion));
}

void ReceiverProtocol::unregisterGroup(ReceiverHandler completion) {
  changeGroup(endpoints::kDeleteUserGroup,
              libraryError(errors::kGuestUnregisterGroup, errors::kGuestUnregisterGroupText),
              kUnregisterGroupError, std::move(completion));
}

void ReceiverProtocol::changeGroup(std::int64_t endpoint, const ErrorInfo& guestError,
                                   std::string_view errorLine, ReceiverHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) completion(false, accessError());
    return;
  }
  if (isGuest(*info)) {
    logLine(errorLine, {guestError.description});
    if (completion) completion(false, guestError);
    return;
  }
  authorized(info, errorLine, failWith(completion),
             [endpoint, completion](const std::shared_ptr<ReceiverProtocol>& self,
                                    const std::shared_ptr<PushManagerInfo>& record,
                                    const std::string& authKey) {
               self->sendForm(endpoint, groupKeySet(*record, authKey), plainResult(completion));
             });
}

}  // namespace orvo
