// The user's last session and purchases, reported as JSON to the
// session-and-purchase server: an exchange of its own on the host's HTTP
// client beside the receiver transport, and the list of purchases already
// reported, kept across launches.
#include <algorithm>
#include <cstdio>
#include <utility>

#include "manager/OperationSupport.h"
#include "manager/RequestGuard.h"
#include "orvo/DictionaryLookups.h"
#include "orvo/Json.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "transport/NetworkLog.h"
#include "transport/PushNetworkManager.h"

namespace orvo {
namespace {

using namespace network_log;

using operations::textOf;

constexpr std::string_view kSessionLine = "PushManager - updateSession (cuid:%@)";
constexpr std::string_view kSessionOptionLine = "PushManager - updateSession (option:%@)";
constexpr std::string_view kPurchaseLine = "PushManager - updatePurchase (id:%@ cuid:%@)";
constexpr std::string_view kPurchaseOptionLine = "PushManager - updatePurchase (option:%@)";
constexpr std::string_view kSendxeltName = "sendxelt";

// Request options.
constexpr std::string_view kPathKey = "path";
constexpr std::string_view kHostKey = "host";
constexpr std::string_view kTimeoutKey = "timeout";
constexpr std::string_view kSessionPath = "mobile/last-session";
constexpr std::string_view kPurchasePath = "mobile/purchase";
constexpr double kDefaultTimeoutSeconds = 30.0;
constexpr std::string_view kContentTypeHeader = "Content-Type";
constexpr std::string_view kJsonContentType = "application/json";

// Body keys; the option forms read the same keys.
constexpr std::string_view kApplicationIDKey = "appId";
constexpr std::string_view kClientUIDKey = "cuid";
constexpr std::string_view kPurchaseIDKey = "id";

// The failure result.
constexpr std::string_view kCodeKey = "code";
constexpr std::string_view kMessageKey = "message";
constexpr std::string_view kNoCode = "0";
constexpr std::string_view kAlreadyReported = "already update Purchase id";
constexpr std::string_view kInvalidResultData = "invalid_result_data";
constexpr std::string_view kInvalidStatusCode = "invalid_status_code";
constexpr std::string_view kInvalidResultBody = "invalid_result_body";
constexpr std::string_view kNoHttpClient = "no HTTP client";

// Purchases remembered, newest last.

Value failure(std::string code, std::string_view message) {
  return Dictionary{{std::string(kCodeKey), std::move(code)},
                    {std::string(kMessageKey), std::string(message)}};
}

Value missingValue() {
  return failure(std::string(kNoCode), PushManager::kMissingReportValueMessage);
}

// Every report outcome reaches its completion as a step of its own on the main
// queue, early failures included, so the callback's thread never depends on
// the caller's.
void deliver(const std::shared_ptr<const Host>& host, const ReportHandler& completion, bool success,
             std::optional<Value> result) {
  if (!completion) return;
  auto call = [completion, success, result = std::move(result)] { completion(success, result); };
  if (host && host->mainQueue) {
    host->mainQueue->post(std::move(call));
  } else {
    call();
  }
}

// A report the gate refused: the consent error's code and text when that was
// the reason.
void refuseReport(const PushManager& manager, const ReportHandler& completion) {
  std::optional<Value> result;
  if (!manager.consentGiven()) {
    result = failure(std::to_string(errors::kConsentWithheld), errors::kConsentWithheldText);
  }
  deliver(manager.host(), completion, false, std::move(result));
}

// The answer's checks, in order; the first that fails decides.
std::pair<bool, Value> interpret(const HttpResult& result) {
  if (result.error) {
    return {false, failure(std::to_string(result.error->code), result.error->description)};
  }
  if (!result.response) return {false, failure(std::string(kNoCode), kInvalidResultData)};
  Result<Value> parsed = parseJson(result.response->body);
  if (!parsed.ok()) {
    return {false, failure(std::to_string(parsed.error().code), parsed.error().description)};
  }
  const long status = result.response->statusCode;
  if (status < 200 || status > 299) {
    return {false, failure(std::to_string(status), kInvalidStatusCode)};
  }
  if (parsed.value().isNull()) return {false, failure(std::string(kNoCode), kInvalidResultBody)};
  return {true, std::move(parsed).value()};
}

// Whole seconds from a number or a numeric text. A value that reads as no
// positive time falls back to the default rather than a request that can
// never finish or ends at once.
double timeoutOf(const Dictionary& options) {
  if (!options.contains(kTimeoutKey)) return kDefaultTimeoutSeconds;
  const std::int64_t seconds = integerForKey(options, kTimeoutKey);
  return seconds > 0 ? static_cast<double>(seconds) : kDefaultTimeoutSeconds;
}

// A report's request options: its own path, which the option cannot change,
// and from the application's option only what concerns the request ("host",
// "timeout"). The option's other entries ("cuid", "id") are body values and
// are not request options.
Dictionary requestOptions(std::string_view path, const Dictionary& option) {
  Dictionary options{{std::string(kPathKey), path}};
  for (std::string_view key : {kHostKey, kTimeoutKey}) {
    if (const Value* value = option.find(key)) options.set(std::string(key), *value);
  }
  return options;
}

Value textValue(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }

bool alreadyReported(const Array& purchases, const Value& purchaseID) {
  if (purchaseID.isNull()) return false;
  return std::find(purchases.begin(), purchases.end(), purchaseID) != purchases.end();
}

// A report with every body value present; otherwise a failure and nothing
// sent. The record's application ID is "" when the manifest has none.
// How a built report leaves: through the outbox when it is on.
using Exchange = std::function<void(Dictionary options, Value body, ReportHandler completion)>;

void sendSession(PushManager& manager, const Dictionary& option, const Value& cuid,
                 ReportHandler completion, const Exchange& exchange) {
  auto record = manager.info();
  const std::string applicationID = record ? record->applicationID() : std::string();
  if (applicationID.empty() || cuid.isNull()) {
    deliver(manager.host(), completion, false, missingValue());
    return;
  }
  exchange(requestOptions(kSessionPath, option),
           Dictionary{{std::string(kApplicationIDKey), applicationID},
                      {std::string(kClientUIDKey), cuid}},
           std::move(completion));
}

void sendPurchase(PushManager& manager, const Dictionary& option, const Value& purchaseID,
                  const Value& cuid, ReportHandler completion, const Exchange& exchange) {
  if (purchaseID.isNull() || cuid.isNull()) {
    deliver(manager.host(), completion, false, missingValue());
    return;
  }
  // Only a report whose outcome someone waits for is recorded.
  ReportHandler recorded;
  if (completion) {
    recorded = [weak = manager.weak_from_this(), purchaseID, completion](
                   bool success, const std::optional<Value>& result) {
      if (auto self = weak.lock()) self->updatePurchaseArray(purchaseID);
      completion(success, result);
    };
  }
  exchange(
      requestOptions(kPurchasePath, option),
      Dictionary{{std::string(kPurchaseIDKey), purchaseID}, {std::string(kClientUIDKey), cuid}},
      std::move(recorded));
}

}  // namespace

std::function<void(Dictionary, Value, ReportHandler)> PushManager::reportExchange(
    std::string_view operation) {
  return [self = shared_from_this(), operation = std::string(operation)](
             Dictionary options, Value body, ReportHandler completion) {
    Dictionary entry{{"options", options}, {"body", body}};
    if (self->queueReport(operation, std::move(entry), completion)) return;
    self->sendxelt(options, body, std::move(completion));
  };
}

void PushManager::updateSession(const Value& caller, std::optional<std::string> cuid,
                                ReportHandler completion) {
  operations::trace(kSessionLine, textOf(cuid));
  if (!passGate([self = shared_from_this(), caller, cuid,
                 completion] { self->updateSession(caller, cuid, completion); },
                [self = shared_from_this(), completion] { refuseReport(*self, completion); })) {
    return;
  }
  sendSession(*this, Dictionary{}, textValue(cuid), std::move(completion),
              reportExchange("session"));
}

void PushManager::updateSessionWithOption(const Value& caller, const Dictionary& option,
                                          ReportHandler completion) {
  operations::trace(kSessionOptionLine, describe(option));
  if (!passGate([self = shared_from_this(), caller, option,
                 completion] { self->updateSessionWithOption(caller, option, completion); },
                [self = shared_from_this(), completion] { refuseReport(*self, completion); })) {
    return;
  }
  sendSession(*this, option, option.get(kClientUIDKey), std::move(completion),
              reportExchange("session"));
}

void PushManager::updatePurchase(const Value& caller, std::optional<std::string> purchaseID,
                                 std::optional<std::string> cuid, ReportHandler completion) {
  operations::trace(kPurchaseLine, textOf(purchaseID), textOf(cuid));
  const Value id = textValue(purchaseID);
  if (alreadyReported(purchaseArray(), id)) {
    deliver(host_, completion, false, failure(std::string(kNoCode), kAlreadyReported));
    return;
  }
  if (!passGate([self = shared_from_this(), caller, purchaseID, cuid,
                 completion] { self->updatePurchase(caller, purchaseID, cuid, completion); },
                [self = shared_from_this(), completion] { refuseReport(*self, completion); })) {
    return;
  }
  sendPurchase(*this, Dictionary{}, id, textValue(cuid), std::move(completion),
               reportExchange("purchase"));
}

void PushManager::updatePurchase(const Value& caller, const Dictionary& option,
                                 ReportHandler completion) {
  operations::trace(kPurchaseOptionLine, describe(option));
  const Value id = option.get(kPurchaseIDKey);
  if (alreadyReported(purchaseArray(), id)) {
    deliver(host_, completion, false, failure(std::string(kNoCode), kAlreadyReported));
    return;
  }
  if (!passGate([self = shared_from_this(), caller, option,
                 completion] { self->updatePurchase(caller, option, completion); },
                [self = shared_from_this(), completion] { refuseReport(*self, completion); })) {
    return;
  }
  sendPurchase(*this, option, id, option.get(kClientUIDKey), std::move(completion),
               reportExchange("purchase"));
}

void PushManager::updatePurchaseArray(const Value& purchaseID) {
  // An absent identifier names no purchase.
  if (purchaseID.isNull()) return;
  std::lock_guard store(purchaseStoreMutex_);
  Array purchases;
  {
    std::lock_guard lock(mutex_);
    // Room for one more, however long the list was when it was loaded.
    if (purchaseArray_.size() >= PushManager::kPurchaseListLimit) {
      const auto excess =
          static_cast<std::ptrdiff_t>(purchaseArray_.size() - PushManager::kPurchaseListLimit + 1);
      purchaseArray_.erase(purchaseArray_.begin(), purchaseArray_.begin() + excess);
    }
    purchaseArray_.push_back(purchaseID);
    purchases = purchaseArray_;
  }
  if (!host_ || !host_->settings) return;
  host_->settings->set(kPurchaseArrayKey, Value(std::move(purchases)));
  host_->settings->synchronize();
}

void PushManager::sendxelt(const Dictionary& options, const Value& data, ReportHandler completion) {
  if (refusedWithoutConsent(kSendxeltName)) return refuseReport(*this, completion);
  xeltExchange(options, data,
               [host = host_, completion = std::move(completion)](const HttpResult*, bool success,
                                                                  Value outcome) {
                 deliver(host, completion, success, std::move(outcome));
               });
}

void PushManager::xeltExchange(const Dictionary& options, const Value& data, XeltDone done) {
  const std::string* path = options.getString(kPathKey);
  if (!path || data.isNull()) {
    done(nullptr, false, missingValue());
    return;
  }
  std::string base;
  if (const std::string* host = options.getString(kHostKey)) {
    base = *host;
  } else if (auto record = info()) {
    base = record->xeltHost();
  }
  // Strings that are not UTF-8 and values JSON cannot hold fail here, before
  // anything is sent.
  Result<std::string> body = writeJson(data, JsonStyle::Pretty);
  if (!body.ok()) {
    done(nullptr, false, failure(std::to_string(body.error().code), body.error().description));
    return;
  }

  // The receiver's request shape (POST, Content-Length, cookies off) with a
  // JSON body and this exchange's time-out.
  HttpRequest request = PushNetworkManager::createRequest(endpointURL(base, *path), body.value());
  request.headers.set(std::string(kContentTypeHeader), std::string(kJsonContentType));
  request.timeoutSeconds = timeoutOf(options);

  std::string name(lastPathComponent(request.url));
  if (logging::isOn()) {
    logging::trace(logging::format(kServiceStartLine, {name}));
    logging::trace("");
    logging::trace(logging::format(kUrlLine, {request.url}));
    logging::trace(logging::format(kParamLine, {describe(data)}));
    logging::trace(logging::format(kTimeoutLine, {fixedSeconds(request.timeoutSeconds)}));
    logging::trace(logging::format(kMethodLine, {request.method}));
    logging::trace(logging::format(kHeaderLine, {describe(request.headers)}));
  }

  auto handler = [name = std::move(name), done = std::move(done)](HttpResult result) {
    if (logging::isOn()) {
      const HttpResponse* response = result.response ? &*result.response : nullptr;
      logging::trace(kResponseLine);
      logging::trace(
          logging::format(kStatusLine, {std::to_string(response ? response->statusCode : 0)}));
      logging::trace(
          logging::format(kHeaderLine, {describe(response ? response->headers : Dictionary{})}));
      if (result.error) {
        logging::trace(logging::format(kTransportErrorLine, {describe(*result.error)}));
      }
      logging::trace(logging::format(kServiceEndLine, {name}));
    }
    auto [success, outcome] = interpret(result);
    done(&result, success, std::move(outcome));
  };
  if (!guard_) {
    handler(HttpResult{
        std::nullopt,
        ErrorInfo{std::string(kHttpTransportErrorDomain), -1, std::string(kNoHttpClient), {}}});
    return;
  }
  guard_->send(std::move(request), std::move(handler));
}

}  // namespace orvo
