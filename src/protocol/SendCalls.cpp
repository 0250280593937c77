// Messages sent upstream from this device: to another user, to this device's
// own registration, or at a reserved time.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"
#include "protocol/Operations.h"

namespace orvo {

namespace {

using protocol::Op;
namespace keys = receiver_keys;

// An absent badge still has to reach the server as a number.
constexpr std::string_view kAbsentBadge = "0";
// The first receiver that takes a badge; older ones get the message without.
constexpr std::string_view kVersionBadge = "4.0";

// The texts every form sends, each "" when absent; a recipient when the form
// names one.
Dictionary messageArguments(std::optional<std::string> clientUID,
                            std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  Dictionary arguments;
  auto put = [&arguments](std::string_view key, std::optional<std::string> value) {
    arguments.set(std::string(key), Value(std::move(value).value_or(std::string())));
  };
  if (clientUID) put(keys::kClientUID, std::move(clientUID));
  put(keys::kMessage, std::move(message));
  put(keys::kServiceCode, std::move(serviceCode));
  put(keys::kExt, std::move(ext));
  return arguments;
}

}  // namespace

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message, const Value& badgeNo,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  // Below 4.0 the message goes without its badge, through the form that has
  // none, whose gates then answer alike.
  if (auto info = currentInfo();
      info && !versionIsAtLeast(info->receiverVersion(), kVersionBadge)) {
    send(std::move(completion), std::move(clientUID), std::move(message), std::move(serviceCode),
         std::move(ext));
    return;
  }
  Dictionary arguments =
      messageArguments(std::move(clientUID).value_or(std::string()), std::move(message),
                       std::move(serviceCode), std::move(ext));
  arguments.set(std::string(keys::kBadgeNo),
                badgeNo.isNull() ? std::string(kAbsentBadge) : describe(badgeNo));
  run(Op::sendToClientBadge, {.end = std::move(completion), .arguments = std::move(arguments)});
}

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  run(Op::sendToClient,
      {.end = std::move(completion),
       .arguments = messageArguments(std::move(clientUID).value_or(std::string()),
                                     std::move(message), std::move(serviceCode), std::move(ext))});
}

void ReceiverProtocol::send(ReceiverHandler completion, std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> ext) {
  // The sender's own client UID, from the record.
  run(Op::sendToOwnRegistration,
      {.end = std::move(completion),
       .arguments = messageArguments(std::nullopt, std::move(message), std::move(serviceCode),
                                     std::move(ext))});
}

void ReceiverProtocol::send(ReceiverBodyHandler completion, std::optional<std::string> clientUID,
                            std::optional<std::string> message,
                            std::optional<std::string> serviceCode,
                            std::optional<std::string> reserveDate,
                            std::optional<std::string> ext) {
  Dictionary arguments =
      messageArguments(std::move(clientUID).value_or(std::string()), std::move(message),
                       std::move(serviceCode), std::move(ext));
  arguments.set(std::string(keys::kReserveDate), std::move(reserveDate).value_or(std::string()));
  ReceiverHandler end = protocol::withoutBody(completion);
  run(Op::sendReserved,
      {.end = std::move(end),
       .arguments = std::move(arguments),
       // The body goes back as the transport delivered it, on failure too.
       .answer = [completion = std::move(completion)](
                     ReceiverProtocol&, const std::shared_ptr<PushManagerInfo>&,
                     const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
         if (completion) completion(!error.has_value(), error, body);
       }});
}

}  // namespace orvo
