// The manager's side of the outbox: which operations it takes, how an
// attempt of each runs again from what the entry carries, which answers are
// worth another attempt, and what the caller and the delegate hear.
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "foundation/Log.h"
#include "manager/DuplicateFilter.h"
#include "manager/Outbox.h"
#include "manager/ServerLog.h"
#include "orvo/Json.h"
#include "orvo/PushErrors.h"
#include "orvo/PushManager.h"
#include "orvo/PushManagerConfig.h"
#include "orvo/ReceiverProtocol.h"
#include "platform/HttpHeaders.h"
#include "transport/PushNetworkManager.h"

namespace orvo {
namespace {

// What the entries carry.
constexpr std::string_view kPayloadKey = "payload";
constexpr std::string_view kClientUIDKey = "clientUID";
constexpr std::string_view kPushServiceIDKey = "psID";
constexpr std::string_view kMessageUniqueKeyKey = "messageUniqueKey";
constexpr std::string_view kSeqNoKey = "seqNo";
constexpr std::string_view kSenderKey = "sender";
constexpr std::string_view kDbInKey = "dbIn";
constexpr std::string_view kBadgeOptionKey = "badgeOption";
constexpr std::string_view kBadgeKey = "badge";
constexpr std::string_view kOptionsKey = "options";
constexpr std::string_view kBodyKey = "body";
constexpr std::string_view kErrorTextKey = "error";

// A report's result while its entry stays queued.
constexpr std::string_view kCodeKey = "code";
constexpr std::string_view kMessageKey = "message";
constexpr std::string_view kIDKey = "id";
constexpr std::string_view kQueuedMessage = "queued";

constexpr std::string_view kUnknownOperation = "unknown outbox operation: %@";
constexpr std::string_view kLogRefused = "the log server refused the record";
constexpr std::string_view kNoLogServer = "no log server";
constexpr std::string_view kQueuedLine = "PushManager - %@ queued in the outbox as #%@";

// Set while a completion runs for an entry that stays queued.
thread_local std::int64_t queuedNow = 0;

std::optional<std::string> optionalText(const Dictionary& arguments, std::string_view key) {
  if (const std::string* text = arguments.getString(key)) return *text;
  return std::nullopt;
}

const Dictionary& payloadOf(const Dictionary& arguments) {
  static const Dictionary kNone;
  const Dictionary* payload = arguments.getDictionary(kPayloadKey);
  return payload ? *payload : kNone;
}

// Retry-After as delta seconds or as an HTTP date, from now; absent when it
// is neither, and the backoff alone decides.
std::optional<double> retryAfterSeconds(const std::string* text, double now) {
  if (!text || text->empty()) return std::nullopt;
  if (std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::strtod(text->c_str(), nullptr);
  }
  if (auto date = http::parseHttpDate(*text)) return std::max(0.0, *date - now);
  return std::nullopt;
}

bool transientStatus(std::int64_t status) {
  return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

// A receiver operation's outcome: what a retry could change (the network,
// the server's load, an answer that could not be read, a refused auth key)
// and what it could not (a well-formed refusal, the library's own checks).
OutboxVerdict receiverVerdict(bool success, const std::optional<ErrorInfo>& error, double now) {
  if (success || !error) return {OutboxVerdict::Kind::Done};
  OutboxVerdict verdict{OutboxVerdict::Kind::Final, error};
  const Value* statusValue = error->userInfo.find(kStatusCodeInfoKey);
  if (const std::int64_t* status = statusValue ? statusValue->asInt() : nullptr) {
    if (transientStatus(*status)) {
      verdict.kind = OutboxVerdict::Kind::Retry;
      verdict.retryAfterSeconds =
          retryAfterSeconds(error->userInfo.getString(kRetryAfterInfoKey), now);
    }
  } else if (error->domain == kHttpTransportErrorDomain || error->domain == kJsonErrorDomain) {
    verdict.kind = OutboxVerdict::Kind::Retry;
  } else if (error->domain == kNetworkErrorDomain) {
    if (error->description == "fail_auth") {
      verdict.kind = OutboxVerdict::Kind::Retry;
      verdict.authFailure = true;
    } else if (error->description == "invalid_result_data" ||
               error->description == "invalid_result_header") {
      verdict.kind = OutboxVerdict::Kind::Retry;
    }
  }
  return verdict;
}

// The same for an exchange outside the receiver transport.
OutboxVerdict httpVerdict(const HttpResult* result, bool success, Value outcome, double now) {
  OutboxVerdict verdict{success ? OutboxVerdict::Kind::Done : OutboxVerdict::Kind::Final};
  verdict.result = std::move(outcome);
  if (success || !result) return verdict;
  if (result->error) {
    verdict.kind = OutboxVerdict::Kind::Retry;
    verdict.error = result->error;
  } else if (result->response) {
    const HttpResponse& response = *result->response;
    verdict.error = libraryError(response.statusCode, describe(verdict.result));
    if (transientStatus(response.statusCode)) {
      verdict.kind = OutboxVerdict::Kind::Retry;
      verdict.retryAfterSeconds = retryAfterSeconds(headerValue(response, kRetryAfterInfoKey), now);
    } else if (response.statusCode < 300 && !parseJson(response.body).ok()) {
      verdict.kind = OutboxVerdict::Kind::Retry;  // an answer that could not be read
    }
  }
  return verdict;
}

}  // namespace

std::optional<std::int64_t> PushManager::queuedEntry() {
  if (queuedNow == 0) return std::nullopt;
  return queuedNow;
}

std::shared_ptr<Outbox> PushManager::outbox() {
  std::lock_guard lock(durabilityMutex_);
  if (outboxMade_) return outbox_;
  outboxMade_ = true;
  const OutboxSettings settings = PushManagerConfig::sharedConfig()->outbox();
  if (!settings.enabled) return nullptr;
  std::weak_ptr<PushManager> weak = weak_from_this();
  outbox_ = std::make_shared<Outbox>(
      host_, settings,
      [weak](const std::string& operation, const Dictionary& arguments, std::int32_t attempt,
             Outbox::Done done) {
        auto self = weak.lock();
        if (!self) return;
        self->attemptQueued(operation, arguments, attempt, std::move(done));
      },
      [weak](const OutboxReport& report) {
        if (auto self = weak.lock()) self->reportQueued(report);
      });
  return outbox_;
}

std::shared_ptr<DuplicateFilter> PushManager::duplicateFilter() {
  std::lock_guard lock(durabilityMutex_);
  if (filterMade_) return duplicateFilter_;
  filterMade_ = true;
  const DuplicateFilterSettings settings = PushManagerConfig::sharedConfig()->duplicateFilter();
  if (settings.enabled) duplicateFilter_ = std::make_shared<DuplicateFilter>(host_, settings);
  return duplicateFilter_;
}

std::size_t PushManager::outboxDepth() {
  auto box = outbox();
  return box ? box->depth() : 0;
}

std::optional<double> PushManager::outboxOldestAgeSeconds() {
  auto box = outbox();
  return box ? box->oldestAgeSeconds() : std::nullopt;
}

void PushManager::setOutboxJitter(std::function<double()> jitter) {
  if (auto box = outbox()) box->setJitter(std::move(jitter));
}

void PushManager::setOutboxScheduler(
    std::function<void(std::chrono::milliseconds, std::function<void()>)> scheduler) {
  if (auto box = outbox()) box->setScheduler(std::move(scheduler));
}

bool PushManager::queue(std::string_view lane, std::string_view operation, Dictionary arguments,
                        ResultHandler completion) {
  auto box = outbox();
  if (!box) return false;
  const std::string name(operation);
  box->add(
      lane, operation, std::move(arguments),
      [completion = std::move(completion), name](OutboxFirst first, std::int64_t id, const Value&) {
        if (first == OutboxFirst::Queued && logging::isOn()) {
          logging::trace(logging::format(kQueuedLine, {name, std::to_string(id)}));
        }
        if (!completion) return;
        if (first != OutboxFirst::Queued) return completion(first == OutboxFirst::Succeeded);
        queuedNow = id;
        completion(false);
        queuedNow = 0;
      });
  return true;
}

bool PushManager::queueReport(std::string_view operation, Dictionary arguments,
                              ReportHandler completion) {
  auto box = outbox();
  if (!box) return false;
  box->add(operation, operation, std::move(arguments),
           [host = host_, completion = std::move(completion)](OutboxFirst first, std::int64_t id,
                                                              const Value& result) {
             if (!completion) return;
             std::optional<Value> outcome = result;
             if (first == OutboxFirst::Queued) {
               outcome = Dictionary{{std::string(kCodeKey), std::string("0")},
                                    {std::string(kMessageKey), std::string(kQueuedMessage)},
                                    {std::string(kIDKey), id}};
             }
             // Reports answer on the main queue, as a task of their own.
             auto call = [completion, first, id, outcome] {
               queuedNow = first == OutboxFirst::Queued ? id : 0;
               completion(first == OutboxFirst::Succeeded, outcome);
               queuedNow = 0;
             };
             if (host && host->mainQueue) {
               host->mainQueue->post(std::move(call));
             } else {
               call();
             }
           });
  return true;
}

void PushManager::attemptQueued(const std::string& operation, const Dictionary& arguments,
                                std::int32_t attempt, std::function<void(OutboxVerdict)> done) {
  auto now = [clock = host_ && host_->clock ? host_->clock : std::make_shared<SystemClock>()] {
    return clock->now().secondsSince1970;
  };
  auto receiver = [done, now](bool success, const std::optional<ErrorInfo>& error) {
    done(receiverVerdict(success, error, now()));
  };
  const Value& badge = arguments.get(kBadgeKey);
  const Value* option = arguments.find(kBadgeOptionKey);
  const std::int64_t badgeOption = option && option->asInt() ? *option->asInt() : 0;
  if (operation == "feedback") {
    receiver_->feedback(receiver, payloadOf(arguments));
  } else if (operation == "feedbackFor") {
    receiver_->feedback(receiver, optionalText(arguments, kClientUIDKey).value_or(""),
                        optionalText(arguments, kPushServiceIDKey).value_or(""),
                        payloadOf(arguments));
  } else if (operation == "feedbackKey") {
    receiver_->feedback(receiver, optionalText(arguments, kMessageUniqueKeyKey),
                        optionalText(arguments, kSeqNoKey));
  } else if (operation == "read") {
    receiver_->read(receiver, payloadOf(arguments));
  } else if (operation == "readBadge") {
    receiver_->read(receiver, payloadOf(arguments), badgeOption, badge);
  } else if (operation == "readKey") {
    receiver_->read(receiver, optionalText(arguments, kMessageUniqueKeyKey),
                    optionalText(arguments, kSeqNoKey));
  } else if (operation == "readSeqNo") {
    receiver_->read(receiver, optionalText(arguments, kSeqNoKey),
                    optionalText(arguments, kSenderKey), optionalText(arguments, kDbInKey));
  } else if (operation == "readSeqNoBadge") {
    receiver_->read(receiver, optionalText(arguments, kSeqNoKey),
                    optionalText(arguments, kSenderKey), optionalText(arguments, kDbInKey),
                    badgeOption, badge);
  } else if (operation == "update") {
    receiver_->update(receiver, badge);
  } else if (operation == "session" || operation == "purchase") {
    const Dictionary* options = arguments.getDictionary(kOptionsKey);
    xeltExchange(options ? *options : Dictionary{}, arguments.get(kBodyKey),
                 [done, now](const HttpResult* result, bool success, Value outcome) {
                   done(httpVerdict(result, success, std::move(outcome), now()));
                 });
  } else if (operation == "log") {
    const std::string text = optionalText(arguments, kErrorTextKey).value_or("");
    serverLog_->attempt(text, attempt - 1, [done, now](const HttpResult* result, bool delivered) {
      if (delivered) return done({OutboxVerdict::Kind::Done});
      if (!result) {
        return done({OutboxVerdict::Kind::Final, libraryError(0, kNoLogServer)});
      }
      OutboxVerdict verdict = httpVerdict(result, false, Value(), now());
      // A readable answer other than "0000" is the server's refusal.
      if (verdict.kind == OutboxVerdict::Kind::Final) verdict.error = libraryError(0, kLogRefused);
      done(std::move(verdict));
    });
  } else {
    done({OutboxVerdict::Kind::Final,
          libraryError(0, logging::format(kUnknownOperation, {operation}))});
  }
}

void PushManager::reportQueued(const OutboxReport& report) {
  auto deliver = [weak = weak_from_this(), report] {
    auto self = weak.lock();
    if (!self) return;
    auto target = self->delegate();
    if (!target || !target->didFinishQueuedOperation) {
      std::lock_guard lock(self->mutex_);
      self->waitingReports_.push_back(report);
      return;
    }
    target->didFinishQueuedOperation(*self, report);
  };
  if (host_ && host_->mainQueue) {
    host_->mainQueue->post(std::move(deliver));
  } else {
    deliver();
  }
}

}  // namespace orvo
