// The user's consent: while it is withheld nothing reaches a server and no
// new identity is kept; withdrawing it unregisters the device and forgets it.
#include <utility>

#include "foundation/Log.h"
#include "manager/Outbox.h"
#include "manager/ProcessState.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/ReceiverProtocol.h"

namespace orvo {
namespace {

constexpr std::string_view kSetConsentLine = "PushManager - setConsentGiven: %@";
constexpr std::string_view kRefusedLine = "PushManager - %@ refused: %@";
constexpr std::string_view kWithdrawnLine =
    "PushManager - consent withdrawn: unregistered %@, %@ outbox entries dropped, identity cleared";
constexpr std::string_view kModeSandbox = "DEV";
constexpr std::string_view kModeProduction = "REAL";

enum ConsentCall : int { kUnread = -1, kNone = 0, kWithheld = 1, kGiven = 2 };

// The application's stored call; kNone when it never made one.
int storedCall(const Host* host) {
  if (!host || !host->settings) return kNone;
  const Value stored = host->settings->get(PushManager::kConsentGivenKey);
  const bool* given = stored.asBool();
  return given ? (*given ? kGiven : kWithheld) : kNone;
}

// The code's call wins over the manifest's default.
bool givenBy(int call) {
  if (call != kNone) return call == kGiven;
  return !PushManagerConfig::sharedConfig()->privacy().consentRequired;
}

}  // namespace

namespace detail {

bool storedConsentGiven(const Host* host) { return givenBy(storedCall(host)); }

}  // namespace detail

bool PushManager::consentGiven() const {
  int call = consentCall_.load();
  if (call == kUnread) {
    call = storedCall(host_.get());
    consentCall_ = call;
  }
  return givenBy(call);
}

bool PushManager::refusedWithoutConsent(std::string_view operation) const {
  if (consentGiven()) return false;
  // The completion of most operations takes only a bool: the line says why.
  logging::always(logging::format(kRefusedLine, {operation, errors::kConsentWithheldText}));
  return true;
}

ErrorInfo PushManager::gateError() const {
  return consentGiven() ? libraryError(errors::kAccessInterface, errors::kAccessInterfaceText)
                        : libraryError(errors::kConsentWithheld, errors::kConsentWithheldText);
}

void PushManager::setConsentGiven(bool given) {
  logging::trace(logging::format(kSetConsentLine, {given ? "1" : "0"}));
  if (host_ && host_->settings) {
    host_->settings->set(kConsentGivenKey, Value(given));
    host_->settings->synchronize();
  }
  consentCall_ = given ? kGiven : kWithheld;
  if (given) return;

  ConsentWithdrawal cleared;
  if (auto box = outbox()) {
    // Loaded by depth() first, so that the keys listed are the entries'.
    if (box->depth() > 0 && host_ && host_->settings) {
      for (auto& key : host_->settings->keys(Outbox::kEntryKeyPrefix))
        cleared.settingsKeys.push_back(std::move(key));
    }
    cleared.outboxEntries = box->clear();
  }
  // Loading the record reaches no server; it tells whether there is a
  // registration to remove.
  requestAccessInterface(nullptr);
  auto record = info();
  if (!record || record->pushServiceID().empty() || !receiver_) {
    if (host_ && host_->mainQueue) {
      host_->mainQueue->post([self = shared_from_this(), cleared = std::move(cleared)]() mutable {
        self->finishWithdrawal(std::move(cleared));
      });
    } else {
      finishWithdrawal(std::move(cleared));
    }
    return;
  }
  // The unregistration (and the auth key it needs) passes the request guard.
  ++withdrawing_;
  receiver_->unregisterService([self = shared_from_this(), cleared = std::move(cleared)](
                                   bool success, const std::optional<ErrorInfo>& error) mutable {
    --self->withdrawing_;
    cleared.unregistered = success;
    cleared.unregisterError = error;
    self->finishWithdrawal(std::move(cleared));
  });
}

void PushManager::finishWithdrawal(ConsentWithdrawal cleared) {
  if (auto record = info()) {
    record->resetStorageData();
    record->setAuthKey(std::nullopt);
    record->setAppAliveLastDate(std::nullopt);
    cleared.keychainKeys.push_back(record->resetDeviceUUID());
    cleared.settingsKeys.push_back(cleared.keychainKeys.back());
  }
  if (host_ && host_->settings) {
    // The service ID of either build environment, whichever this one is.
    for (std::string_view mode : {kModeSandbox, kModeProduction}) {
      std::string key = std::string(mode) + "." + std::string(PushManagerInfo::kPushServiceIDKey);
      host_->settings->remove(key);
      cleared.settingsKeys.push_back(std::move(key));
    }
    host_->settings->synchronize();
  }
  for (std::string_view key :
       {PushManagerInfo::kClientUIDKey, PushManagerInfo::kClientNameKey,
        PushManagerInfo::kGroupSequenceNumberKey, PushManagerInfo::kPhoneNumberKey,
        PushManagerInfo::kPushServiceLastDateKey}) {
    cleared.settingsKeys.emplace_back(key);
  }
  logging::always(logging::format(kWithdrawnLine, {cleared.unregistered ? "yes" : "no",
                                                   std::to_string(cleared.outboxEntries)}));
  auto target = delegate();
  if (target && target->didWithdrawConsent) target->didWithdrawConsent(*this, cleared);
}

}  // namespace orvo
