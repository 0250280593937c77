// Every receiver operation as data: endpoint, error line, gates, key sets by
// receiver version, and whose identity the auth key presents.
#include <iterator>

#include "foundation/Log.h"
#include "orvo/Version.h"
#include "protocol/Operations.h"
#include "transport/PushNetworkManager.h"

namespace orvo::protocol {
namespace {

using namespace receiver_keys;
using Relation = VersionRange::Relation;

// Error lines.
constexpr std::string_view kRegisterServiceError = "Register Service Error: %@";
constexpr std::string_view kGetRegisteredServiceError = "Get Registered Service Error: %@";
constexpr std::string_view kGetRegisteredServiceFromAppError =
    "Get Registered Service FromApp Error: %@";
constexpr std::string_view kCallAppAliveError = "Call AppAlive Error: %@";
constexpr std::string_view kUnregisterServiceError = "Unregister Service Error: %@";
constexpr std::string_view kRegisterServiceAndUserError = "Register Service and User Error: %@";
constexpr std::string_view kRegisterUserError = "Register User Error: %@";
constexpr std::string_view kUnregisterUserError = "Unregister User Error: %@";
constexpr std::string_view kRegisterGroupError = "Register Group Error: %@";
constexpr std::string_view kUnregisterGroupError = "Unregister Group Error: %@";
constexpr std::string_view kFeedbackError = "Feedback Error : %@";
constexpr std::string_view kReadError = "Read Message Error : %@";
constexpr std::string_view kReadBadgeError = "Read Message And Update Badge Error : %@";
constexpr std::string_view kReadGateError = "read Error: %@";
constexpr std::string_view kUpdateBadgeError = "Update Badge Error : %@";
constexpr std::string_view kSendError = "Send Message Error : %@";
constexpr std::string_view kAlreadyUnregistered = "This is already unregisterd user";

// Fixed values of the upstream sends.
constexpr std::string_view kPriorityValue = "3";
constexpr std::string_view kTypeValue = "E";
constexpr std::string_view kDeviceSenderCode = "device-ios";
constexpr std::string_view kStoredValue = "Y";

// --- key sets ---

// Service registration.
constexpr Key kServiceCurrent[] = {kAppID,       kClientUID,         kDeviceID,
                                   kDeviceType,  kPushServiceType,   kPushServiceID,
                                   kPhoneNumber, kCallbackServiceID, kAuthKey};
constexpr Key kServiceExtended[] = {
    kAppID,         kClientUID,   kDeviceID,          kDeviceType, kPushServiceType,
    kPushServiceID, kPhoneNumber, kCallbackServiceID, kAuthKey,    kDeviceModel,
    kOsVersion,     kAppVersion,  kPushMode};
constexpr Key kServiceLegacy[] = {kAppID,          kCustomerCode,           kClientUID,
                                  kLegacyDeviceID, kLegacyDeviceType,       kLegacyPushServiceType,
                                  kPushServiceID,  kLegacyCallbackServiceID};
// Unregistration: the legacy set without the callback service ID; the
// current one names the guest for an empty client UID.
constexpr Key kUnregisterLegacy[] = {kAppID,          kCustomerCode,     kClientUID,
                                     kLegacyDeviceID, kLegacyDeviceType, kLegacyPushServiceType,
                                     kPushServiceID};
constexpr Key kUnregisterCurrent[] = {kAppID,           {kClientUID, kClientUIDOrGuest},
                                      kDeviceID,        kDeviceType,
                                      kPushServiceType, kPushServiceID,
                                      kPhoneNumber,     kCallbackServiceID,
                                      kAuthKey};

// Users and groups.
constexpr Key kServiceAndUserExtended[] = {kPushServiceType, kAppID,     kDeviceID,   kDeviceType,
                                           kPushServiceID,   kClientUID, kClientName, kPhoneNumber,
                                           kDeviceModel,     kOsVersion, kAppVersion, kPushMode,
                                           kAuthKey};
constexpr Key kServiceAndUser[] = {kPushServiceType, kAppID,         kDeviceID,
                                   kDeviceType,      kPushServiceID, kClientUID,
                                   kClientName,      kPhoneNumber,   kAuthKey};
constexpr Key kUserLegacy[] = {kClientUID, kCustomerCode, kUserName, kUserPhone};
constexpr Key kUserCurrent[] = {kPushServiceType, kAppID,      kDeviceID,    kPushServiceID,
                                kClientUID,       kClientName, kPhoneNumber, kAuthKey};
constexpr Key kUserOld[] = {kClientUID, kPushServiceID, kClientName, kAuthKey};
constexpr Key kGroup[] = {kPushServiceID, kClientUID, kGroupSequence, kAuthKey};

// Acknowledgements, by receiver version: A, B, C and D; D with a badge names
// the record's service ID rather than the payload's. The message-key forms
// send set A.
constexpr Key kAckA[] = {kClientUID, kAppID, kPushServiceID, kMessageKey, kSeqNo, kAuthKey};
constexpr Key kAckB[] = {kClientUID, kAppID,    kPushServiceID, kMessageKey,
                         kSeqNo,     kSendDate, kAuthKey};
constexpr Key kAckC[] = {kClientUID, kAppID,      kPushServiceID, kSeqNo,
                         kSendDate,  kStoredFlag, kAuthKey};
constexpr Key kAckD[] = {kClientUID, kAppID,           {kPushServiceID, kPayloadServiceID},
                         kSeqNo,     kSendDate,        kStoredFlag,
                         kDeviceID,  kPushServiceType, kAuthKey,
                         kSenderCode};
constexpr Key kAckDWithBadge[] = {kClientUID, kAppID,      kPushServiceID, kSeqNo,
                                  kSendDate,  kStoredFlag, kDeviceID,      kPushServiceType,
                                  kBadgeNo,   kAuthKey,    kSenderCode};
// The form with its own client UID and service ID, and the sequence-number
// read: ten keys whatever the version.
constexpr Key kDeviceAck[] = {kClientUID,  kAppID,    kPushServiceID,   kSeqNo,   kSendDate,
                              kStoredFlag, kDeviceID, kPushServiceType, kAuthKey, kSenderCode};
constexpr Key kBadge[] = {kAuthKey, kDeviceID, kPushServiceType, kAppID, kBadgeNo};

// Upstream sends: to a client UID, to this registration, at a reserved time;
// a receiver of exactly 3.5 takes the short sets.
constexpr Key kToClient[] = {kClientUID,
                             kPushServiceID,
                             kAppID,
                             kMessage,
                             literal(kPriority, kPriorityValue),
                             kExt,
                             literal(kType, kTypeValue),
                             kServiceCode,
                             literal(kSenderCode, kDeviceSenderCode),
                             kAuthKey,
                             literal(kTarget, kClientUID)};
constexpr Key kToClientShort[] = {
    kClientUID, kAppID,       kMessage, literal(kPriority, kPriorityValue),
    kExt,       kServiceCode, kAuthKey, literal(kTarget, kClientUID)};
constexpr Key kToClientBadge[] = {kClientUID,   kPushServiceID,
                                  kAppID,       kMessage,
                                  kBadgeNo,     literal(kPriority, kPriorityValue),
                                  kExt,         literal(kType, kTypeValue),
                                  kServiceCode, literal(kSenderCode, kDeviceSenderCode),
                                  kAuthKey,     literal(kTarget, kClientUID)};
constexpr Key kToOwn[] = {kClientUID,
                          kPushServiceID,
                          kAppID,
                          kMessage,
                          literal(kPriority, kPriorityValue),
                          kExt,
                          literal(kType, kTypeValue),
                          kServiceCode,
                          literal(kSenderCode, kDeviceSenderCode),
                          kAuthKey,
                          literal(kTarget, kPushServiceID)};
constexpr Key kToOwnShort[] = {kClientUID,
                               kPushServiceID,
                               kAppID,
                               kMessage,
                               literal(kPriority, kPriorityValue),
                               kExt,
                               kServiceCode,
                               kAuthKey,
                               literal(kTarget, kPushServiceID)};
constexpr Key kReserved[] = {kClientUID,
                             kPushServiceID,
                             kAppID,
                             kMessage,
                             literal(kPriority, kPriorityValue),
                             kExt,
                             literal(kType, kTypeValue),
                             kServiceCode,
                             literal(kSenderCode, kDeviceSenderCode),
                             kAuthKey,
                             literal(kTarget, kClientUID),
                             kReserveDate,
                             literal(kStoredFlag, kStoredValue)};
constexpr Key kReservedShort[] = {kClientUID,   kAppID,
                                  kMessage,     literal(kPriority, kPriorityValue),
                                  kExt,         kServiceCode,
                                  kAuthKey,     literal(kTarget, kClientUID),
                                  kReserveDate, literal(kStoredFlag, kStoredValue)};

// --- key sets by receiver version ---

constexpr KeySet kRegisterServiceSets[] = {{exactly("3.0"), kServiceLegacy},
                                           {atLeast("4.0"), kServiceExtended},
                                           {kAnyVersion, kServiceCurrent}};
constexpr KeySet kCurrentSets[] = {{kAnyVersion, kServiceCurrent}};
constexpr KeySet kUnregisterServiceSets[] = {{exactly("3.0"), kUnregisterLegacy},
                                             {kAnyVersion, kUnregisterCurrent}};
constexpr KeySet kServiceAndUserSets[] = {{atLeast("4.0"), kServiceAndUserExtended},
                                          {kAnyVersion, kServiceAndUser}};
constexpr KeySet kRegisterUserSets[] = {
    {exactly("3.0"), kUserLegacy}, {above("3.5"), kUserCurrent}, {kAnyVersion, kUserOld}};
constexpr KeySet kUnregisterUserSets[] = {{kAnyVersion, kUserCurrent}};
constexpr KeySet kGroupSets[] = {{kAnyVersion, kGroup}};
constexpr KeySet kAckSets[] = {{notAbove("3.5"), kAckA},
                               {exactly("3.6"), kAckB},
                               {notAbove("3.9"), kAckC},
                               {kAnyVersion, kAckD}};
constexpr KeySet kAckBadgeSets[] = {{notAbove("3.5"), kAckA},
                                    {exactly("3.6"), kAckB},
                                    {notAbove("3.9"), kAckC},
                                    {kAnyVersion, kAckDWithBadge}};
constexpr KeySet kMessageKeySets[] = {{kAnyVersion, kAckA}};
constexpr KeySet kDeviceAckSets[] = {{kAnyVersion, kDeviceAck}};
constexpr KeySet kDeviceAckBadgeSets[] = {{kAnyVersion, kAckDWithBadge}};
constexpr KeySet kBadgeSets[] = {{kAnyVersion, kBadge}};
constexpr KeySet kToClientSets[] = {{exactly("3.5"), kToClientShort}, {kAnyVersion, kToClient}};
constexpr KeySet kToClientBadgeSets[] = {{kAnyVersion, kToClientBadge}};
constexpr KeySet kToOwnSets[] = {{exactly("3.5"), kToOwnShort}, {kAnyVersion, kToOwn}};
constexpr KeySet kReservedSets[] = {{exactly("3.5"), kReservedShort}, {kAnyVersion, kReserved}};

// --- gates ---

using Test = Gate::Test;
constexpr Gate kRegisteredServiceGate[] = {{Test::ReceiverVersion, notAbove("3.5"),
                                            errors::kRegisteredServiceVersion,
                                            errors::kRegisteredServiceVersionText, "", false}};
constexpr Gate kServiceAndUserGate[] = {{Test::ReceiverVersion, notAbove("3.6"),
                                         errors::kRegisterServiceAndUserVersion,
                                         errors::kRegisterServiceAndUserVersionText, "", true}};
constexpr Gate kUnregisterUserGates[] = {
    {Test::ReceiverVersion, below("3.6"), errors::kUnregisterUserVersion,
     errors::kUnregisterUserVersionText, "", true},
    {Test::Guest, kAnyVersion, 0, "", kAlreadyUnregistered, false}};
constexpr Gate kRegisterGroupGate[] = {{Test::Guest, kAnyVersion, errors::kGuestRegisterGroup,
                                        errors::kGuestRegisterGroupText, "", false}};
constexpr Gate kUnregisterGroupGate[] = {{Test::Guest, kAnyVersion, errors::kGuestUnregisterGroup,
                                          errors::kGuestUnregisterGroupText, "", false}};
constexpr Gate kFeedbackMessageKeyGate[] = {{Test::ReceiverVersion, atLeast("3.6"),
                                             errors::kFeedbackDeprecated,
                                             errors::kFeedbackDeprecatedText, "", true}};
constexpr Gate kReadMessageKeyGate[] = {{Test::ReceiverVersion, atLeast("3.6"),
                                         errors::kReadDeprecated, errors::kReadDeprecatedText, "",
                                         true}};
constexpr Gate kReadSeqNoGate[] = {{Test::ReceiverVersion, below("4.0"), errors::kReadSeqNoVersion,
                                    errors::kReadSeqNoVersionText, kReadGateError, true}};
// The guest first, then a receiver too old for messages, named in the text.
constexpr Gate kSendGates[] = {
    {Test::Guest, kAnyVersion, errors::kGuestSend, errors::kGuestSendText, "", true},
    {Test::ReceiverVersion, below("3.5"), errors::kSendUnavailable, errors::kSendUnavailableFormat,
     "", true}};
constexpr Gate kGuestSendGate[] = {
    {Test::Guest, kAnyVersion, errors::kGuestSend, errors::kGuestSendText, "", true}};

using P = Presenting;

// The table: one row per operation, in the order of Op.
constexpr Operation kOperations[] = {
    {Op::registerService,
     endpoints::kRegisterService,
     kRegisterServiceError,
     {},
     kRegisterServiceSets},
    {Op::getRegisteredService, endpoints::kGetService, kGetRegisteredServiceError,
     kRegisteredServiceGate, kCurrentSets},
    {Op::getRegisteredServiceFromApp, endpoints::kGetService, kGetRegisteredServiceFromAppError,
     kRegisteredServiceGate, kCurrentSets},
    {Op::callAppAlive, endpoints::kAppAlive, kCallAppAliveError, {}, kCurrentSets},
    {Op::unregisterService,
     endpoints::kDeleteService,
     kUnregisterServiceError,
     {},
     kUnregisterServiceSets,
     P::RecordClientUID},
    {Op::registerServiceAndUser, endpoints::kRegisterServiceAndUser, kRegisterServiceAndUserError,
     kServiceAndUserGate, kServiceAndUserSets},
    {Op::registerUser, endpoints::kRegisterUser, kRegisterUserError, {}, kRegisterUserSets},
    {Op::unregisterUser, endpoints::kDeleteUser, kUnregisterUserError, kUnregisterUserGates,
     kUnregisterUserSets},
    {Op::registerGroup, endpoints::kRegisterUserGroup, kRegisterGroupError, kRegisterGroupGate,
     kGroupSets},
    {Op::unregisterGroup, endpoints::kDeleteUserGroup, kUnregisterGroupError, kUnregisterGroupGate,
     kGroupSets},
    {Op::feedbackPayload, endpoints::kSentAck, kFeedbackError, {}, kAckSets},
    {Op::feedbackPayloadFor,
     endpoints::kSentAck,
     kFeedbackError,
     {},
     kDeviceAckSets,
     P::CallClientUID},
    {Op::feedbackMessageKey, endpoints::kSentAck, kFeedbackError, kFeedbackMessageKeyGate,
     kMessageKeySets},
    {Op::readPayload, endpoints::kSendResult, kReadError, {}, kAckSets},
    {Op::readPayloadBadge, endpoints::kSendResult, kReadBadgeError, {}, kAckBadgeSets},
    {Op::readMessageKey, endpoints::kSendResult, kReadError, kReadMessageKeyGate, kMessageKeySets},
    {Op::readSeqNo, endpoints::kSendResult, kReadError, kReadSeqNoGate, kDeviceAckSets},
    {Op::readSeqNoBadge, endpoints::kSendResult, kReadError, kReadSeqNoGate, kDeviceAckBadgeSets},
    {Op::updateBadge, endpoints::kInitBadgeNo, kUpdateBadgeError, {}, kBadgeSets},
    {Op::sendToClient, endpoints::kRegisterMessage, kSendError, kSendGates, kToClientSets},
    {Op::sendToClientBadge, endpoints::kRegisterMessage, kSendError, kGuestSendGate,
     kToClientBadgeSets},
    {Op::sendToOwnRegistration, endpoints::kRegisterMessage, kSendError, kSendGates, kToOwnSets},
    {Op::sendReserved, endpoints::kRegisterMessage, kSendError, kSendGates, kReservedSets},
};

constexpr bool rowsInOrder() {
  for (std::size_t i = 0; i < std::size(kOperations); ++i) {
    if (static_cast<std::size_t>(kOperations[i].op) != i) return false;
  }
  return true;
}
static_assert(rowsInOrder(), "one row per operation, in the order of Op");

}  // namespace

bool VersionRange::contains(std::string_view receiver) const {
  switch (relation) {
    case Relation::Any:
      return true;
    case Relation::Exactly:
      return versionIsExactly(receiver, threshold);
    case Relation::AtLeast:
      return versionIsAtLeast(receiver, threshold);
    case Relation::Above:
      return versionIsAbove(receiver, threshold);
    case Relation::Below:
      return !versionIsAtLeast(receiver, threshold);
    case Relation::NotAbove:
      return !versionIsAbove(receiver, threshold);
  }
  return false;
}

std::string VersionRange::describe() const {
  std::string_view words;
  switch (relation) {
    case Relation::Any:
      return "of any version";
    case Relation::Exactly:
      words = "exactly ";
      break;
    case Relation::AtLeast:
      words = "at least ";
      break;
    case Relation::Above:
      words = "above ";
      break;
    case Relation::Below:
      words = "below ";
      break;
    case Relation::NotAbove:
      words = "at most ";
      break;
  }
  return std::string(words) + std::string(threshold);
}

const Operation& operation(Op op) { return kOperations[static_cast<std::size_t>(op)]; }

std::span<const Key> keysFor(const Operation& operation, std::string_view receiver) {
  for (const KeySet& set : operation.keySets) {
    if (set.when.contains(receiver)) return set.keys;
  }
  return {};
}

}  // namespace orvo::protocol
