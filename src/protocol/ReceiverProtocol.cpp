// What every receiver operation shares: the record and log switch of the
// owner, and the way a parameter dictionary reaches the transport.
#include "orvo/ReceiverProtocol.h"

#include "foundation/Log.h"
#include "orvo/FormEncoding.h"
#include "orvo/PushErrors.h"
#include "transport/PushNetworkManager.h"

namespace orvo {

std::shared_ptr<ReceiverProtocol> ReceiverProtocol::create(std::shared_ptr<ReceiverContext> context,
                                                           std::shared_ptr<const Host> host) {
  return std::shared_ptr<ReceiverProtocol>(
      new ReceiverProtocol(std::move(context), std::move(host)));
}

ReceiverProtocol::ReceiverProtocol(std::shared_ptr<ReceiverContext> context,
                                   std::shared_ptr<const Host> host)
    : context_(std::move(context)), host_(std::move(host)) {}

std::shared_ptr<PushManagerInfo> ReceiverProtocol::currentInfo() const {
  return context_ ? context_->info() : nullptr;
}

bool ReceiverProtocol::logEnabled() const { return context_ && context_->logEnabled(); }

void ReceiverProtocol::logLine(std::string_view format,
                               std::initializer_list<std::string_view> values) const {
  if (logEnabled()) logAlways(format, values);
}

void ReceiverProtocol::logAlways(std::string_view format,
                                 std::initializer_list<std::string_view> values) const {
  if (host_ && host_->log) host_->log->write(logging::format(format, values));
}

void ReceiverProtocol::sendForm(std::int64_t endpoint, const Dictionary& parameters,
                                std::function<void(const std::optional<Dictionary>& body,
                                                   const std::optional<ErrorInfo>& error)>
                                    completion,
                                bool resendAfterAuthFailure) {
  std::weak_ptr<ReceiverProtocol> weakSelf = weak_from_this();
  TransportEnvironment environment;
  environment.http = host_ ? host_->http : nullptr;
  environment.mainQueue = host_ ? host_->mainQueue : nullptr;
  environment.info = [weakSelf] {
    auto self = weakSelf.lock();
    return self ? self->currentInfo() : nullptr;
  };
  environment.logEnabled = [weakSelf] {
    auto self = weakSelf.lock();
    return self && self->logEnabled();
  };
  environment.log = host_ ? host_->log : nullptr;
  environment.refreshAuthKey = [weakSelf](std::string clientUID, std::string pushServiceID,
                                          AuthKeyHandler done) {
    auto self = weakSelf.lock();
    if (!self) {
      done(false, std::string(),
           libraryError(errors::kAccessInterface, errors::kAccessInterfaceText));
      return;
    }
    self->askingImpl(std::move(done), std::move(clientUID), std::move(pushServiceID),
                     /*force=*/true, /*resendAfterAuthFailure=*/false);
  };
  PushNetworkManager::connect(
      environment, endpoint, queryStringForOrvo(parameters),
      [completion = std::move(completion)](
          const std::optional<HttpResponse>&, const std::optional<Dictionary>&,
          const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
        if (completion) completion(body, error);
      },
      resendAfterAuthFailure);
}

void ReceiverProtocol::authorized(const std::shared_ptr<PushManagerInfo>& info,
                                  std::string_view errorLine, FailureHandler fail,
                                  AuthorizedStep step) {
  authorized(info->tempClientUID(), info->pushServiceID(), info, errorLine, std::move(fail),
             std::move(step));
}

void ReceiverProtocol::authorized(std::string clientUID, std::string pushServiceID,
                                  const std::shared_ptr<PushManagerInfo>& info,
                                  std::string_view errorLine, FailureHandler fail,
                                  AuthorizedStep step) {
  // The operation keeps its owner's protocol alive until its answer arrives.
  auto self = shared_from_this();
  asking(
      [self, info, errorLine, fail = std::move(fail), step = std::move(step)](
          bool, const std::string& authKey, const std::optional<ErrorInfo>& error) {
        if (error) {
          self->logLine(errorLine, {error->description});
          fail(*error);
          return;
        }
        auto record = self->currentInfo();
        step(self, record ? record : info, authKey);
      },
      std::move(clientUID), std::move(pushServiceID));
}

}  // namespace orvo
