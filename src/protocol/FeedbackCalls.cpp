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

#include "orvo/PushNotification.h"
#include "orvo/ReceiverProtocol.h"
#include "protocol/Operations.h"

namespace orvo {

namespace {

using protocol::Ending;
using protocol::Op;
namespace keys = receiver_keys;

// Log lines of the checks on the call's own values.
constexpr std::string_view kAlreadyFeedbackLine =
    "PushManager+API - feedback:notification: already Feedback : %@";
constexpr std::string_view kAlreadyFeedbackCustomLine =
    "PushManager+API - feedback:clientUID:psID:notification: already Feedback : %@";

constexpr std::string_view kStoredYes = "Y";
constexpr std::string_view kStoredYesLower = "y";
constexpr std::string_view kStoredNo = "N";

constexpr std::int64_t kBadgeOptionClear = -1;
constexpr std::int64_t kBadgeOptionZero = 0;
constexpr std::int64_t kBadgeCeiling = 1000;

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

const Value* orvEntry(const Dictionary* orv, std::string_view key) {
  if (!orv) return nullptr;
  const Value* value = orv->find(key);
  return value && !value->isNull() ? value : nullptr;
}

void putText(Dictionary& arguments, std::string_view key, std::string value) {
  arguments.set(std::string(key), Value(std::move(value)));
}

void putTextForm(Dictionary& arguments, std::string_view key, const Dictionary* orv,
                 std::string_view entry, std::string_view fallback) {
  const Value* value = orvEntry(orv, entry);
  putText(arguments, key, value ? describe(*value) : std::string(fallback));
}

// What identifies the message, from the payload's "orv" entry. Read before
// the auth key is asked, so the call carries a few texts rather than a copy
// of the whole payload.
Dictionary messageArguments(const Dictionary& payload) {
  const Dictionary* orv = payload.getDictionary(payload_keys::kOrv);
  Dictionary arguments;
  putTextForm(arguments, keys::kSeqNo, orv, payload_keys::kSeqNo, "");
  if (const Value* key = orvEntry(orv, payload_keys::kMessageUniqueKey)) {
    const std::string* text = key->asString();
    putText(arguments, keys::kMessageKey, text ? *text : describe(*key));
  } else {
    putText(arguments, keys::kMessageKey, "");
  }
  putTextForm(arguments, keys::kSendDate, orv, payload_keys::kSendDate, "");
  putTextForm(arguments, keys::kStoredFlag, orv, payload_keys::kDbIn, kStoredNo);
  putTextForm(arguments, keys::kSenderCode, orv, payload_keys::kSender, "");
  // Absent: the record's own service ID stands in.
  if (const Value* serviceID = orvEntry(orv, payload_keys::kPushServiceID)) {
    putText(arguments, keys::kPayloadServiceID, describe(*serviceID));
  }
  return arguments;
}

// A payload already acknowledged is not acknowledged again.
std::optional<Ending> alreadyAcknowledged(const Dictionary& payload, std::string_view line,
                                          std::string_view text) {
  const std::string* mark = payload.getString(payload_keys::kFeedback);
  if (!mark || *mark != payload_keys::kFeedbackDone) return std::nullopt;
  return Ending{.error = libraryError(errors::kAlreadyFeedback, text),
                .line = line,
                .lineValue = describe(payload.get(payload_keys::kFeedback))};
}

// A badge the option rule refuses ends the call before its request.
Ending badgeRefused(std::string_view line) {
  return Ending{.error = libraryError(errors::kBadgeNotPositive, errors::kBadgeNotPositiveText),
                .line = line,
                .lineValue = std::string(errors::kBadgeNotPositiveText)};
}

// The message-key forms: the given texts, each "" when absent.
Dictionary messageKeyArguments(std::optional<std::string> messageUniqueKey,
                               std::optional<std::string> seqNo) {
  Dictionary arguments;
  putText(arguments, keys::kMessageKey, std::move(messageUniqueKey).value_or(std::string()));
  putText(arguments, keys::kSeqNo, std::move(seqNo).value_or(std::string()));
  return arguments;
}

// The sequence-number read: the stored flag normalised, no send date.
Dictionary seqNoArguments(std::optional<std::string> seqNo, std::optional<std::string> sender,
                          const std::optional<std::string>& dbIn) {
  const bool stored = dbIn && (*dbIn == kStoredYes || *dbIn == kStoredYesLower);
  Dictionary arguments;
  putText(arguments, keys::kSeqNo, std::move(seqNo).value_or(std::string()));
  putText(arguments, keys::kSendDate, std::string());
  putText(arguments, keys::kStoredFlag, std::string(stored ? kStoredYes : kStoredNo));
  putText(arguments, keys::kSenderCode, std::move(sender).value_or(std::string()));
  return arguments;
}

}  // namespace

void ReceiverProtocol::feedback(ReceiverHandler completion, const Dictionary& notification) {
  std::optional<Ending> acknowledged =
      alreadyAcknowledged(notification, kAlreadyFeedbackLine, errors::kAlreadyFeedbackText);
  run(Op::feedbackPayload,
      {.end = std::move(completion),
       .arguments = acknowledged ? Dictionary{} : messageArguments(notification),
       .check = [acknowledged = std::move(acknowledged)](const PushManagerInfo&) {
         return acknowledged;
       }});
}

void ReceiverProtocol::feedback(ReceiverHandler completion, const std::string& clientUID,
                                const std::string& psID, const Dictionary& notification) {
  std::optional<Ending> acknowledged = alreadyAcknowledged(notification, kAlreadyFeedbackCustomLine,
                                                           errors::kAlreadyFeedbackCustomText);
  Dictionary arguments = acknowledged ? Dictionary{} : messageArguments(notification);
  putText(arguments, keys::kClientUID, clientUID);
  putText(arguments, keys::kPushServiceID, psID);
  run(Op::feedbackPayloadFor, {.end = std::move(completion),
                               .arguments = std::move(arguments),
                               .check = [acknowledged = std::move(acknowledged)](
                                            const PushManagerInfo&) { return acknowledged; }});
}

void ReceiverProtocol::feedback(ReceiverHandler completion,
                                std::optional<std::string> messageUniqueKey,
                                std::optional<std::string> seqNo) {
  run(Op::feedbackMessageKey,
      {.end = std::move(completion),
       .arguments = messageKeyArguments(std::move(messageUniqueKey), std::move(seqNo))});
}

void ReceiverProtocol::read(ReceiverHandler completion, const Dictionary& notification) {
  run(Op::readPayload, {.end = std::move(completion), .arguments = messageArguments(notification)});
}

void ReceiverProtocol::read(ReceiverHandler completion, const Dictionary& notification,
                            std::int64_t badgeOption, const Value& badge) {
  std::optional<std::string> badgeNo = badgeForOption(badgeOption, badge);
  Dictionary arguments = messageArguments(notification);
  if (badgeNo) putText(arguments, keys::kBadgeNo, *badgeNo);
  run(Op::readPayloadBadge,
      {.end = std::move(completion),
       .arguments = std::move(arguments),
       .check = [refused = !badgeNo](const PushManagerInfo&) -> std::optional<Ending> {
         if (!refused) return std::nullopt;
         return badgeRefused(protocol::operation(Op::readPayloadBadge).errorLine);
       }});
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> messageUniqueKey,
                            std::optional<std::string> seqNo) {
  run(Op::readMessageKey,
      {.end = std::move(completion),
       .arguments = messageKeyArguments(std::move(messageUniqueKey), std::move(seqNo))});
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> seqNo,
                            std::optional<std::string> sender, std::optional<std::string> dbIn) {
  run(Op::readSeqNo, {.end = std::move(completion),
                      .arguments = seqNoArguments(std::move(seqNo), std::move(sender), dbIn)});
}

void ReceiverProtocol::read(ReceiverHandler completion, std::optional<std::string> seqNo,
                            std::optional<std::string> sender, std::optional<std::string> dbIn,
                            std::int64_t badgeOption, const Value& badge) {
  // The table's version gate comes first: it wins over a refused badge.
  std::optional<std::string> badgeNo = badgeForOption(badgeOption, badge);
  Dictionary arguments = seqNoArguments(std::move(seqNo), std::move(sender), dbIn);
  if (badgeNo) putText(arguments, keys::kBadgeNo, *badgeNo);
  run(Op::readSeqNoBadge,
      {.end = std::move(completion),
       .arguments = std::move(arguments),
       .check = [refused = !badgeNo](const PushManagerInfo&) -> std::optional<Ending> {
         if (!refused) return std::nullopt;
         return badgeRefused(protocol::operation(Op::readPayloadBadge).errorLine);
       }});
}

void ReceiverProtocol::update(ReceiverHandler completion, const Value& badge) {
  const std::int64_t count = integerValue(badge);
  Dictionary arguments;
  putText(arguments, keys::kBadgeNo,
          count >= kBadgeCeiling ? std::to_string(kBadgeCeiling) : badgeText(badge));
  // The server finds the device by its ID; no user or service ID is sent.
  run(Op::updateBadge,
      {.end = std::move(completion),
       .arguments = std::move(arguments),
       .check = [negative = count < 0](const PushManagerInfo&) -> std::optional<Ending> {
         if (!negative) return std::nullopt;
         return Ending{.error = libraryError(errors::kBadgeNegative, errors::kBadgeNegativeText),
                       .line = protocol::operation(Op::updateBadge).errorLine,
                       .lineValue = std::string(errors::kBadgeNegativeText)};
       }});
}

}  // namespace orvo
