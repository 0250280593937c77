#include "orvo/PushNotification.h"

#include <algorithm>
#include <utility>

namespace orvo {
namespace {

constexpr std::string_view kMessageUIDPrefix = "M_";
constexpr char kUUIDSeparator = '-';

constexpr std::string_view kStatusTextUnknown = "UNKNOWN";
constexpr std::string_view kStatusTextStart = "START";
constexpr std::string_view kStatusTextActive = "ACTIVE";
constexpr std::string_view kStatusTextBackground = "BACKGROUND";

std::string newMessageUID(const std::shared_ptr<Device>& device) {
  std::string uuid;
  if (device) {
    uuid = device->newUUID();
  } else {
    static SystemDevice fallback;
    uuid = fallback.newUUID();
  }
  std::erase(uuid, kUUIDSeparator);
  return std::string(kMessageUIDPrefix) + uuid;
}

// payload[outer][inner], when payload[outer] is a dictionary.
Value nestedEntry(const Dictionary& payload, std::string_view outer, std::string_view inner) {
  const Dictionary* dictionary = payload.getDictionary(outer);
  return dictionary ? dictionary->get(inner) : Value();
}

}  // namespace

std::shared_ptr<PushNotification> PushNotification::create(Dictionary payload, std::int64_t status,
                                                           const std::shared_ptr<Device>& device) {
  return std::make_shared<PushNotification>(Token{}, std::move(payload), status,
                                            newMessageUID(device));
}

PushNotification::PushNotification(Token, Dictionary payload, std::int64_t status,
                                   std::string messageUID)
    : payload_(std::move(payload)), status_(status), messageUID_(std::move(messageUID)) {}

std::optional<Array> PushNotification::extComponent() const {
  std::lock_guard lock(mutex_);
  return extComponent_;
}

void PushNotification::setExtComponent(std::optional<Array> extComponent) {
  std::lock_guard lock(mutex_);
  extComponent_ = std::move(extComponent);
}

std::optional<std::string> PushNotification::richData() const {
  std::lock_guard lock(mutex_);
  return richData_;
}

void PushNotification::setRichData(std::optional<std::string> richData) {
  std::lock_guard lock(mutex_);
  richData_ = std::move(richData);
}

Value PushNotification::aps() const { return payload_.get(payload_keys::kAps); }

Value PushNotification::orv() const { return payload_.get(payload_keys::kOrv); }

Value PushNotification::title() const {
  return nestedEntry(payload_, payload_keys::kAps, payload_keys::kAlert);
}

Value PushNotification::ext() const {
  return nestedEntry(payload_, payload_keys::kOrv, payload_keys::kExt);
}

std::string_view PushNotification::statusString() const {
  switch (status_) {
    case kStatusStart:
      return kStatusTextStart;
    case kStatusActive:
      return kStatusTextActive;
    case kStatusBackground:
      return kStatusTextBackground;
    default:
      return kStatusTextUnknown;
  }
}

}  // namespace orvo
