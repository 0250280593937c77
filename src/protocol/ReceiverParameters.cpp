#include "protocol/ReceiverParameters.h"

namespace orvo::receiver_keys {
namespace {

// The record's field a source names; nothing for a source that is a value
// of the call only.
std::optional<std::string> fieldOf(const PushManagerInfo& info, std::string_view source,
                                   std::string_view authKey) {
  if (source == kAppID || source == kCallbackServiceID || source == kLegacyCallbackServiceID) {
    return info.applicationID();
  }
  if (source == kCustomerCode) return info.customerCode();
  if (source == kClientUID) return info.clientUID();
  if (source == kClientUIDOrGuest) {
    std::string clientUID = info.clientUID();
    return clientUID.empty() ? std::string(kGuest) : clientUID;
  }
  if (source == kClientName || source == kUserName) return info.clientName();
  if (source == kDeviceID || source == kLegacyDeviceID) return info.deviceUUID();
  if (source == kDeviceType || source == kLegacyDeviceType) return info.deviceType();
  if (source == kPushServiceType || source == kLegacyPushServiceType) {
    return info.pushServiceType();
  }
  if (source == kPushServiceID) return info.pushServiceID();
  if (source == kPhoneNumber || source == kUserPhone) return info.phoneNumber();
  if (source == kDeviceModel) return info.deviceModel();
  if (source == kOsVersion) return info.osVersion();
  if (source == kAppVersion) return info.applicationVersion().value_or(std::string());
  if (source == kPushMode) return info.mode();
  if (source == kGroupSequence) return info.groupSequenceNumber();
  if (source == kAuthKey) return std::string(authKey);
  return std::nullopt;
}

}  // namespace

Dictionary parametersFor(const PushManagerInfo& info, std::span<const Key> keys,
                         std::string_view authKey, const Dictionary& arguments) {
  Dictionary parameters;
  for (const Key& key : keys) {
    std::string value;
    if (key.literal) {
      value = key.source;
    } else if (const Value* argument = arguments.find(key.source)) {
      value = argument->stringOr("");
    } else if (auto field = fieldOf(info, key.source, authKey)) {
      value = std::move(*field);
    } else if (auto named = fieldOf(info, key.name, authKey)) {
      // A value the call did not bring: the record's field of the key's name.
      value = std::move(*named);
    }
    parameters.set(std::string(key.name), std::move(value));
  }
  return parameters;
}

}  // namespace orvo::receiver_keys
