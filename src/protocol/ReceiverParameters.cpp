#include "protocol/ReceiverParameters.h"

#include <string>

namespace orvo::receiver_keys {
namespace {

std::string valueFor(const PushManagerInfo& info, std::string_view key, std::string_view authKey) {
  if (key == kAppID || key == kCallbackServiceID || key == kLegacyCallbackServiceID) {
    return info.applicationID();
  }
  if (key == kCustomerCode) return info.customerCode();
  if (key == kClientUID) return info.clientUID();
  if (key == kClientName || key == kUserName) return info.clientName();
  if (key == kDeviceID || key == kLegacyDeviceID) return info.deviceUUID();
  if (key == kDeviceType || key == kLegacyDeviceType) return info.deviceType();
  if (key == kPushServiceType || key == kLegacyPushServiceType) return info.pushServiceType();
  if (key == kPushServiceID) return info.pushServiceID();
  if (key == kPhoneNumber || key == kUserPhone) return info.phoneNumber();
  if (key == kDeviceModel) return info.deviceModel();
  if (key == kOsVersion) return info.osVersion();
  if (key == kAppVersion) return info.applicationVersion().value_or(std::string());
  if (key == kPushMode) return info.mode();
  if (key == kGroupSequence) return info.groupSequenceNumber();
  if (key == kAuthKey) return std::string(authKey);
  return std::string();
}

}  // namespace

Dictionary parametersFor(const PushManagerInfo& info, std::initializer_list<std::string_view> keys,
                         std::string_view authKey) {
  Dictionary parameters;
  for (std::string_view key : keys) {
    parameters.set(std::string(key), valueFor(info, key, authKey));
  }
  return parameters;
}

}  // namespace orvo::receiver_keys
