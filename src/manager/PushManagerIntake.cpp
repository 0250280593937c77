// Every notification the application hands over becomes a PushNotification:
// acknowledged to the receiver first when it is remote, kept in the centre,
// and delivered to the delegate once delivery is on and a delegate is set.
#include <cstdlib>

#include "foundation/Log.h"
#include "manager/DuplicateFilter.h"
#include "orvo/PushManager.h"
#include "orvo/PushNotification.h"
#include "orvo/ReceiverProtocol.h"

namespace orvo {
namespace {

namespace keys = payload_keys;

constexpr std::string_view kRemoteLine = "PushManager - didReceiveRemoteNotification : %@";
constexpr std::string_view kFetchLine =
    "PushManager - didReceiveRemoteNotification:fetchCompletionHandler : %@";
constexpr std::string_view kSilentLine =
    "PushManager - didReceiveRemoteNotification OrvoSilentPush";
constexpr std::string_view kAlreadyAcknowledgedLine =
    "PushManager - didReceiveRemoteNotification already Feedback : %@";
constexpr std::string_view kLocalLine = "PushManager - didReceiveLocalNotification : %@";
constexpr std::string_view kWillPresentLine = "PushManager - willPresentNotification : %@";
constexpr std::string_view kResponseLine = "PushManager - didReceiveNotificationResponse : %@";
constexpr std::string_view kSkipLaunchLine =
    "PushManager - didReceiveNotificationResponse skip launch message";
constexpr std::string_view kFireLine = "PushManager - fireNotification";
constexpr std::string_view kFireAllLine = "PushManager - fireUnexpiredNotifications";
constexpr std::string_view kWaitingLine = "Notification is waiting while to add a delegate : %d";
constexpr std::string_view kDeprecatedLine =
    "(manager:didReceiveRemoteNotification:status:) is deprecated. Use "
    "(manager:didReceiveUserNotification:status:messageUID:) instead";
constexpr std::string_view kFeedbackLine = "PushManager - feedback";
constexpr std::string_view kFeedbackName = "feedback";
constexpr std::string_view kDuplicateLine =
    "PushManager - didReceiveRemoteNotification duplicate of %@ dropped";
constexpr std::string_view kFeedbackCustomLine = "PushManager - feedback custom";

// The local notification's user information and what the payload gets.
constexpr std::string_view kLocalExtKey = "EXT";
constexpr std::string_view kLocalMessageUIDKey = "MESSAGEUID";
constexpr std::int64_t kLocalBadge = 1;
constexpr std::string_view kLocalSound = "alert.aif";
constexpr std::string_view kLocalSender = "LOCAL";

// The fetch callback's "new data".
constexpr std::int64_t kFetchResultNewData = 0;

void setIfPresent(Dictionary& target, std::string_view key, const Value* value) {
  if (value && !value->isNull()) target.set(std::string(key), *value);
}

std::string traced(std::string_view format, const Dictionary& value) {
  return logging::isOn() ? logging::format(format, {describe(value)}) : std::string();
}

// An outbox entry's arguments with one copy of the payload (a braced list
// would copy it twice).
Dictionary withPayload(const Dictionary& payload) {
  Dictionary arguments;
  arguments.set("payload", payload);
  return arguments;
}

}  // namespace

bool PushManager::isOrvoSilentPush(const Dictionary& payload) {
  const Dictionary* orv = payload.getDictionary(keys::kOrv);
  const Dictionary* aps = payload.getDictionary(keys::kAps);
  if (!orv || !aps || !aps->find(keys::kContentAvailable)) return false;
  const Value* batch = orv->find(keys::kBatch);
  if (!batch) return false;
  // The entry's integer value, whatever its type: reals truncate, texts give
  // their leading number.
  if (auto number = batch->asInt()) return *number == 1;
  if (auto real = batch->asReal()) return *real >= 1.0 && *real < 2.0;
  if (auto flag = batch->asBool()) return *flag;
  if (const std::string* text = batch->asString()) {
    return std::strtoll(text->c_str(), nullptr, 10) == 1;
  }
  return false;
}

std::int64_t PushManager::arrivalStatus(const Dictionary& arriving,
                                        std::string_view launchKey) const {
  if (auto record = info()) {
    if (auto options = record->launchOptions()) {
      const Dictionary* launching = options->getDictionary(launchKey);
      if (launching && *launching == arriving) return PushNotification::kStatusStart;
    }
  }
  if (!host_ || !host_->notifications) return PushNotification::kStatusUnknown;
  switch (host_->notifications->applicationState()) {
    case ApplicationState::Active:
      return PushNotification::kStatusActive;
    case ApplicationState::Inactive:
    case ApplicationState::Background:
      return PushNotification::kStatusBackground;
  }
  return PushNotification::kStatusUnknown;
}

void PushManager::keepAndFire(Dictionary payload, std::int64_t status) {
  auto notification =
      PushNotification::create(std::move(payload), status, host_ ? host_->device : nullptr);
  notificationCenter_->append(notification);
  fireNotification(notification);
}

void PushManager::applicationDidReceiveRemoteNotification(const Value&, const Dictionary& payload) {
  if (logging::isOn()) logging::trace(traced(kRemoteLine, payload));
  const std::int64_t status = arrivalStatus(payload, kLaunchOptionsRemoteNotificationKey);
  if (isOrvoSilentPush(payload)) {
    logging::trace(kSilentLine);
    return;
  }
  // A payload taken in before (a replay, a duplicate delivery) is neither
  // acknowledged nor delivered again. One whose acknowledgement went out
  // but which a killed process never delivered is delivered now.
  auto filter = duplicateFilter();
  const auto key = filter ? DuplicateFilter::messageKey(payload) : std::nullopt;
  const auto stage = key ? filter->stage(*key) : DuplicateFilter::Stage::Unseen;
  if (stage == DuplicateFilter::Stage::Delivered) {
    logging::always(logging::format(kDuplicateLine, {*key}));
    return;
  }
  auto delivered = [filter, key] {
    if (key) filter->mark(*key, DuplicateFilter::Stage::Delivered);
  };
  const Value& mark = payload.get(keys::kFeedback);
  const std::string* text = mark.asString();
  if ((text && *text == keys::kFeedbackDone) || stage == DuplicateFilter::Stage::Acknowledged) {
    if (text && logging::isOn()) {
      logging::trace(logging::format(kAlreadyAcknowledgedLine, {*text}));
    }
    delivered();
    keepAndFire(payload, status);
    return;
  }
  std::weak_ptr<PushManager> weak = weak_from_this();
  // Shared, not copied, by the callbacks the acknowledgement passes through;
  // it answers once, so the payload can then be moved into the record.
  auto kept = std::make_shared<Dictionary>(payload);
  feedback(payload, [weak, kept, status, delivered](bool acknowledged) {
    auto self = weak.lock();
    if (!self) return;
    if (acknowledged) kept->set(std::string(keys::kFeedback), std::string(keys::kFeedbackDone));
    // Marked before the delegate hears it: a process killed while the
    // delegate runs does not deliver it twice.
    delivered();
    self->keepAndFire(std::move(*kept), status);
  });
  // After the acknowledgement is queued (durable with the outbox on), and
  // never back from delivered.
  if (key) filter->mark(*key, DuplicateFilter::Stage::Acknowledged);
}

void PushManager::applicationDidReceiveRemoteNotificationFetchCompletionHandler(
    const Value& application, const Dictionary& payload,
    const std::function<void(std::int64_t result)>& completion) {
  if (logging::isOn()) logging::trace(traced(kFetchLine, payload));
  applicationDidReceiveRemoteNotification(application, payload);
  if (completion) completion(kFetchResultNewData);
}

void PushManager::applicationDidReceiveLocalNotification(const Value&,
                                                         const Dictionary& notification) {
  if (logging::isOn()) logging::trace(traced(kLocalLine, notification));
  const std::int64_t status = arrivalStatus(notification, kLaunchOptionsLocalNotificationKey);
  const Dictionary* userInfo = notification.getDictionary(kLocalNotificationUserInfoKey);
  auto entry = [userInfo](std::string_view key) {
    return userInfo ? userInfo->find(key) : nullptr;
  };

  // An entry the notification lacks is left out rather than invented.
  Dictionary aps{{std::string(keys::kBadge), kLocalBadge},
                 {std::string(keys::kSound), std::string(kLocalSound)}};
  setIfPresent(aps, keys::kAlert, notification.find(kLocalNotificationAlertBodyKey));
  Dictionary orv{{std::string(keys::kSender), std::string(kLocalSender)}};
  if (auto record = info()) orv.set(std::string(keys::kAppID), record->applicationID());
  setIfPresent(orv, keys::kMessageUniqueKey, entry(kLocalMessageUIDKey));
  setIfPresent(orv, keys::kExt, entry(kLocalExtKey));
  keepAndFire(Dictionary{{std::string(keys::kAps), std::move(aps)},
                         {std::string(keys::kOrv), std::move(orv)}},
              status);
}

void PushManager::applicationHandleActionWithIdentifier(const Value& application,
                                                        const std::string&,
                                                        const Dictionary& payload,
                                                        const std::function<void()>& completion) {
  applicationDidReceiveRemoteNotification(application, payload);
  if (completion) completion();
}

void PushManager::userNotificationCenterWillPresentNotification(
    NotificationHost& center, const PlatformNotification& notification,
    std::function<void(std::int64_t options)> completion) {
  if (logging::isOn()) logging::trace(traced(kWillPresentLine, notification.userInfo));
  auto target = delegate();
  if (target && target->userNotificationCenterWillPresentNotification) {
    target->userNotificationCenterWillPresentNotification(*this, center, notification,
                                                          std::move(completion));
    return;
  }
  if (completion) completion(kNotificationOptionsAll);
}

void PushManager::userNotificationCenterDidReceiveNotificationResponse(
    NotificationHost&, const PlatformNotification& notification,
    const std::function<void()>& completion) {
  if (logging::isOn()) logging::trace(traced(kResponseLine, notification.userInfo));
  bool isLaunchMessage = false;
  {
    std::lock_guard lock(mutex_);
    if (launchMessage_ && *launchMessage_ == notification.userInfo) {
      launchMessage_.reset();
      isLaunchMessage = true;
    }
  }
  if (isLaunchMessage) {
    // Taken in at launch already.
    logging::trace(kSkipLaunchLine);
  } else {
    applicationDidReceiveRemoteNotification(Value(), notification.userInfo);
  }
  if (completion) completion();
}

void PushManager::fireNotification(const std::shared_ptr<PushNotification>& notification) {
  logging::trace(kFireLine);
  if (!notification) return;
  const bool on = enabled();
  auto target = delegate();
  if (!on || !target) {
    logging::always(logging::format(kWaitingLine, {on ? "1" : "0"}));
    return;
  }
  // Claimed before the call, so two threads delivering at once hand it over once.
  if (!notification->claimDelivery()) return;
  const bool older = static_cast<bool>(target->didReceiveRemoteNotification);
  const bool newer = static_cast<bool>(target->didReceiveUserNotification);
  if (older) logging::always(kDeprecatedLine);
  const std::string status(notification->statusString());
  if (older && !newer) {
    target->didReceiveRemoteNotification(*this, notification->payload(), status);
  } else if (newer) {
    target->didReceiveUserNotification(*this, notification->payload(), status,
                                       notification->messageUID());
  }
}

void PushManager::fireUnexpiredNotifications() {
  logging::trace(kFireAllLine);
  for (const auto& notification : notificationCenter_->unexpiredNotifications()) {
    fireNotification(notification);
  }
}

void PushManager::feedback(const Dictionary& payload, ResultHandler completion) {
  logging::trace(kFeedbackLine);
  if (refusedWithoutConsent(kFeedbackName)) {
    if (completion) completion(false);
    return;
  }
  if (outbox() && queue("message", "feedback", withPayload(payload), completion)) return;
  receiver_->feedback(
      [completion = std::move(completion)](bool success, const std::optional<ErrorInfo>&) {
        if (completion) completion(success);
      },
      payload);
}

void PushManager::feedback(const Dictionary& payload, const std::string& clientUID,
                           const std::string& psID, ResultHandler completion) {
  logging::trace(kFeedbackCustomLine);
  if (refusedWithoutConsent(kFeedbackName)) {
    if (completion) completion(false);
    return;
  }
  if (queue("message", "feedbackFor",
            Dictionary{{"payload", payload}, {"clientUID", clientUID}, {"psID", psID}},
            completion)) {
    return;
  }
  receiver_->feedback(
      [completion = std::move(completion)](bool success, const std::optional<ErrorInfo>&) {
        if (completion) completion(success);
      },
      clientUID, psID, payload);
}

}  // namespace orvo
