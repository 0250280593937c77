/// @file
/// What the manager tells the application. Every operation is optional: an
/// empty function is one the delegate does not implement, and the manager then
/// calls nothing (the older and newer notification operations differ in which
/// one is called, so "implemented" matters, not just "does nothing").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"
#include "orvo/platform/NotificationHost.h"

namespace orvo {

class PushManager;
class PushManagerInfo;

/// The end of an outbox entry whose caller was not told it: one that
/// outlived its first attempt (the completion heard "queued"), one left by an
/// earlier run, or one dropped by the outbox's bounds.
struct OutboxReport {
  /// The entry's id, as PushManager::queuedEntry() gave it to the caller.
  std::int64_t id = 0;
  /// The operation's form: "feedback" (a payload), "feedbackFor" (a payload
  /// with a client UID and service ID), "feedbackKey", "read", "readBadge",
  /// "readKey", "readSeqNo", "readSeqNoBadge", "update", "session",
  /// "purchase" or "log".
  std::string operation;
  /// What the entry carried (the payload, the badge, the report body, ...).
  Dictionary arguments;
  /// The server took it.
  bool success = false;
  /// Removed by the bounds (max-entries, max-age) before it could succeed.
  bool dropped = false;
  /// Why it ended without success: the final refusal, or the last failure
  /// of a dropped entry.
  std::optional<ErrorInfo> error;
  /// The requests made for it in this run of the application.
  std::int32_t attempts = 0;
};

/// What a withdrawal of consent did (PushManager::setConsentGiven(false)).
struct ConsentWithdrawal {
  /// The receiver confirmed that the device is unregistered.
  bool unregistered = false;
  /// Why it is not: no registration to remove, or the receiver's failure.
  std::optional<ErrorInfo> unregisterError;
  /// The outbox entries dropped unsent.
  std::size_t outboxEntries = 0;
  /// The settings-store keys removed (the identity and the outbox).
  std::vector<std::string> settingsKeys;
  /// The keychain items removed (the device UUID).
  std::vector<std::string> keychainKeys;
};

/// What the application hears from the manager. Each member is optional: an
/// empty function is an operation the delegate does not implement (the manager
/// then uses the other form where there are two). Called on the thread of the
/// event that causes it, which is the main queue for the platform's events.
struct ORVO_PUSH_API PushManagerDelegate {
  /// The record was loaded, or the delegate was just registered.
  std::function<void(PushManager& manager, const std::shared_ptr<PushManagerInfo>& info)>
      didLoadPushInfo;
  /// The device token arrived; userInfo holds "token" with its text.
  std::function<void(PushManager& manager, const Dictionary& userInfo)>
      managerDidRegisterForRemoteNotifications;
  /// The platform could not give a device token.
  std::function<void(PushManager& manager, const ErrorInfo& error)>
      didFailToRegisterForRemoteNotificationsWithError;
  /// status is "START", "ACTIVE", "BACKGROUND" or "UNKNOWN".
  std::function<void(PushManager& manager, const Dictionary& payload, const std::string& status,
                     const std::string& messageUID)>
      didReceiveUserNotification;
  /// The older form; called only when didReceiveUserNotification is empty.
  std::function<void(PushManager& manager, const Dictionary& payload, const std::string& status)>
      didReceiveRemoteNotification;
  /// The delegate must answer the presentation callback with an option mask.
  std::function<void(PushManager& manager, NotificationHost& center,
                     const PlatformNotification& notification,
                     std::function<void(std::int64_t options)> completion)>
      userNotificationCenterWillPresentNotification;
  /// An outbox entry ended (see OutboxReport), on the main queue. Reports
  /// that come while no delegate is set wait for initilaizeWithDelegate.
  std::function<void(PushManager& manager, const OutboxReport& report)> didFinishQueuedOperation;
  /// Consent was withdrawn and the identity cleared (see ConsentWithdrawal),
  /// on the main queue once the unregistration has its answer.
  std::function<void(PushManager& manager, const ConsentWithdrawal& cleared)> didWithdrawConsent;
};

}  // namespace orvo
