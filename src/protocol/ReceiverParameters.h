// The parameter names of the registration calls and where each one's value
// comes from, so that a key set is just a list of names.
#pragma once

#include <initializer_list>
#include <string_view>

#include "orvo/PushManagerInfo.h"
#include "orvo/Value.h"

namespace orvo::receiver_keys {

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

// The client UID that stands for "no user".
inline constexpr std::string_view kGuest = "GUEST";

// One text value per name, read from the record now; "AUTHKEY" takes the
// given key. A value the record cannot supply (no application version) is
// sent as the empty text, since the receiver expects every key.
Dictionary parametersFor(const PushManagerInfo& info, std::initializer_list<std::string_view> keys,
                         std::string_view authKey);

}  // namespace orvo::receiver_keys
