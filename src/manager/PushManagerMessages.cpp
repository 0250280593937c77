// The acknowledgement, read, badge and send operations the application calls:
// each writes its line, passes the access gate (running again once it opens),
// and hands the receiver's outcome on as a success flag.
#include "manager/OperationSupport.h"
#include "orvo/PushManager.h"
#include "orvo/ReceiverProtocol.h"

namespace orvo {
namespace {

using operations::failed;
using operations::successOnly;
using operations::textOf;
using operations::trace;

constexpr std::string_view kFeedbackKeyLine =
    "PushManager - feedback (messageUniqueKey:%@, seqNo:%@)";
constexpr std::string_view kFeedbackNotificationLine = "PushManager - feedback (notification:%@)";
constexpr std::string_view kReadKeyLine = "PushManager - read (messageUniqueKey:%@, seqNo:%@)";
constexpr std::string_view kReadNotificationLine = "PushManager - read (notification:%@)";
constexpr std::string_view kReadOptionLine = "PushManager - read (notification:%@, badgeOption:%@)";
constexpr std::string_view kReadBadgeLine =
    "PushManager - read (notification:%@, badgeOption:%@, badge:%@)";
constexpr std::string_view kReadSeqNoLine = "PushManager - read (seqNo:%@, sender:%@, dbIn:%@)";
constexpr std::string_view kReadSeqNoBadgeLine =
    "PushManager - read (seqNo:%@, sender:%@, dbIn:%@, badgeOption:%@, badge:%@)";
constexpr std::string_view kUpdateLine = "PushManager - update (badge:%@)";
constexpr std::string_view kSendBadgeLine =
    "PushManager - send (clientUID:%@, message:%@, badgeNo:%@, serviceCode:%@, ext:%@)";
constexpr std::string_view kSendClientLine =
    "PushManager - send (clientUID:%@, message:%@, serviceCode:%@, ext:%@)";
constexpr std::string_view kSendOwnLine = "PushManager - send (message:%@, serviceCode:%@, ext:%@)";
constexpr std::string_view kSendReservedLine =
    "PushManager - send (clientUID:%@, message:%@, serviceCode:%@, reserveDate:%@, ext:%@)";
constexpr std::string_view kFeedbackKeyRefusedLine =
    "this selector is declicated. please execute "
    "selector(feedback:clientUID:notification:completionHandler:) of manager";
constexpr std::string_view kReadKeyRefusedLine =
    "this selector is declicated. please execute "
    "selector(read:clientUID:notification:completionHandler:) of manager";

// Above this receiver version the message-key forms refuse themselves.
constexpr protocol::VersionRange kMessageKeyVersions = protocol::notAbove("3.5");
constexpr std::string_view kFeedbackKeyName = "feedback by message key";
constexpr std::string_view kReadKeyName = "read by message key";

// The outbox's lanes: an acknowledgement and the read of the same message
// keep their order, so they share one.
constexpr std::string_view kMessageLane = "message";
constexpr std::string_view kBadgeLane = "badge";

// What an outbox entry carries; an absent text stays absent.
Dictionary entry(std::initializer_list<std::pair<std::string_view, Value>> values) {
  Dictionary arguments;
  for (const auto& [key, value] : values) {
    if (!value.isNull()) arguments.set(std::string(key), value);
  }
  return arguments;
}

Value text(const std::optional<std::string>& value) { return value ? Value(*value) : Value(); }

}  // namespace

void PushManager::feedback(const Value& caller, std::optional<std::string> messageUniqueKey,
                           std::optional<std::string> seqNo, ResultHandler completion) {
  trace(kFeedbackKeyLine, textOf(messageUniqueKey), textOf(seqNo));
  if (auto record = info(); record && !kMessageKeyVersions.contains(record->receiverVersion())) {
    logging::trace(kFeedbackKeyRefusedLine);
    operations::logVersionRefusal(kFeedbackKeyName, kMessageKeyVersions, record->receiverVersion());
    if (completion) completion(false);
    return;
  }
  if (!passGate([self = shared_from_this(), caller, messageUniqueKey, seqNo,
                 completion] { self->feedback(caller, messageUniqueKey, seqNo, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "feedbackKey",
            entry({{"messageUniqueKey", text(messageUniqueKey)}, {"seqNo", text(seqNo)}}),
            completion)) {
    return;
  }
  receiver_->feedback(successOnly(std::move(completion)), std::move(messageUniqueKey),
                      std::move(seqNo));
}

void PushManager::feedback(const Value& caller, const Dictionary& notification,
                           ResultHandler completion) {
  if (logging::isOn()) trace(kFeedbackNotificationLine, describe(notification));
  if (!passGate([self = shared_from_this(), caller, notification,
                 completion] { self->feedback(caller, notification, completion); },
                failed(completion)))
    return;
  if (queue(kMessageLane, "feedback", entry({{"payload", notification}}), completion)) return;
  receiver_->feedback(successOnly(std::move(completion)), notification);
}

void PushManager::feedback(const Value& caller, const Dictionary& notification,
                           std::optional<std::string> clientUID, std::optional<std::string> psID,
                           ResultHandler completion) {
  if (logging::isOn()) trace(kFeedbackNotificationLine, describe(notification));
  if (!passGate([self = shared_from_this(), caller, notification, clientUID, psID,
                 completion] { self->feedback(caller, notification, clientUID, psID, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "feedbackFor",
            entry({{"payload", notification},
                   {"clientUID", clientUID.value_or(std::string())},
                   {"psID", psID.value_or(std::string())}}),
            completion)) {
    return;
  }
  receiver_->feedback(successOnly(std::move(completion)), clientUID.value_or(std::string()),
                      psID.value_or(std::string()), notification);
}

void PushManager::feedbackEx(const Value& caller, std::optional<std::string> clientUID,
                             std::optional<std::string> psID, ResultHandler completion) {
  if (logging::isOn()) trace(kFeedbackNotificationLine, describe(caller));
  if (!passGate([self = shared_from_this(), caller, clientUID, psID,
                 completion] { self->feedbackEx(caller, clientUID, psID, completion); },
                failed(completion))) {
    return;
  }
  const Dictionary* payload = caller.asDictionary();
  if (queue(kMessageLane, "feedbackFor",
            entry({{"payload", payload ? *payload : Dictionary{}},
                   {"clientUID", clientUID.value_or(std::string())},
                   {"psID", psID.value_or(std::string())}}),
            completion)) {
    return;
  }
  receiver_->feedback(successOnly(std::move(completion)), clientUID.value_or(std::string()),
                      psID.value_or(std::string()), payload ? *payload : Dictionary{});
}

void PushManager::read(const Value& caller, std::optional<std::string> messageUniqueKey,
                       std::optional<std::string> seqNo, ResultHandler completion) {
  trace(kReadKeyLine, textOf(messageUniqueKey), textOf(seqNo));
  if (auto record = info(); record && !kMessageKeyVersions.contains(record->receiverVersion())) {
    logging::trace(kReadKeyRefusedLine);
    operations::logVersionRefusal(kReadKeyName, kMessageKeyVersions, record->receiverVersion());
    if (completion) completion(false);
    return;
  }
  if (!passGate([self = shared_from_this(), caller, messageUniqueKey, seqNo,
                 completion] { self->read(caller, messageUniqueKey, seqNo, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "readKey",
            entry({{"messageUniqueKey", text(messageUniqueKey)}, {"seqNo", text(seqNo)}}),
            completion)) {
    return;
  }
  receiver_->read(successOnly(std::move(completion)), std::move(messageUniqueKey),
                  std::move(seqNo));
}

void PushManager::read(const Value& caller, const Dictionary& notification,
                       ResultHandler completion) {
  if (logging::isOn()) trace(kReadNotificationLine, describe(notification));
  if (!passGate([self = shared_from_this(), caller, notification,
                 completion] { self->read(caller, notification, completion); },
                failed(completion)))
    return;
  if (queue(kMessageLane, "read", entry({{"payload", notification}}), completion)) return;
  receiver_->read(successOnly(std::move(completion)), notification);
}

void PushManager::read(const Value& caller, const Dictionary& notification,
                       std::int64_t badgeOption, ResultHandler completion) {
  if (logging::isOn()) {
    trace(kReadOptionLine, describe(notification), std::to_string(badgeOption));
  }
  if (!passGate([self = shared_from_this(), caller, notification, badgeOption,
                 completion] { self->read(caller, notification, badgeOption, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "readBadge",
            entry({{"payload", notification},
                   {"badgeOption", badgeOption},
                   {"badge", Value(badgeOption)}}),
            completion)) {
    return;
  }
  receiver_->read(successOnly(std::move(completion)), notification, badgeOption,
                  Value(badgeOption));
}

void PushManager::read(const Value& caller, const Dictionary& notification,
                       std::int64_t badgeOption, const Value& badge, ResultHandler completion) {
  if (logging::isOn()) {
    trace(kReadBadgeLine, describe(notification), std::to_string(badgeOption), describe(badge));
  }
  if (!passGate([self = shared_from_this(), caller, notification, badgeOption, badge,
                 completion] { self->read(caller, notification, badgeOption, badge, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "readBadge",
            entry({{"payload", notification}, {"badgeOption", badgeOption}, {"badge", badge}}),
            completion)) {
    return;
  }
  receiver_->read(successOnly(std::move(completion)), notification, badgeOption, badge);
}

void PushManager::read(const Value& caller, std::optional<std::string> seqNo,
                       std::optional<std::string> sender, std::optional<std::string> dbIn,
                       ResultHandler completion) {
  trace(kReadSeqNoLine, textOf(seqNo), textOf(sender), textOf(dbIn));
  if (!passGate([self = shared_from_this(), caller, seqNo, sender, dbIn,
                 completion] { self->read(caller, seqNo, sender, dbIn, completion); },
                failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "readSeqNo",
            entry({{"seqNo", text(seqNo)}, {"sender", text(sender)}, {"dbIn", text(dbIn)}}),
            completion)) {
    return;
  }
  receiver_->read(successOnly(std::move(completion)), std::move(seqNo), std::move(sender),
                  std::move(dbIn));
}

void PushManager::read(const Value& caller, std::optional<std::string> seqNo,
                       std::optional<std::string> sender, std::optional<std::string> dbIn,
                       std::int64_t badgeOption, const Value& badge, ResultHandler completion) {
  if (logging::isOn()) {
    trace(kReadSeqNoBadgeLine, textOf(seqNo), textOf(sender), textOf(dbIn),
          std::to_string(badgeOption), describe(badge));
  }
  if (!passGate(
          [self = shared_from_this(), caller, seqNo, sender, dbIn, badgeOption, badge, completion] {
            self->read(caller, seqNo, sender, dbIn, badgeOption, badge, completion);
          },
          failed(completion))) {
    return;
  }
  if (queue(kMessageLane, "readSeqNoBadge",
            entry({{"seqNo", text(seqNo)},
                   {"sender", text(sender)},
                   {"dbIn", text(dbIn)},
                   {"badgeOption", badgeOption},
                   {"badge", badge}}),
            completion)) {
    return;
  }
  receiver_->read(successOnly(std::move(completion)), std::move(seqNo), std::move(sender),
                  std::move(dbIn), badgeOption, badge);
}

void PushManager::update(const Value& caller, const Value& badge, ResultHandler completion) {
  if (logging::isOn()) trace(kUpdateLine, describe(badge));
  if (!passGate([self = shared_from_this(), caller, badge,
                 completion] { self->update(caller, badge, completion); },
                failed(completion)))
    return;
  if (queue(kBadgeLane, "update", entry({{"badge", badge}}), completion)) return;
  receiver_->update(successOnly(std::move(completion)), badge);
}

void PushManager::send(const Value& caller, std::optional<std::string> clientUID,
                       std::optional<std::string> message, const Value& badgeNo,
                       std::optional<std::string> serviceCode, std::optional<std::string> ext,
                       ResultHandler completion) {
  if (logging::isOn()) {
    trace(kSendBadgeLine, textOf(clientUID), textOf(message), describe(badgeNo),
          textOf(serviceCode), textOf(ext));
  }
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, message, badgeNo, serviceCode, ext,
           completion] {
            self->send(caller, clientUID, message, badgeNo, serviceCode, ext, completion);
          },
          failed(completion))) {
    return;
  }
  receiver_->send(successOnly(std::move(completion)), std::move(clientUID), std::move(message),
                  badgeNo, std::move(serviceCode), std::move(ext));
}

void PushManager::send(const Value& caller, std::optional<std::string> clientUID,
                       std::optional<std::string> message, std::optional<std::string> serviceCode,
                       std::optional<std::string> ext, ResultHandler completion) {
  trace(kSendClientLine, textOf(clientUID), textOf(message), textOf(serviceCode), textOf(ext));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, message, serviceCode, ext, completion] {
            self->send(caller, clientUID, message, serviceCode, ext, completion);
          },
          failed(completion))) {
    return;
  }
  receiver_->send(successOnly(std::move(completion)), std::move(clientUID), std::move(message),
                  std::move(serviceCode), std::move(ext));
}

void PushManager::send(const Value& caller, std::optional<std::string> message,
                       std::optional<std::string> serviceCode, std::optional<std::string> ext,
                       ResultHandler completion) {
  trace(kSendOwnLine, textOf(message), textOf(serviceCode), textOf(ext));
  if (!passGate([self = shared_from_this(), caller, message, serviceCode, ext,
                 completion] { self->send(caller, message, serviceCode, ext, completion); },
                failed(completion))) {
    return;
  }
  receiver_->send(successOnly(std::move(completion)), std::move(message), std::move(serviceCode),
                  std::move(ext));
}

void PushManager::sendWithReserveDate(const Value& caller, std::optional<std::string> clientUID,
                                      std::optional<std::string> message,
                                      std::optional<std::string> serviceCode,
                                      std::optional<std::string> reserveDate,
                                      std::optional<std::string> ext,
                                      ResultBodyHandler completion) {
  trace(kSendReservedLine, textOf(clientUID), textOf(message), textOf(serviceCode),
        textOf(reserveDate), textOf(ext));
  if (!passGate(
          [self = shared_from_this(), caller, clientUID, message, serviceCode, reserveDate, ext,
           completion] {
            self->sendWithReserveDate(caller, clientUID, message, serviceCode, reserveDate, ext,
                                      completion);
          },
          [completion] {
            if (completion) completion(false, std::nullopt);
          })) {
    return;
  }
  receiver_->send(
      [completion](bool success, const std::optional<ErrorInfo>&,
                   const std::optional<Dictionary>& body) {
        if (completion) completion(success, body);
      },
      std::move(clientUID), std::move(message), std::move(serviceCode), std::move(reserveDate),
      std::move(ext));
}

}  // namespace orvo
