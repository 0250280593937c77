// Messages sent upstream from this device: to another user, to this device's
// own registration, or at a reserved time.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "foundation/Log.h"
#include "orvo/PushErrors.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"
#include "protocol/Completions.h"
#include "protocol/MessageParameters.h"
#include "protocol/ReceiverParameters.h"
#include "transport/PushNetworkManager.h"

namespace orvo {

namespace {

using protocol::accessError;
using protocol::failWith;
using protocol::plainResult;
using protocol::put;

// Request parameters.
using message_keys::kBadgeNo;
using message_keys::kSenderCode;
using message_keys::kStoredFlag;
using receiver_keys::kAppID;
using receiver_keys::kAuthKey;
using receiver_keys::kClientUID;
using receiver_keys::kPushServiceID;
constexpr std::string_view kParamMessage = "MESSAGE";
constexpr std::string_view kParamPriority = "PRIORITY";
constexpr std::string_view kParamExt = "EXT";
constexpr std::string_view kParamType = "TYPE";
constexpr std::string_view kParamServiceCode = "SERVICECODE";
constexpr std::string_view kParamTarget = "TARGET";
constexpr std::string_view kParamReserveDate = "RESERVEDATE";

// Fixed values.
constexpr std::string_view kPriority = "3";
constexpr std::string_view kType = "E";
constexpr std::string_view kDeviceSenderCode = "device-ios";
constexpr std::string_view kStored = "Y";
// The target names the key that identifies the recipient.
constexpr std::string_view kTargetClient = kClientUID;
constexpr std::string_view kTargetOwnRegistration = kPushServiceID;
// An absent badge still has to reach the server as a number.
constexpr std::string_view kAbsentBadge = "0";

// The oldest receiver that takes messages, and the first that takes a badge.
constexpr std::string_view kVersionSend = "3.5";
constexpr std::string_view kVersionBadge = "4.0";

constexpr std::string_view kSendErrorLine = "Send Message Error : %@";

// Why the record may not send at all: the guest first, then a receiver too
// old for messages (its version named in the text).
std::optional<ErrorInfo> refusal(const PushManagerInfo& info, bool checkVersion) {
  if (info.clientUID() == receiver_keys::kGuest) {
    return libraryError(errors::kGuestSend, errors::kGuestSendText);
  }
  if (checkVersion && !versionIsAtLeast(info.receiverVersion(), kVersionSend)) {
    return libraryError(errors::kSendUnavailable, logging::format(errors::kSendUnavailableFormat,
                                                                  {info.receiverDebugVersion()}));
  }
  return std::nullopt;
}

// No record yet, or why the record may not send.
std::optional<ErrorInfo> sendRefusal(const std::shared_ptr<PushManagerInfo>& info,
                                     bool checkVersion) {
  if (!info) return accessError();
  return refusal(*info, checkVersion);
}

// The keys every form shares; a receiver of exactly 3.5 takes the short set,
// which names the service ID only when the target is this registration.
Dictionary messageParameters(const PushManagerInfo& info, std::string_view target,
                             const std::string& clientUID,
                             const std::optional<std::string>& message,
                             const std::optional<std::string>& serviceCode,
                             const std::optional<std::string>& ext, const std::string& authKey) {
  const bool shortSet = versionIsExactly(info.receiverVersion(), kVersionSend);
  Dictionary parameters;
  put(parameters, kClientUID, clientUID);
  put(parameters, kAppID, info.applicationID());
  put(parameters, kParamMessage, message.value_or(std::string()));
  put(parameters, kParamPriority, kPriority);
  put(parameters, kParamExt, ext.value_or(std::string()));
  put(parameters, kParamServiceCode, serviceCode.value_or(std::string()));
  put(parameters, kAuthKey, authKey);
  put(parameters, kParamTarget, target);
  if (!shortSet || target == kTargetOwnRegistration) {
    put(parameters, kPushServiceID, info.pushServiceID());
  }
  if (!shortSet) {
    put(parameters, kParamType, kType);
    put(parameters, kSenderCode, kDeviceSenderCode);
  }
  return parameters;
}

}  // namespace

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message, const Value& badgeNo,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  auto info = currentInfo();
  if (auto refused = sendRefusal(info, /*checkVersion=*/false)) {
    if (info) logAlways(kSendErrorLine, {refused->description});
    return failWith(completion)(*refused);
  }
  if (!versionIsAtLeast(info->receiverVersion(), kVersionBadge)) {
    // Older receivers take no badge: the message goes without it.
    send(std::move(completion), std::move(clientUID), std::move(message), std::move(serviceCode),
         std::move(ext));
    return;
  }
  std::string badgeText = badgeNo.isNull() ? std::string(kAbsentBadge) : describe(badgeNo);
  authorized(
      info, kSendErrorLine, failWith(completion),
      [clientUID = std::move(clientUID), message = std::move(message),
       badgeText = std::move(badgeText), serviceCode = std::move(serviceCode), ext = std::move(ext),
       completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
        Dictionary parameters =
            messageParameters(*info, kTargetClient, clientUID.value_or(std::string()), message,
                              serviceCode, ext, authKey);
        put(parameters, kBadgeNo, badgeText);
        self->sendForm(endpoints::kRegisterMessage, parameters, plainResult(completion));
      });
}

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  auto info = currentInfo();
  if (auto refused = sendRefusal(info, /*checkVersion=*/true)) {
    if (info) logAlways(kSendErrorLine, {refused->description});
    return failWith(completion)(*refused);
  }
  authorized(
      info, kSendErrorLine, failWith(completion),
      [clientUID = std::move(clientUID), message = std::move(message),
       serviceCode = std::move(serviceCode), ext = std::move(ext),
       completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
        self->sendForm(endpoints::kRegisterMessage,
                       messageParameters(*info, kTargetClient, clientUID.value_or(std::string()),
                                         message, serviceCode, ext, authKey),
                       plainResult(completion));
      });
}

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  auto info = currentInfo();
  if (auto refused = sendRefusal(info, /*checkVersion=*/true)) {
    if (info) logAlways(kSendErrorLine, {refused->description});
    return failWith(completion)(*refused);
  }
  authorized(
      info, kSendErrorLine, failWith(completion),
      [message = std::move(message), serviceCode = std::move(serviceCode), ext = std::move(ext),
       completion](const std::shared_ptr<ReceiverProtocol>& self,
                   const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
        self->sendForm(endpoints::kRegisterMessage,
                       messageParameters(*info, kTargetOwnRegistration, info->clientUID(), message,
                                         serviceCode, ext, authKey),
                       plainResult(completion));
      });
}

void ReceiverProtocol::send(ReceiverBodyHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> reserveDate,
                            std::optional<std::string> ext) {
  auto info = currentInfo();
  if (auto refused = sendRefusal(info, /*checkVersion=*/true)) {
    if (info) logAlways(kSendErrorLine, {refused->description});
    return failWith(completion)(*refused);
  }
  authorized(info, kSendErrorLine, failWith(completion),
             [clientUID = std::move(clientUID), message = std::move(message),
              serviceCode = std::move(serviceCode), reserveDate = std::move(reserveDate),
              ext = std::move(ext), completion](const std::shared_ptr<ReceiverProtocol>& self,
                                                const std::shared_ptr<PushManagerInfo>& info,
                                                const std::string& authKey) {
               Dictionary parameters =
                   messageParameters(*info, kTargetClient, clientUID.value_or(std::string()),
                                     message, serviceCode, ext, authKey);
               put(parameters, kParamReserveDate, reserveDate.value_or(std::string()));
               put(parameters, kStoredFlag, kStored);
               // The body goes back as the transport delivered it, on failure too.
               self->sendForm(endpoints::kRegisterMessage, parameters,
                              [completion](const std::optional<Dictionary>& body,
                                           const std::optional<ErrorInfo>& error) {
                                if (completion) completion(!error.has_value(), error, body);
                              });
             });
}

}  // namespace orvo
