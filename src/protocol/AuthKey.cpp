// The auth key that precedes almost every receiver call, cached in the record
// for the life of the process.
#include <string>

#include "orvo/PushErrors.h"
#include "orvo/ReceiverProtocol.h"
#include "orvo/Version.h"
#include "protocol/ReceiverParameters.h"
#include "transport/PushNetworkManager.h"

namespace orvo {
namespace {

// Receivers up to this version take no auth key.
constexpr std::string_view kAuthKeyVersion = "3.0";
// Above this version the request names the application too.
constexpr std::string_view kAuthKeyAppIDVersion = "3.5";

}  // namespace

void ReceiverProtocol::asking(AuthKeyHandler completion) {
  auto info = currentInfo();
  if (!info) {
    if (completion) {
      completion(false, std::string(),
                 libraryError(errors::kAccessInterface, errors::kAccessInterfaceText));
    }
    return;
  }
  askingImpl(std::move(completion), info->tempClientUID(), info->pushServiceID(),
             /*force=*/false, /*resendAfterAuthFailure=*/true);
}

void ReceiverProtocol::asking(AuthKeyHandler completion, std::string clientUID,
                              std::string pushServiceID) {
  askingImpl(std::move(completion), std::move(clientUID), std::move(pushServiceID),
             /*force=*/false, /*resendAfterAuthFailure=*/true);
}

void ReceiverProtocol::asking(AuthKeyHandler completion, std::string clientUID,
                              std::string pushServiceID, bool force) {
  askingImpl(std::move(completion), std::move(clientUID), std::move(pushServiceID), force,
             /*resendAfterAuthFailure=*/true);
}

void ReceiverProtocol::askingImpl(AuthKeyHandler completion, std::string clientUID,
                                  std::string pushServiceID, bool force,
                                  bool resendAfterAuthFailure) {
  auto info = currentInfo();
  if (!info) {
    if (completion) {
      completion(false, std::string(),
                 libraryError(errors::kAccessInterface, errors::kAccessInterfaceText));
    }
    return;
  }
  const std::string receiver = info->receiverVersion();
  if (!versionIsAbove(receiver, kAuthKeyVersion)) {
    if (completion) completion(true, std::string(), std::nullopt);
    return;
  }
  if (!force) {
    if (auto cached = info->authKey()) {
      if (completion) completion(true, *cached, std::nullopt);
      return;
    }
  }

  namespace keys = receiver_keys;
  Dictionary parameters;
  if (versionIsAbove(receiver, kAuthKeyAppIDVersion)) {
    parameters.set(std::string(keys::kAppID), info->applicationID());
  }
  parameters.set(std::string(keys::kClientUID), std::move(clientUID));
  parameters.set(std::string(keys::kPushServiceID), std::move(pushServiceID));

  std::weak_ptr<ReceiverProtocol> weakSelf = weak_from_this();
  sendForm(
      endpoints::kAskingAuthorization, parameters,
      [weakSelf, info, completion = std::move(completion)](const std::optional<Dictionary>& body,
                                                           const std::optional<ErrorInfo>& error) {
        if (error) {
          if (completion) completion(false, std::string(), error);
          return;
        }
        const Value* key = body ? body->find(keys::kAuthKey) : nullptr;
        if (!key) {
          if (completion) completion(true, std::string(), std::nullopt);
          return;
        }
        // The key belongs to whichever record is current when it arrives.
        auto self = weakSelf.lock();
        auto record = self ? self->currentInfo() : nullptr;
        if (!record) record = info;
        std::string text = key->stringOr("");
        record->setAuthKey(text);
        if (completion) completion(true, text, std::nullopt);
      },
      resendAfterAuthFailure);
}

}  // namespace orvo
