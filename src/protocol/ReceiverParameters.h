// The parameter names of the receiver calls and where each value comes from:
// a record field, a value the call brings, or a fixed text. A key set is then
// just a list of keys.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "orvo/PushManagerInfo.h"
#include "orvo/Value.h"

namespace orvo::receiver_keys {

// From the record.
inline constexpr std::string_view kAppID = "APP_ID";
inline constexpr std::string_view kCustomerCode = "CUST_CD";
inline constexpr std::string_view kClientUID = "CUID";
inline constexpr std::string_view kClientName = "CNAME";
inline constexpr std::string_view kDeviceID = "DEVICE_ID";
inline constexpr std::string_view kDeviceType = "DEVICE_TYPE";
inline constexpr std::string_view kPushServiceType = "PNSID";
inline constexpr std::string_view kPushServiceID = "PSID";
inline constexpr std::string_view kPhoneNumber = "PHONENUM";
inline constexpr std::string_view kCallbackServiceID = "CBSID";
inline constexpr std::string_view kAuthKey = "AUTHKEY";
inline constexpr std::string_view kDeviceModel = "DEVICE_MD";
inline constexpr std::string_view kOsVersion = "OS_VER";
inline constexpr std::string_view kAppVersion = "APP_VER";
inline constexpr std::string_view kPushMode = "APNS_MODE";
inline constexpr std::string_view kUserName = "USER_NM";
inline constexpr std::string_view kUserPhone = "USER_HP";
inline constexpr std::string_view kGroupSequence = "GROUPSEQ";
// The names the oldest receivers use.
inline constexpr std::string_view kLegacyDeviceID = "DVC_ID";
inline constexpr std::string_view kLegacyDeviceType = "DVC_TYP";
inline constexpr std::string_view kLegacyPushServiceType = "PNS_ID";
inline constexpr std::string_view kLegacyCallbackServiceID = "CBS_ID";

// From the call: the message it concerns, what it sends, the badge.
inline constexpr std::string_view kMessageKey = "MESSAGEUNIQUEKEY";
inline constexpr std::string_view kSeqNo = "SEQNO";
inline constexpr std::string_view kSendDate = "SENDDATE";
inline constexpr std::string_view kStoredFlag = "DB_IN";
inline constexpr std::string_view kSenderCode = "SENDERCODE";
inline constexpr std::string_view kBadgeNo = "BADGENO";
inline constexpr std::string_view kMessage = "MESSAGE";
inline constexpr std::string_view kPriority = "PRIORITY";
inline constexpr std::string_view kExt = "EXT";
inline constexpr std::string_view kType = "TYPE";
inline constexpr std::string_view kServiceCode = "SERVICECODE";
inline constexpr std::string_view kTarget = "TARGET";
inline constexpr std::string_view kReserveDate = "RESERVEDATE";

// Sources that are no parameter name of their own.
// The payload's service ID; the record's when the payload names none.
inline constexpr std::string_view kPayloadServiceID = "payload PSID";
// The client UID, with the guest's name standing in for an empty one.
inline constexpr std::string_view kClientUIDOrGuest = "CUID or GUEST";

// The client UID that stands for "no user".
inline constexpr std::string_view kGuest = "GUEST";

// One parameter: its name and where its value comes from. By default the
// value the call brings under the name, else the record's field of that
// name; `source` names another value or field; a literal key sends `source`
// itself.
struct Key {
  constexpr Key(std::string_view keyName) : name(keyName), source(keyName) {}
  constexpr Key(std::string_view keyName, std::string_view from, bool isLiteral = false)
      : name(keyName), source(from), literal(isLiteral) {}
  std::string_view name;
  std::string_view source;
  bool literal = false;
};
constexpr Key literal(std::string_view name, std::string_view text) { return {name, text, true}; }

// One text value per key, read from the record now. A source neither the
// call nor the record supplies (no application version) is sent as the empty
// text, since the receiver expects every key.
Dictionary parametersFor(const PushManagerInfo& info, std::span<const Key> keys,
                         std::string_view authKey, const Dictionary& arguments = {});

}  // namespace orvo::receiver_keys
