// The library's only way to the receiver server: the endpoint table, the
// request, the JSON envelope of every answer, and the single resend after a
// refused auth key.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvo/ErrorInfo.h"
#include "orvo/Handlers.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/Value.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/platform/LogSink.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

inline constexpr std::string_view kNetworkErrorDomain = "PushNetworkManagerError";
// The userInfo of an "invalid_status_code" error: the status, and the
// answer's Retry-After when it had one.
inline constexpr std::string_view kStatusCodeInfoKey = "HTTPStatusCode";
inline constexpr std::string_view kRetryAfterInfoKey = "Retry-After";

// The value of a response header, whatever the case of its name.
const std::string* headerValue(const HttpResponse& response, std::string_view name);

namespace endpoints {
inline constexpr std::int64_t kAskingAuthorization = 1;
inline constexpr std::int64_t kRegisterService = 11;
inline constexpr std::int64_t kGetService = 12;
inline constexpr std::int64_t kAppAlive = 13;
inline constexpr std::int64_t kDeleteService = 19;
inline constexpr std::int64_t kRegisterUser = 21;
inline constexpr std::int64_t kDeleteUser = 22;
inline constexpr std::int64_t kRegisterUserGroup = 23;
inline constexpr std::int64_t kDeleteUserGroup = 24;
inline constexpr std::int64_t kRegisterServiceAndUser = 25;
inline constexpr std::int64_t kSentAck = 31;
inline constexpr std::int64_t kSendResult = 32;
inline constexpr std::int64_t kRegisterMessage = 33;
inline constexpr std::int64_t kInitBadgeNo = 34;
}  // namespace endpoints

// The file name of a valid endpoint identifier.
std::optional<std::string_view> endpointFileName(std::int64_t identifier);
// host + "/" + file name, with exactly one "/" between them.
std::string endpointURL(std::string_view host, std::string_view fileName);

// Response, envelope header, envelope body, error. On success the error is
// absent; after a failed exchange header and body are empty; for an invalid
// endpoint all but the error are absent.
using TransportCompletion = std::function<void(
    const std::optional<HttpResponse>& response, const std::optional<Dictionary>& header,
    const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error)>;

// What the transport needs from its owner.
struct TransportEnvironment {
  std::shared_ptr<HttpClient> http;
  std::shared_ptr<MainQueue> mainQueue;
  // The current record (host, auth key, identity); may be null.
  std::function<std::shared_ptr<PushManagerInfo>()> info;
  // The log switch and where lines go.
  std::function<bool()> logEnabled;
  std::shared_ptr<LogSink> log;
  // A forced auth-key request for the resend after "40100". The request it
  // makes must not itself be resent after another "40100": that bounds the
  // chain of auth-key requests to one.
  std::function<void(std::string clientUID, std::string pushServiceID, AuthKeyHandler completion)>
      refreshAuthKey;
};

// The four completion arguments worked out from one HTTP outcome.
struct TransportOutcome {
  std::optional<HttpResponse> response;
  Dictionary header;
  Dictionary body;
  std::optional<ErrorInfo> error;
};

class PushNetworkManager : public std::enable_shared_from_this<PushNetworkManager> {
 public:
  explicit PushNetworkManager(TransportEnvironment environment);

  // The entry every receiver call uses: a fresh manager for this request,
  // with the auth-failure handling around it (when resendAfterAuthFailure).
  static std::shared_ptr<PushNetworkManager> connect(const TransportEnvironment& environment,
                                                     std::int64_t endpoint, std::string data,
                                                     TransportCompletion completion,
                                                     bool resendAfterAuthFailure = true);

  // Checks the identifier, forms the URL and sends; an invalid identifier
  // completes at once on the caller's thread with "invalid_api".
  void connect(std::int64_t endpoint, const std::string& data, TransportCompletion completion);
  std::string endpoint(std::string_view fileName) const;
  static HttpRequest createRequest(const std::string& url, const std::string& data);
  void connectWithURL(const std::string& url, const std::string& data,
                      TransportCompletion completion);

  // The envelope checks, in order, on one HTTP outcome.
  static TransportOutcome interpretResponse(const HttpResult& result);

 private:
  bool useLog() const;
  void log(std::string_view line) const;

  TransportEnvironment environment_;
};

}  // namespace orvo
