// What every receiver operation shares: the record and log switch of the
// owner, and the way a parameter dictionary reaches the transport.
#include "orvo/ReceiverProtocol.h"

#include "foundation/Log.h"
#include "orvo/FormEncoding.h"
#include "orvo/PushErrors.h"
#include "protocol/Operations.h"
#include "protocol/ReceiverParameters.h"
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

namespace {

void endWith(const ReceiverHandler& end, bool success, const std::optional<ErrorInfo>& error) {
  if (end) end(success, error);
}

}  // namespace

void ReceiverProtocol::run(protocol::Op op, protocol::Call call) {
  const protocol::Operation& row = protocol::operation(op);
  auto info = currentInfo();
  if (!info) return endWith(call.end, false, protocol::accessError());

  auto finish = [this, &call](const protocol::Ending& ending) {
    if (!ending.line.empty()) {
      ending.logAlways ? logAlways(ending.line, {ending.lineValue})
                       : logLine(ending.line, {ending.lineValue});
    }
    endWith(call.end, ending.success, ending.error);
  };
  for (const protocol::Gate& gate : row.gates) {
    const bool holds = gate.test == protocol::Gate::Test::Guest
                           ? info->clientUID() == receiver_keys::kGuest
                           : gate.refused.contains(info->receiverVersion());
    if (!holds) continue;
    if (gate.code == 0) return finish({true, std::nullopt, gate.line, {}, gate.logAlways});
    ErrorInfo error =
        libraryError(gate.code, logging::format(gate.text, {info->receiverDebugVersion()}));
    std::string_view line = gate.line.empty() ? row.errorLine : gate.line;
    return finish({false, error, line, error.description, gate.logAlways});
  }
  if (call.check) {
    if (auto ending = call.check(*info)) return finish(*ending);
  }

  std::string clientUID;
  std::string pushServiceID;
  switch (row.presenting) {
    case protocol::Presenting::TemporaryClientUID:
      clientUID = info->tempClientUID();
      pushServiceID = info->pushServiceID();
      break;
    case protocol::Presenting::RecordClientUID:
      clientUID = info->clientUID();
      pushServiceID = info->pushServiceID();
      break;
    case protocol::Presenting::CallClientUID:
      clientUID = call.arguments.get(receiver_keys::kClientUID).stringOr("");
      pushServiceID = call.arguments.get(receiver_keys::kPushServiceID).stringOr("");
      break;
  }
  // The call keeps its owner's protocol alive until its answer arrives.
  asking(
      [self = shared_from_this(), op, info, call = std::move(call)](
          bool, const std::string& authKey, const std::optional<ErrorInfo>& error) mutable {
        const protocol::Operation& row = protocol::operation(op);
        if (error) {
          self->logLine(row.errorLine, {error->description});
          return endWith(call.end, false, error);
        }
        // The record current when the key arrives is the one the call speaks for.
        auto record = self->currentInfo();
        if (!record) record = info;
        if (call.prepare) call.prepare(*record);
        Dictionary parameters = receiver_keys::parametersFor(
            *record, protocol::keysFor(row, record->receiverVersion()), authKey, call.arguments);
        self->sendForm(row.endpoint, parameters,
                       [self, asked = std::move(record), end = std::move(call.end),
                        answer = std::move(call.answer)](const std::optional<Dictionary>& body,
                                                         const std::optional<ErrorInfo>& error) {
                         if (!answer) return endWith(end, !error, error);
                         auto current = self->currentInfo();
                         answer(*self, current ? current : asked, body, error);
                       });
      },
      std::move(clientUID), std::move(pushServiceID));
}

}  // namespace orvo
