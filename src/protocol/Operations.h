// The receiver operations as data: per operation its endpoint, its error
// line, the gates it passes before the auth key and its key sets by receiver
// version (OperationTable.cpp). ReceiverProtocol::run takes every operation
// through the one shape they share: no record, gates, the call's own check,
// the auth key, the parameters, the request, the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orvo/Handlers.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/Value.h"
#include "protocol/ReceiverParameters.h"

namespace orvo {
class ReceiverProtocol;
}

namespace orvo::protocol {

enum class Op : int {
  registerService,
  getRegisteredService,
  getRegisteredServiceFromApp,
  callAppAlive,
  unregisterService,
  registerServiceAndUser,
  registerUser,
  unregisterUser,
  registerGroup,
  unregisterGroup,
  feedbackPayload,
  feedbackPayloadFor,
  feedbackMessageKey,
  readPayload,
  readPayloadBadge,
  readMessageKey,
  readSeqNo,
  readSeqNoBadge,
  updateBadge,
  sendToClient,
  sendToClientBadge,
  sendToOwnRegistration,
  sendReserved,
};

// The receiver versions a rule holds for, in the version rule's words.
struct VersionRange {
  enum class Relation { Any, Exactly, AtLeast, Above, Below, NotAbove };
  Relation relation = Relation::Any;
  std::string_view threshold;
  bool contains(std::string_view receiver) const;
  // "above 3.6": how a log line names the versions.
  std::string describe() const;
};
inline constexpr VersionRange kAnyVersion{};
constexpr VersionRange exactly(std::string_view v) { return {VersionRange::Relation::Exactly, v}; }
constexpr VersionRange atLeast(std::string_view v) { return {VersionRange::Relation::AtLeast, v}; }
constexpr VersionRange above(std::string_view v) { return {VersionRange::Relation::Above, v}; }
constexpr VersionRange below(std::string_view v) { return {VersionRange::Relation::Below, v}; }
constexpr VersionRange notAbove(std::string_view v) {
  return {VersionRange::Relation::NotAbove, v};
}

// The keys an operation sends to the receivers of a range; the first range
// that holds picks the set.
struct KeySet {
  VersionRange when;
  std::span<const receiver_keys::Key> keys;
};

// A check before the auth key, which stops the call when it holds: with the
// error, or with success and no request when the code is 0.
struct Gate {
  enum class Test { ReceiverVersion, Guest };
  Test test;
  VersionRange refused;  // for ReceiverVersion: the versions it stops
  std::int64_t code;
  std::string_view text;  // the error's description; "%@" is the receiver version
  std::string_view line;  // "" : the operation's error line, with the description
  bool logAlways;
};

// Whose client UID and service ID the auth-key request presents.
enum class Presenting {
  TemporaryClientUID,  // the record's temporary client UID and service ID
  RecordClientUID,     // the record's own client UID and service ID
  CallClientUID,       // the call's "CUID" and "PSID"
};

struct Operation {
  Op op;
  std::int64_t endpoint;
  // Written with the error's description when the auth key fails, while
  // logging is on; and for a refusing gate that names no line of its own.
  std::string_view errorLine;
  std::span<const Gate> gates;
  std::span<const KeySet> keySets;
  Presenting presenting = Presenting::TemporaryClientUID;
};

const Operation& operation(Op op);
// The key set for this receiver version; empty when no range holds.
std::span<const receiver_keys::Key> keysFor(const Operation& operation, std::string_view receiver);

// How a call ends before its request.
struct Ending {
  bool success = false;
  std::optional<ErrorInfo> error = std::nullopt;
  std::string_view line = {};  // "" : none
  std::string lineValue = {};  // fills the line's "%@"
  bool logAlways = false;
};

// What one call brings to its operation.
struct Call {
  // Where an ending before the request goes, and a result without `answer`:
  // success, or the transport's error.
  ReceiverHandler end = nullptr;
  // Parameter values by source name, beside the record's.
  Dictionary arguments = {};
  // The call's own check, after the table's gates.
  std::function<std::optional<Ending>(const PushManagerInfo& record)> check = nullptr;
  // Changes the record once the auth key is known, before its values are read.
  std::function<void(PushManagerInfo& record)> prepare = nullptr;
  // The result, on the main queue, with the record current then.
  std::function<void(ReceiverProtocol& self, const std::shared_ptr<PushManagerInfo>& record,
                     const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error)>
      answer = nullptr;
};

// No record yet: the owner has not started.
inline ErrorInfo accessError() {
  return libraryError(errors::kAccessInterface, errors::kAccessInterfaceText);
}

// A body completion's ending before the request: no body.
inline ReceiverHandler withoutBody(ReceiverBodyHandler completion) {
  return [completion = std::move(completion)](bool success, const std::optional<ErrorInfo>& error) {
    if (completion) completion(success, error, std::nullopt);
  };
}

}  // namespace orvo::protocol
