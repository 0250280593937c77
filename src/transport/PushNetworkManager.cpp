#include "transport/PushNetworkManager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

#include "foundation/Log.h"
#include "orvo/Json.h"
#include "orvo/ValueViews.h"
#include "transport/NetworkLog.h"

namespace orvo {
namespace {

using namespace network_log;

// Error descriptions of the transport's own domain.
constexpr std::string_view kInvalidApi = "invalid_api";
constexpr std::string_view kInvalidResultData = "invalid_result_data";
constexpr std::string_view kInvalidStatusCode = "invalid_status_code";
constexpr std::string_view kInvalidResultHeader = "invalid_result_header";
constexpr std::string_view kFailAuth = "fail_auth";
constexpr std::string_view kInvalidResultCode = "invalid_result_code";
constexpr std::string_view kInvalidResultBody = "invalid_result_body";
constexpr std::string_view kNoHttpClient = "no HTTP client";
constexpr std::int64_t kFailAuthCode = 40100;

// Envelope members and result codes.
constexpr std::string_view kHeaderKey = "HEADER";
constexpr std::string_view kBodyKey = "BODY";
constexpr std::string_view kResultCodeKey = "RESULT_CODE";
constexpr std::string_view kResultSuccess = "0000";
constexpr std::string_view kResultFailAuth = "40100";

// The request.
constexpr std::string_view kMethodPost = "POST";
constexpr std::string_view kContentLengthHeader = "Content-Length";
constexpr std::string_view kContentTypeHeader = "Content-Type";
constexpr std::string_view kFormContentType = "application/x-www-form-urlencoded";
constexpr double kRequestTimeoutSeconds = 30.0;

// Log lines.
constexpr std::string_view kRequestLine = "reqeust";
constexpr std::string_view kBodyLine = "- body    : %@";
constexpr std::string_view kErrorLine = "error: %@";
constexpr std::string_view kRetryLine = "Retry asking auth-key !!";

struct EndpointEntry {
  std::int64_t identifier;
  std::string_view fileName;
};

constexpr std::array<EndpointEntry, 14> kEndpoints{{
    {endpoints::kAskingAuthorization, "asking_authorization.ctl"},
    {endpoints::kRegisterService, "rcv_register_service.ctl"},
    {endpoints::kGetService, "rcv_get_service.ctl"},
    {endpoints::kAppAlive, "rcv_appAlive.ctl"},
    {endpoints::kDeleteService, "rcv_delete_service.ctl"},
    {endpoints::kRegisterUser, "rcv_register_user.ctl"},
    {endpoints::kDeleteUser, "rcv_delete_user.ctl"},
    {endpoints::kRegisterUserGroup, "rcv_register_usergroup_user.ctl"},
    {endpoints::kDeleteUserGroup, "rcv_delete_usergroup_user.ctl"},
    {endpoints::kRegisterServiceAndUser, "new_rcv_register_service_and_user.ctl"},
    {endpoints::kSentAck, "rcv_register_sent_ack.ctl"},
    {endpoints::kSendResult, "rcv_register_send_result.ctl"},
    {endpoints::kRegisterMessage, "rcv_register_message.ctl"},
    {endpoints::kInitBadgeNo, "rcv_init_badgeNo.ctl"},
}};

ErrorInfo networkError(std::string_view description, std::int64_t code = 0) {
  return ErrorInfo{std::string(kNetworkErrorDomain), code, std::string(description), {}};
}

// The dictionary view of a value (see dictionaryValue), moved out of a
// parsed document instead of copied.
std::optional<Dictionary> takeDictionary(Value* value) {
  if (value == nullptr) return std::nullopt;
  while (Array* array = value->asArray()) {
    if (array->empty()) return Dictionary{};
    value = &array->front();
  }
  if (Dictionary* dictionary = value->asDictionary()) return std::move(*dictionary);
  return std::nullopt;
}

bool logOn(const TransportEnvironment& environment) {
  return environment.log && environment.logEnabled && environment.logEnabled();
}

void writeLine(const TransportEnvironment& environment, std::string_view line) {
  if (environment.log) environment.log->write(line);
}

TransportOutcome failure(const HttpResult& result, ErrorInfo error) {
  return TransportOutcome{result.response, {}, {}, std::move(error)};
}

void deliver(const std::shared_ptr<MainQueue>& mainQueue, const TransportCompletion& completion,
             TransportOutcome outcome) {
  if (!completion) return;
  auto call = [completion, outcome = std::move(outcome)] {
    completion(outcome.response, outcome.header, outcome.body, outcome.error);
  };
  // A separate step on the main queue: the caller's completion runs after the
  // response handling has returned.
  if (mainQueue) {
    mainQueue->post(std::move(call));
  } else {
    call();
  }
}

}  // namespace

const std::string* headerValue(const HttpResponse& response, std::string_view name) {
  for (const auto& [key, value] : response.headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return value.asString();
    }
  }
  return nullptr;
}

std::optional<std::string_view> endpointFileName(std::int64_t identifier) {
  for (const auto& entry : kEndpoints) {
    if (entry.identifier == identifier) return entry.fileName;
  }
  return std::nullopt;
}

std::string endpointURL(std::string_view host, std::string_view fileName) {
  while (!host.empty() && host.back() == '/') host.remove_suffix(1);
  std::string url;
  url.reserve(host.size() + 1 + fileName.size());
  url.append(host);
  url += '/';
  url.append(fileName);
  return url;
}

PushNetworkManager::PushNetworkManager(TransportEnvironment environment)
    : environment_(std::move(environment)) {}

bool PushNetworkManager::useLog() const { return logOn(environment_); }

void PushNetworkManager::log(std::string_view line) const { writeLine(environment_, line); }

std::shared_ptr<PushNetworkManager> PushNetworkManager::connect(
    const TransportEnvironment& environment, std::int64_t endpoint, std::string data,
    TransportCompletion completion, bool resendAfterAuthFailure) {
  auto manager = std::make_shared<PushNetworkManager>(environment);
  std::string firstData = data;
  manager->connect(
      endpoint, firstData,
      [manager, endpoint, data = std::move(data), completion = std::move(completion),
       resendAfterAuthFailure](
          const std::optional<HttpResponse>& response, const std::optional<Dictionary>& header,
          const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
        if (error && manager->useLog()) {
          manager->log(logging::format(kErrorLine, {error->description}));
        }
        // Without the resend (the auth-key request's own call), a second
        // "40100" reaches the caller as it is: that is what keeps auth-key
        // requests from asking for auth keys without end.
        const auto& env = manager->environment_;
        if (!resendAfterAuthFailure || !error || error->code != kFailAuthCode ||
            !env.refreshAuthKey) {
          if (completion) completion(response, header, body, error);
          return;
        }
        if (manager->useLog()) manager->log(kRetryLine);
        std::string clientUID;
        std::string pushServiceID;
        if (auto info = env.info ? env.info() : nullptr) {
          info->setAuthKey(std::nullopt);
          clientUID =
              endpoint == endpoints::kDeleteService ? info->clientUID() : info->tempClientUID();
          pushServiceID = info->pushServiceID();
        }
        env.refreshAuthKey(
            std::move(clientUID), std::move(pushServiceID),
            [manager, endpoint, data, completion, response, header, body, error](
                bool success, const std::string&, const std::optional<ErrorInfo>& authError) {
              if (success) {
                // The identical form string once more; this answer is final.
                manager->connect(endpoint, data,
                                 [manager, completion](const std::optional<HttpResponse>& r,
                                                       const std::optional<Dictionary>& h,
                                                       const std::optional<Dictionary>& b,
                                                       const std::optional<ErrorInfo>& e) {
                                   if (e && manager->useLog()) {
                                     manager->log(logging::format(kErrorLine, {e->description}));
                                   }
                                   if (completion) completion(r, h, b, e);
                                 });
                return;
              }
              // Deleting the service reports its own refusal; the others
              // report why no new key came.
              const std::optional<ErrorInfo>& reported =
                  endpoint == endpoints::kDeleteService || !authError ? error : authError;
              if (completion) completion(response, header, body, reported);
            });
      });
  return manager;
}

void PushNetworkManager::connect(std::int64_t endpoint, const std::string& data,
                                 TransportCompletion completion) {
  auto fileName = endpointFileName(endpoint);
  if (!fileName) {
    if (completion) completion(std::nullopt, std::nullopt, std::nullopt, networkError(kInvalidApi));
    return;
  }
  connectWithURL(this->endpoint(*fileName), data, std::move(completion));
}

std::string PushNetworkManager::endpoint(std::string_view fileName) const {
  auto info = environment_.info ? environment_.info() : nullptr;
  return endpointURL(info ? info->host() : std::string(), fileName);
}

HttpRequest PushNetworkManager::createRequest(const std::string& url, const std::string& data) {
  HttpRequest request;
  request.url = url;
  request.method = std::string(kMethodPost);
  request.body = data;
  request.headers.set(std::string(kContentLengthHeader), std::to_string(data.size()));
  request.headers.set(std::string(kContentTypeHeader), std::string(kFormContentType));
  request.timeoutSeconds = kRequestTimeoutSeconds;
  request.handleCookies = false;
  return request;
}

void PushNetworkManager::connectWithURL(const std::string& url, const std::string& data,
                                        TransportCompletion completion) {
  HttpRequest request = createRequest(url, data);
  std::string fileName(lastPathComponent(url));
  if (useLog()) {
    log(logging::format(kServiceStartLine, {fileName}));
    log(kRequestLine);
    log(logging::format(kUrlLine, {request.url}));
    log(logging::format(kParamLine, {data}));
    log(logging::format(kTimeoutLine, {fixedSeconds(request.timeoutSeconds)}));
    log(logging::format(kMethodLine, {request.method}));
    log(logging::format(kHeaderLine, {describe(request.headers)}));
  }

  // The pending handler keeps this instance (when shared) alive until the
  // answer is in.
  auto handler = [keepAlive = weak_from_this().lock(), environment = environment_,
                  fileName = std::move(fileName),
                  completion = std::move(completion)](HttpResult result) {
    if (logOn(environment)) {
      const HttpResponse* response = result.response ? &*result.response : nullptr;
      std::string bodyText;
      if (response) {
        TextEncoding encoding = response->textEncodingName.empty()
                                    ? kDefaultCStringEncoding
                                    : encodingValue(response->textEncodingName);
        bodyText = decodeText(response->body, encoding);
      }
      writeLine(environment, kResponseLine);
      writeLine(
          environment,
          logging::format(kStatusLine, {std::to_string(response ? response->statusCode : 0)}));
      writeLine(
          environment,
          logging::format(kHeaderLine, {describe(response ? response->headers : Dictionary{})}));
      writeLine(environment, logging::format(kBodyLine, {bodyText}));
      if (result.error)
        writeLine(environment, logging::format(kTransportErrorLine, {describe(*result.error)}));
      writeLine(environment, logging::format(kServiceEndLine, {fileName}));
    }
    deliver(environment.mainQueue, completion, interpretResponse(result));
  };

  if (!environment_.http) {
    handler(HttpResult{
        std::nullopt,
        ErrorInfo{std::string(kHttpTransportErrorDomain), -1, std::string(kNoHttpClient), {}}});
    return;
  }
  environment_.http->send(std::move(request), std::move(handler));
}

TransportOutcome PushNetworkManager::interpretResponse(const HttpResult& result) {
  if (result.error) return failure(result, *result.error);
  if (!result.response) return failure(result, networkError(kInvalidResultData));
  const HttpResponse& response = *result.response;

  // A refusal's status and Retry-After go with the error whatever it is, so
  // that a caller that retries can tell a busy server from a refusal.
  auto withStatus = [&response](ErrorInfo error) {
    if (response.statusCode >= 200 && response.statusCode < 300) return error;
    error.userInfo.set(std::string(kStatusCodeInfoKey), std::int64_t{response.statusCode});
    if (const std::string* retryAfter = headerValue(response, kRetryAfterInfoKey)) {
      error.userInfo.set(std::string(kRetryAfterInfoKey), *retryAfter);
    }
    return error;
  };
  if (response.body.empty()) return failure(result, withStatus(networkError(kInvalidResultData)));
  Result<Value> parsed = parseJson(response.body);
  if (!parsed.ok()) return failure(result, withStatus(parsed.error()));
  std::optional<Dictionary> envelope = takeDictionary(&parsed.value());
  std::optional<Dictionary> header =
      envelope ? takeDictionary(envelope->find(kHeaderKey)) : std::nullopt;
  std::optional<Dictionary> body =
      envelope ? takeDictionary(envelope->find(kBodyKey)) : std::nullopt;
  const std::string* resultCode = header ? header->getString(kResultCodeKey) : nullptr;

  if (response.statusCode < 200 || response.statusCode >= 300) {
    return failure(result, withStatus(networkError(kInvalidStatusCode)));
  }
  if (!header) return failure(result, networkError(kInvalidResultHeader));
  if (resultCode && *resultCode == kResultSuccess) {
    if (!body) return failure(result, networkError(kInvalidResultBody));
    return TransportOutcome{result.response, std::move(*header), std::move(*body), std::nullopt};
  }
  if (resultCode && *resultCode == kResultFailAuth) {
    return failure(result, networkError(kFailAuth, kFailAuthCode));
  }
  return failure(result, networkError(kInvalidResultCode));
}

namespace network_log {

std::string_view lastPathComponent(std::string_view url) {
  while (url.size() > 1 && url.back() == '/') url.remove_suffix(1);
  const std::size_t slash = url.rfind('/');
  return slash == std::string_view::npos ? url : url.substr(slash + 1);
}

std::string fixedSeconds(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", seconds);
  return text;
}

}  // namespace network_log

}  // namespace orvo
