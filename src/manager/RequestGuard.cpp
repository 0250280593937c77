#include "manager/RequestGuard.h"

#include <cstdio>
#include <random>
#include <utility>

#include "foundation/Log.h"
#include "orvo/Json.h"
#include "orvo/PushErrors.h"
#include "transport/NetworkLog.h"

namespace orvo {
namespace {

constexpr std::string_view kTraceLine = "PushManager - request %@ %@";
constexpr std::string_view kAnswerLine = "PushManager - request %@ answered %@";
constexpr std::string_view kCodeKey = "code";
constexpr std::string_view kDescriptionKey = "description";
constexpr std::string_view kRequestIdKey = "requestId";
constexpr std::string_view kHttpStatusText = "HTTP status %@";
constexpr std::string_view kResultCodeText = "the receiver answered RESULT_CODE %@";
constexpr std::string_view kResultSuccess = "0000";
constexpr std::string_view kCompactSuccess = R"("RESULT_CODE":"0000")";

// A prefix of this process, so that two devices' identifiers never meet in
// one journal.
std::string processPrefix() {
  std::random_device seed;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(seed()));
  return text;
}

// What went wrong with an exchange, in the doctor's terms; absent for success.
std::optional<Dictionary> failureOf(const HttpResult& result) {
  if (result.error) {
    return Dictionary{{std::string(kCodeKey), result.error->code},
                      {std::string(kDescriptionKey), result.error->description}};
  }
  if (!result.response) return std::nullopt;
  const HttpResponse& response = *result.response;
  if (response.statusCode != 200) {
    return Dictionary{{std::string(kCodeKey), static_cast<std::int64_t>(response.statusCode)},
                      {std::string(kDescriptionKey),
                       logging::format(kHttpStatusText, {std::to_string(response.statusCode)})}};
  }
  // A receiver's envelope whose result code is not success. Most answers say
  // success in the receiver's own compact form: no need to parse them twice.
  if (response.body.find(kCompactSuccess) != std::string::npos) return std::nullopt;
  auto parsed = parseJson(response.body);
  const Dictionary* envelope = parsed.ok() ? parsed.value().asDictionary() : nullptr;
  const Dictionary* header = envelope ? envelope->getDictionary("HEADER") : nullptr;
  const std::string* code = header ? header->getString("RESULT_CODE") : nullptr;
  if (!code || *code == kResultSuccess) return std::nullopt;
  return Dictionary{{std::string(kCodeKey), *code},
                    {std::string(kDescriptionKey), logging::format(kResultCodeText, {*code})}};
}

}  // namespace

RequestGuard::RequestGuard(std::shared_ptr<HttpClient> inner, std::shared_ptr<MainQueue> mainQueue,
                           Rules rules)
    : inner_(std::move(inner)),
      mainQueue_(std::move(mainQueue)),
      rules_(std::move(rules)),
      prefix_(processPrefix()) {}

void RequestGuard::send(HttpRequest request, std::function<void(HttpResult)> completion) {
  const std::string endpoint(network_log::lastPathComponent(request.url));
  if (rules_.allowed && !rules_.allowed()) {
    // Only a path the public operations do not guard gets here (an outbox
    // entry of an earlier run, a retry): it fails as a transport error would.
    logging::always(errors::kConsentWithheldText);
    HttpResult refused{std::nullopt,
                       libraryError(errors::kConsentWithheld, errors::kConsentWithheldText)};
    if (mainQueue_) {
      mainQueue_->post([completion = std::move(completion), refused] { completion(refused); });
    } else {
      // Never dropped: a caller waiting on it would wait for ever.
      completion(refused);
    }
    return;
  }
  std::string requestId;
  if (rules_.tracing && rules_.tracing()) {
    requestId = prefix_ + "-" + std::to_string(next_++);
    request.headers.set(std::string(kRequestIdHeader), Value(requestId));
    logging::always(logging::format(kTraceLine, {requestId, request.url}));
  }
  if (!inner_) {
    completion(HttpResult{
        std::nullopt, ErrorInfo{std::string(kHttpTransportErrorDomain), -1, "no HTTP client", {}}});
    return;
  }
  std::weak_ptr<RequestGuard> weak = weak_from_this();
  inner_->send(std::move(request),
               [weak, endpoint, requestId, completion = std::move(completion)](HttpResult result) {
                 if (auto self = weak.lock()) self->note(endpoint, requestId, result);
                 completion(std::move(result));
               });
}

void RequestGuard::note(const std::string& endpoint, const std::string& requestId,
                        const HttpResult& result) {
  auto failure = failureOf(result);
  if (!requestId.empty()) {
    const Value* code = failure ? failure->find(kCodeKey) : nullptr;
    logging::always(logging::format(
        kAnswerLine, {requestId, code ? describe(*code) : std::string(kResultSuccess)}));
    if (failure) failure->set(std::string(kRequestIdKey), Value(requestId));
  }
  std::lock_guard lock(mutex_);
  if (failure) {
    lastErrors_[endpoint] = std::move(*failure);
  } else {
    lastErrors_.erase(endpoint);
  }
}

Dictionary RequestGuard::lastErrors() const {
  std::lock_guard lock(mutex_);
  Dictionary errors;
  for (const auto& [endpoint, failure] : lastErrors_) errors.set(endpoint, Value(failure));
  return errors;
}

}  // namespace orvo
