// Delivery and read acknowledgements of received messages, and the badge
// count the server keeps for this device.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orvo/PushErrors.h"
#include "orvo/PushNotification.h"
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
using receiver_keys::kAppID;
using receiver_keys::kAuthKey;
using receiver_keys::kClientUID;
using receiver_keys::kDeviceID;
using receiver_keys::kPushServiceID;
using receiver_keys::kPushServiceType;
constexpr std::string_view kParamMessageKey = "MESSAGEUNIQUEKEY";
constexpr std::string_view kParamSeqNo = "SEQNO";
constexpr std::string_view kParamSendDate = "SENDDATE";
using message_keys::kBadgeNo;
using message_keys::kSenderCode;
using message_keys::kStoredFlag;

// Receiver versions where the key sets and gates change.
constexpr std::string_view kVersionMessageKeySets = "3.5";
constexpr std::string_view kVersionSendDateSet = "3.6";
constexpr std::string_view kVersionDeviceSet = "3.9";
constexpr std::string_view kVersionSeqNoRead = "4.0";

// Log lines.
constexpr std::string_view kAlreadyFeedbackLine =
    "PushManager+API - feedback:notification: already Feedback : %@";
constexpr std::string_view kAlreadyFeedbackCustomLine =
    "PushManager+API - feedback:clientUID:psID:notification: already Feedback : %@";
constexpr std::string_view kFeedbackErrorLine = "Feedback Error : %@";
constexpr std::string_view kReadErrorLine = "Read Message Error : %@";
constexpr std::string_view kReadBadgeErrorLine = "Read Message And Update Badge Error : %@";
constexpr std::string_view kReadGateErrorLine = "read Error: %@";
constexpr std::string_view kUpdateBadgeErrorLine = "Update Badge Error : %@";

constexpr std::string_view kStoredYes = "Y";
constexpr std::string_view kStoredYesLower = "y";
constexpr std::string_view kStoredNo = "N";

constexpr std::int64_t kBadgeOptionClear = -1;
constexpr std::int64_t kBadgeOptionZero = 0;
constexpr std::int64_t kBadgeCeiling = 1000;

// The transport's answer as this family reports it: the body is not read.

bool isAlreadyAcknowledged(const Dictionary& payload) {
  const std::string* mark = payload.getString(payload_keys::kFeedback);
  return mark && *mark == payload_keys::kFeedbackDone;
}

// Integer reading of a badge: numbers truncated, a text by its leading
// digits, anything else 0.
std::int64_t integerValue(const Value& value) {
  if (const auto* i = value.asInt()) return *i;
  if (const auto* r = value.asReal()) {
    if (std::isnan(*r)) return 0;
    if (*r >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (*r <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(*r);
  }
  if (const auto* b = value.asBool()) return *b ? 1 : 0;
  if (const auto* s = value.asString()) {
    std::string_view text = *s;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n'))
      text.remove_prefix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    std::int64_t parsed = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (result.ec == std::errc::result_out_of_range) {
      return text.front() == '-' ? std::numeric_limits<std::int64_t>::min()
                                 : std::numeric_limits<std::int64_t>::max();
    }
    return result.ec == std::errc() ? parsed : 0;
  }
  return 0;
}

// The text a badge is sent as: a number in its own text form; an absent or
// non-numeric badge by its integer reading (absent: "0").
std::string badgeText(const Value& badge) {
  if (badge.isNumber()) return describe(badge);
  return std::to_string(integerValue(badge));
}

// The badge number the option asks for, or nothing when the badge is refused.
std::optional<std::string> badgeForOption(std::int64_t option, const Value& badge) {
  if (option == kBadgeOptionClear) return std::to_string(kBadgeOptionClear);
  if (option == kBadgeOptionZero) return std::to_string(kBadgeOptionZero);
  const std::int64_t count = integerValue(badge);
  if (count < 1) return std::nullopt;
  if (count >= kBadgeCeiling) return std::to_string(kBadgeCeiling);
  return badgeText(badge);
}

// What identifies the message, from the payload's "orv" entry.
struct MessageFields {
  std::string seqNo;
  std::string messageKey;
  std::string sendDate;
  std::string storedFlag;
  std::string senderCode;
  // Absent: the record's own service ID stands in.
  std::optional<std::string> serviceID;
};

const Value* orvEntry(const Dictionary* orv, std::string_view key) {
  if (!orv) return nullptr;
  const Value* value = orv->find(key);
  return value && !value->isNull() ? value : nullptr;
}

std::string textForm(const Dictionary* orv, std::string_view key, std::string fallback) {
  const Value* value = orvEntry(orv, key);
  return value ? describe(*value) : std::move(fallback);
}

// Read before the auth key is asked, so the operation carries a few texts
// rather than a copy of the whole payload.
MessageFields messageFields(const Dictionary& payload) {
  const Dictionary* orv = payload.getDictionary(payload_keys::kOrv);
  MessageFields fields;
  fields.seqNo = textForm(orv, payload_keys::kSeqNo, std::string());
  if (const Value* key = orvEntry(orv, payload_keys::kMessageUniqueKey)) {
    const std::string* text = key->asString();
    fields.messageKey = text ? *text : describe(*key);
  }
  fields.sendDate = textForm(orv, payload_keys::kSendDate, std::string());
  fields.storedFlag = textForm(orv, payload_keys::kDbIn, std::string(kStoredNo));
  fields.senderCode = textForm(orv, payload_keys::kSender, std::string());
  if (const Value* serviceID = orvEntry(orv, payload_keys::kPushServiceID)) {
    fields.serviceID = describe(*serviceID);
  }
  return fields;
}

// The parameters of the payload acknowledgements, by receiver version; with a
// badge, the newest set carries it and the record's service ID.
Dictionary payloadParameters(const PushManagerInfo& info, const MessageFields& fields,
                             const std::string& authKey,
                             const std::optional<std::string>& badge = std::nullopt) {
  const std::string receiver = info.receiverVersion();
  Dictionary parameters;
  put(parameters, kClientUID, info.clientUID());
  put(parameters, kAppID, info.applicationID());
  put(parameters, kPushServiceID, info.pushServiceID());
  put(parameters, kParamSeqNo, fields.seqNo);
  put(parameters, kAuthKey, authKey);
  if (!versionIsAbove(receiver, kVersionMessageKeySets)) {
    put(parameters, kParamMessageKey, fields.messageKey);
  } else if (versionIsExactly(receiver, kVersionSendDateSet)) {
    put(parameters, kParamMessageKey, fields.messageKey);
    put(parameters, kParamSendDate, fields.sendDate);
  } else if (!versionIsAbove(receiver, kVersionDeviceSet)) {
    put(parameters, kParamSendDate, fields.sendDate);
    put(parameters, kStoredFlag, fields.storedFlag);
  } else {
    if (badge) {
      put(parameters, kBadgeNo, *badge);
    } else {
      put(parameters, kPushServiceID, fields.serviceID ? *fields.serviceID : info.pushServiceID());
    }
    put(parameters, kParamSendDate, fields.sendDate);
    put(parameters, kStoredFlag, fields.storedFlag);
    put(parameters, kDeviceID, info.deviceUUID());
    put(parameters, kPushServiceType, info.pushServiceType());
    put(parameters, kSenderCode, fields.senderCode);
  }
  return parameters;
}

// The sequence-number read: ten keys, eleven with a badge.
Dictionary seqNoReadParameters(const PushManagerInfo& info, const std::optional<std::string>& seqNo,
                               const std::optional<std::string>& sender,
                               const std::optional<std::string>& dbIn, const std::string& authKey,
                               const std::optional<std::string>& badge) {
  const bool stored = dbIn && (*dbIn == kStoredYes || *dbIn == kStoredYesLower);
  Dictionary parameters;
  put(parameters, kClientUID, info.clientUID());
  put(parameters, kAppID, info.applicationID());
  put(parameters, kPushServiceID, info.pushServiceID());
  put(parameters, kParamSeqNo, seqNo.value_or(std::string()));
  put(parameters, kParamSendDate, std::string());
  put(parameters, kStoredFlag, std::string(stored ? kStoredYes : kStoredNo));
  put(parameters, kDeviceID, info.deviceUUID());
  put(parameters, kPushServiceType, info.pushServiceType());
  put(parameters, kAuthKey, authKey);
  put(parameters, kSenderCode, sender.value_or(std::string()));
  if (badge) put(parameters, kBadgeNo, *badge);
  return parameters;
}

// The message-key forms that only old receivers accept.
Dictionary messageKeyParameters(const PushManagerInfo& info,
                                const std::optional<std::string>& messageUniqueKey,
                                const std::optional<std::string>& seqNo,
                                const std::string& authKey) {
  Dictionary parameters;
  put(parameters, kClientUID, info.clientUID());
  put(parameters, kAppID, info.applicationID());
  put(parameters, kPushServiceID, info.pushServiceID());
  put(parameters, kParamMessageKey, messageUniqueKey.value_or(std::string()));
  put(parameters, kParamSeqNo, seqNo.value_or(std::string()));
  put(parameters, kAuthKey, authKey);
  return parameters;
}

bool isBelow(std::string_view receiver, std::string_view threshold) {
  return !versionIsAtLeast(receiver, threshold);
}

}  // namespace

void ReceiverProtocol::feedback(ReceiverHandler completion, const Dictionary& notification) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  if (isAlreadyAcknowledged(notification)) {
    logLine(kAlreadyFeedbackLine, {describe(notification.get(payload_keys::kFeedback))});
    return failWith(completion)(
        libraryError(errors::kAlreadyFeedback, errors::kAlreadyFeedbackText));
  }
  authorized(info, kFeedbackErrorLine, failWith(completion),
             [fields = messageFields(notification), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSentAck, payloadParameters(*info, fields, authKey),
                              plainResult(completion));
             });
}

void ReceiverProtocol::feedback(ReceiverHandler completion, const std::string& clientUID,
                                const std::string& psID, const Dictionary& notification) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  if (isAlreadyAcknowledged(notification)) {
    logLine(kAlreadyFeedbackCustomLine, {describe(notification.get(payload_keys::kFeedback))});
    return failWith(completion)(
        libraryError(errors::kAlreadyFeedback, errors::kAlreadyFeedbackCustomText));
  }
  authorized(clientUID, psID, info, kFeedbackErrorLine, failWith(completion),
             [clientUID, psID, fields = messageFields(notification), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               Dictionary parameters;
               put(parameters, kClientUID, clientUID);
               put(parameters, kAppID, info->applicationID());
               put(parameters, kPushServiceID, psID);
               put(parameters, kParamSeqNo, fields.seqNo);
               put(parameters, kParamSendDate, fields.sendDate);
               put(parameters, kStoredFlag, fields.storedFlag);
               put(parameters, kDeviceID, info->deviceUUID());
               put(parameters, kPushServiceType, info->pushServiceType());
               put(parameters, kAuthKey, authKey);
               put(parameters, kSenderCode, fields.senderCode);
               self->sendForm(endpoints::kSentAck, parameters, plainResult(completion));
             });
}

void ReceiverProtocol::feedback(ReceiverHandler completion,
                                std::optional<std::string> messageUniqueKey,
                                std::optional<std::string> seqNo) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  if (!isBelow(info->receiverVersion(), kVersionSendDateSet)) {
    logAlways(kFeedbackErrorLine, {errors::kFeedbackDeprecatedText});
    return failWith(completion)(
        libraryError(errors::kFeedbackDeprecated, errors::kFeedbackDeprecatedText));
  }
  authorized(info, kFeedbackErrorLine, failWith(completion),
             [messageUniqueKey = std::move(messageUniqueKey), seqNo = std::move(seqNo), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSentAck,
                              messageKeyParameters(*info, messageUniqueKey, seqNo, authKey),
                              plainResult(completion));
             });
}

void ReceiverProtocol::read(ReceiverHandler completion, const Dictionary& notification) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  authorized(info, kReadErrorLine, failWith(completion),
             [fields = messageFields(notification), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSendResult, payloadParameters(*info, fields, authKey),
                              plainResult(completion));
             });
}

void ReceiverProtocol::read(ReceiverHandler completion, const Dictionary& notification,
                            std::int64_t badgeOption, const Value& badge) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  std::optional<std::string> badgeNo = badgeForOption(badgeOption, badge);
  if (!badgeNo) {
    logLine(kReadBadgeErrorLine, {errors::kBadgeNotPositiveText});
    return failWith(completion)(
        libraryError(errors::kBadgeNotPositive, errors::kBadgeNotPositiveText));
  }
  authorized(info, kReadBadgeErrorLine, failWith(completion),
             [fields = messageFields(notification), badgeNo = std::move(badgeNo), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSendResult,
                              payloadParameters(*info, fields, authKey, badgeNo),
                              plainResult(completion));
             });
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> messageUniqueKey,
                            std::optional<std::string> seqNo) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  if (!isBelow(info->receiverVersion(), kVersionSendDateSet)) {
    logAlways(kReadErrorLine, {errors::kReadDeprecatedText});
    return failWith(completion)(libraryError(errors::kReadDeprecated, errors::kReadDeprecatedText));
  }
  authorized(info, kReadErrorLine, failWith(completion),
             [messageUniqueKey = std::move(messageUniqueKey), seqNo = std::move(seqNo), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSendResult,
                              messageKeyParameters(*info, messageUniqueKey, seqNo, authKey),
                              plainResult(completion));
             });
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> seqNo,
                            std::optional<std::string> sender, std::optional<std::string> dbIn) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  if (isBelow(info->receiverVersion(), kVersionSeqNoRead)) {
    logAlways(kReadGateErrorLine, {errors::kReadSeqNoVersionText});
    return failWith(completion)(
        libraryError(errors::kReadSeqNoVersion, errors::kReadSeqNoVersionText));
  }
  authorized(
      info, kReadErrorLine, failWith(completion),
      [seqNo = std::move(seqNo), sender = std::move(sender), dbIn = std::move(dbIn), completion](
          const std::shared_ptr<ReceiverProtocol>& self,
          const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
        self->sendForm(endpoints::kSendResult,
                       seqNoReadParameters(*info, seqNo, sender, dbIn, authKey, std::nullopt),
                       plainResult(completion));
      });
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> seqNo,
                            std::optional<std::string> sender, std::optional<std::string> dbIn,
                            std::int64_t badgeOption, const Value& badge) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  // The version refusal wins over a refused badge.
  if (isBelow(info->receiverVersion(), kVersionSeqNoRead)) {
    logAlways(kReadGateErrorLine, {errors::kReadSeqNoVersionText});
    return failWith(completion)(
        libraryError(errors::kReadSeqNoVersion, errors::kReadSeqNoVersionText));
  }
  std::optional<std::string> badgeNo = badgeForOption(badgeOption, badge);
  if (!badgeNo) {
    logLine(kReadBadgeErrorLine, {errors::kBadgeNotPositiveText});
    return failWith(completion)(
        libraryError(errors::kBadgeNotPositive, errors::kBadgeNotPositiveText));
  }
  authorized(info, kReadErrorLine, failWith(completion),
             [seqNo = std::move(seqNo), sender = std::move(sender), dbIn = std::move(dbIn),
              badgeNo = std::move(badgeNo), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               self->sendForm(endpoints::kSendResult,
                              seqNoReadParameters(*info, seqNo, sender, dbIn, authKey, badgeNo),
                              plainResult(completion));
             });
}

void ReceiverProtocol::update(ReceiverHandler completion, const Value& badge) {
  auto info = currentInfo();
  if (!info) return failWith(completion)(accessError());
  const std::int64_t count = integerValue(badge);
  if (count < 0) {
    logLine(kUpdateBadgeErrorLine, {errors::kBadgeNegativeText});
    return failWith(completion)(libraryError(errors::kBadgeNegative, errors::kBadgeNegativeText));
  }
  std::string badgeNo = count >= kBadgeCeiling ? std::to_string(kBadgeCeiling) : badgeText(badge);
  authorized(info, kUpdateBadgeErrorLine, failWith(completion),
             [badgeNo = std::move(badgeNo), completion](
                 const std::shared_ptr<ReceiverProtocol>& self,
                 const std::shared_ptr<PushManagerInfo>& info, const std::string& authKey) {
               // The server finds the device by its ID; no user or service ID is sent.
               Dictionary parameters;
               put(parameters, kAuthKey, authKey);
               put(parameters, kDeviceID, info->deviceUUID());
               put(parameters, kPushServiceType, info->pushServiceType());
               put(parameters, kAppID, info->applicationID());
               put(parameters, kBadgeNo, badgeNo);
               self->sendForm(endpoints::kInitBadgeNo, parameters, plainResult(completion));
             });
}

}  // namespace orvo
