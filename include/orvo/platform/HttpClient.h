/// @file
/// One HTTP exchange at a time per call: a request out, its answer back on the
/// main queue.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "orvo/ErrorInfo.h"
#include "orvo/Export.h"
#include "orvo/Value.h"

namespace orvo {

/// One request.
struct ORVO_PUSH_API HttpRequest {
  /// The full address, and the method (POST unless set).
  /// @{
  std::string url;
  std::string method = "POST";
  /// @}
  Dictionary headers;  ///< name -> string value
  /// The body bytes as sent.
  std::string body;
  /// The whole exchange's limit.
  double timeoutSeconds = 30.0;
  /// Cookies are neither sent nor kept unless set.
  bool handleCookies = false;
  /// A tighter cap on the response body than the client's own, for callers
  /// that run under a small memory limit; 0 keeps the client's.
  std::size_t maxBodyBytes = 0;
};

/// One answer.
struct ORVO_PUSH_API HttpResponse {
  /// The HTTP status.
  long statusCode = 0;
  Dictionary headers;            ///< name -> string value
  std::string mimeType;          ///< "application/json", without parameters
  std::string textEncodingName;  ///< the declared charset, "" when none
  /// The body bytes, within the client's cap.
  std::string body;
};

/// Exactly one of the two is set, except that a transport error may come with
/// the response that had already arrived.
struct ORVO_PUSH_API HttpResult {
  /// The answer, when one came.
  std::optional<HttpResponse> response;
  /// The transport error (kHttpTransportErrorDomain), when there was one.
  std::optional<ErrorInfo> error;
};

/// Domain of the errors an HTTP client reports for failed exchanges.
inline constexpr std::string_view kHttpTransportErrorDomain = "OrvoHTTPTransportError";

/// Sends requests; the host's HTTP service.
class ORVO_PUSH_API HttpClient {
 public:
  /// Requests still in flight are cancelled: their completions, posted or
  /// not, never run, and are destroyed with what they captured.
  virtual ~HttpClient() = default;
  /// Sends the request. The completion runs exactly once while the client
  /// lives, on the main queue and never inside send(), with the answer or the
  /// transport error (a request the client cannot even start included).
  virtual void send(HttpRequest request, std::function<void(HttpResult)> completion) = 0;
};

}  // namespace orvo
