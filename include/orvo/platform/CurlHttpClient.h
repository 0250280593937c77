/// @file
/// The desktop HTTP client: libcurl's multi interface, driven without blocking
/// by the run loop that serves the main queue (or, when the main queue is not
/// a RunLoop, by a loop of the client's own on a worker thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "orvo/Export.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/platform/MainQueue.h"

namespace orvo {

/// How the desktop HTTP client is set up.
struct ORVO_PUSH_API CurlHttpClientOptions {
  /// Extra CA certificates (PEM) trusted besides the system's.
  std::string caFile;
  /// A larger response body ends the exchange with a transport error.
  /// @{
  std::size_t maxBodyBytes = 8 * 1024 * 1024;
  double connectTimeoutSeconds = 10.0;
  /// @}
  /// Off: every request opens its own connection (for measurements).
  bool reuseConnections = true;
};

/// Peer and host verification stay on; only http and https; redirects are not
/// followed; cookies are never sent or stored. Completions keep HttpClient's
/// contract. On a RunLoop main queue, requests progress while that loop runs
/// (run(), runUntil() or runUntilIdle()), as its completions do. Destroying
/// the client waits for a completion that is running on another thread.
class ORVO_PUSH_API CurlHttpClient : public HttpClient {
 public:
  /// Completions are posted to mainQueue; when it is an orvo::RunLoop the
  /// transfers are driven by it, otherwise by a worker thread.
  CurlHttpClient(std::shared_ptr<MainQueue> mainQueue, CurlHttpClientOptions options = {});
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  void send(HttpRequest request, std::function<void(HttpResult)> completion) override;

  /// A long exchange whose body is handed to `onData` piece by piece as it
  /// arrives, on the thread that drives the transfers, never two at once;
  /// returning false ends it. Only an answer with status 200 is streamed: any
  /// other keeps its body for the completion, which runs as for send() when
  /// the exchange ends. `request.timeoutSeconds` is how long the stream may
  /// stay silent; it has no time limit as a whole. The request leaves after
  /// `delay`. Returns the number cancel() takes.
  std::uint64_t stream(HttpRequest request, std::function<bool(std::string_view data)> onData,
                       std::function<void(HttpResult)> completion,
                       std::chrono::milliseconds delay = {});
  /// Ends a stream: no data reaches its reader once the loop has seen this,
  /// and its completion does not run unless it was already on its way.
  void cancel(std::uint64_t stream);

 private:
  std::uint64_t submit(HttpRequest request, std::function<void(HttpResult)> completion,
                       std::function<bool(std::string_view)> onData,
                       std::chrono::milliseconds delay);

  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace orvo
