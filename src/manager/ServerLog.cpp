#include "manager/ServerLog.h"

#include <cmath>
#include <ctime>
#include <utility>

#include "orvo/FormEncoding.h"
#include "orvo/Json.h"
#include "orvo/ValueViews.h"
#include "orvo/Version.h"
#include "transport/PushNetworkManager.h"

namespace orvo {
namespace {

constexpr std::string_view kLogEndpoint = "putAppLog.ctl";
constexpr std::string_view kBodyPrefix = "log=";

// Keys of the log record.
constexpr std::string_view kLibVersionKey = "lib-version";
constexpr std::string_view kDeviceIDKey = "deviceid";
constexpr std::string_view kClientUIDKey = "cuid";
constexpr std::string_view kPushServiceIDKey = "psid";
constexpr std::string_view kPushTypeKey = "pushtype";
constexpr std::string_view kModelKey = "model";
constexpr std::string_view kOSVersionKey = "OS-version";
constexpr std::string_view kTimeKey = "time";
constexpr std::string_view kRetryCountKey = "retry count";
constexpr std::string_view kErrorKey = "error";

// "yyyy-MM-dd, HH:mm:ss".
constexpr const char* kTimeFormat = "%Y-%m-%d, %H:%M:%S";

// The log server's answer.
constexpr std::string_view kHeaderKey = "HEADER";
constexpr std::string_view kResultCodeKey = "RESULT_CODE";
constexpr std::string_view kResultSuccess = "0000";

// The clock's current time on the device's local wall clock.
std::string localTime(const Clock& clock) {
  const Date now = clock.now();
  const auto local = static_cast<std::time_t>(std::floor(now.secondsSince1970)) +
                     static_cast<std::time_t>(clock.utcOffsetSeconds(now));
  std::tm fields{};
  char text[32] = {};
  if (gmtime_r(&local, &fields) == nullptr ||
      std::strftime(text, sizeof text, kTimeFormat, &fields) == 0) {
    return {};
  }
  return text;
}

// Record fields come from the application and the caller; JSON needs them as
// valid UTF-8.
Value text(std::string_view value) { return decodeText(value, TextEncoding::UTF8); }

Dictionary logRecord(const PushManagerInfo& info, const Clock& clock, const std::string& errorText,
                     std::int32_t retryCount) {
  Dictionary record;
  record.set(std::string(kLibVersionKey), text(kLibraryVersion));
  record.set(std::string(kDeviceIDKey), text(info.deviceUUID()));
  record.set(std::string(kClientUIDKey), text(info.clientUID()));
  record.set(std::string(kPushServiceIDKey), text(info.pushServiceID()));
  record.set(std::string(kPushTypeKey), text(info.policy()));
  record.set(std::string(kModelKey), text(info.deviceModel()));
  record.set(std::string(kOSVersionKey), text(info.osVersion()));
  record.set(std::string(kTimeKey), text(localTime(clock)));
  record.set(std::string(kRetryCountKey), std::to_string(retryCount));
  record.set(std::string(kErrorKey), text(errorText));
  return record;
}

bool delivered(const HttpResult& result) {
  if (result.error || !result.response || result.response->body.empty()) return false;
  auto answer = parseJson(result.response->body);
  if (!answer.ok()) return false;
  const Dictionary* envelope = answer.value().asDictionary();
  const Dictionary* header = envelope ? envelope->getDictionary(kHeaderKey) : nullptr;
  const std::string* code = header ? header->getString(kResultCodeKey) : nullptr;
  return code != nullptr && *code == kResultSuccess;
}

}  // namespace

ServerLog::ServerLog(std::shared_ptr<const Host> host, InfoSource info)
    : host_(std::move(host)), info_(std::move(info)) {}

void ServerLog::send(const std::string& errorText, std::int32_t retryCount) const {
  if (retryCount >= kRetryLimit) return;
  // The completion carries the retries; the caller need not live on. It holds
  // the host weakly: the host owns the HTTP client that holds the completion,
  // and a strong hold would keep both alive until the request ended.
  attempt(errorText, retryCount,
          [host = std::weak_ptr<const Host>(host_), info = info_, errorText, retryCount](
              const HttpResult* result, bool delivered) {
            if (delivered || !result) return;
            if (auto alive = host.lock()) {
              ServerLog(std::move(alive), info).send(errorText, retryCount + 1);
            }
          });
}

void ServerLog::attempt(const std::string& errorText, std::int32_t retryCount,
                        std::function<void(const HttpResult* result, bool delivered)> done) const {
  const std::shared_ptr<PushManagerInfo> info = host_ && host_->http && info_ ? info_() : nullptr;
  const std::string logServerHost = info ? info->logServerHost() : std::string();
  if (logServerHost.empty()) {
    if (done) done(nullptr, false);
    return;
  }

  SystemClock systemClock;
  const Clock& clock = host_->clock ? *host_->clock : systemClock;
  auto json = writeJson(logRecord(*info, clock, errorText, retryCount), JsonStyle::Pretty);
  // Every value is a valid string, so this cannot fail; a retry would fail
  // the same way if it did.
  if (!json.ok()) {
    if (done) done(nullptr, false);
    return;
  }

  // Only the URL escaping step, as the log server expects: spaces, line
  // breaks and "%" are escaped, while "&", "+" and "=" in the text stay.
  std::string body = std::string(kBodyPrefix) + addingPercentEscapes(json.value());
  HttpRequest request =
      PushNetworkManager::createRequest(endpointURL(logServerHost, kLogEndpoint), body);
  host_->http->send(std::move(request), [done = std::move(done)](const HttpResult& result) {
    if (done) done(&result, delivered(result));
  });
}

}  // namespace orvo
